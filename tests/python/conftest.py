# Every test runs the simulator in-process on 127.0.0.2 against the library
# on 127.0.0.1 (scripts/test.sh runs pytest in a private network namespace).
import time

import pytest

import orb_sdk
from orb_sdk import sim

CAMERA_IP = "127.0.0.2"


@pytest.fixture
def open_camera():
    """make(**simulator_options) -> (simulator, camera); both end with the test."""
    made = []

    def make(**options):
        simulator = sim.Simulator(CAMERA_IP, **options)
        made.append(simulator.stop)
        camera = orb_sdk.Camera(CAMERA_IP, host_ip="127.0.0.1")
        made.append(camera.close)
        return simulator, camera

    yield make
    for end in reversed(made):
        end()


def wait_for(predicate, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.02)
    return predicate()
