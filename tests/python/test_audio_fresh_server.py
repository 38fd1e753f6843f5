"""Recordings on a sound server started a moment before.

A PulseAudio null sink that no low-latency client has listened to renders
up to 2 s ahead of real time, and what it rendered before a recording
connected is never delivered to it. The recording's time line must still be
the wall clock's: the file lasts as long as the recording ran and every
sound sits where it was played. Each test starts its own server
(the fresh_server fixture) with nothing reading the sink's monitor.
"""

import os
import subprocess
import sys
import threading
import time
import wave

import numpy as np
import pytest

import _native_core as m
from test_audio_pulse import read_wav

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="sound server")

# A click every 0.30 to 0.58 s, the intervals never repeating back to back,
# so that a time line shifted by any amount up to the pattern's 2.2 s period
# cannot line its clicks up with the played ones.
CLICK_TIMES = np.cumsum([0.25] + [0.30 + 0.07 * (k % 5) for k in range(40)])
CLICK_SECONDS = 0.004
CLICK_LEVEL = 20000


def write_clicks(path, rate, seconds):
    frames = np.zeros((int(rate * seconds), 2), dtype="<i2")
    for t in CLICK_TIMES[CLICK_TIMES < seconds - 0.1]:
        start = int(t * rate)
        frames[start:start + int(CLICK_SECONDS * rate)] = CLICK_LEVEL
    with wave.open(str(path), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(frames.tobytes())


def click_onsets(samples, rate):
    """Where each click starts, in seconds."""
    loud = np.flatnonzero(np.abs(samples[:, 0].astype(int)) > CLICK_LEVEL // 2)
    if len(loud) == 0:
        return np.array([])
    firsts = loud[np.concatenate(([True], np.diff(loud) > rate * 0.05))]
    return firsts / rate


class MonitorWatch:
    """A reader of the sink's monitor at low latency, started with the
    recording: it sees a sound within a few milliseconds of when the sink
    renders it, which is the ground truth for when it was played. Arrival
    times are taken per read; the least delayed read dates the stream."""

    def __init__(self, sink, rate):
        self.rate = rate
        self.proc = subprocess.Popen(
            ["parec", "--raw", "--latency-msec=5", "--format=s16le", f"--rate={rate}",
             "--channels=2", "-d", f"{sink}.monitor"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.chunks = []
        self.thread = threading.Thread(target=self._read)
        self.thread.start()

    def _read(self):
        fd = self.proc.stdout.fileno()
        while True:
            data = os.read(fd, 65536)
            if not data:
                return
            self.chunks.append((time.monotonic(), data))

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        self.thread.join()

    def click_times(self):
        """The monotonic times at which the clicks it saw were played."""
        assert self.chunks, "the monitor delivered nothing"
        total = 0
        began = float("inf")
        for arrived, data in self.chunks:
            total += len(data)
            began = min(began, arrived - total / (4 * self.rate))
        stream = b"".join(data for _, data in self.chunks)
        samples = np.frombuffer(stream[:len(stream) // 4 * 4], dtype="<i2").reshape(-1, 2)
        return began + click_onsets(samples, self.rate)


def record(path, seconds, process_id=None, watch_sink=None, rate=None):
    """Records for `seconds` after wait_started() returned. Returns the
    capture, that moment, the time recorded, and the watch started with it
    (when `watch_sink` is given)."""
    c = m.AudioCapture(str(path), process_id=process_id)
    c.start()
    assert c.wait_started(10) is True
    t0 = time.monotonic()
    watch = MonitorWatch(watch_sink, rate) if watch_sink else None
    time.sleep(seconds)
    c.stop()
    elapsed = time.monotonic() - t0
    c.wait()
    if watch:
        watch.stop()
    return c, t0, elapsed, watch


def sink_latency_seconds(server):
    for line in server.pactl("list", "sinks").splitlines():
        if line.strip().startswith("Latency:"):
            return int(line.split()[1]) / 1e6
    return 0.0


class TestFirstRecording:
    def test_lasts_as_long_as_it_ran_from_the_first_on(self, fresh_server, tmp_path):
        if fresh_server.kind == "pulseaudio":
            # The situation under test: the idle sink is far ahead of the clock.
            assert sink_latency_seconds(fresh_server) > 0.5
        for n, seconds in enumerate((3.0, 1.0)):
            path = tmp_path / f"rec{n}.wav"
            c, _, elapsed, _ = record(path, seconds)
            assert c.error is None
            channels, rate, samples = read_wav(path)
            assert (channels, rate) == (2, fresh_server.rate)
            assert abs(len(samples) / rate - elapsed) < 0.05, (n, len(samples) / rate, elapsed)
            assert not samples.any()

    def test_a_recording_stopped_before_any_sound_arrived_still_lasts(self, fresh_server,
                                                                        tmp_path):
        c, _, elapsed, _ = record(tmp_path / "short.wav", 0.3)
        assert c.error is None
        _, rate, samples = read_wav(tmp_path / "short.wav")
        assert abs(len(samples) / rate - elapsed) < 0.05, (len(samples) / rate, elapsed)


@pytest.mark.parametrize("per_process", [False, True], ids=["output", "process"])
def test_clicks_keep_their_wall_clock_positions(fresh_server, tmp_path, per_process):
    rate = fresh_server.rate
    clicks = tmp_path / "clicks.wav"
    write_clicks(clicks, rate, 8.0)
    player = subprocess.Popen(["paplay", "--latency-msec=10", str(clicks)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(0.5)
        assert player.poll() is None, "the player ended early"
        path = tmp_path / "rec.wav"
        c, t0, elapsed, watch = record(path, 4.0, process_id=player.pid if per_process else None,
                                       watch_sink=fresh_server.sink, rate=rate)
    finally:
        player.kill()
        player.wait()
    assert c.error is None
    _, wav_rate, samples = read_wav(path)
    assert wav_rate == rate
    assert abs(len(samples) / rate - elapsed) < 0.05, (len(samples) / rate, elapsed)

    # Each click the watch saw is in the file at its time since the start,
    # and the file holds no click the watch did not see.
    seen = watch.click_times() - t0
    played = seen[(seen > 0) & (seen < elapsed - 0.1)]
    recorded = click_onsets(samples, rate)
    assert len(played) >= 3, seen
    # A process's streams are placed 40 ms after they arrive, so that their
    # uneven bursts join without gaps; a burst that came late moves the rest
    # of its stream later. The sink's own monitor is exact.
    early, late = (0.01, 0.15) if per_process else (0.03, 0.03)

    def close(offsets):
        return (offsets > -early) & (offsets < late)

    for t in played:
        assert close(recorded - t).any(), (t, recorded, played)
    for t in recorded[(recorded > played[0] - 0.1) & (recorded < elapsed - 0.1)]:
        assert close(t - seen).any(), (t, recorded, seen)
