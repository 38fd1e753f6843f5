"""Parts of vorel that need neither a display nor a sound server: where the
encoder sink puts each frame on the file's time line, how ffmpeg is found,
and the wheel check."""

import os
import threading

import pytest

from vorel import _ffmpeg, _recording


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


def run_sink(monkeypatch, times, fps=10, limit=None):
    """Feeds one-byte frames b"0", b"1", ... at the given monotonic times and
    returns what reached the encoder's input, and the sink."""
    clock = Clock()
    monkeypatch.setattr(_recording.time, "monotonic", clock)
    wake = threading.Event()
    sink = _recording._EncoderSink(fps, limit, wake)
    read_end, write_end = os.pipe()
    sink.attach(write_end)
    assert sink.wait_ready(1.0)
    for i, t in enumerate(times):
        clock.now = t
        sink.write(str(i).encode())
    sink.detach()
    with os.fdopen(read_end, "rb") as f:
        return f.read().decode(), sink, wake


def test_frames_on_schedule_pass_one_for_one(monkeypatch):
    # The first write is slow (the encoder starting); the schedule starts at
    # its end, so frame 1 defines the time line.
    got, sink, _ = run_sink(monkeypatch, [0.0, 1.0, 1.1, 1.2005, 1.3, 1.4])
    assert got == "012345"
    assert (sink.repeated, sink.dropped, sink.max_behind) == (0, 0, 0)
    assert sink.video_origin() == pytest.approx(0.9)


def test_a_late_grab_repeats_the_previous_frame_and_the_catch_up_is_dropped(monkeypatch):
    # Frame 3 is due at 1.2 but comes at 1.32: interval 3 keeps frame 2,
    # frame 3 shows in interval 4; frame 4, grabbed right after it to catch
    # up, has no interval left; frame 5 is on time again.
    got, sink, _ = run_sink(monkeypatch, [0.0, 1.0, 1.1, 1.32, 1.33, 1.4])
    assert got == "012235"
    assert (sink.repeated, sink.dropped) == (1, 1)
    assert sink.max_behind == 1  # when frame 3 came, frame 4 was due too


def test_a_long_stall_fills_every_missed_interval(monkeypatch):
    got, sink, _ = run_sink(monkeypatch, [0.0, 1.0, 1.1, 1.6, 1.61, 1.62, 1.7])
    # Frame 3 belongs in interval 7: intervals 3-6 keep frame 2; frames 4
    # and 5 come within interval 7 and are dropped.
    assert got == "012222236"
    assert sink.repeated == 4 and sink.dropped == 2


def test_the_limit_ends_the_recording(monkeypatch):
    got, sink, wake = run_sink(monkeypatch, [0.0, 1.0, 1.1, 1.2, 1.3], limit=3)
    assert got == "012"
    assert sink.limit_reached and wake.is_set() and sink.frames == 3


def test_find_ffmpeg_prefers_what_it_is_given(tmp_path, monkeypatch):
    exe = tmp_path / "my-ffmpeg"
    exe.write_text("#!/bin/sh\n")
    exe.chmod(0o755)
    assert _ffmpeg.find_ffmpeg(exe) == str(exe)
    monkeypatch.setenv("VOREL_FFMPEG", str(exe))
    assert _ffmpeg.find_ffmpeg() == str(exe)
    monkeypatch.setenv("VOREL_FFMPEG", str(tmp_path / "missing"))
    with pytest.raises(_recording.RecordingError, match="VOREL_FFMPEG"):
        _ffmpeg.find_ffmpeg()
    (tmp_path / "plain").write_text("")
    with pytest.raises(_recording.RecordingError, match="not an executable file"):
        _ffmpeg.find_ffmpeg(tmp_path / "plain")


def load_wheels_script():
    import importlib.util

    path = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "wheels.py")
    spec = importlib.util.spec_from_file_location("wheels", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_windows_wheel_is_assembled_and_checked(tmp_path):
    import zipfile

    wheels = load_wheels_script()
    pyd = tmp_path / "_native_core.pyd"
    pyd.write_bytes(b"MZ not really a module")
    wheel = wheels.build_windows(pyd, tmp_path / "dist")
    assert wheel.name == "vorel-0.1.0-cp313-cp313-win_amd64.whl"
    wheels.check(wheel, dlls=False)  # raises SystemExit when anything is wrong
    with zipfile.ZipFile(wheel) as z:
        meta = z.read("vorel-0.1.0.dist-info/METADATA").decode()
        assert 'Requires-Dist: imageio-ffmpeg>=0.5; extra == "record"' in meta
        assert z.read("_native_core.pyd") == pyd.read_bytes()
        entries = {i.filename: z.read(i) for i in z.infolist()}
    # The same wheel without the stubs, or with a changed file, is refused.
    for broken_name, change in [("_native_core-stubs/__init__.pyi", None),
                                ("vorel/_cli.py", b"# changed\n")]:
        broken = tmp_path / "broken" / wheel.name
        broken.parent.mkdir(exist_ok=True)
        with zipfile.ZipFile(broken, "w") as z:
            for name, data in entries.items():
                if name == broken_name:
                    if change is None:
                        continue
                    data = change
                z.writestr(name, data)
        with pytest.raises(SystemExit):
            wheels.check(broken, dlls=False)
