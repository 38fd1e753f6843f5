"""vorel.Recording on the test display and sound server: one MP4 with both
streams, the right length, sound and picture in step, and failures that say
what went wrong without leaving a file that looks finished."""

import math
import os
import struct
import subprocess
import threading
import time
import wave

import pytest

import vorel
from media import (ColourWindow, audio_samples, decode_all, onsets, probe, transitions,
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
    window = ColourWindow(require_display, 0, 0, 960, 1080, 0x000000)
    reader = subprocess.Popen(
        ["parec", "--raw", "--latency-msec=5", "--format=s16le", f"--rate={RATE}",
         "--channels=2", "-d", "@DEFAULT_MONITOR@"], stdout=subprocess.PIPE)
    flips = []

    def watch():
        bright, last_loud, n = False, -RATE, 0
        while chunk := reader.stdout.read(960):
            for (v,) in struct.iter_unpack("<h", chunk[: len(chunk) // 2 * 2]):
                if abs(v) > 8000:
                    if n - last_loud > 0.2 * RATE:
                        bright = not bright
                        window.fill(0xFFFFFF if bright else 0x000000)
                        flips.append(time.monotonic())
                    last_loud = n
                n += 1

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    out = tmp_path / "sync.mp4"
    try:
        with vorel.Recording(out, monitor=0, fps=fps, duration=5.0) as rec:
            player = play(sound)
            rec.wait()
        stop_process(player)
    finally:
        stop_process(reader)
        watcher.join(5)
        window.close()

    video = transitions(video_brightness(out, 480, 540), fps)
    audio = onsets(audio_samples(out), RATE, threshold=8000, quiet=0.2)
    assert len(flips) == len(clicks)
    assert len(video) == len(audio) == len(clicks), (video, audio)
    offsets = [vt - at for vt, at in zip(video, audio)]
    limit = 1 / fps + 0.025
    assert all(abs(o) <= limit for o in offsets), offsets
    assert abs(offsets[-1] - offsets[0]) <= 1 / fps, offsets
    print("sync offsets (video - audio, ms):", [round(o * 1000, 1) for o in offsets],
          "shift", round(rec.audio_shift * 1000, 1))
