"""The camera the examples use: --ip, else the first one discovery finds, else a simulated one."""
import argparse
import contextlib

import orb_sdk
from orb_sdk import sim


def parser(description):
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--ip", help="camera address (default: the first camera that answers, else the simulator)")
    p.add_argument("--host-ip", help="this host's address towards the camera (default: the route's)")
    p.add_argument("--simulator", action="store_true", help="use the built-in simulator without searching")
    return p


@contextlib.contextmanager
def open_camera(args, **simulator_options):
    ip, host_ip, simulator = args.ip, args.host_ip, None
    if not ip and not args.simulator:
        print("Searching for cameras (about 2 s)...")
        found = orb_sdk.discover(timeout=30)
        if found:
            ip, host_ip = found[0].ip, host_ip or found[0].host_ip
    if not ip:
        ip, host_ip = "127.0.0.2", "127.0.0.1"
        print(f"Using the simulator: virtual camera {ip}")
        simulator = sim.Simulator(ip, **simulator_options)
    try:
        with orb_sdk.Camera(ip, host_ip=host_ip) as cam:
            print(f"Connected to {ip}: {cam.device_type} {cam.serial_number}")
            yield cam
    finally:
        if simulator:
            simulator.stop()
