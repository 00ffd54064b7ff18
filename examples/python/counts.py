"""Prints, once a second, how many frames, IMU samples and RGB images arrived."""
import threading
import time

import numpy as np

from camera_source import open_camera, parser


def main():
    p = parser(__doc__)
    p.add_argument("--seconds", type=int, default=5)
    args = p.parse_args()
    counts = {"frames": 0, "imu": 0, "rgb": 0}
    points = [0]
    lock = threading.Lock()

    def count(kind):
        def fn(item):
            with lock:
                counts[kind] += 1
            if kind == "frames":  # non-empty points of the newest frame
                points[0] = int(np.count_nonzero(item["x"] != 0))
        return fn

    with open_camera(args) as cam:
        cam.on_frame(count("frames"))
        cam.on_imu(count("imu"))
        if cam.rgb_enabled:
            cam.on_rgb(count("rgb"))
        for second in range(1, args.seconds + 1):
            time.sleep(1)
            with lock:
                now = dict(counts)
                counts.update(frames=0, imu=0, rgb=0)
            print(f"[{second:3d}s] frames/s {now['frames']:3d}  points/frame {points[0]:5d}  "
                  f"imu/s {now['imu']:4d}  rgb/s {now['rgb']:3d}")
        print("dropped by slow callbacks:", cam.callback_drops)


if __name__ == "__main__":
    main()
