"""Run as a program: covers an area of the screen with a black window and
flips it between black and white each time a click is heard on the default
sink's monitor (a low-latency reader, so the flip follows the moment the
sink renders the click by a few ms). Prints "ready" once the window shows,
and the number of flips when its input ends. A process of its own, so that
its work does not compete with the recorder under test for the interpreter.

Usage: flip_on_click.py DISPLAY X Y WIDTH HEIGHT"""

import array
import subprocess
import sys

from media import ColourWindow

RATE = 48000


def main():
    display, x, y, w, h = sys.argv[1], *map(int, sys.argv[2:6])
    window = ColourWindow(display, x, y, w, h, 0x000000)
    reader = subprocess.Popen(
        ["parec", "--raw", "--latency-msec=5", "--format=s16le", f"--rate={RATE}",
         "--channels=2", "-d", "@DEFAULT_MONITOR@"], stdout=subprocess.PIPE)
    print("ready", flush=True)
    bright, last_loud, n, flips = False, -RATE, 0, 0
    try:
        while chunk := reader.stdout.read(960):
            samples = array.array("h")
            samples.frombytes(chunk[: len(chunk) // 2 * 2])
            if max(samples, default=0) > 8000 or min(samples, default=0) < -8000:
                for i, v in enumerate(samples):
                    if abs(v) > 8000:
                        if n + i - last_loud > 0.2 * RATE:
                            bright = not bright
                            window.fill(0xFFFFFF if bright else 0x000000)
                            flips += 1
                        last_loud = n + i
            n += len(samples)
    except KeyboardInterrupt:
        pass
    finally:
        reader.terminate()
        reader.wait()
        window.close()
        print(flips, flush=True)


if __name__ == "__main__":
    main()
