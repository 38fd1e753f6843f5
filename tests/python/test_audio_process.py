"""Recording one process tree (process_id) on a real PulseAudio server.

Players run with a 30 ms latency so that what they play reaches the monitor
at once. Every recording checks what a caller sees: the default sink's
format, a file as long as the time recorded, and only the tree's sound.
"""

import os
import re
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import _native_core as m
from test_audio_pulse import PrivateServer, pactl, read_wav, wait_for_monitor_data, write_tone
from test_audio_pulse import record as record_output

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="PulseAudio backend")

RATE = 48000


@pytest.fixture(scope="module")
def tones(tmp_path_factory):
    directory = tmp_path_factory.mktemp("tones")
    for hz in (440, 660, 1000):
        write_tone(directory / f"{hz}.wav", hz, hz, seconds=8.0)
    return {hz: ["paplay", "--latency-msec=30", str(directory / f"{hz}.wav")]
            for hz in (440, 660, 1000)}


@pytest.fixture
def spawn():
    """Starts processes in sessions of their own; kills each session after
    the test, children included."""
    started = []

    def start(args):
        started.append(subprocess.Popen(args, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, start_new_session=True))
        return started[-1]

    yield start
    for p in started:
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        p.wait()


def record(path, pid, seconds, during=None):
    """Records `pid`'s tree for `seconds` after the started milestone and
    returns the capture and the samples, after checking the format and that
    the file is as long as the time from wait_started() to stop()."""
    c, elapsed = record_output(path, seconds, during, process_id=pid)
    channels, rate, samples = read_wav(path)
    assert (channels, rate) == (2, RATE)
    assert abs(len(samples) / RATE - elapsed) < 0.05, (len(samples) / RATE, elapsed)
    return c, samples


def power(signal, hz):
    spectrum = np.abs(np.fft.rfft(signal * np.hanning(len(signal)))) ** 2
    freqs = np.fft.rfftfreq(len(signal), 1 / RATE)
    return spectrum[(freqs > hz - 5) & (freqs < hz + 5)].sum()


def sounding(samples):
    """The left channel from the first non-zero frame on, and where that
    frame is in seconds."""
    loud = np.flatnonzero((samples != 0).any(axis=1))
    assert len(loud) > 0, "the tree's sound was not recorded"
    return samples[loud[0]:, 0].astype(float), loud[0] / RATE


# A stream that falls behind its placement leaves a short gap; on a loaded
# machine that can be a few milliseconds. A lost piece of a stream is longer.
MAX_GAP = 0.02


def longest_silence(signal):
    """The longest run of exact zeros, in seconds: a tone has none longer
    than a sample or two, a gap between the pieces of a stream has."""
    edges = np.flatnonzero(np.diff(np.concatenate(([0], signal == 0, [0])).astype(int)))
    runs = edges[1::2] - edges[0::2]
    return (runs.max() if len(runs) else 0) / RATE


class TestOnlyTheTree:
    def test_only_the_targets_tone_is_kept(self, require_audio, tones, spawn, tmp_path, capfd):
        target = spawn(tones[440])
        spawn(tones[1000])
        time.sleep(0.3)
        c, samples = record(tmp_path / "one.wav", target.pid, 1.5)
        assert c.error is None
        left, start = sounding(samples)
        assert start < 0.2, "a player already running is recorded from the start"
        assert power(left, 1000) < 1e-6 * power(left, 440)
        assert longest_silence(left) < MAX_GAP
        # 0.5 of full scale at unity volume, nothing of the other added.
        assert 16383 - 40 <= abs(left).max() <= 16383
        assert capfd.readouterr() == ("", "")

    def test_grandchildren_are_found_and_mixed(self, require_audio, tones, spawn, tmp_path):
        # The target plays nothing itself; per tone a shell child starts a
        # player grandchild, after the recording began.
        commands = [" ".join(tones[hz]) + "; true" for hz in (440, 660)]
        target = spawn([sys.executable, "-c", textwrap.dedent(f"""
            import subprocess, time
            time.sleep(0.3)
            for k in [subprocess.Popen(["sh", "-c", c]) for c in {commands!r}]:
                k.wait()
        """)])
        spawn(tones[1000])
        c, samples = record(tmp_path / "tree.wav", target.pid, 2.0)
        assert c.error is None
        left, start = sounding(samples)
        assert 0.3 < start < 1.2, start
        assert power(left, 1000) < 1e-6 * min(power(left, 440), power(left, 660))
        assert abs(left).max() > 20000, "two players at 0.5 of full scale, summed"

    def test_a_target_that_plays_later_is_picked_up(self, require_audio, tones, spawn, tmp_path):
        spawn(tones[1000])
        target = spawn(["sh", "-c", "sleep 0.6; exec " + " ".join(tones[440])])
        c, samples = record(tmp_path / "later.wav", target.pid, 2.0)
        assert c.error is None
        left, start = sounding(samples)
        assert 0.5 < start < 1.3, start
        assert longest_silence(left) < MAX_GAP
        assert power(left, 1000) < 1e-6 * power(left, 440)

    def test_a_quiet_or_missing_process_gives_silence_for_the_whole_time(
            self, require_audio, tones, spawn, tmp_path, capfd):
        spawn(tones[1000])
        quiet = spawn(["sleep", "30"])
        gone = subprocess.Popen(["true"])
        gone.wait()
        for pid, seconds in ((quiet.pid, 0.3), (quiet.pid, 1.2), (gone.pid, 0.5), (0, 0.5),
                             (4294967295, 0.5)):
            c, samples = record(tmp_path / "quiet.wav", pid, seconds)
            assert c.error is None
            assert not samples.any(), pid
        assert capfd.readouterr() == ("", "")


@pytest.fixture
def second_sink(require_audio):
    """A null sink with a low-latency reader on its monitor, as the harness
    keeps on the default sink; unloaded afterwards."""
    name = f"vorel_move_{os.getpid()}"
    index = pactl("load-module", "module-null-sink", f"sink_name={name}", "rate=48000",
                  "channels=2").strip()
    reader = subprocess.Popen(["parec", "--latency-msec=10", "-d", f"{name}.monitor"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for_monitor_data(name)
        yield name
    finally:
        reader.kill()
        reader.wait()
        subprocess.run(["pactl", "unload-module", index], capture_output=True, timeout=10)


def sink_input_of(pid):
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        blocks = pactl("list", "sink-inputs").split("Sink Input #")[1:]
        for block in blocks:
            if f'application.process.id = "{pid}"' in block:
                return block.split("\n", 1)[0]
        time.sleep(0.05)
    raise AssertionError(f"no sink input of {pid}")


class TestEvents:
    def test_an_input_moved_to_another_sink_is_followed(self, second_sink, tones, spawn,
                                                        tmp_path, capfd):
        target = spawn(tones[440])
        index = sink_input_of(target.pid)

        def move():
            time.sleep(0.7)
            pactl("move-sink-input", index, second_sink)

        c, samples = record(tmp_path / "moved.wav", target.pid, 2.0, during=move)
        assert c.error is None
        after = samples[int(1.2 * RATE):, 0]
        assert abs(after.astype(float)).max() > 16000, "the tone goes on after the move"
        assert longest_silence(after) < MAX_GAP
        assert capfd.readouterr() == ("", "")

    def test_server_death_ends_the_recording_quietly(self, require_audio, spawn, tmp_path,
                                                     monkeypatch, capfd):
        server = PrivateServer(tmp_path / "pulse")
        try:
            monkeypatch.setenv("PULSE_SERVER", server.address)
            quiet = spawn(["sleep", "30"])
            c = m.AudioCapture(str(tmp_path / "dead.wav"), process_id=quiet.pid)
            c.start()
            assert c.wait_started(10) is True
            time.sleep(0.2)
            server.kill()
            c.wait(10)
        finally:
            server.kill()
        expected = (rf"GetNextPacketSize: Recording process {quiet.pid}: the connection to the "
                    r"sound server was lost: .+ \(0x88890010\)")
        assert re.fullmatch(expected, c.error or ""), c.error
        assert capfd.readouterr() == ("", "")
