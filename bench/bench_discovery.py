#!/usr/bin/env python3
"""Times list_windows() and list_monitors() beside pywinctl on the same windows.

Opens about 50 titled, mapped windows and lists them with both libraries in
the same run, alternating, then prints medians and the ratios (ours divided
by pywinctl: below 1 means faster). pywinctl only sees what a window manager
publishes, so unless the current display runs one, the script starts its own
Xvfb with evilwm; it also does so when DISPLAY is unset. Everything it starts
is stopped by PID at the end.

Needs: _native_core installed, python-xlib, pywinctl, Xvfb, xrandr, evilwm.

    python bench/bench_discovery.py [--windows 50] [--runs 400]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

from servers import Processes, start_xvfb
from Xlib import X, Xatom
from Xlib import display as xdisplay


def start_xvfb_two_monitors(processes):
    name = start_xvfb(processes, 1920, 1080, "+extension", "RANDR")
    env = dict(os.environ, DISPLAY=name)
    for layout in ("*LEFT 960/254x1080/286+0+0 screen", "RIGHT 960/254x1080/286+960+0 none"):
        subprocess.run(["xrandr", "--setmonitor", *layout.split()], env=env, check=True,
                       capture_output=True)
    return name


def window_property(d, window, name):
    prop = window.get_full_property(d.intern_atom(name), Xatom.WINDOW)
    return list(prop.value) if prop else []


def has_live_window_manager(name):
    d = xdisplay.Display(name)
    try:
        root = d.screen().root
        check = window_property(d, root, "_NET_SUPPORTING_WM_CHECK")
        if not check:
            return False
        try:
            return window_property(d, d.create_resource_object("window", check[0]),
                                   "_NET_SUPPORTING_WM_CHECK")[:1] == check[:1]
        except Exception:  # the named window is gone: a stale property
            return False
    finally:
        d.close()


def wait_for(predicate, what, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out waiting for {what}")
        time.sleep(0.02)


def median_us(samples):
    return statistics.median(samples) / 1000.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--windows", type=int, default=50)
    parser.add_argument("--runs", type=int, default=400)
    args = parser.parse_args()

    processes = Processes()
    d = None
    try:
        name = os.environ.get("DISPLAY")
        if not name or not has_live_window_manager(name):
            name = start_xvfb_two_monitors(processes)
            os.environ["DISPLAY"] = name
            processes.start(["evilwm", "-fn", "fixed"], env=dict(os.environ))
            wait_for(lambda: has_live_window_manager(name), "evilwm")
            print(f"private Xvfb {name} with evilwm")
        else:
            print(f"display {name} with its own window manager")

        d = xdisplay.Display(name)
        root = d.screen().root
        created = []
        for i in range(args.windows):
            w = root.create_window(20 + 10 * i, 20 + 5 * i, 300, 200, 1, X.CopyFromParent)
            w.change_property(d.intern_atom("_NET_WM_NAME"), d.intern_atom("UTF8_STRING"), 8,
                              f"bench window {i}".encode())
            w.set_wm_name(f"bench window {i}")
            w.set_wm_class("bench", "VorelBench")
            w.change_property(d.intern_atom("_NET_WM_PID"), Xatom.CARDINAL, 32, [os.getpid()])
            w.map()
            created.append(w.id)
        d.sync()
        wait_for(lambda: set(created) <= set(window_property(d, root, "_NET_CLIENT_LIST")),
                 "the window manager to manage every window")

        # pywinctl connects when it is imported: only now is DISPLAY final.
        import _native_core as m
        import pywinctl

        ours = {w.handle for w in m.list_windows()}
        theirs = {w.getHandle() for w in pywinctl.getAllWindows()}
        missing = set(created) - ours, set(created) - theirs
        if any(missing):
            raise RuntimeError(f"windows not listed (ours, pywinctl): {missing}")
        print(f"{args.windows} windows created; listed: ours {len(ours)}, "
              f"pywinctl {len(theirs)}; monitors: {len(m.list_monitors())}")

        cases = [
            ("list_windows()", m.list_windows,
             "pywinctl.getAllWindows()", pywinctl.getAllWindows),
            ("list_windows()", m.list_windows,
             "getAllWindows() + titles", lambda: [w.title for w in pywinctl.getAllWindows()]),
        ]
        try:
            pywinctl.getAllScreens()
            cases.append(("list_monitors()", m.list_monitors,
                          "pywinctl.getAllScreens()", pywinctl.getAllScreens))
        except Exception as e:  # pymonctl needs a CRTC behind every monitor
            print(f"pywinctl.getAllScreens() fails here ({type(e).__name__}); "
                  "monitors are compared with python-xlib's RandR listing instead")

            def xlib_monitors():
                reply = root.xrandr_get_monitors(is_active=True)
                return [(d.get_atom_name(mon.name), mon.x, mon.y, mon.width_in_pixels,
                         mon.height_in_pixels, mon.primary) for mon in reply.monitors]

            cases.append(("list_monitors()", m.list_monitors,
                          "python-xlib RandR monitors", xlib_monitors))
        print(f"\nmedian of {args.runs} runs each, alternating:")
        print(f"{'ours':<18}{'us':>9}   {'baseline':<28}{'us':>9}   ours/baseline")
        for our_name, our_fn, their_name, their_fn in cases:
            our_fn(), their_fn()  # warm up
            ours_ns, theirs_ns = [], []
            for _ in range(args.runs):
                t0 = time.perf_counter_ns()
                our_fn()
                t1 = time.perf_counter_ns()
                their_fn()
                t2 = time.perf_counter_ns()
                ours_ns.append(t1 - t0)
                theirs_ns.append(t2 - t1)
            a, b = median_us(ours_ns), median_us(theirs_ns)
            print(f"{our_name:<18}{a:>9.1f}   {their_name:<28}{b:>9.1f}   {a / b:.3f}")
    finally:
        if d is not None:
            d.close()
        processes.stop_all()


if __name__ == "__main__":
    sys.exit(main())
