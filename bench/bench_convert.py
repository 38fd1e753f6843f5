"""Float-to-int16 sample conversion: the native converter against NumPy's
clip-and-cast of the same number of samples, measured in the same run.

Run: scripts/bench.sh convert (builds the C++ timing program first)."""

import subprocess
import sys
import time

import numpy as np

SAMPLES = 1 << 22
RUNS = 20


def numpy_ns_per_sample() -> float:
    rng = np.random.default_rng(1)
    x = rng.uniform(-1.0, 1.0, SAMPLES).astype(np.float32)
    best = float("inf")
    for _ in range(RUNS):
        t = time.perf_counter_ns()
        y = np.clip(x * np.float32(32767.0), -32768.0, 32767.0)
        y = np.nan_to_num(y, copy=False).astype(np.int16)
        best = min(best, time.perf_counter_ns() - t)
    return best / SAMPLES


def native_ns_per_sample(binary: str) -> float:
    out = subprocess.run([binary, str(SAMPLES), str(RUNS)], check=True, capture_output=True, text=True)
    return float(out.stdout.split()[0])


def main() -> None:
    binary = sys.argv[1]
    native = native_ns_per_sample(binary)
    baseline = numpy_ns_per_sample()
    print(f"float->int16 conversion, {SAMPLES} samples, best of {RUNS}")
    print(f"  native   {native:.3f} ns/sample  ({1e3 / native:.0f} M samples/s)")
    print(f"  numpy    {baseline:.3f} ns/sample  ({1e3 / baseline:.0f} M samples/s)")
    print(f"  speed-up native vs numpy: {baseline / native:.2f}x  (target >= 2x)")


if __name__ == "__main__":
    main()
