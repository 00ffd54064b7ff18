import struct

import pytest

import orb_sdk


def test_recording_holds_the_stream_and_misuse_raises(open_camera, tmp_path):
    path = tmp_path / "run.pcap"
    orb_sdk.start_recording(str(path))
    with pytest.raises(orb_sdk.Error) as again:
        orb_sdk.start_recording(str(path))
    _, cam = open_camera()
    assert len(list(cam.frames(count=2))) == 2
    orb_sdk.stop_recording()
    with pytest.raises(orb_sdk.Error) as idle:
        orb_sdk.stop_recording()
    assert (again.value.code, idle.value.code) == (-2002, -2003)
    data = path.read_bytes()
    magic, link = struct.unpack_from("<I16xI", data)
    # Two frames are hundreds of point-cloud datagrams of about 1 kB each.
    assert (magic, link) == (0xA1B2C3D4, 101) and len(data) > 200_000
