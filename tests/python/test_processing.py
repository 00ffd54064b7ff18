import numpy as np
import pytest

import orb_sdk
from orb_sdk import sim


def scene_frame(scene, index=0):
    """A frame made from a scene's returns, as a camera sending floats would deliver it."""
    points = scene.render(index)
    frame = np.zeros(orb_sdk.FRAME_SHAPE, orb_sdk.POINT_DTYPE)
    for field in ("x", "y", "z", "distance", "intensity"):
        frame[field] = np.where(points["valid"], points[field], 0)
    frame["row"], frame["column"] = np.indices(orb_sdk.FRAME_SHAPE)
    return frame


def test_wrong_arrays_are_refused_before_the_library_sees_them():
    good = scene_frame(sim.wall(300))
    pipeline = orb_sdk.FilterPipeline()
    uses = [orb_sdk.plane_angle, orb_sdk.rotate, pipeline.apply, lambda f: orb_sdk.max_range(good, f)]
    for use in uses:
        with pytest.raises(TypeError):
            use(good["x"])  # float32, not points
        with pytest.raises(TypeError):
            use([[0] * 360] * 150)
        with pytest.raises(ValueError):
            use(good[:100])
        with pytest.raises(ValueError):
            use(good[:, ::-1])  # not contiguous
    read_only = good.copy()
    read_only.flags.writeable = False
    with pytest.raises(ValueError):
        orb_sdk.rotate(read_only, inplace=True)
    with pytest.raises(TypeError):
        pipeline.apply_xyz(np.zeros((150, 360, 3)))  # float64
    with pytest.raises(ValueError):
        pipeline.apply_xyz(np.zeros((150, 360), np.float32))


def test_rotation():
    frame = scene_frame(sim.box())
    untouched = frame.copy()
    assert orb_sdk.rotate(frame).tobytes() == frame.tobytes()
    turned = orb_sdk.rotate(frame, angles=(0, 0, 90), offset=(0, 0, 5))
    assert np.array_equal(frame, untouched)  # a copy unless inplace
    np.testing.assert_allclose(turned["x"], -frame["y"], atol=1e-3)
    np.testing.assert_allclose(turned["y"], frame["x"], atol=1e-3)
    np.testing.assert_allclose(turned["z"], frame["z"] + 5, atol=1e-3)
    assert orb_sdk.rotate(frame, offset=(1, 0, 0), inplace=True) is frame and frame["x"][75, 180] == 201


def test_plane_angle_of_a_turned_wall():
    orb_sdk.disable_angle_measure()
    frame = scene_frame(sim.wall(250, 20))
    with pytest.raises(orb_sdk.Error) as e:
        orb_sdk.plane_angle(frame)
    assert e.value.code == -100 and e.value.text == "Do not init algotithm module"
    with pytest.raises(ValueError):
        orb_sdk.enable_angle_measure(orb_sdk.AngleParams(slice_height=0))
    orb_sdk.enable_angle_measure(orb_sdk.AngleParams(range_max=500))
    try:
        scene = sim.noisy_wall(250, 20, sigma=0.3, stray_fraction=0.0)
        angles = [orb_sdk.plane_angle(scene_frame(scene, i)) for i in range(8)]
        assert angles[-1] == pytest.approx(-20, abs=1.0)
    finally:
        orb_sdk.disable_angle_measure()


def test_filter_pipeline_on_own_frames():
    pipeline = orb_sdk.FilterPipeline()
    noisy = scene_frame(sim.noisy_wall(300, 0, sigma=3.0, stray_fraction=0.0))
    assert np.array_equal(pipeline.apply(noisy), noisy)  # every stage off
    pipeline.set_spatial_filter(True, 5)
    assert pipeline.spatial_enabled and not pipeline.flying_enabled
    smooth = pipeline.apply(noisy)
    centre = (slice(20, 130), slice(60, 300))
    assert smooth["x"][centre].std() < noisy["x"][centre].std() / 2
    assert np.array_equal(smooth["intensity"], noisy["intensity"])
    xyz = np.ascontiguousarray(orb_sdk.xyz(noisy))
    np.testing.assert_array_equal(pipeline.apply_xyz(xyz), orb_sdk.xyz(smooth))
    pipeline.reset()
    assert not pipeline.spatial_enabled
