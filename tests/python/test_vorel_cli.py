"""The `vorel` command line as a user runs it: list, record (Ctrl+C and a
killed process included), screenshot, and one clear line for every error."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

from media import decode_all, probe


def vorel(*args, env=None, **kwargs):
    return subprocess.run([sys.executable, "-m", "vorel", *args], capture_output=True,
                          text=True, timeout=120, env=env, **kwargs)


@pytest.fixture
def start_vorel():
    """Starts `vorel ...`; whatever is still running at the end is killed."""
    started = []

    def start(*args):
        p = subprocess.Popen([sys.executable, "-m", "vorel", *args], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        started.append(p)
        return p

    yield start
    for p in started:
        if p.poll() is None:
            p.kill()
            p.communicate()


def wait_for_size(path, size, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if path.exists() and path.stat().st_size >= size:
            return
        time.sleep(0.05)
    raise AssertionError(f"{path} did not reach {size} bytes")


def one_error_line(done):
    assert done.returncode != 0
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1, done.stderr
    assert "Traceback" not in done.stderr
    assert lines[0].startswith("vorel")
    return lines[0]


def test_list_as_tables_and_json(require_display, require_audio):
    done = vorel("list")
    assert done.returncode == 0
    text = done.stdout
    assert "Monitors" in text and "Windows" in text and "Audio outputs" in text
    assert any(line.split()[:2] == ["0", "LEFT"] for line in text.splitlines())
    data = json.loads(vorel("list", "--json").stdout)
    assert [m["name"] for m in data["monitors"]] == ["LEFT", "RIGHT"]
    assert data["monitors"][1]["x"] == 960
    assert any(d["is_default"] for d in data["audio_devices"])


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_ctrl_c_finishes_the_file(tmp_path, require_display, require_audio, start_vorel, sig):
    out = tmp_path / "int.mp4"
    p = start_vorel("record", str(out), "--monitor", "1", "--fps", "15")
    wait_for_size(tmp_path / "int.video.mp4", 2000)
    p.send_signal(sig)
    _, err = p.communicate(timeout=60)
    assert p.returncode == 0, err
    assert err == ""  # not a terminal: quiet
    info = probe(out)
    assert info["count"] == 2
    assert int(info["video"]["nb_read_frames"]) >= 5
    assert abs(float(info["video"]["duration"]) - float(info["audio"]["duration"])) <= 0.05
    assert decode_all(out)[0] == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["int.mp4"]


def test_a_killed_recorder_leaves_a_playable_video_and_the_sound(tmp_path, require_display,
                                                                 require_audio, start_vorel):
    out = tmp_path / "kill.mp4"
    p = start_vorel("record", str(out), "--monitor", "1", "--fps", "15")
    video, sound = tmp_path / "kill.video.mp4", tmp_path / "kill.audio.wav"
    wait_for_size(video, 2000)
    wait_for_size(sound, 48000)
    time.sleep(1.2)  # a second fragment
    p.kill()
    p.communicate(timeout=30)
    assert not out.exists()
    time.sleep(1.0)  # the encoder ends on its own when its input closes
    code, errors = decode_all(video)
    assert code == 0 and errors == ""
    assert int(probe(video)["video"]["nb_read_frames"]) >= 15
    # The sound so far is in the WAV beside it (its header is only finished
    # when the recording stops).
    with open(sound, "rb") as f:
        head = f.read(12)
    assert head[:4] == b"RIFF" and head[8:12] == b"WAVE"
    assert sound.stat().st_size > 48000
    # A new recording under the same name leaves them alone.
    line = one_error_line(vorel("record", str(out), "--monitor", "1"))
    assert "kill.video.mp4 is in the way" in line
    assert video.exists() and sound.exists()


@pytest.mark.parametrize("args, expected", [
    (["record"], "the following arguments are required: OUT.mp4"),
    (["record", "x.mp4", "--fps", "0"], "must be from 1 to 240"),
    (["record", "x.mp4", "--monitor", "1", "--window", "a"], "not allowed with argument"),
    (["record", "x.mp4", "--duration", "-2"], "must be a positive number"),
    (["record", "x.mp4", "--monitor", "9"], "monitor 9 not found (have 2)"),
    (["record", "x.mp4", "--window", "no such window 3a1f"], "no visible window"),
    (["record", "missing/x.mp4"], "output folder does not exist"),
    (["record", "x.mp4", "--ffmpeg", "/nonexistent/ffmpeg"], "ffmpeg not found"),
    (["record", "x.mp4", "--process", "-1"], "process_id must be a process id"),
    (["record", "x.mp4", "--hwnd", "-5"], "no window has the handle -0x5"),
    (["record", "x.mp4", "--hwnd", "0x1ffffffffffffffff"], "no window has the handle"),
    (["screenshot", "x.png", "--monitor", "5"], "monitor 5 not found"),
    (["screenshot", "missing/x.png"], "output folder does not exist"),
    (["frobnicate"], "invalid choice"),
])
def test_errors_are_one_line(tmp_path, require_display, args, expected):
    line = one_error_line(vorel(*args, cwd=tmp_path))
    assert expected in line
    assert list(tmp_path.iterdir()) == []


def test_no_ffmpeg_anywhere(tmp_path, require_display):
    # Neither the packaged binary nor one on PATH.
    code = ("import sys; sys.modules['imageio_ffmpeg'] = None; "
            "from vorel._cli import main; sys.exit(main())")
    env = dict(os.environ, PATH=str(tmp_path))
    env.pop("VOREL_FFMPEG", None)
    done = subprocess.run([sys.executable, "-c", code, "record", "x.mp4"], cwd=tmp_path,
                          env=env, capture_output=True, text=True, timeout=60)
    assert "ffmpeg not found: install vorel[record]" in one_error_line(done)


def test_screenshot(tmp_path, require_display):
    out = tmp_path / "shot.png"
    done = vorel("screenshot", str(out), "--monitor", "1")
    assert done.returncode == 0, done.stderr
    info = probe(out)
    assert (info["video"]["width"], info["video"]["height"]) == (960, 1080)
    assert decode_all(out)[0] == 0


def test_progress_line_on_a_terminal(tmp_path, require_display):
    import pty

    out = tmp_path / "tty.mp4"
    main, child = pty.openpty()
    p = subprocess.Popen([sys.executable, "-m", "vorel", "record", str(out), "--monitor", "1",
                          "--fps", "10", "--audio", "none", "--duration", "1.5"],
                         stdin=child, stdout=child, stderr=child)
    os.close(child)
    text = b""
    while True:
        try:
            chunk = os.read(main, 4096)
        except OSError:
            break
        if not chunk:
            break
        text += chunk
    os.close(main)
    assert p.wait(30) == 0
    shown = text.decode()
    assert "\r" in shown and " frames " in shown and "behind" in shown
    assert "15 frames at 10 fps" in shown
