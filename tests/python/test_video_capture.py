"""VideoCapture's lifecycle, hand-over rules and failure texts, on the test
display's first monitor."""

import subprocess
import sys
import threading
import time

import pytest

import _native_core as m

VC = m.VideoCapture


class Sink:
    """Counts frames; optional behaviour per call."""

    def __init__(self, fail_with=None, after=0):
        self.frames = []
        self.times = []
        self.fail_with = fail_with
        self.after = after
        self.active = 0
        self.max_active = 0
        self.lock = threading.Lock()

    def write(self, frame):
        with self.lock:
            self.active += 1
            self.max_active = max(self.max_active, self.active)
        try:
            self.times.append(time.monotonic())
            self.frames.append(len(frame))
            assert isinstance(frame, bytes)
            if self.fail_with is not None and len(self.frames) > self.after:
                raise self.fail_with
        finally:
            with self.lock:
                self.active -= 1


def run_to_end(capture, timeout=10):
    capture.start()
    capture.wait(timeout)


def test_shape_and_conversions():
    import inspect

    assert str(inspect.signature(VC)) == "(output_stream, *, fps=30, monitor_index=None, window_handle=None)"
    assert str(inspect.signature(VC.measure_achievable_fps)) == (
        "(monitor_index=None, window_handle=None, target_fps=60)"
    )
    assert str(inspect.signature(VC.wait)) == "(self, /, timeout=None)"
    with pytest.raises(TypeError):
        VC(Sink(), 30)  # fps is keyword-only
    with pytest.raises(TypeError, match="^argument 'fps': "):
        VC(Sink(), fps=None)
    with pytest.raises(OverflowError):
        VC(Sink(), fps=2**31)
    with pytest.raises(TypeError, match="^argument 'window_handle': "):
        VC(Sink(), window_handle="1")
    with pytest.raises(OverflowError):
        VC(Sink(), window_handle=2**63)
    VC(None, monitor_index=None, window_handle=None)  # the stream is not looked at
    with pytest.raises(TypeError):
        type("Sub", (VC,), {})
    with pytest.raises(AttributeError):
        VC(None).width = 3
    with pytest.raises(TypeError, match="^argument 'timeout': "):
        VC(None).wait_ready(None)
    with pytest.raises(TypeError, match="^argument 'target_fps': "):
        VC.measure_achievable_fps(target_fps=None)


def test_never_started():
    c = VC(Sink())
    assert (c.width, c.height, c.error) == (0, 0, None)
    t = time.monotonic()
    assert c.wait_ready(0.5) is False
    assert 0.45 < time.monotonic() - t < 2.0
    assert c.wait() is None
    assert c.wait(-1) is None  # no worker: the time-out is never converted
    assert c.stop() is None
    assert c.wait_ready(0) is False


def test_time_out_failures_are_panics():
    c = VC(Sink())
    for bad, text in [
        (-1.0, "cannot convert float seconds to Duration: value is negative"),
        (float("nan"), "cannot convert float seconds to Duration: value is either too big or NaN"),
        (float("inf"), "cannot convert float seconds to Duration: value is either too big or NaN"),
    ]:
        try:
            c.wait_ready(bad)
        except Exception:  # noqa: BLE001 - must not be an Exception
            pytest.fail("PanicException must not derive from Exception")
        except BaseException as e:  # noqa: B036
            assert type(e).__name__ == "PanicException"
            assert e.args == (text,)
    # A huge time-out is "practically forever", not an overflow that returns at once.
    c.start()
    try:
        assert c.wait_ready(1e18) is True
    finally:
        c.stop()
        c.wait()


def test_frames_paced_and_sized(require_display):
    mon = m.list_monitors()[0]
    sink = Sink()
    c = VC(sink, fps=20, monitor_index=0)
    c.start()
    assert c.wait_ready(5)
    assert (c.width, c.height) == (mon.width, mon.height)
    time.sleep(1.0)
    c.stop()
    c.wait()
    assert c.error is None
    assert set(sink.frames) == {mon.width * mon.height * 4}
    gaps = [b - a for a, b in zip(sink.times, sink.times[1:])]
    assert 15 <= len(sink.frames) <= 24
    assert 0.045 < sum(gaps) / len(gaps) < 0.056


def test_start_twice_and_restart_never_overlap(require_display):
    sink = Sink()
    c = VC(sink, fps=200)
    c.start()
    c.start()  # no second worker
    assert c.wait_ready(5)
    time.sleep(0.2)
    for _ in range(5):
        c.stop()
        c.start()  # waits for the previous worker before starting again
        time.sleep(0.05)
    c.stop()
    c.wait()
    assert sink.max_active == 1
    assert len(sink.frames) > 10


def test_wait_with_time_out_detaches(require_display):
    sink = Sink()
    c = VC(sink, fps=100)
    c.start()
    assert c.wait_ready(5)
    t = time.monotonic()
    assert c.wait(0) is None
    assert time.monotonic() - t < 0.5
    n = len(sink.frames)
    time.sleep(0.2)
    assert len(sink.frames) > n, "the detached worker keeps running"
    assert c.start() is None  # still running: no effect
    c.stop()  # reaches the detached worker through the shared flags
    time.sleep(0.2)
    n = len(sink.frames)
    time.sleep(0.2)
    assert len(sink.frames) == n
    assert c.wait() is None  # nothing left to wait for


def test_wait_releases_the_interpreter_lock(require_display):
    c = VC(Sink(), fps=30)
    c.start()
    assert c.wait_ready(5)
    threading.Timer(0.3, c.stop).start()
    t = time.monotonic()
    c.wait()  # would deadlock if the lock were kept: the timer thread calls stop()
    assert time.monotonic() - t < 5


@pytest.mark.parametrize(
    "exc",
    [BrokenPipeError(32, "Broken pipe"), OSError("anything at all")],
)
def test_closed_pipe_ends_quietly(require_display, exc):
    sink = Sink(fail_with=exc, after=2)
    c = VC(sink)
    run_to_end(c)
    assert len(sink.frames) == 3
    assert c.error is None


@pytest.mark.parametrize(
    "exc, text",
    [
        (ConnectionResetError("peer went away"), "ConnectionResetError: peer went away"),
        (ValueError("I/O operation on closed file."), "ValueError: I/O operation on closed file."),
    ],
)
def test_other_write_errors_are_recorded(require_display, exc, text):
    sink = Sink(fail_with=exc)
    c = VC(sink)
    run_to_end(c)
    assert len(sink.frames) == 1
    assert c.error == text
    assert c.start() is None  # ended by itself: no restart until stop()
    assert c.wait_ready(0) is True
    c.stop()


def test_exception_whose_str_fails(require_display):
    class Weird(Exception):
        def __str__(self):
            raise RuntimeError("no")

    c = VC(Sink(fail_with=Weird()))
    run_to_end(c)
    assert c.error.endswith("Weird: <exception str() failed>")


def test_stream_without_write(require_display):
    c = VC(object())
    run_to_end(c)
    assert c.error == "AttributeError: 'object' object has no attribute 'write'"


class Ready:
    def __init__(self, answer):
        self.answer = answer
        self.args = None
        self.frames = 0

    def wait_ready(self, *args):
        self.args = args
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer

    def write(self, frame):
        self.frames += 1
        raise BrokenPipeError


def test_readiness_handshake(require_display):
    import numpy as np

    for answer in (True, np.True_):
        s = Ready(answer)
        c = VC(s)
        run_to_end(c)
        assert s.args == (30.0,) and type(s.args[0]) is float
        assert s.frames == 1 and c.error is None
    for answer in (1, None, False, "yes"):
        s = Ready(answer)
        c = VC(s)
        run_to_end(c)
        assert c.wait_ready(0) is True, "the milestone comes before the handshake"
        assert c.error == "Timed out waiting for video pipe."
        assert s.frames == 0
    s = Ready(RuntimeError("stream not ready"))
    c = VC(s)
    run_to_end(c)
    assert c.error == "RuntimeError: stream not ready"

    class Refuses:
        frames = 0

        def __getattr__(self, name):
            raise KeyError(name)

        def write(self, frame):
            Refuses.frames += 1
            raise BrokenPipeError

    c = VC(Refuses())
    run_to_end(c)
    assert Refuses.frames == 1 and c.error is None


def test_source_failures(require_display):
    count = len(m.list_monitors())
    for kwargs, text in [
        (dict(window_handle=0), "HWND 0x0 is not a valid window."),
        (dict(window_handle=-1), "HWND 0xffffffffffffffff is not a valid window."),
        (dict(monitor_index=count), f"Monitor index {count} not found (have {count})."),
        (dict(monitor_index=-1), f"Monitor index -1 not found (have {count})."),
    ]:
        c = VC(Sink(), **kwargs)
        c.start()
        t = time.monotonic()
        assert c.wait_ready(1.0) is False
        assert time.monotonic() - t >= 0.95
        c.wait(5)
        assert c.error == text
        assert (c.width, c.height) == (0, 0)


def test_rate_of_zero_or_less(require_display):
    for fps, tail in [(0, "too big or NaN"), (-3, "value is negative")]:
        sink = Sink()
        c = VC(sink, fps=fps)
        run_to_end(c)
        assert c.error == "cannot convert float seconds to Duration: value is " + (
            "either too big or NaN" if fps == 0 else "negative"
        )
        assert sink.frames == []


def test_measure_achievable_fps(require_display):
    assert VC.measure_achievable_fps(monitor_index=99) == 60
    assert VC.measure_achievable_fps(-1, target_fps=7) == 7
    assert VC(None).measure_achievable_fps(target_fps=10) == 10  # on an instance too
    assert VC.measure_achievable_fps(target_fps=0) == 0
    assert VC.measure_achievable_fps(target_fps=-4) == -4
    r = VC.measure_achievable_fps(target_fps=100000)
    assert 15 <= r < 100000
    assert VC.measure_achievable_fps(window_handle=0, target_fps=30) == 30


def test_dropped_object_stops_its_worker(require_display):
    sink = Sink()
    c = VC(sink, fps=100)
    c.start()
    assert c.wait_ready(5)
    time.sleep(0.1)
    del c
    time.sleep(0.2)
    n = len(sink.frames)
    time.sleep(0.3)
    assert len(sink.frames) == n


def test_interpreter_exit_while_capturing(require_display):
    code = """
import sys, time, _native_core as m
class Slow:
    def write(self, frame):
        time.sleep(0.005)
keep = [m.VideoCapture(Slow(), fps=200), m.VideoCapture(sys.stdout.buffer, fps=1, monitor_index=999)]
for c in keep:
    c.start()
keep[0].wait_ready(5)
m.VideoCapture(Slow(), fps=100).start()
time.sleep(0.3)
print("bye", flush=True)
"""
    for _ in range(3):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=30)
        assert out.returncode == 0, out.stderr
        assert out.stdout == b"bye\n" and out.stderr == b""
