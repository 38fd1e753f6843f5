"""vorel.Recording on the test display and sound server: one MP4 with both
streams, the right length, sound and picture in step, and failures that say
what went wrong without leaving a file that looks finished."""

import math
import os
import signal
import struct
import subprocess
import sys
import threading
import time
import wave

import pytest

import vorel
from media import (audio_samples, decode_all, onsets, probe, transitions,
                   video_brightness)

RATE = 48000


def write_wav(path, seconds, clicks=(), tone_hz=None, level=8000):
    """A 48 kHz stereo WAV: silence (or a tone) with 15 ms bursts at the
    given times."""
    n = int(seconds * RATE)
    samples = [0] * n
    if tone_hz:
        for i in range(n):
            samples[i] = int(level * math.sin(2 * math.pi * tone_hz * i / RATE))
    for at in clicks:
        start = int(at * RATE)
        for i in range(start, min(n, start + int(0.015 * RATE))):
            samples[i] = int(20000 * math.sin(2 * math.pi * 1000 * i / RATE))
    with wave.open(str(path), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(struct.pack("<hh", s, s) for s in samples))


def play(path):
    return subprocess.Popen(["paplay", "--latency-msec=30", str(path)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def stop_process(p):
    if p.poll() is None:
        p.terminate()
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


@pytest.fixture
def tone(tmp_path, require_audio):
    path = tmp_path / "tone.wav"
    write_wav(path, 8, tone_hz=440)
    player = play(path)
    yield
    stop_process(player)


def test_a_few_seconds_with_a_tone(tmp_path, require_display, tone):
    out = tmp_path / "rec.mp4"
    seen = []
    started = time.monotonic()
    with vorel.Recording(out, monitor=1, fps=30, duration=3) as rec:
        while not rec.wait(0.25):
            seen.append(rec.status())
    wall = time.monotonic() - started
    assert rec.status().state == "done" and rec.status().error is None
    assert seen and all(s.state in ("recording", "finishing") for s in seen)
    assert [s.frames for s in seen] == sorted(s.frames for s in seen)
    assert rec.status().bytes_written == out.stat().st_size

    info = probe(out)
    assert info["count"] == 2
    assert info["video"]["codec_name"] == "h264" and info["audio"]["codec_name"] == "aac"
    assert (info["video"]["width"], info["video"]["height"]) == (960, 1080)
    frames = int(info["video"]["nb_read_frames"])
    assert abs(frames - 90) <= 1
    v, a = float(info["video"]["duration"]), float(info["audio"]["duration"])
    assert abs(v - a) <= 0.05 and abs(v - 3.0) <= 0.05
    assert wall >= 3.0
    # The recorded sound itself covers the video (the muxer pads only what
    # is missing, which must be nothing here).
    assert rec.audio_end >= 3.0 - 0.05
    # Nothing is left beside the output; the sound is the tone, not silence.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["rec.mp4", "tone.wav"]
    samples = audio_samples(out)
    rms = math.sqrt(sum(s * s for s in samples[RATE:2 * RATE]) / RATE)
    assert 3000 < rms < 8000


def test_sound_and_picture_stay_together(tmp_path, require_display, require_audio):
    """A click is played now and then; the moment the sink renders it (seen
    by a low-latency reader of its monitor) the screen flips between black
    and white. In the file, each flip must be within one frame interval +
    25 ms of its click, and the offset must not grow."""
    fps = 30
    clicks = [0.5 + 0.7 * i for i in range(5)]
    sound = tmp_path / "clicks.wav"
    write_wav(sound, 4.2, clicks)
    flipper = subprocess.Popen(
        [sys.executable, os.path.join(os.path.dirname(__file__), "flip_on_click.py"),
         require_display, "0", "0", "960", "1080"], stdout=subprocess.PIPE, text=True)
    out = tmp_path / "sync.mp4"
    try:
        assert flipper.stdout.readline().strip() == "ready"
        with vorel.Recording(out, monitor=0, fps=fps, duration=5.0) as rec:
            player = play(sound)
            rec.wait()
        stop_process(player)
    finally:
        flipper.send_signal(signal.SIGINT)
        flips = flipper.communicate(timeout=10)[0].strip()
    assert flips == str(len(clicks))

    video = transitions(video_brightness(out, 480, 540), fps)
    audio = onsets(audio_samples(out), RATE, threshold=8000, quiet=0.2)
    assert len(video) == len(audio) == len(clicks), (video, audio)
    offsets = [vt - at for vt, at in zip(video, audio)]
    limit = 1 / fps + 0.025
    behind = rec.status().max_frames_behind
    assert all(abs(o) <= limit for o in offsets), (offsets, f"{behind} frames behind")
    # Frames sample the screen every interval, so an offset can move by one
    # interval from event to event; more would be drift.
    assert abs(offsets[-1] - offsets[0]) <= 1 / fps + 0.005, (offsets, f"{behind} behind")
    s = rec.status()
    print("sync offsets (video - audio, ms):", [round(o * 1000, 1) for o in offsets],
          "shift", round(rec.audio_shift * 1000, 1), "behind", behind,
          "repeated", s.frames_repeated, "dropped", s.frames_dropped)


def test_an_exception_in_the_block_still_finishes_the_file(tmp_path, require_display, tone):
    out = tmp_path / "cut.mp4"
    with pytest.raises(ZeroDivisionError):
        with vorel.Recording(out, monitor=1, fps=15, audio="none") as rec:
            while rec.status().frames < 10:
                time.sleep(0.05)
            1 / 0
    info = probe(out)
    assert info["count"] == 1 and "audio" not in info
    assert int(info["video"]["nb_read_frames"]) >= 10
    assert decode_all(out)[0] == 0
    assert not rec.video_part.exists()
    assert rec.stop() == out  # stop() again just reports the outcome


@pytest.mark.parametrize("kwargs, message", [
    ({"monitor": 7}, "monitor 7 not found (have 2)"),
    ({"window": "no window is called this 7d1e"}, "no visible window has a title containing"),
    ({"hwnd": 0x7FFFFFF0}, "no window has the handle 0x7ffffff0"),
    ({"ffmpeg": "/nonexistent/ffmpeg"}, "ffmpeg not found: the given ffmpeg"),
])
def test_sources_and_tools_that_do_not_exist(tmp_path, require_display, kwargs, message):
    rec = vorel.Recording(tmp_path / "x.mp4", audio="none", **kwargs)
    with pytest.raises(vorel.RecordingError) as e:
        rec.start()
    assert message in str(e.value)
    assert list(tmp_path.iterdir()) == []
    assert rec.status().state == "failed"


def test_missing_folder_and_bad_arguments(tmp_path):
    with pytest.raises(vorel.RecordingError, match="output folder does not exist"):
        vorel.Recording(tmp_path / "nope" / "x.mp4").start()
    for bad in ({"fps": 0}, {"fps": 2.5}, {"audio": "mic"}, {"duration": -1},
                {"duration": float("nan")}, {"audio": "none", "process_id": 1},
                {"encoder_options": "-preset fast"}):
        with pytest.raises((ValueError, TypeError)):
            vorel.Recording(tmp_path / "x.mp4", **bad)


def test_an_encoder_that_fails_is_reported_with_its_words(tmp_path, require_display):
    out = tmp_path / "bad.mp4"
    rec = vorel.Recording(out, monitor=1, fps=15, audio="none", encoder="no_such_encoder_9")
    rec.start()
    assert rec.wait(30)
    with pytest.raises(vorel.RecordingError) as e:
        rec.stop()
    assert "the encoder failed" in str(e.value) and "no_such_encoder_9" in str(e.value)
    assert not out.exists()
    assert rec.status().state == "failed"


def test_a_sound_server_that_is_not_there(tmp_path, require_display, monkeypatch):
    monkeypatch.setenv("PULSE_SERVER", f"unix:{tmp_path}/no-server")
    rec = vorel.Recording(tmp_path / "x.mp4", monitor=1)
    with pytest.raises(vorel.RecordingError, match=r"^audio: \S+"):
        rec.start()
    assert not (tmp_path / "x.mp4").exists()


def test_encoder_options_reach_ffmpeg(tmp_path, require_display):
    out = tmp_path / "opt.mp4"
    with vorel.Recording(out, monitor=1, fps=10, audio="none", duration=1,
                         encoder_options={"preset": "ultrafast", "g": 5, "crf": 40}) as rec:
        rec.wait(20)
    info = probe(out)
    assert int(info["video"]["nb_read_frames"]) == 10
    # A key frame every 5 frames, as asked.
    keys = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "frame=key_frame",
         "-of", "csv=p=0", str(out)], check=True, capture_output=True, text=True).stdout.split()
    assert [i for i, k in enumerate(keys) if k.startswith("1")] == [0, 5]


def test_a_script_that_ends_while_recording_still_gets_its_file(tmp_path, require_display,
                                                                 tone):
    out = tmp_path / "exit.mp4"
    code = f"""
import time, vorel
rec = vorel.Recording({str(out)!r}, monitor=1, fps=15).start()
while rec.status().frames < 15:
    time.sleep(0.05)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0 and done.stderr == ""
    info = probe(out)
    assert info["count"] == 2 and int(info["video"]["nb_read_frames"]) >= 15
    assert sorted(p.name for p in tmp_path.iterdir()) == ["exit.mp4", "tone.wav"]


def test_many_threads_stop_and_ask_at_once(tmp_path, require_display):
    out = tmp_path / "threads.mp4"
    rec = vorel.Recording(out, monitor=1, fps=15, audio="none").start()
    while rec.status().frames < 5:
        time.sleep(0.02)
    results, errors = [], []

    def worker(i):
        try:
            if i % 2:
                results.append(rec.stop())
            else:
                for _ in range(20):
                    assert rec.status().state in ("recording", "finishing", "done")
        except Exception as e:  # collected, reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == [] and results == [out] * 4
    with pytest.raises(vorel.RecordingError, match="already started"):
        rec.start()
    assert int(probe(out)["video"]["nb_read_frames"]) >= 5
