#!/usr/bin/env python3
"""Video capture against baselines measured in the same run: frames per second, CPU per frame, pacing.

Unthrottled (1920x1080 and 3840x2160, each on a private Xvfb of that size):
VideoCapture at an fps far beyond reach (so the loop never sleeps) into a
stream whose write() drops the frame, against
  - our own raw grab rate (measure_achievable_fps with a huge target: the
    grab alone, no hand-over), the ceiling of the pipeline;
  - mss grab() plus a bytes copy of its pixels, the least a consumer of mss
    does to hand a frame on;
  - the same without the overlap (VOREL_VIDEO_OVERLAP=0);
  - the same with the frame copied by memcpy and no huge pages advised
    (VOREL_VIDEO_COPY=plain);
  - the previous pipeline: the grab not overlapped with the hand-over
    (VOREL_VIDEO_OVERLAP=0), a new bytes object per frame (a stream that
    keeps the last frame, so it cannot be refilled) and the plain copy;
  - with --grab-overlap, the ceiling: the grab overlapped with the copy the
    module makes at that size, in C++ without Python (the fastest of its
    rounds), as a fraction of the C++ grab alone (also its fastest round)
    and against mss.
Each runs in a child process twice: with glibc's default allocator (what
users have: every frame-sized block is a fresh mapping, page-faulted in on
every use) and with a tuned one (MALLOC_MMAP_THRESHOLD_ and
MALLOC_TRIM_THRESHOLD_ keep frame-sized blocks in the heap). CPU per frame
is the child's process CPU time (all its threads) over the frames delivered.

Paced (1920x1080, 30 and 60 fps, 10 s each, overlap on and off): frames
delivered against the number due, the mean interval's error, and the time
from each frame's deadline (the end of the first write plus whole intervals)
to the start of its write. That lag includes the grab and the copy, so it
bounds the time from the deadline to the start of the grab from above.

With --grab-overlap (the vorel_grab_overlap_bench program, built with
VOREL_BENCH=ON): the two halves of the grab without Python, on each display:
milliseconds per frame when the process's own work per frame follows the
grab, and when it runs while the server fills the next frame. The work is a
copy of the frame (it needs a core beside the server's and memory
bandwidth), a busy wait as long (a core only) or a sleep as long (neither),
so the three show which of the two a busy machine takes away.

Prints medians, the rounds and ratios; asserts nothing. Starts its own Xvfb
servers, stopped by PID at the end. Needs: _native_core installed, mss, Xvfb.

    python bench/bench_video.py [--seconds 1.5] [--rounds 5] [--paced-seconds 10]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

from servers import Processes, start_xvfb

SIZES = [(1920, 1080), (3840, 2160)]
ALLOCATORS = {
    "glibc default": {},
    # Frame-sized blocks (8 MB at 1080p, 33 MB at 2160p) stay in the heap;
    # 32 MiB is the largest threshold glibc accepts on 64-bit.
    "tuned": {"MALLOC_MMAP_THRESHOLD_": str(32 * 1024 * 1024),
              "MALLOC_TRIM_THRESHOLD_": str(256 * 1024 * 1024)},
}


# --------------------------------------------------------------------------
# Child side: measures on the display in DISPLAY and prints one JSON line.


class DropSink:
    """Counts frames and lets each go."""

    def __init__(self, size):
        self.size = size
        self.count = 0
        self.wrong_size = 0

    def write(self, frame):
        self.count += 1
        if len(frame) != self.size:
            self.wrong_size += 1


class KeepLastSink(DropSink):
    """Keeps the last frame until the next one, so every frame is a new object."""

    def write(self, frame):
        super().write(frame)
        self.last = frame


def capture_rate(m, sink_type, size, seconds, overlap, plain_copy=False):
    """Frames per second and process CPU seconds per frame of one run."""
    os.environ["VOREL_VIDEO_OVERLAP"] = "1" if overlap else "0"  # read when a run starts
    os.environ["VOREL_VIDEO_COPY"] = "plain" if plain_copy else ""
    sink = sink_type(size[0] * size[1] * 4)
    capture = m.VideoCapture(sink, fps=100000, monitor_index=0)
    capture.start()
    if not capture.wait_ready(5):
        raise RuntimeError(f"capture did not start: {capture.error}")
    time.sleep(0.5)  # warm-up
    count0, t0, cpu0 = sink.count, time.perf_counter(), time.process_time()
    time.sleep(seconds)
    frames = sink.count - count0
    elapsed, cpu = time.perf_counter() - t0, time.process_time() - cpu0
    capture.stop()
    capture.wait(5)
    if capture.error or sink.wrong_size:
        raise RuntimeError(f"capture failed: {capture.error}; {sink.wrong_size} wrong sizes")
    return frames / elapsed, cpu / max(frames, 1)


def mss_rate(sct, size, seconds):
    area = {"left": 0, "top": 0, "width": size[0], "height": size[1]}
    for _ in range(3):  # warm-up
        bytes(sct.grab(area).raw)
    frames, start, cpu0 = 0, time.perf_counter(), time.process_time()
    deadline = start + seconds
    while time.perf_counter() < deadline:
        frame = bytes(sct.grab(area).raw)
        if len(frame) != size[0] * size[1] * 4:
            raise RuntimeError("mss returned a frame of a wrong size")
        frames += 1
    return frames / (time.perf_counter() - start), (time.process_time() - cpu0) / frames


def child_unthrottled(size, seconds, rounds):
    import _native_core as m
    import mss

    monitor = m.list_monitors()[0]
    if (monitor.width, monitor.height) != size:
        raise RuntimeError(f"monitor 0 is {monitor.width}x{monitor.height}, not {size}")
    out = {"ours": [], "ours_cpu": [], "plain_copy": [], "plain_copy_cpu": [], "no_overlap": [],
           "no_overlap_cpu": [], "previous": [], "previous_cpu": [], "mss": [], "mss_cpu": [],
           "grab": [], "mss_version": mss.__version__}
    open_mss = getattr(mss, "MSS", None) or mss.mss  # mss.mss is deprecated from 10.2
    with open_mss() as sct:
        for _ in range(rounds):
            fps, cpu = capture_rate(m, DropSink, size, seconds, overlap=True)
            out["ours"].append(fps)
            out["ours_cpu"].append(cpu)
            fps, cpu = capture_rate(m, DropSink, size, seconds, overlap=True, plain_copy=True)
            out["plain_copy"].append(fps)
            out["plain_copy_cpu"].append(cpu)
            fps, cpu = capture_rate(m, DropSink, size, seconds, overlap=False)
            out["no_overlap"].append(fps)
            out["no_overlap_cpu"].append(cpu)
            fps, cpu = capture_rate(m, KeepLastSink, size, seconds, overlap=False,
                                    plain_copy=True)
            out["previous"].append(fps)
            out["previous_cpu"].append(cpu)
            fps, cpu = mss_rate(sct, size, seconds)
            out["mss"].append(fps)
            out["mss_cpu"].append(cpu)
            out["grab"].extend(
                m.VideoCapture.measure_achievable_fps(monitor_index=0, target_fps=1_000_000)
                for _ in range(3))
    print(json.dumps(out))


class PacedSink(DropSink):
    """Records when each write starts, and when the first one returns."""

    def __init__(self, size):
        super().__init__(size)
        self.starts = []
        self.anchor = None

    def write(self, frame):
        self.starts.append(time.monotonic())
        super().write(frame)
        if self.anchor is None:
            self.anchor = time.monotonic()


def child_paced(rate, seconds, overlap):
    import _native_core as m

    os.environ["VOREL_VIDEO_OVERLAP"] = "1" if overlap else "0"
    monitor = m.list_monitors()[0]
    sink = PacedSink(monitor.width * monitor.height * 4)
    capture = m.VideoCapture(sink, fps=rate, monitor_index=0)
    capture.start()
    if not capture.wait_ready(5):
        raise RuntimeError(f"capture did not start: {capture.error}")
    time.sleep(seconds)
    capture.stop()
    capture.wait(5)
    if capture.error or sink.wrong_size:
        raise RuntimeError(f"capture failed: {capture.error}")
    starts, interval = sink.starts, 1.0 / rate
    # Frame k (k >= 1) is due at the anchor plus k intervals.
    lags = sorted((t - (sink.anchor + k * interval)) * 1000
                  for k, t in enumerate(starts) if k)
    # Frames due between the anchor and the last write: none may be missing.
    due = int((starts[-1] - sink.anchor) / interval + 0.5)
    # The mean interval as the least-squares slope of start time over frame
    # number, so one late frame at either end does not tilt it.
    ks = range(1, len(starts))
    k_mean = statistics.fmean(ks)
    t_mean = statistics.fmean(starts[1:])
    slope = (sum((k - k_mean) * (starts[k] - t_mean) for k in ks)
             / sum((k - k_mean) ** 2 for k in ks))
    print(json.dumps({
        "frames": len(starts) - 1, "due": due,
        "interval_error_pct": (slope - interval) / interval * 100,
        "lag_p50_ms": lags[len(lags) // 2], "lag_p99_ms": lags[int(len(lags) * 0.99)],
    }))


# --------------------------------------------------------------------------
# Parent side: servers, children, the report.


def run_child(display, env_extra, *args):
    env = dict(os.environ, DISPLAY=display, **env_extra)
    result = subprocess.run([sys.executable, __file__, "--child", *args], env=env,
                            capture_output=True, text=True, timeout=900)
    if result.returncode != 0:
        raise RuntimeError(f"child {args} failed:\n{result.stderr}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def rounds_text(values, fmt="{:.0f}"):
    return ", ".join(fmt.format(v) for v in values)


def ratio(a, b):
    return a / b if b else float("nan")


# Frames from this size on are copied with streaming stores by the module.
STREAMING_COPY_MIN_BYTES = 16 << 20


def ceiling_ms(size, c):
    """Ms per frame of the C++ grab overlapped with the copy the module makes,
    in its fastest round (load only ever slows a round down)."""
    streaming = size[0] * size[1] * 4 >= STREAMING_COPY_MIN_BYTES
    return c["best_overlapped_copy_streaming" if streaming else "best_overlapped_copy"]


def report_unthrottled(size, allocator, r, c=None):
    med = {k: statistics.median(v) for k, v in r.items() if isinstance(v, list)}
    print(f"\n{size[0]}x{size[1]}, {allocator} allocator: frames per second, median "
          f"(rounds)")
    rows = [
        ("VideoCapture into a dropping stream", "ours"),
        ("the same with VOREL_VIDEO_COPY=plain", "plain_copy"),
        ("the same with VOREL_VIDEO_OVERLAP=0", "no_overlap"),
        ("previous pipeline (no overlap, a new bytes per frame)", "previous"),
        (f"mss {r['mss_version']} grab() + bytes", "mss"),
        ("our grab alone (measure_achievable_fps)", "grab"),
    ]
    for name, key in rows:
        print(f"  {name:<56}{med[key]:8.1f}   ({rounds_text(r[key])})")
    print(f"  {'ours / our grab alone (target >= 0.9)':<56}{ratio(med['ours'], med['grab']):8.3f}")
    print(f"  {'ours / mss (target >= 3)':<56}{ratio(med['ours'], med['mss']):8.3f}")
    if c is not None:
        ceiling = 1000 / ceiling_ms(size, c)
        print(f"  {'ceiling: C++ grab overlapped with the copy, fps':<56}{ceiling:8.1f}")
        print(f"  {'  as a fraction of the C++ grab alone':<56}"
              f"{ratio(c['best_grab'], ceiling_ms(size, c)):8.3f}")
        print(f"  {'  against mss':<56}{ratio(ceiling, med['mss']):8.3f}")
        print(f"  {'ours / ceiling':<56}{ratio(med['ours'], ceiling):8.3f}")
    print(f"  {'ours / the same with the plain copy':<56}"
          f"{ratio(med['ours'], med['plain_copy']):8.3f}")
    print(f"  {'ours / the same without overlap':<56}"
          f"{ratio(med['ours'], med['no_overlap']):8.3f}")
    print(f"  {'ours / previous pipeline':<56}{ratio(med['ours'], med['previous']):8.3f}")
    print("  process CPU per delivered frame, ms, median (rounds)")
    for name, key in [("ours", "ours_cpu"), ("with the plain copy", "plain_copy_cpu"),
                      ("without overlap", "no_overlap_cpu"),
                      ("previous pipeline", "previous_cpu"),
                      ("mss", "mss_cpu")]:
        print(f"    {name:<54}{med[key] * 1000:8.3f}   "
              f"({rounds_text([v * 1000 for v in r[key]], '{:.3f}')})")
    print(f"    {'ours / previous pipeline (lower is better)':<54}"
          f"{ratio(med['ours_cpu'], med['previous_cpu']):8.3f}")


def run_grab_overlap(program, display, frames, rounds):
    result = subprocess.run([program, str(frames), str(rounds)],
                            env=dict(os.environ, DISPLAY=display),
                            capture_output=True, text=True, timeout=900)
    if result.returncode != 0:
        raise RuntimeError(f"{program} failed:\n{result.stderr}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def report_grab_overlap(results, frames, rounds):
    print(f"\nthe grab and the copy without Python, ms per frame (median of {rounds} rounds; "
          f"GB/s counts each copied byte read and written):")
    for size, r in results.items():
        mb = size[0] * size[1] * 4 / 1e6
        # A copy reads the frame and writes it: twice its size crosses the bus.
        gbs = lambda ms, copies=1: 2 * mb * copies / ms if ms else float("nan")  # noqa: E731
        print(f"  {size[0]}x{size[1]} ({mb:.1f} MB, {frames[size]} frames a round): "
              f"grab {r['grab']:.3f}, "
              f"{r['grab_beside_copy']:.3f} while the other core copies frames "
              f"(ratio {ratio(r['grab_beside_copy'], r['grab']):.3f})")
        print(f"    copy into a reused block: memcpy {r['copy']:.3f} ({gbs(r['copy']):.1f} GB/s), "
              f"streaming stores {r['copy_streaming']:.3f} ({gbs(r['copy_streaming']):.1f} GB/s)")
        print(f"    two copies at once: memcpy {r['two_copies']:.3f} "
              f"({gbs(r['two_copies'], 2):.1f} GB/s), streaming {r['two_copies_streaming']:.3f} "
              f"({gbs(r['two_copies_streaming'], 2):.1f} GB/s)")
        print(f"    memcpy into a new block per frame: 4 KB pages {r['fresh_copy']:.3f}, "
              f"huge pages advised {r['fresh_copy_huge']:.3f}")
        for work, label in [("copy", "memcpy"), ("copy_streaming", "streaming"),
                            ("spin", "busy wait"), ("sleep", "sleep")]:
            serial = r.get(f"serial_{work}")
            overlapped = r[f"overlapped_{work}"]
            line = f"    {label:<10} during the grab {overlapped:7.3f}"
            if serial is not None:
                line += (f", after it {serial:7.3f}"
                         f"   ratio {ratio(overlapped, serial):.3f}")
            print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.5, help="per unthrottled round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--paced-seconds", type=float, default=10.0)
    parser.add_argument("--grab-overlap", help="path of vorel_grab_overlap_bench")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        kind, *rest = args.child
        if kind == "unthrottled":
            w, h, seconds, rounds = rest
            child_unthrottled((int(w), int(h)), float(seconds), int(rounds))
        else:
            rate, seconds, overlap = rest
            child_paced(int(rate), float(seconds), overlap == "1")
        return 0

    processes = Processes()
    try:
        displays = {size: start_xvfb(processes, *size) for size in SIZES}
        print(f"cores: {os.cpu_count()}; load average at start: "
              f"{', '.join(f'{x:.2f}' for x in os.getloadavg())}")
        # The C++ measurement runs right before each Python one, so that both
        # see about the same load; the report shows the one of the last.
        overlap_rounds = 7
        overlap_frames = {SIZES[0]: 100, SIZES[1]: 40}
        grab_overlap = {}
        for size in SIZES:
            for allocator, env in ALLOCATORS.items():
                if args.grab_overlap:
                    grab_overlap[size] = run_grab_overlap(
                        args.grab_overlap, displays[size], overlap_frames[size], overlap_rounds)
                r = run_child(displays[size], env, "unthrottled", str(size[0]), str(size[1]),
                              str(args.seconds), str(args.rounds))
                report_unthrottled(size, allocator, r, grab_overlap.get(size))

        if grab_overlap:
            report_grab_overlap(grab_overlap, overlap_frames, overlap_rounds)

        print(f"\npaced, 1920x1080, {args.paced_seconds:g} s each: frames written / due, "
              f"mean interval error, deadline to write start p50 / p99")
        for rate in (30, 60):
            for overlap in ("1", "0"):
                r = run_child(displays[SIZES[0]], {}, "paced", str(rate),
                              str(args.paced_seconds), overlap)
                label = f"{rate} fps, overlap {'on' if overlap == '1' else 'off'}"
                print(f"  {label:<22}{r['frames']:5d} / {r['due']:<5d}"
                      f"{r['interval_error_pct']:+8.3f} %   "
                      f"{r['lag_p50_ms']:6.2f} / {r['lag_p99_ms']:6.2f} ms")
        print(f"\nload average at the end: {', '.join(f'{x:.2f}' for x in os.getloadavg())}")
    finally:
        processes.stop_all()
    return 0


if __name__ == "__main__":
    sys.exit(main())
