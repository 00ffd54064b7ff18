"""Saves the next frame as a binary PLY (x, y, z, intensity) and its depth as a 16-bit PNG."""
import struct
import zlib

import numpy as np

from camera_source import open_camera, parser


def write_ply(path, frame):
    points = frame[(frame["x"] != 0) | (frame["y"] != 0) | (frame["z"] != 0)]
    vertices = np.empty(len(points), [("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("intensity", "u1")])
    for field in ("x", "y", "z"):
        vertices[field] = points[field]
    vertices["intensity"] = np.clip(points["intensity"], 0, 255)
    header = ("ply\nformat binary_little_endian 1.0\n"
              f"element vertex {len(vertices)}\n"
              "property float x\nproperty float y\nproperty float z\nproperty uchar intensity\nend_header\n")
    with open(path, "wb") as f:
        f.write(header.encode("ascii"))
        f.write(vertices.tobytes())
    return len(vertices)


def write_depth_png(path, frame):
    """360 x 150 pixels, 16-bit grey: the forward distance x in tenths (0: no return)."""
    depth = np.clip(np.round(frame["x"] * 10), 0, 65535).astype(">u2")
    rows = b"".join(b"\x00" + row.tobytes() for row in depth)  # filter type 0 per row

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    height, width = depth.shape
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 16, 0, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(rows, 9)))
        f.write(chunk(b"IEND", b""))


def main():
    p = parser(__doc__)
    p.add_argument("--ply", default="frame.ply")
    p.add_argument("--png", default="depth.png")
    args = p.parse_args()
    with open_camera(args) as cam:
        frame = cam.frame(timeout=5)
    print(f"saved {write_ply(args.ply, frame)} points to {args.ply}")
    write_depth_png(args.png, frame)
    print(f"saved the depth image to {args.png}")


if __name__ == "__main__":
    main()
