#!/usr/bin/env python3
"""Frames per second of grabbing a 1920x1080 monitor, beside mss on the same display.

Ours: VideoCapture at an fps far beyond reach (so the loop never sleeps) into
a stream whose write() drops the frame; every frame is one grab plus the copy
into a fresh bytes object. Baseline: mss grab() of the same rectangle plus a
bytes copy of its pixels, the least a consumer of mss does to hand a frame
on. Both run in the same process, alternating, several rounds each; the
script prints medians and ratios (ours divided by mss: above 1 means more
frames per second) and asserts nothing. measure_achievable_fps() is printed
too: it times the grab alone.

Uses the current display when it has a 1920x1080 monitor; otherwise (or when
DISPLAY is unset) it starts its own Xvfb, stopped by PID at the end.

Needs: _native_core installed, mss, Xvfb.

    python bench/bench_video.py [--seconds 2] [--rounds 3]
"""

import argparse
import os
import statistics
import sys
import time

from servers import Processes, start_xvfb

WIDTH, HEIGHT = 1920, 1080


def full_hd_monitor(m):
    return next((mon for mon in m.list_monitors()
                 if (mon.width, mon.height) == (WIDTH, HEIGHT)), None)


class DropSink:
    """Counts frames and drops them."""

    def __init__(self):
        self.count = 0
        self.wrong_size = 0

    def write(self, frame):
        self.count += 1
        if len(frame) != WIDTH * HEIGHT * 4:
            self.wrong_size += 1


def ours_fps(m, monitor, seconds):
    sink = DropSink()
    capture = m.VideoCapture(sink, fps=100000, monitor_index=monitor.index)
    capture.start()
    if not capture.wait_ready(5):
        raise RuntimeError(f"capture did not start: {capture.error}")
    time.sleep(0.2)  # warm-up
    start_count, start = sink.count, time.perf_counter()
    time.sleep(seconds)
    frames, elapsed = sink.count - start_count, time.perf_counter() - start
    capture.stop()
    capture.wait(5)
    if capture.error or sink.wrong_size:
        raise RuntimeError(f"capture failed: {capture.error}; "
                           f"{sink.wrong_size} frames of a wrong size")
    return frames / elapsed


def mss_fps(sct, monitor, seconds):
    area = {"left": monitor.x, "top": monitor.y, "width": WIDTH, "height": HEIGHT}
    for _ in range(5):  # warm-up
        bytes(sct.grab(area).raw)
    frames, start = 0, time.perf_counter()
    deadline = start + seconds
    while time.perf_counter() < deadline:
        frame = bytes(sct.grab(area).raw)
        if len(frame) != WIDTH * HEIGHT * 4:
            raise RuntimeError("mss returned a frame of a wrong size")
        frames += 1
    return frames / (time.perf_counter() - start)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0, help="per round and library")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    processes = Processes()
    try:
        import _native_core as m

        monitor = full_hd_monitor(m) if os.environ.get("DISPLAY") else None
        if monitor is None:
            os.environ["DISPLAY"] = start_xvfb(processes)
            monitor = full_hd_monitor(m)
            print(f"private Xvfb {os.environ['DISPLAY']}")
        else:
            print(f"display {os.environ['DISPLAY']}")
        if monitor is None:
            raise RuntimeError("no 1920x1080 monitor")
        print(f"monitor {monitor.index} {monitor.name!r}: {WIDTH}x{HEIGHT} at "
              f"({monitor.x},{monitor.y})")

        import mss

        open_mss = getattr(mss, "MSS", None) or mss.mss  # mss.mss is deprecated from 10.2
        with open_mss() as sct:
            backend = type(getattr(sct, "_impl", sct)).__name__
            ours, theirs = [], []
            for _ in range(args.rounds):
                ours.append(ours_fps(m, monitor, args.seconds))
                theirs.append(mss_fps(sct, monitor, args.seconds))
            measured = [m.VideoCapture.measure_achievable_fps(monitor_index=monitor.index,
                                                              target_fps=1_000_000)
                        for _ in range(5)]

        a, b = statistics.median(ours), statistics.median(theirs)
        print(f"\nframes per second, median of {args.rounds} rounds of {args.seconds:g} s each:")
        rows = [("VideoCapture into a dropping stream", a, ours),
                (f"mss {mss.__version__} grab() + bytes ({backend})", b, theirs)]
        for name, median, rounds in rows:
            print(f"  {name:<52}{median:8.1f}   (rounds: {', '.join(f'{x:.0f}' for x in rounds)})")
        print(f"  {'ours / mss':<52}{a / b:8.3f}")
        grab_rate = statistics.median(measured)
        print(f"\nmeasure_achievable_fps (grab alone, median of 5 calls): {grab_rate} "
              f"frames/s, {1000 / grab_rate:.3f} ms per grab")
    finally:
        processes.stop_all()


if __name__ == "__main__":
    sys.exit(main())
