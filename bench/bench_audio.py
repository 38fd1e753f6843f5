#!/usr/bin/env python3
"""Audio recording costs: CPU of a recording beside python-soundcard, and how
long a stopped recording takes to finish its file.

1. CPU: one child process records the null sink's monitor for --seconds with
   AudioCapture, another with python-soundcard (10 ms blocks, converted to
   16-bit and written to a WAV file, the same output as ours). Each child
   reports the CPU seconds of its whole process (every thread) spent between
   the start and the end of its recording, so interpreter start-up and
   imports are left out. Runs alternate; medians are printed, as CPU
   seconds, as % of one core, and as the ratio ours / soundcard (below 1
   means cheaper).
2. Stop latency: the time from stop() to wait() returning with the file
   finished, median and maximum of --stops recordings.

Runs on a private PulseAudio server with a 48 kHz stereo null sink and a
low-latency reader on its monitor (so the idle sink does not render seconds
ahead), started here and stopped by PID at the end. Prints figures, asserts
nothing.

Needs: _native_core installed, soundcard (PyPI), numpy, pulseaudio, pactl,
parec.

    python bench/bench_audio.py [--seconds 10] [--runs 3] [--stops 20]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

from servers import Processes

SINK = "bench_sink"

OURS = """
import sys, time
import _native_core as m
path, seconds = sys.argv[1], float(sys.argv[2])
c = m.AudioCapture(path)
cpu, wall = time.process_time(), time.monotonic()
c.start()
assert c.wait_started(10), c.error
time.sleep(seconds)
c.stop()
c.wait()
assert c.error is None, c.error
print(time.process_time() - cpu, time.monotonic() - wall)
"""

# soundcard names its server connection after sys.argv[1], so the child
# always gets arguments.
SOUNDCARD = """
import sys, time, wave
import numpy as np
import soundcard as sc
path, seconds, source = sys.argv[1], float(sys.argv[2]), sys.argv[3]
mic = sc.get_microphone(source, include_loopback=True)
cpu, wall = time.process_time(), time.monotonic()
with wave.open(path, "wb") as w:
    w.setnchannels(2)
    w.setsampwidth(2)
    w.setframerate(48000)
    with mic.recorder(samplerate=48000, channels=2, blocksize=480) as r:
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            block = r.record(numframes=480)
            w.writeframes(np.clip(block * 32767.0, -32768.0, 32767.0).astype("<i2").tobytes())
print(time.process_time() - cpu, time.monotonic() - wall)
"""


def start_pulseaudio(processes, directory):
    """A private server whose default sink is SINK; returns its address."""
    runtime = os.path.join(directory, "runtime")
    os.makedirs(runtime, mode=0o700)
    config = os.path.join(directory, "config", "pulse")
    os.makedirs(config)
    with open(os.path.join(config, "daemon.conf"), "w") as f:
        f.write("default-sample-rate = 48000\nalternate-sample-rate = 48000\n"
                "avoid-resampling = no\nexit-idle-time = -1\n")
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime, HOME=directory,
               XDG_CONFIG_HOME=os.path.join(directory, "config"),
               PULSE_STATE_PATH=os.path.join(directory, "state"))
    processes.start(["pulseaudio", "-n", "--daemonize=no", "--system=false",
                     "--exit-idle-time=-1", "--disallow-exit=yes", "--use-pid-file=no",
                     "-F", "/dev/null", "--load=module-native-protocol-unix",
                     f"--load=module-null-sink sink_name={SINK} rate=48000 channels=2"], env=env)
    address = f"unix:{runtime}/pulse/native"
    deadline = time.monotonic() + 10
    while subprocess.run(["pactl", "--server", address, "info"], capture_output=True).returncode:
        if time.monotonic() > deadline:
            raise RuntimeError("PulseAudio did not start")
        time.sleep(0.05)
    subprocess.run(["pactl", "--server", address, "set-default-sink", SINK], check=True)
    processes.start(["parec", "--server", address, "--latency-msec=10", "-d", f"{SINK}.monitor"])
    return address


def child(code, env, *args):
    out = subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True,
                         text=True, check=True)
    cpu, wall = map(float, out.stdout.split())
    return cpu, wall


def stop_latencies(count, path):
    import _native_core as m

    latencies = []
    for _ in range(count):
        c = m.AudioCapture(path)
        c.start()
        if not c.wait_started(10):
            raise RuntimeError(f"recording did not start: {c.error}")
        time.sleep(0.2)
        t = time.perf_counter()
        c.stop()
        c.wait()
        latencies.append(time.perf_counter() - t)
        if c.error is not None:
            raise RuntimeError(c.error)
    return latencies


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--stops", type=int, default=20)
    parser.add_argument("--floor", metavar="PROGRAM",
                        help="the 2 ms wake-up loop (build/bench/vorel_wakeup_floor), measured "
                             "beside the recordings as the floor any 2 ms poll pays")
    args = parser.parse_args()

    processes = Processes()
    with tempfile.TemporaryDirectory(prefix="vorel-bench-audio.") as directory:
        try:
            address = start_pulseaudio(processes, os.path.join(directory, "pulse"))
            env = dict(os.environ, PULSE_SERVER=address)
            os.environ["PULSE_SERVER"] = address  # for the stop-latency runs here
            wav = os.path.join(directory, "out.wav")

            ours, theirs, floor = [], [], []
            for _ in range(args.runs):
                ours.append(child(OURS, env, wav, str(args.seconds)))
                theirs.append(child(SOUNDCARD, env, wav, str(args.seconds), f"{SINK}.monitor"))
                if args.floor:
                    out = subprocess.run([args.floor, str(args.seconds)], check=True,
                                         capture_output=True, text=True)
                    floor.append(tuple(map(float, out.stdout.split())))
            stops = stop_latencies(args.stops, wav)
        finally:
            processes.stop_all()

    def report(label, runs):
        cpu = statistics.median(c for c, _ in runs)
        wall = statistics.median(w for _, w in runs)
        print(f"  {label:<20} {cpu:7.3f} s CPU over {wall:6.2f} s = "
              f"{100 * cpu / wall:5.2f} % of one core")
        return cpu

    print(f"CPU of a {args.seconds:g} s recording of a 48 kHz stereo monitor, "
          f"median of {args.runs}")
    mine = report("AudioCapture", ours)
    base = report("soundcard", theirs)
    print(f"  ratio AudioCapture / soundcard: {mine / base:.3f}" if base > 0 else
          "  ratio: soundcard used no measurable CPU")
    if floor:
        bare = report("2 ms wake-ups alone", floor)
        print(f"  AudioCapture above that floor: {100 * (mine - bare) / args.seconds:.2f} % of one core")
    print(f"stop() to wait() returning, {args.stops} recordings")
    print(f"  median {1e3 * statistics.median(stops):.2f} ms, max {1e3 * max(stops):.2f} ms")


if __name__ == "__main__":
    main()
