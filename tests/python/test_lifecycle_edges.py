"""The capture lifecycle where it meets the caller's own code and the
interpreter's exit: calls made from inside the stream, streams released by
the worker, and exits that come early, late, or while a worker is in
Python."""

import gc
import gzip
import os
import struct
import subprocess
import sys
import textwrap
import time
import weakref


import _native_core as m


# Makes finalization take `seconds` (garbage that only the collection during
# finalization frees sleeps in its __del__), so that a thread can wake while
# it runs.
def slow_finalization(seconds):
    return f"""
import gc, time

class SlowFinalizer:
    def __del__(self):
        time.sleep({seconds})

gc.disable()
cycle = SlowFinalizer()
cycle.cycle = cycle
del cycle
"""


def run_python(code, timeout=60):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, timeout=timeout, env=os.environ)
    assert out.returncode == 0 and out.stderr == "", (out.returncode, out.stderr[-3000:])
    return out.stdout


def finished_wav(path):
    data = open(path, "rb").read()
    assert data[:4] == b"RIFF" and data[36:40] == b"data"
    assert struct.unpack_from("<I", data, 4)[0] == len(data) - 8
    assert struct.unpack_from("<I", data, 40)[0] == len(data) - 44
    return len(data) - 44


def worker_threads(name):
    count = 0
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                count += f.read().strip() == name
        except OSError:
            pass
    return count


def test_stop_wait_and_start_from_inside_write(require_display):
    """A stream that ends the capture from its own write: wait() there
    returns at once (it cannot join its own thread) and leaves the worker to
    a later wait(); start() there fails clearly instead of waiting for
    itself; start() while still running is a no-op as anywhere."""

    class Sink:
        def __init__(self, restart):
            self.restart = restart
            self.frames = 0
            self.seen = []

        def write(self, frame):
            self.frames += 1
            if self.frames == 2:
                cap.start()  # still running: nothing happens
            if self.frames == 3:
                cap.stop()
                t = time.monotonic()
                cap.wait()
                cap.wait(5.0)
                self.seen.append(time.monotonic() - t)
                if self.restart:
                    cap.start()

    for restart in (False, True):
        sink = Sink(restart)
        cap = m.VideoCapture(sink, fps=50, monitor_index=0)
        cap.start()
        cap.wait(10)
        assert worker_threads("vorel-video-nat") == 0  # the later wait() joined it
        assert sink.frames == 3 and sink.seen[0] < 0.5
        if restart:
            assert cap.error.startswith("RuntimeError: start() cannot be called on the capture's own")
        else:
            assert cap.error is None
        # The object is usable again from outside.
        cap.start()
        assert cap.wait_ready(5)
        cap.stop()
        cap.wait(10)


def test_a_worker_releases_the_stream_it_held(require_display):
    """Once its run is over, the worker's reference to the stream is released
    without waiting for the next call into the module, also by a worker that
    never reached Python."""
    class Stream:
        def write(self, frame):
            pass

    for kwargs in ({"monitor_index": 0}, {"window_handle": 1}):
        stream = Stream()
        ref = weakref.ref(stream)
        cap = m.VideoCapture(stream, fps=20, **kwargs)
        cap.start()
        time.sleep(0.3)
        del cap, stream  # the worker's reference is now the last one
        gc.collect()
        deadline = time.monotonic() + 5
        while ref() is not None and time.monotonic() < deadline:
            time.sleep(0.01)
        assert ref() is None, kwargs


def test_exit_closes_the_stream_the_worker_held(require_display, tmp_path):
    """At exit the stream a worker gave up is released, so it is closed and
    writes what it buffered (a compressor its trailer)."""
    path = tmp_path / "frames.gz"
    run_python(f"""
        import gzip, time, _native_core as m
        f = gzip.open({str(path)!r}, "wb")
        f.write(b"tail")
        c = m.VideoCapture(f, fps=10, monitor_index=0)
        c.start()
        c.wait_ready(5)
        time.sleep(0.35)
        del c, f
    """)
    data = gzip.decompress(path.read_bytes())  # raises on a file without its end
    frame = m.list_monitors()[0].width * m.list_monitors()[0].height * 4
    assert data[:4] == b"tail" and (len(data) - 4) % frame == 0 and len(data) > 4


def test_exit_hook_run_early_then_later_captures(require_display, require_audio, tmp_path):
    """atexit._run_exitfuncs() stops every capture and finishes its file;
    captures started afterwards hand over frames as usual, and one still
    running at the real exit is stopped and finished then."""
    first, second = tmp_path / "first.wav", tmp_path / "second.wav"
    out = run_python(f"""
        import atexit, time, _native_core as m
        a = m.AudioCapture({str(first)!r})
        a.start()
        assert a.wait_started(10)
        time.sleep(0.3)
        atexit._run_exitfuncs()

        class Sink:
            frames = 0
            def write(self, frame):
                Sink.frames += 1
        v = m.VideoCapture(Sink(), fps=30, monitor_index=0)
        v.start()
        v.wait_ready(5)
        time.sleep(0.3)
        v.stop()
        v.wait(10)
        print(Sink.frames, v.error)

        b = m.AudioCapture({str(second)!r})
        b.start()
        assert b.wait_started(10)
        time.sleep(0.4)
    """)
    frames, error = out.split()
    assert int(frames) >= 3 and error == "None"
    assert finished_wav(first) > 0
    assert finished_wav(second) >= 48000 * 4 * 0.3


def test_exit_while_a_worker_is_in_python_past_the_grace(require_display):
    """A worker still inside the stream when the exit hook gives up (5 s) is
    ended by the interpreter as soon as it wants the lock back during
    finalization; that must neither crash nor print."""
    run_python(slow_finalization(3) + textwrap.dedent("""
        import threading, time, _native_core as m
        inside = threading.Event()

        class Slow:
            def wait_ready(self, timeout):
                inside.set()
                time.sleep(6.5)  # wakes while finalization runs
                return True
            def write(self, frame):
                pass

        c = m.VideoCapture(Slow(), monitor_index=0)
        c.start()
        assert inside.wait(5)
    """), timeout=60)


def test_a_daemon_thread_waiting_in_the_module_at_exit():
    """A daemon thread still in one of our waits when finalization begins is
    ended by the interpreter when it wants the lock back; the unwinding
    passes through our entry point without ending the process."""
    run_python(slow_finalization(2) + textwrap.dedent("""
        import threading, _native_core as m
        c = m.VideoCapture(None)  # never started: its milestone never comes
        inside = threading.Event()

        def waiter():
            inside.set()
            c.wait_ready(0.7)

        threading.Thread(target=waiter, daemon=True).start()
        inside.wait()  # wakes while finalization runs
    """))
