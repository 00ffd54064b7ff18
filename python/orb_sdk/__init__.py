"""Python interface of the orb_sdk_win library for the network-attached 3D LiDAR camera.

Frames are numpy structured arrays of shape (150, 360) with the fields of
POINT_DTYPE; every array returned owns its memory. Library failures raise
orb_sdk.Error, which carries the code and the library's text.
"""
from ._orb_sdk import (  # noqa: F401
    COLS,
    DUAL_ECHO,
    FRAME_SHAPE,
    LIDAR,
    POINT_DTYPE,
    RGB_CAMERA,
    ROWS,
    SINGLE_ECHO,
    AngleParams,
    Camera,
    Error,
    FilterPipeline,
    FoundCamera,
    FrameIterator,
    ImuSample,
    NetInfo,
    SixAxisSample,
    disable_angle_measure,
    discover,
    enable_angle_measure,
    max_range,
    plane_angle,
    return_code_text,
    rotate,
    start_recording,
    status_text,
    stop_recording,
    xyz,
)
from . import sim  # noqa: F401

__version__ = "1.0.0"
