"""vorel.frames(), screenshot() and save_png() on the test display: shapes,
colours where a coloured window is, arrays that are views of the frame's
bytes, and a capture that stops when the loop does."""

import subprocess
import sys
import time
import zlib

import numpy as np
import pytest

import vorel
from media import ColourWindow, ffmpeg_exe
from vorel._frames import png_bytes

# X pixel 0xRRGGBB; frames hold B, G, R, X.
ORANGE = 0xFF8000


@pytest.fixture
def orange(require_display):
    window = ColourWindow(require_display, 1000, 100, 200, 150, ORANGE)
    time.sleep(0.1)
    yield
    window.close()


def base_of(array):
    while isinstance(array, np.ndarray):
        array = array.base
    return array


def test_frames_have_the_shape_and_colours_of_the_screen(orange):
    with vorel.frames(monitor=1, fps=20) as stream:
        got = [f for _, f in zip(range(5), stream)]
    assert [f.index for f in got] == [0, 1, 2, 3, 4]
    assert all(a.time < b.time for a, b in zip(got, got[1:]))
    for f in got:
        a = f.array
        assert a.shape == (1080, 960, 4) and a.dtype == np.uint8
        # The window is at x 1000..1199, that is 40..239 on the right monitor.
        assert tuple(a[175, 140, :3]) == (0x00, 0x80, 0xFF)
        assert tuple(a[175, 300, :3]) == (0, 0, 0)
        # No copy: the array's memory is the frame's bytes object.
        assert base_of(a) is f.data
        assert not a.flags.writeable


def test_breaking_out_of_the_loop_stops_the_capture(require_display):
    stream = vorel.frames(monitor=1, fps=30, queue_size=2)
    for frame in stream:
        if frame.index == 3:
            break
    assert stream.closed
    delivered = stream._sink.count
    time.sleep(0.3)
    assert stream._sink.count == delivered
    assert stream.read() is None


def test_a_slow_reader_gets_every_frame_in_order(require_display):
    with vorel.frames(monitor=1, fps=30, queue_size=2) as stream:
        indices = []
        for frame in stream:
            indices.append(frame.index)
            time.sleep(0.1)  # three times slower than the capture
            if len(indices) == 6:
                break
        assert indices == list(range(6))
        # The worker waited for room instead of dropping frames.
        assert stream._sink.count <= 6 + 2 + 1


def test_without_numpy_the_array_is_a_memoryview(require_display):
    code = """
import sys
sys.modules["numpy"] = None
import vorel
with vorel.frames(monitor=1) as s:
    f = s.read(10)
a = f.array
assert isinstance(a, memoryview), type(a)
assert a.shape == (1080, 960, 4) and a.readonly
assert a.obj is f.data
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert done.stdout.strip() == "ok", done.stderr


def test_screenshot_saved_as_png_decodes_to_the_same_pixels(tmp_path, orange):
    out = tmp_path / "shot.png"
    frame = vorel.screenshot(out, monitor=1)
    assert frame.index == 0
    rgb = subprocess.run([ffmpeg_exe(), "-v", "error", "-i", str(out), "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], check=True, capture_output=True).stdout
    decoded = np.frombuffer(rgb, np.uint8).reshape(1080, 960, 3)
    assert np.array_equal(decoded, frame.array[:, :, 2::-1])
    assert tuple(decoded[175, 140]) == (0xFF, 0x80, 0x00)


def test_png_encoding_of_a_tiny_frame():
    # 2x1: a blue-green-red-x pixel, then white; rows are filter byte + RGB.
    frame = vorel.Frame(0, 0.0, 2, 1, bytes([1, 2, 3, 99, 255, 255, 255, 0]))
    data = png_bytes(frame)
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert data[12:16] == b"IHDR" and data[16:24] == (2).to_bytes(4, "big") + (1).to_bytes(4, "big")
    start = data.index(b"IDAT") + 4
    length = int.from_bytes(data[start - 8:start - 4], "big")
    assert zlib.decompress(data[start:start + length]) == bytes([0, 3, 2, 1, 255, 255, 255])
    assert zlib.crc32(data[start - 4:start + length]) == int.from_bytes(
        data[start + length:start + length + 4], "big")


def test_bad_sources_and_arguments(require_display):
    with pytest.raises(vorel.RecordingError, match=r"monitor 4 not found \(have 2\)"):
        vorel.frames(monitor=4)
    with pytest.raises(vorel.RecordingError, match="no visible window"):
        vorel.screenshot(window="there is no such window 55ab")
    with pytest.raises(vorel.RecordingError, match="only one of"):
        vorel.frames(monitor=0, window="x")
    with pytest.raises(ValueError):
        vorel.frames(fps=0)
    with pytest.raises(ValueError):
        vorel.frames(queue_size=0)
