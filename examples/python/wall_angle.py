"""Measures, frame after frame, the yaw angle of the wall in front of the camera."""
import orb_sdk
from orb_sdk import sim

from camera_source import open_camera, parser


def main():
    p = parser(__doc__)
    p.add_argument("--frames", type=int, default=20)
    p.add_argument("--yaw", type=float, default=20.0, help="yaw of the simulated wall in degrees")
    args = p.parse_args()
    # The simulated wall, 2.5 m ahead, has a little range noise: on a noise-free
    # still scene the measurement reports identical readings as an error.
    scene = sim.noisy_wall(250, args.yaw, sigma=0.3, stray_fraction=0.0)
    orb_sdk.enable_angle_measure(orb_sdk.AngleParams())
    try:
        with open_camera(args, scene=scene) as cam:
            for i, frame in enumerate(cam.frames(count=args.frames, timeout=5)):
                try:
                    print(f"frame {i:3d}: wall angle {orb_sdk.plane_angle(frame):7.2f} deg")
                except orb_sdk.Error as e:
                    print(f"frame {i:3d}: no angle ({e.code}: {e.text})")
    finally:
        orb_sdk.disable_angle_measure()


if __name__ == "__main__":
    main()
