"""AudioCapture's lifecycle, milestones, getters and argument rules."""

import inspect
import os
import struct
import subprocess
import sys
import threading
import time

import pytest

import _native_core as m

AC = m.AudioCapture


def header(path):
    with open(path, "rb") as f:
        data = f.read()
    riff, riff_size, wave, fmt, fmt_size, tag, channels, rate, byte_rate, align, bits, data_id, size = (
        struct.unpack("<4sI4s4sIHHIIHH4sI", data[:44])
    )
    assert (riff, wave, fmt, fmt_size, tag, bits, data_id) == (b"RIFF", b"WAVE", b"fmt ", 16, 1, 16, b"data")
    assert riff_size == len(data) - 8 and size == len(data) - 44
    assert byte_rate == rate * channels * 2 and align == channels * 2
    return channels, rate, size


def test_shape_and_conversions(tmp_path):
    assert str(inspect.signature(AC)) == "(wav_path, process_id=None, ffmpeg_path=None)"
    assert str(inspect.signature(AC.wait_started)) == "(self, /, timeout=10.0)"
    assert str(inspect.signature(AC.wait_format_ready)) == "(self, /, timeout=10.0)"
    with pytest.raises(OverflowError):
        AC("x.wav", process_id=-1)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        AC("x.wav", process_id=2**32)
    with pytest.raises(OverflowError):
        AC("x.wav", process_id=2**64)
    with pytest.raises(TypeError, match="^argument 'process_id': "):
        AC("x.wav", process_id=1.5)
    with pytest.raises(TypeError, match="^argument 'ffmpeg_path': "):
        AC("x.wav", ffmpeg_path=3)
    with pytest.raises(TypeError, match="^argument 'wav_path': "):
        AC(tmp_path / "x.wav")
    with pytest.raises(TypeError):
        AC()
    AC("x.wav", None, None)
    AC("x.wav", 4294967295, "ffmpeg")
    with pytest.raises(TypeError):
        type("Sub", (AC,), {})


def test_before_any_start(tmp_path):
    c = AC(str(tmp_path / "never.wav"))
    assert (c.sample_rate, c.channels, c.bits_per_sample, c.started_at, c.error) == (48000, 2, 16, None, None)
    assert c.wait_started(0) is False and c.wait_format_ready(0) is False
    assert c.wait() is None and c.wait(-1) is None
    assert c.stop() is None
    with pytest.raises(TypeError, match="^argument 'timeout': "):
        c.wait_started(None)
    for call in (c.wait_started, c.wait_format_ready):
        with pytest.raises(BaseException) as e:
            call(-1)
        assert type(e.value).__name__ == "PanicException"
        assert not isinstance(e.value, Exception)
        assert str(e.value) == "cannot convert float seconds to Duration: value is negative"
    assert c.wait_started(0.1) is False, "a refused time-out leaves the state usable"
    assert not (tmp_path / "never.wav").exists()


def test_a_run_from_start_to_finished_file(require_audio, tmp_path):
    path = tmp_path / "run.wav"
    c = AC(str(path))
    c.stop()  # before start: only the flags
    c.start()
    c.start()  # no second worker
    assert c.wait_format_ready(10) is True
    assert (c.sample_rate, c.channels, c.bits_per_sample) == (48000, 2, 32)
    assert c.wait_started(10) is True
    assert c.started_at == 0.0
    time.sleep(0.3)
    c.stop()
    assert c.started_at == 0.0
    c.wait()
    assert c.error is None
    channels, rate, size = header(path)
    assert (channels, rate) == (2, 48000)
    assert size % 4 == 0 and size > 0
    assert c.wait_started(0) is True, "milestones stay until the next start"
    c.start()
    assert c.wait_started(10)
    c.stop()
    c.wait()
    header(path)  # the second run rewrote the file whole


def test_restart_waits_for_the_previous_worker(require_audio, tmp_path):
    path = tmp_path / "restart.wav"
    c = AC(str(path))
    for _ in range(4):
        c.start()
        assert c.wait_started(10)
        c.stop()  # no wait(): the next start waits for this worker's file
    c.wait()
    header(path)


def test_wait_with_time_out_detaches_and_stop_still_reaches(require_audio, tmp_path):
    path = tmp_path / "detached.wav"
    c = AC(str(path))
    c.start()
    assert c.wait_started(10)
    t = time.monotonic()
    assert c.wait(0) is None
    assert time.monotonic() - t < 0.5
    assert c.wait() is None  # forgotten
    c.stop()
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            header(path)
            break
        except (AssertionError, struct.error, OSError):
            time.sleep(0.05)
    header(path)


def test_wait_releases_the_interpreter_lock(require_audio, tmp_path):
    c = AC(str(tmp_path / "gil.wav"))
    c.start()
    assert c.wait_started(10)
    threading.Timer(0.2, c.stop).start()
    c.wait()  # another Python thread must be able to call stop() meanwhile
    header(tmp_path / "gil.wav")


def test_bad_path_fails_after_start(require_audio, tmp_path):
    c = AC(str(tmp_path / "missing-dir" / "x.wav"))
    c.start()
    assert c.wait_started(10) is True, "the file is created after the stream started"
    c.wait(10)
    assert c.error == "Failed to create WAV file: No such file or directory (os error 2)"
    assert c.start() is None  # failed: no effect until stop()
    c.stop()


def test_dropping_or_exiting_finishes_the_file(require_audio, tmp_path):
    dropped = tmp_path / "dropped.wav"
    c = AC(str(dropped))
    c.start()
    assert c.wait_started(10)
    del c
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and (not dropped.exists() or dropped.stat().st_size < 44):
        time.sleep(0.05)
    time.sleep(0.3)
    header(dropped)

    exiting = tmp_path / "exit.wav"
    code = f"""
import time, _native_core as m
c = m.AudioCapture({str(exiting)!r})
c.start()
assert c.wait_started(10)
time.sleep(0.3)
print("bye", flush=True)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60, env=os.environ)
    assert out.returncode == 0, out.stderr
    assert out.stdout == b"bye\n" and out.stderr == b""
    channels, rate, size = header(exiting)
    assert size >= 0.25 * rate * channels * 2
