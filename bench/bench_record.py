"""What a 1080p30 recording costs: vorel.Recording of a 1920x1080 monitor
with moving content, at the default (real-time) encoder settings and at
libx264's default preset as the baseline measured in the same run. Prints
the CPU used (the encoder's and this process's, as % of one core), whether
the capture kept its schedule, and the ratios."""

import argparse
import os
import resource
import sys
import tempfile
import time

from servers import Processes, start_xvfb

ANIMATOR = r"""
import random, sys, time
from Xlib import X, display
d = display.Display(sys.argv[1])
s = d.screen()
w = s.root.create_window(0, 0, 1920, 1080, 0, s.root_depth, background_pixel=0,
                         override_redirect=True)
w.map()
gc = w.create_gc()
rnd = random.Random(7)
while True:
    for _ in range(40):
        gc.change(foreground=rnd.randrange(1 << 24))
        w.fill_rectangle(gc, rnd.randrange(1800), rnd.randrange(1000), 120, 80)
    d.sync()
    time.sleep(1 / 30)
"""


def cpu_seconds():
    me = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return me.ru_utime + me.ru_stime, children.ru_utime + children.ru_stime


def record(vorel, folder, name, seconds, **options):
    out = os.path.join(folder, name + ".mp4")
    own0, kids0 = cpu_seconds()
    rec = vorel.Recording(out, monitor=0, fps=30, audio="none", duration=seconds, **options)
    rec.start()
    rec.wait()
    rec.stop()
    own1, kids1 = cpu_seconds()
    s = rec.status()
    return {"frames": s.frames, "behind": s.max_frames_behind,
            "encoder": (kids1 - kids0) / seconds * 100, "capture": (own1 - own0) / seconds * 100}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=8.0)
    args = parser.parse_args()
    processes = Processes()
    try:
        os.environ["DISPLAY"] = start_xvfb(processes, 1920, 1080)
        processes.start([sys.executable, "-c", ANIMATOR, os.environ["DISPLAY"]])
        time.sleep(0.5)
        import vorel

        with tempfile.TemporaryDirectory() as folder:
            runs = [
                ("default (libx264 ultrafast, crf 23)", {}),
                ("baseline: libx264 default preset", {"encoder_options": {"crf": 23}}),
            ]
            results = [(label, record(vorel, folder, f"r{i}", args.seconds, **options))
                       for i, (label, options) in enumerate(runs)]
    finally:
        processes.stop_all()
    want = round(args.seconds * 30)
    for label, r in results:
        print(f"{label:40s} frames {r['frames']}/{want}  most behind {r['behind']:4d}  "
              f"encoder {r['encoder']:5.0f} % of a core per second of video, "
              f"capture {r['capture']:4.0f} %")
    (_, fast), (_, base) = results
    print(f"default settings: {fast['encoder'] / max(base['encoder'], 1e-9):.2f}x the "
          f"encoder CPU of the baseline; most frames behind {fast['behind']} vs {base['behind']}")


if __name__ == "__main__":
    main()
