# A camera in a network namespace of its own, linked to this one by a veth
# pair: discovery skips loopback, so it needs a real link.
import os
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor

import pytest

import orb_sdk
from orb_sdk import sim

HOST, DEVICE = "10.231.0.1", "10.231.0.2"


def ip(*args):
    return subprocess.run(["ip", *args], capture_output=True).returncode == 0


@pytest.fixture
def camera_namespace():
    name, link = f"orbpy{os.getpid()}", f"pyh{os.getpid() % 100000}"
    if os.geteuid() != 0 or not shutil.which("ip") or not ip("netns", "add", name):
        pytest.skip("discovery needs root and the ip tool to make a network namespace")
    try:
        assert ip("link", "add", link, "type", "veth", "peer", "name", "cam0", "netns", name)
        assert ip("addr", "add", f"{HOST}/24", "dev", link) and ip("link", "set", link, "up")
        assert ip("-n", name, "addr", "add", f"{DEVICE}/24", "dev", "cam0")
        assert ip("-n", name, "link", "set", "cam0", "up") and ip("-n", name, "link", "set", "lo", "up")
        yield name
    finally:
        ip("netns", "del", name)


def test_active_and_passive_discovery(camera_namespace):
    with sim.Simulator(DEVICE, netns=camera_namespace, bind_any=True, announce_ms=100, stream=False,
                       control_server=False, imu_rate=None, rgb_rate=None):
        with ThreadPoolExecutor(2) as pool:
            active = pool.submit(orb_sdk.discover, timeout=20)
            passive = pool.submit(orb_sdk.discover, timeout=20, passive=True, local_ip=HOST)
            found, announced = active.result(), passive.result()
    assert [(f.ip, f.host_ip, f.port) for f in found] == [(DEVICE, HOST, None)]
    assert [(f.ip, f.host_ip, f.port, f.host_port) for f in announced] == [(DEVICE, "127.0.0.1", 6301, 6001)]
    assert "ip='10.231.0.2'" in repr(found[0])
    with pytest.raises(ValueError):
        orb_sdk.discover(passive=True)  # no interface to listen on
    with pytest.raises(TimeoutError):
        orb_sdk.discover(timeout=0.1)
