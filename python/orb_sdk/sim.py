"""The virtual camera, in this process: a scene, rates and faults, for tests and for trying the library."""
from ._orb_sdk import sim as _sim

Simulator = _sim.Simulator
Scene = _sim.Scene
wall = _sim.wall
box = _sim.box
ramp = _sim.ramp
corner = _sim.corner
noisy_wall = _sim.noisy_wall
approaching = _sim.approaching
with_noise = _sim.with_noise
with_intensity_falloff = _sim.with_intensity_falloff
with_flicker = _sim.with_flicker
with_flying_pixels = _sim.with_flying_pixels
with_second_echo = _sim.with_second_echo
test_pattern_color = _sim.test_pattern_color
