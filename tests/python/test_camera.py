import signal
import sys
import threading
import tracemalloc
import weakref

import numpy as np
import pytest
from conftest import CAMERA_IP, wait_for

import orb_sdk
from orb_sdk import sim

FIELDS = ("row", "column", "distance", "intensity", "x", "y", "z")


def test_frames_carry_what_the_camera_sent(open_camera):
    simulator, cam = open_camera(scene=sim.box(), keep_frames=100)
    first = cam.frame(timeout=2)
    sent = simulator.sent_frame(int(first["timestamp"][0, 0]))
    for field in FIELDS:
        assert np.array_equal(first[field], sent[field]), field
    # The box's near face fills the centre; the wall (400) shows at the edges.
    assert first["x"][75, 180] == 200.0 and first["x"][75, 5] == 400.0
    assert first["intensity"][75, 180] == 180 and first["intensity"][75, 5] == 100

    xyz = orb_sdk.xyz(first)
    assert xyz.dtype == np.float32 and xyz.shape == (150, 360, 3) and np.shares_memory(xyz, first)
    assert np.array_equal(xyz[..., 1], first["y"])
    second, third = cam.frames(count=2)
    assert not np.shares_memory(second, third) and third["timestamp"][0, 0] > second["timestamp"][0, 0]
    assert cam.xyz().base is not None and sys.getrefcount(second) == 2


def test_callbacks_run_python_off_the_library_threads(open_camera, monkeypatch):
    simulator, cam = open_camera(scene=sim.with_noise(sim.wall(300), 2.0), six_axis_rate=100)
    got = {"frame": [], "imu": [], "six_axis": [], "rgb": []}
    threads = set()
    raised = []
    monkeypatch.setattr(sys, "unraisablehook", raised.append)

    def on_frame(frame):
        threads.add(threading.get_ident())
        got["frame"].append((frame, frame.copy()))
        # Calls the library refuses inside its own callbacks work here.
        cam.set_spatial_filter(False)
        if len(got["frame"]) == 1:
            raise RuntimeError("a failing callback does not stop the others")

    cam.on_frame(on_frame)
    cam.on_imu(got["imu"].append)
    cam.on_six_axis(got["six_axis"].append)
    cam.on_rgb(got["rgb"].append)
    assert wait_for(lambda: all(len(v) >= 3 for v in got.values()), 10), {k: len(v) for k, v in got.items()}
    for fn in ("on_frame", "on_imu", "on_six_axis", "on_rgb"):
        getattr(cam, fn)(None)

    assert threading.get_ident() not in threads and len(raised) == 1
    # Each frame handed over kept its own memory while later frames arrived.
    assert all(np.array_equal(kept, copy) for kept, copy in got["frame"])
    assert not np.array_equal(got["frame"][0][0]["x"], got["frame"][1][0]["x"])
    imu = got["imu"][-1]
    assert imu.seconds == 1000 and imu.axis[4] == imu.axis[0] + 1.0
    assert got["six_axis"][0].check == 1 and len(got["six_axis"][0].data) == 26
    assert got["rgb"][0].shape == (1200, 1600, 3) and got["rgb"][0].dtype == np.uint8
    assert cam.callback_drops["imu"] == 0
    stats = cam.statistics()
    assert stats["frames_published"] >= 3 and stats["dropped_queue_full"] == 0 and stats["six_axis_packets"] >= 3
    cam.reset_statistics()
    assert cam.statistics()["datagrams"] < stats["datagrams"]
    with pytest.raises(TypeError):
        cam.on_frame(42)
    cam.on_frame(lambda frame: cam.close())  # from its own callback thread
    assert wait_for(lambda: cam.closed)


def test_imu_rgb_and_fusion(open_camera):
    _, cam = open_camera(scene=sim.wall(300))
    sample = cam.imu(timeout=2)
    assert sample.axis == tuple(sample.axis[0] + k / 4 for k in range(9))
    assert sample.time == pytest.approx(sample.seconds + sample.microseconds * 1e-6)
    image = cam.rgb(timeout=5)
    for row, col in ((300, 400), (300, 1200), (900, 400), (600, 800)):  # quadrants and centre
        assert np.abs(image[row, col].astype(int) - sim.test_pattern_color(row, col)).max() <= 8

    with pytest.raises(orb_sdk.Error) as e:
        cam.fusion()
    assert e.value.code == -1992  # not initialised
    cam.init_fusion()
    cam.frame(timeout=2)
    colours = cam.fusion(timeout=5)
    assert colours.shape == (150, 360, 3) and colours[75, 180].any()


def test_dual_echo(open_camera):
    simulator, cam = open_camera(scene=sim.with_second_echo(sim.wall(300), 50.0))
    cam.set_mode(orb_sdk.DUAL_ECHO)
    assert simulator.device_mode == 1
    # Frames decoded while the stream switches over are incomplete; a slow
    # host may also lose datagrams.
    switched = simulator.frames_sent + 1
    first, second = next(p for p in cam.frames(count=20, dual=True, timeout=3) if p[0]["timestamp"].max() > switched)
    hit = (first["distance"] > 0) & (second["distance"] > 0)
    assert hit.sum() > 10000
    assert np.array_equal(second["distance"][hit], first["distance"][hit] + 50)
    assert np.array_equal(orb_sdk.max_range(first, second)[hit], second[hit])
    assert cam.dual_frame(timeout=3)[1]["distance"].max() > 300


def test_configuration_round_trip(open_camera):
    simulator, cam = open_camera(stream=False)
    cam.trigger_mode = 2
    cam.rgb_gain = 100
    cam.distance_measure = 7
    cam.calibration_distance_offset = 123456
    cam.distance_offset = 42
    cam.hard_trigger_filter = (2000, 60)
    cam.serial_number = "PY-0001"
    cam.set_exposure_mode(False, sensor=orb_sdk.LIDAR)
    cam.set_exposure_time([100, 200, 300], sensor=orb_sdk.LIDAR)
    cam.set_intrinsics(np.arange(1, 9, dtype=np.float32))
    extrinsics = np.arange(12, dtype=np.float32).reshape(3, 4)
    cam.lidar_to_rgb_extrinsics = extrinsics
    assert (cam.trigger_mode, cam.rgb_gain, cam.distance_measure) == (2, 100, 7)
    assert (cam.calibration_distance_offset, cam.distance_offset) == (123456, 42)
    assert cam.hard_trigger_filter == (2000, 60) and cam.serial_number == "PY-0001"
    assert not cam.exposure_mode(orb_sdk.LIDAR) and cam.exposure_time(orb_sdk.LIDAR) == [100, 200, 300]
    assert np.array_equal(cam.intrinsics(), np.arange(1, 9)) and np.array_equal(cam.lidar_to_rgb_extrinsics, extrinsics)
    assert cam.lidar_to_imu_extrinsics.shape == (3, 4)
    assert cam.rgb_enabled and not cam.rgb_rotated and cam.device_type == "ORB-3D-L150"

    info = cam.net_info
    assert info == orb_sdk.NetInfo(CAMERA_IP, "127.0.0.1", 6301, 6001)
    info.host_port = 6002
    cam.net_info = info
    assert cam.net_info.host_port == 6002

    # Values the library would truncate are refused before anything is sent.
    before = simulator.requests()
    for bad in (lambda: setattr(cam, "trigger_mode", 256), lambda: setattr(cam, "rgb_gain", -1),
                lambda: cam.set_intrinsics([1, 2, 3]), lambda: setattr(cam, "lidar_to_rgb_extrinsics", np.eye(3))):
        with pytest.raises(ValueError):
            bad()
    with pytest.raises(ValueError):
        orb_sdk.NetInfo(lidar_ip="1" * 40)
    assert simulator.requests() == before


def test_errors_carry_the_code_and_the_library_text(open_camera):
    simulator, cam = open_camera(stream=False)
    simulator.set_fault(0x0304, status=5)  # the trigger-mode getter answers "parameter out of range"
    with pytest.raises(orb_sdk.Error) as e:
        cam.trigger_mode
    assert (e.value.code, e.value.text, e.value.call) == (5, orb_sdk.status_text(5), "ZelGetTriggerMode")
    assert CAMERA_IP in str(e.value)
    with pytest.raises(TimeoutError):
        cam.frame(timeout=0.2)
    with pytest.raises(ValueError, match="already open"):
        orb_sdk.Camera(CAMERA_IP, host_ip="127.0.0.1")
    with pytest.raises(ValueError, match="same host_ip and port"):
        orb_sdk.Camera("127.0.0.3", host_ip="127.0.0.1", port=6005)
    with pytest.raises(orb_sdk.Error) as e:
        orb_sdk.Camera("127.0.0.9", host_ip="127.0.0.1")  # nobody answers there
    assert e.value.code == -1997 and e.value.text == orb_sdk.return_code_text(-1997)
    cam.close()
    assert cam.closed
    with pytest.raises(ValueError, match="closed"):
        cam.frame()
    cam.close()  # twice is harmless
    # The failed and the closed camera left nothing behind: the address connects again.
    with orb_sdk.Camera(CAMERA_IP, host_ip="127.0.0.1") as again:
        assert again.serial_number == simulator.serial_number


def test_frames_are_freed(open_camera):
    _, cam = open_camera(fps=200, static_scene=True, pace=False, imu_rate=None, rgb_rate=None)
    refs = []
    cam.on_frame(lambda frame: refs.append(weakref.ref(frame)))
    tracemalloc.start()
    try:
        for frame in cam.frames(count=200, timeout=2):  # 432 MB through Python
            assert sys.getrefcount(frame) == 2
            refs.append(weakref.ref(frame))
        del frame
        held = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    cam.on_frame(None)
    assert len(refs) > 300 and held < 20 * 2**20
    assert wait_for(lambda: all(r() is None for r in refs))


def test_ctrl_c_ends_a_blocking_call(open_camera):
    _, cam = open_camera(stream=False, imu_rate=None, rgb_rate=None)
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signals reach the main thread only")
    timer = threading.Timer(0.3, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            cam.frame(timeout=30)
    finally:
        timer.cancel()
    assert cam.serial_number  # still usable
