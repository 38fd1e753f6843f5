"""Recording and device listing on a real PulseAudio server.

The harness runs a private server whose default sink is the 48 kHz stereo
null sink "test_sink", with a low-latency reader on its monitor. Tests that
change the server (extra sinks, another default) put it back; tests that
need a server to die or to hang start one of their own.
"""

import ast
import json
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time
import uuid
import wave

import pytest

import _native_core as m

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="PulseAudio backend")

RATE = 48000


def token():
    return uuid.uuid4().hex[:10]


def pactl(*args):
    return subprocess.run(["pactl", *args], check=True, capture_output=True, text=True,
                          timeout=10).stdout


def read_wav(path):
    """(channels, rate, samples as an int16 array of shape (frames, channels)),
    after checking every header field against the file's length."""
    import numpy as np

    data = path.read_bytes()
    assert len(data) >= 44
    (riff, riff_size, form, fmt, fmt_size, tag, channels, rate, byte_rate, align, bits,
     data_id, size) = struct.unpack("<4sI4s4sIHHIIHH4sI", data[:44])
    assert (riff, form, fmt, fmt_size, tag, bits, data_id) == (
        b"RIFF", b"WAVE", b"fmt ", 16, 1, 16, b"data")
    assert riff_size == len(data) - 8
    assert size == len(data) - 44
    assert (byte_rate, align) == (rate * channels * 2, channels * 2)
    assert size % align == 0, "whole frames only"
    samples = np.frombuffer(data[44:], dtype="<i2").reshape(-1, channels)
    return channels, rate, samples


def write_tone(path, left_hz, right_hz, seconds, amplitude=16384):
    import numpy as np

    t = np.arange(int(RATE * seconds)) / RATE
    frames = np.stack([amplitude * np.sin(2 * np.pi * left_hz * t),
                       amplitude * np.sin(2 * np.pi * right_hz * t)], axis=1)
    with wave.open(str(path), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(np.round(frames).astype("<i2").tobytes())


def dominant_hz(signal):
    import numpy as np

    spectrum = np.abs(np.fft.rfft(signal * np.hanning(len(signal))))
    return np.argmax(spectrum) * RATE / len(signal)


def record(path, seconds, during=None, process_id=None):
    """Records for `seconds` after the started milestone; returns the capture
    and the time from wait_started() returning to stop()."""
    c = m.AudioCapture(str(path), process_id=process_id)
    c.start()
    assert c.wait_format_ready(10) is True
    assert (c.sample_rate, c.channels, c.bits_per_sample) == (RATE, 2, 32)
    assert c.wait_started(10) is True
    t0 = time.monotonic()
    if during is not None:
        during()
    time.sleep(max(0.0, seconds - (time.monotonic() - t0)))
    c.stop()
    elapsed = time.monotonic() - t0
    c.wait()
    return c, elapsed


def wait_for_monitor_data(sink):
    """Returns once `sink`'s monitor delivers. A null sink left without a
    low-latency reader renders up to 2 s ahead, and its monitor stays silent
    that long once readers come back; the server moves the harness's reader
    along with the default sink, so that happens whenever a test changes the
    default."""
    reader = subprocess.Popen(["parec", "--latency-msec=10", "-d", f"{sink}.monitor"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        assert select.select([reader.stdout], [], [], 5)[0], f"{sink}.monitor delivers nothing"
    finally:
        reader.kill()
        reader.wait()


@pytest.fixture(scope="module", autouse=True)
def settled_default_sink():
    if subprocess.run(["pactl", "info"], capture_output=True).returncode == 0:
        wait_for_monitor_data(pactl("get-default-sink").strip())


@pytest.fixture
def extra_sink(require_audio):
    """Loads null sinks on the test server; unloads them, restores the
    default sink and waits until it delivers again afterwards."""
    default = pactl("get-default-sink").strip()
    loaded = []

    def load(description):
        name = "vorel_" + token()
        index = pactl("load-module", "module-null-sink", f"sink_name={name}",
                      "rate=48000", "channels=2",
                      f"sink_properties=device.description={description}").strip()
        loaded.append(index)
        return name, index

    yield load
    pactl("set-default-sink", default)
    for index in loaded:
        subprocess.run(["pactl", "unload-module", index], capture_output=True, timeout=10)
    wait_for_monitor_data(default)


def run_python(code, env, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, timeout=timeout)


def server_env(server):
    env = dict(os.environ)
    env["PULSE_SERVER"] = server
    return env


class PrivateServer:
    """A PulseAudio server of the test's own, with one null sink."""

    def __init__(self, directory):
        runtime = directory / "runtime"
        runtime.mkdir(mode=0o700, parents=True)
        env = dict(os.environ, XDG_RUNTIME_DIR=str(runtime), HOME=str(directory),
                   XDG_CONFIG_HOME=str(directory / "config"),
                   PULSE_STATE_PATH=str(directory / "state"))
        self.address = f"unix:{runtime}/pulse/native"
        self.proc = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1",
             "--disallow-exit=yes", "--use-pid-file=no", "-F", "/dev/null",
             "--load=module-native-protocol-unix",
             "--load=module-null-sink sink_name=private_sink rate=48000 channels=2"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while subprocess.run(["pactl", "--server", self.address, "info"],
                             capture_output=True).returncode != 0:
            assert self.proc.poll() is None and time.monotonic() < deadline, "server did not start"
            time.sleep(0.05)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait(10)


@pytest.fixture
def private_server(require_audio, tmp_path):
    if shutil.which("pulseaudio") is None:
        pytest.skip("needs the pulseaudio binary")
    server = PrivateServer(tmp_path / "pulse")
    yield server
    server.kill()


# --------------------------------------------------------------------------
# Recording


class TestRecording:
    def test_tone_is_recorded_per_channel_at_full_scale(self, require_audio, tmp_path):
        tone = tmp_path / "tone.wav"
        write_tone(tone, 440, 1000, seconds=3.0)
        players = []

        def play():
            players.append(subprocess.Popen(["paplay", "--latency-msec=30", str(tone)],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

        try:
            c, elapsed = record(tmp_path / "rec.wav", 1.5, during=play)
        finally:
            for p in players:
                p.kill()
                p.wait()
        assert c.error is None
        channels, rate, samples = read_wav(tmp_path / "rec.wav")
        assert (channels, rate) == (2, RATE)
        assert abs(len(samples) / RATE - elapsed) < 0.05
        playing = samples[(samples != 0).any(axis=1)]
        assert len(playing) > 0.8 * RATE, "the tone reaches the file within 0.7 s"
        # Left and right stay apart and in order, without a rate conversion of
        # ours (a wrong rate moves a tone by 8 % or more). A server that matches
        # clocks adaptively (PipeWire) may move a stream's pitch by a few tenths
        # of a percent while the machine is loaded: 1002.1 Hz was seen.
        assert abs(dominant_hz(playing[:, 0]) / 440 - 1) < 0.005
        assert abs(dominant_hz(playing[:, 1]) / 1000 - 1) < 0.005
        # 16384/32768 through float at unity volume: 0.5 * 32767, truncated.
        assert 16383 - 40 <= int(abs(playing).max()) <= 16383

    def test_silence_arrives_continuously_for_the_whole_recording(self, require_audio, tmp_path):
        for seconds in (0.3, 1.2):
            c, elapsed = record(tmp_path / "quiet.wav", seconds)
            assert c.error is None
            _, _, samples = read_wav(tmp_path / "quiet.wav")
            assert abs(len(samples) / RATE - elapsed) < 0.05, (len(samples), elapsed)
            assert not samples.any()

    def test_stop_before_the_first_poll_gives_a_complete_file(self, require_audio, tmp_path):
        path = tmp_path / "short.wav"
        c = m.AudioCapture(str(path))
        c.start()
        c.stop()  # seen only after the stream has started
        c.wait()
        assert c.error is None
        assert c.wait_started(0) is True
        channels, rate, samples = read_wav(path)
        assert (channels, rate) == (2, RATE)
        assert len(samples) < 0.1 * RATE

    def test_records_the_default_sink_and_fails_when_it_goes(self, extra_sink, tmp_path, capfd):
        name, index = extra_sink("Vorel-Vanishing")
        pactl("set-default-sink", name)
        c = m.AudioCapture(str(tmp_path / "gone.wav"))
        c.start()
        assert c.wait_started(10) is True
        time.sleep(0.2)
        pactl("unload-module", index)
        c.wait(10)
        expected = rf"GetNextPacketSize: Recording from {name}\.monitor: .+ \(0x88890004\)"
        assert re.fullmatch(expected, c.error or ""), c.error
        assert capfd.readouterr() == ("", "")

    def test_server_death_ends_the_recording_quietly(self, private_server, tmp_path, monkeypatch,
                                                     capfd):
        monkeypatch.setenv("PULSE_SERVER", private_server.address)
        c = m.AudioCapture(str(tmp_path / "dead.wav"))
        c.start()
        assert c.wait_started(10) is True
        private_server.kill()
        c.wait(10)
        expected = (r"GetNextPacketSize: Recording from private_sink\.monitor: the connection to "
                    r"the sound server was lost: .+ \(0x88890010\)")
        assert re.fullmatch(expected, c.error or ""), c.error
        assert capfd.readouterr() == ("", "")


# --------------------------------------------------------------------------
# Without a usable server


CAPTURE_CODE = """
    import os, _native_core as m
    path = {path!r}
    c = m.AudioCapture(path)
    c.start()
    ready = c.wait_format_ready({wait})
    c.wait()
    print(repr((ready, c.wait_started(0), c.error, os.path.exists(path))))
"""

LIST_CODE = """
    import _native_core as m
    print(repr([(d.id, d.name, d.is_default, repr(d)) for d in m.list_audio_devices()]))
"""


class TestWithoutServer:
    def test_missing_server_fails_at_the_first_step_and_lists_the_placeholder(self, tmp_path):
        path = tmp_path / "never.wav"
        env = server_env(f"unix:{tmp_path}/missing/native")
        out = run_python(CAPTURE_CODE.format(path=str(path), wait=0.5) + LIST_CODE, env)
        assert out.returncode == 0 and out.stderr == "", out.stderr
        run, devices = out.stdout.splitlines()
        ready, started, error, exists = ast.literal_eval(run)
        assert (ready, started, exists) == (False, False, False)
        assert re.fullmatch(r"CoCreateInstance\(MMDeviceEnumerator\): Cannot connect to the sound "
                            r"server: .+ \(0x800706BA\)", error), error
        assert ast.literal_eval(devices) == [("default", "Default Audio Device", True,
                                  "AudioDeviceInfo(name='Default Audio Device', is_default=true)")]

    def test_a_server_that_never_answers_times_out(self, tmp_path):
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(str(tmp_path / "mute"))
        listener.listen(8)
        accepted = []
        stop = threading.Event()

        def accept():
            listener.settimeout(0.2)
            while not stop.is_set():
                try:
                    accepted.append(listener.accept()[0])  # held open, never answered
                except socket.timeout:
                    pass

        thread = threading.Thread(target=accept)
        thread.start()
        try:
            t = time.monotonic()
            out = run_python(CAPTURE_CODE.format(path=str(tmp_path / "never.wav"), wait=0),
                             server_env(f"unix:{tmp_path}/mute"))
            took = time.monotonic() - t
        finally:
            stop.set()
            thread.join()
            for s in accepted:
                s.close()
            listener.close()
        assert out.returncode == 0 and out.stderr == "", out.stderr
        ready, started, error, exists = ast.literal_eval(out.stdout)
        assert (ready, started, exists) == (False, False, False)
        assert re.fullmatch(r"CoCreateInstance\(MMDeviceEnumerator\): Cannot connect to the sound "
                            r"server: .+ \(0x800705B4\)", error), error
        assert accepted, "the client did reach the socket"
        assert 4 < took < 20


# --------------------------------------------------------------------------
# Listing


def server_sink_names():
    return [line.split("\t")[1] for line in pactl("list", "short", "sinks").splitlines()]


def server_description(sink):
    # pactl's JSON output mangles non-ASCII text, so only ASCII ones are read there.
    return next(s["description"] for s in json.loads(pactl("-f", "json", "list", "sinks"))
                if s["name"] == sink)


class TestListing:
    def test_sinks_in_server_order_with_descriptions_and_the_default(self, extra_sink):
        second, _ = extra_sink("Vorel-Zweite-Ausgabe-äöü")
        listed = m.list_audio_devices()
        assert [d.id for d in listed] == server_sink_names()
        names = {d.id: d.name for d in listed}
        assert names["test_sink"] == server_description("test_sink")
        flags = {d.id: d.is_default for d in listed}
        assert flags["test_sink"] is True and flags[second] is False
        assert sum(flags.values()) == 1
        assert listed[[d.id for d in listed].index(second)].as_dict() == {
            "id": second, "name": "Vorel-Zweite-Ausgabe-äöü", "is_default": False}

        pactl("set-default-sink", second)
        flags = {d.id: d.is_default for d in m.list_audio_devices()}
        assert flags["test_sink"] is False and flags[second] is True

    def test_every_connection_is_released(self, require_audio, tmp_path, capfd):
        def clients():
            return len(pactl("list", "short", "clients").splitlines())

        before = clients()
        first = [d.as_dict() for d in m.list_audio_devices()]
        for _ in range(20):
            assert [d.as_dict() for d in m.list_audio_devices()] == first
        c, _ = record(tmp_path / "r.wav", 0.2)
        assert c.error is None
        assert clients() == before
        assert capfd.readouterr() == ("", "")
