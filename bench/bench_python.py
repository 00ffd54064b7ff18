"""Python module benchmark, against the in-process simulator:

1. frames/s through cam.frames() while the simulator sends 200 frames/s;
2. the cost of one cam.frame() against the C call it wraps (ZelOrbGetPointCloud,
   which copies 2.16 MB, called through ctypes into a buffer allocated once),
   measured side by side in one run, each call made when a frame is waiting;
3. whether frame callbacks keep up with a 20 fps camera.

Run it in a private network namespace (the simulator binds loopback ports):
  unshare -n sh -c 'ip link set lo up && PYTHONPATH=build/python /usr/bin/python3 bench/bench_python.py'
"""
import ctypes
import statistics
import threading
import time

import numpy as np

import orb_sdk
from orb_sdk import sim

IP, HOST = "127.0.0.2", "127.0.0.1"


def camera(**options):
    simulator = sim.Simulator(IP, imu_rate=None, rgb_rate=None, **options)
    return simulator, orb_sdk.Camera(IP, host_ip=HOST)


def c_get_point_cloud():
    """ZelOrbGetPointCloud of the library the module uses (already loaded), into one buffer."""
    lib = ctypes.CDLL("liborb_sdk_win.so.1")
    lib.ZelOrbGetPointCloud.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
    lib.ZelOrbGetPointCloud.restype = ctypes.c_int32
    buffer = np.empty(orb_sdk.FRAME_SHAPE, orb_sdk.POINT_DTYPE)
    ip = IP.encode()
    return lambda: lib.ZelOrbGetPointCloud(ip, buffer.ctypes.data)  # keeps the buffer alive


def throughput(cam, count=400):
    cam.frame(timeout=2)
    start = time.perf_counter()
    for _ in cam.frames(count=count, timeout=2):
        pass
    python_fps = count / (time.perf_counter() - start)
    get, got = c_get_point_cloud(), 0
    start = time.perf_counter()
    while got < count and time.perf_counter() - start < 10:
        if get() == 0:
            got += 1
        else:
            time.sleep(0.001)  # as cam.frame() waits between tries
    return python_fps, got / (time.perf_counter() - start)


def call_costs(cam, pairs=300, fps=100):
    get = c_get_point_cloud()
    python_ns, c_ns = [], []
    for i in range(2 * pairs):
        time.sleep(1.5 / fps)  # a new frame is waiting
        if i % 2:
            t = time.perf_counter_ns()
            if get() == 0:
                c_ns.append(time.perf_counter_ns() - t)
        else:
            t = time.perf_counter_ns()
            try:
                cam.frame(timeout=0)  # one try, as the C call makes
                python_ns.append(time.perf_counter_ns() - t)
            except TimeoutError:
                pass
    return python_ns, c_ns


def callbacks_at_20_fps(seconds=5.0):
    simulator, cam = camera(fps=20)
    seen = []
    lock = threading.Lock()

    def on_frame(frame):
        with lock:
            seen.append(int(np.count_nonzero(frame["x"])))  # touch every point, as a user would

    with cam:
        cam.frame(timeout=2)
        cam.on_frame(on_frame)
        sent_before = simulator.frames_sent
        time.sleep(seconds)
        cam.on_frame(None)
        sent = simulator.frames_sent - sent_before
        drops = cam.callback_drops["frame"]
    simulator.stop()
    return len(seen), sent, drops


def main():
    simulator, cam = camera(fps=200, static_scene=True, pace=False)
    with cam:
        python_fps, c_fps = throughput(cam)
    simulator.stop()
    print(f"frames/s with the simulator sending 200/s: cam.frames() {python_fps:.0f}, C polling {c_fps:.0f}")

    simulator, cam = camera(fps=100, static_scene=True, pace=False)
    with cam:
        python_ns, c_ns = call_costs(cam)
    simulator.stop()
    py_med, c_med = statistics.median(python_ns), statistics.median(c_ns)
    print(f"cam.frame():             median {py_med / 1000:7.1f} us  mean {statistics.mean(python_ns) / 1000:7.1f} us"
          f"  ({len(python_ns)} calls)")
    print(f"ZelOrbGetPointCloud (C): median {c_med / 1000:7.1f} us  mean {statistics.mean(c_ns) / 1000:7.1f} us"
          f"  ({len(c_ns)} calls)")
    print(f"ratio of medians: {py_med / c_med:.2f} (target <= 1.3)")

    called, sent, drops = callbacks_at_20_fps()
    print(f"frame callbacks at 20 fps: {called} run for {sent} frames sent in 5 s, {drops} dropped")


if __name__ == "__main__":
    main()
