"""Pixels captured on X11: monitor and window frames through VideoCapture.

Windows are painted with a solid background colour by the X server itself
(override-redirect, so no window manager moves them), and frames are checked
for that colour at the right place: blue, green and red bytes, the fourth byte
ignored. Tests that need a particular server (without MIT-SHM or Composite,
or with a monitor reaching past the screen) start a private Xvfb.
"""

import contextlib
import shutil
import struct
import subprocess
import sys
import threading
import time
import tracemalloc

import pytest

import _native_core as m
from xwindows import require, require_tools, wait_until

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="X11 backend"),
    pytest.mark.skipif(not hasattr(m, "VideoCapture"), reason="needs VideoCapture"),
]

try:
    import numpy as np
    from Xlib import X
    from Xlib import display as xdisplay
    from Xlib.protocol import display as xprotocol
    from Xlib.protocol import event as xevent
except ImportError:  # require_tools() reports python-xlib; numpy is installed with it
    np = X = xdisplay = xprotocol = xevent = None

BLUE_ISH = 0x3366CC  # red 0x33, green 0x66, blue 0xCC: frames hold CC 66 33 xx
ORANGE = 0xE07020
GREEN = 0x20C040
GREY = 0x808080


def bgr(color):
    return (color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF)


def open_display(name):
    """A python-xlib connection with an event table of its own. python-xlib
    keeps the table on its class, shared by all connections, and fails when
    two servers put different extension events at the same code (a server
    without MIT-SHM numbers them differently)."""
    shared = xprotocol.Display.event_classes
    own = xevent.event_class.copy()
    xprotocol.Display.event_classes = own
    try:
        d = xdisplay.Display(name)
    finally:
        xprotocol.Display.event_classes = shared
    d.display.event_classes = own
    return d


class Painter:
    """Solid-coloured top-level windows on one display, destroyed at close."""

    def __init__(self, display_name):
        self.display = open_display(display_name)
        self.root = self.display.screen().root
        self._windows = {}

    def create(self, x, y, width, height, color, *, mapped=True, border=0):
        w = self.root.create_window(x, y, width, height, border, X.CopyFromParent,
                                    background_pixel=color, border_pixel=GREY,
                                    override_redirect=True)
        self._windows[w.id] = w
        if mapped:
            self.map(w.id)
        else:
            self.display.sync()
        return w.id

    def map(self, wid):
        self._windows[wid].map()
        self.display.sync()
        wait_until(lambda: self._windows[wid].get_attributes().map_state == X.IsViewable,
                   "the window did not become viewable")

    def unmap(self, wid):
        self._windows[wid].unmap()
        self.display.sync()

    def paint(self, wid, color):
        w = self._windows[wid]
        w.change_attributes(background_pixel=color)
        w.clear_area()
        self.display.sync()

    def configure(self, wid, **changes):
        self._windows[wid].configure(**changes)
        self.display.sync()

    def iconify(self, wid):
        """What a window manager does to iconify a client (ICCCM 4.1.4): the
        WM_STATE property says IconicState and the window is unmapped."""
        wm_state = self.display.intern_atom("WM_STATE")
        self._windows[wid].change_property(wm_state, wm_state, 32, [3, 0])
        self.unmap(wid)

    def close(self):
        for w in self._windows.values():
            w.destroy()
        self.display.close()


@pytest.fixture
def painter(require_display):
    require_tools()
    p = Painter(require_display)
    yield p
    p.close()


class FrameSink:
    """An output stream that keeps the last frame and the length of all."""

    def __init__(self):
        self.last = None
        self.size = None  # width, height
        self.lengths = set()
        self.count = 0
        self._changed = threading.Condition()

    def write(self, frame):
        with self._changed:
            self.last = frame
            self.lengths.add(len(frame))
            self.count += 1
            self._changed.notify_all()

    def frame_after(self, count, timeout=5.0):
        """The last frame, once more than `count` frames were written."""
        with self._changed:
            if not self._changed.wait_for(lambda: self.count > count, timeout):
                raise AssertionError("no frame arrived")
            return self.last

    def next_frame(self):
        return self.frame_after(self.count)

    def shows(self, box, color, timeout=5.0):
        """The first new frame with `color` all over `box` (x, y, w, h);
        fails when none comes within the time-out."""
        deadline = time.monotonic() + timeout
        frame = self.next_frame()
        while not region_is(frame, *self.size, box, color):
            assert time.monotonic() < deadline, f"no frame shows {color:06x} over {box}"
            frame = self.next_frame()
        return frame


@contextlib.contextmanager
def capturing(**source):
    sink = FrameSink()
    capture = m.VideoCapture(sink, fps=60, **source)
    capture.start()
    try:
        assert capture.wait_ready(5), capture.error
        sink.size = (capture.width, capture.height)
        yield capture, sink
    finally:
        capture.stop()
        capture.wait(5)
    assert capture.error is None
    assert sink.lengths <= {capture.width * capture.height * 4}


def colours(frame, width, height):
    """The blue, green, red bytes of a frame as a height x width x 3 array."""
    assert len(frame) == width * height * 4
    return np.frombuffer(frame, np.uint8).reshape(height, width, 4)[:, :, :3]


def region_is(frame, width, height, box, color):
    x, y, w, h = box
    return bool((colours(frame, width, height)[y:y + h, x:x + w] == bgr(color)).all())


def overlap(window, monitor):
    """The part of `window` (x, y, w, h, screen coordinates) on `monitor`,
    in frame coordinates, or None."""
    x0, y0 = max(window[0], monitor.x), max(window[1], monitor.y)
    x1 = min(window[0] + window[2], monitor.x + monitor.width)
    y1 = min(window[1] + window[3], monitor.y + monitor.height)
    if x1 <= x0 or y1 <= y0:
        return None
    return (x0 - monitor.x, y0 - monitor.y, x1 - x0, y1 - y0)


# --------------------------------------------------------------------------
# Monitors


class TestMonitorFrames:
    def test_each_monitor_gives_frames_of_its_size(self, require_display):
        monitors = m.list_monitors()
        assert monitors
        for monitor in monitors:
            with capturing(monitor_index=monitor.index) as (capture, sink):
                assert (capture.width, capture.height) == (monitor.width, monitor.height)
                sink.next_frame()
        with capturing() as (capture, sink):
            assert (capture.width, capture.height) == (monitors[0].width, monitors[0].height)
            sink.next_frame()

    def test_a_window_is_found_at_its_place_on_every_monitor_it_covers(self, painter):
        first = m.list_monitors()[0]
        # Across the right edge of the first monitor, so that a monitor to its
        # right shows the rest.
        box = (first.x + first.width - 70, first.y + 100, 130, 50)
        wid = painter.create(*box, BLUE_ISH)
        seen = 0
        for monitor in m.list_monitors():
            part = overlap(box, monitor)
            if part is None:
                continue
            with capturing(monitor_index=monitor.index) as (capture, sink):
                w, h = capture.width, capture.height
                frame = sink.shows(part, BLUE_ISH)
                x, y, pw, ph = part
                pixels = colours(frame, w, h)
                assert tuple(pixels[y, x]) == (0xCC, 0x66, 0x33)  # blue first
                # Nothing of it beyond its edges.
                if y + ph < h:
                    assert not (pixels[y + ph, x:x + pw] == bgr(BLUE_ISH)).all()
                if x > 0:
                    assert not (pixels[y:y + ph, x - 1] == bgr(BLUE_ISH)).all()
                seen += 1

                # Later frames follow the screen.
                painter.paint(wid, ORANGE)
                sink.shows(part, ORANGE)
                painter.paint(wid, BLUE_ISH)
        assert seen >= 1

    @pytest.mark.parametrize("position, on_screen", [
        ("+1080+600", (0, 0, 200, 120)),
        ("+-100+-50", (100, 50, 300, 250)),
    ], ids=["past-bottom-right", "before-top-left"])
    def test_a_monitor_reaching_past_the_screen_reads_zeros_there(self, x_server, position,
                                                                  on_screen):
        server = x_server("+extension", "RANDR", size="1280x720")
        server.set_monitor("*INSIDE 640/169x720/190+0+0 screen")
        server.set_monitor(f"EDGE 400/106x300/79{position} none")
        edge = m.list_monitors()[1]
        assert (edge.name, edge.width, edge.height) == ("EDGE", 400, 300)
        painter = Painter(server.display)
        try:
            # A window over exactly the part of the monitor that is on the screen.
            x, y, w, h = on_screen
            painter.create(edge.x + x, edge.y + y, w, h, GREEN)
            with capturing(monitor_index=1) as (capture, sink):
                assert (capture.width, capture.height) == (400, 300)
                frame = sink.shows(on_screen, GREEN)
                rest = np.frombuffer(frame, np.uint8).reshape(300, 400, 4).copy()
                rest[y:y + h, x:x + w] = 0
                assert not rest.any()  # all four bytes of every pixel off the screen
        finally:
            painter.close()


# --------------------------------------------------------------------------
# The frame objects handed to the stream


PALETTE = [BLUE_ISH, ORANGE, GREEN, 0xA02080, 0x10E0E0]


class PaintingSink:
    """Repaints a window with the next colour of PALETTE on every write, so
    that consecutive frames differ, and records what each frame was while
    the stream had it: its identity, whether it was allocated since the
    previous write returned (tracing restarts at the end of each write, so
    only such an object has a traceback), a digest of its bytes,
    whether its hash matched a fresh copy's and the colour it showed. `keep(i)` says what of
    frame i to keep: None, "bytes" (the object) or "array" (a NumPy view)."""

    def __init__(self, painter, wid, box, size, keep, frames):
        self.painter, self.wid, self.box, self.size = painter, wid, box, size
        self.keep, self.frames = keep, frames
        self.ids, self.fresh, self.digests, self.hash_ok, self.colours = [], [], [], [], []
        self.kept = []  # (index, what was kept, digest at write time)
        self.done = threading.Event()

    def write(self, frame):
        import hashlib

        i = len(self.ids)
        if i >= self.frames:
            self.done.set()
            return
        assert type(frame) is bytes
        self.ids.append(id(frame))
        self.fresh.append(tracemalloc.get_object_traceback(frame) is not None)
        digest = hashlib.sha1(frame).digest()
        self.digests.append(digest)
        # A stale cached hash from an earlier content would differ here.
        self.hash_ok.append(hash(frame) == hash(bytes(bytearray(frame))))
        x, y, w, h = self.box
        self.colours.append(
            tuple(int(v) for v in colours(frame, *self.size)[y + h // 2, x + w // 2]))
        what = self.keep(i)
        if what == "bytes":
            self.kept.append((i, frame, digest))
        elif what == "array":
            self.kept.append((i, np.frombuffer(frame, np.uint8), digest))
        self.painter.paint(self.wid, PALETTE[(i + 1) % len(PALETTE)])
        tracemalloc.stop()  # forgets every trace
        tracemalloc.start()


def run_painting_sink(painter, keep, fps, frames=24, source="monitor"):
    import hashlib

    first = m.list_monitors()[0]
    box = (first.x + 100, first.y + 100, 200, 150)
    wid = painter.create(*box, PALETTE[0])
    if source == "window":
        sink = PaintingSink(painter, wid, (0, 0, 200, 150), (200, 150), keep, frames)
        capture = m.VideoCapture(sink, fps=fps, window_handle=wid)
    else:
        sink = PaintingSink(painter, wid, (100, 100, 200, 150), (first.width, first.height),
                            keep, frames)
        capture = m.VideoCapture(sink, fps=fps, monitor_index=first.index)
    capture.start()
    try:
        assert sink.done.wait(30), capture.error
    finally:
        capture.stop()
        capture.wait(10)
        tracemalloc.stop()
    assert capture.error is None
    assert sink.hash_ok == [True] * frames, "a reused frame kept the hash of its old content"
    for i, kept, digest in sink.kept:
        assert hashlib.sha1(kept).digest() == digest, f"frame {i} changed while it was kept"
    painted = {bgr(c) for c in PALETTE}
    assert set(sink.colours) <= painted, "a frame showed no painted colour"
    assert len(set(sink.colours)) >= 3, "frames did not follow the screen"
    return sink


# Paced, each grab comes after the previous write; unthrottled, the next
# grab runs during the write.
SOURCES_AND_RATES = pytest.mark.parametrize(
    "source, fps", [("monitor", 20), ("monitor", 1000), ("window", 1000)],
    ids=["monitor-paced", "monitor-unthrottled", "window-unthrottled"])


class TestFrameObjects:
    @SOURCES_AND_RATES
    def test_a_stream_that_keeps_nothing_gets_one_object_refilled(self, painter, source, fps):
        sink = run_painting_sink(painter, lambda i: None, fps, source=source)
        assert sink.fresh[1:] == [False] * (len(sink.fresh) - 1), (
            "a new object although none was kept")
        assert len(set(sink.ids)) == 1
        assert len(set(sink.digests)) >= 3

    @SOURCES_AND_RATES
    def test_frames_a_stream_keeps_never_change(self, painter, source, fps):
        # Every third frame kept as the object, every fifth through a NumPy
        # view of it; the rest let go.
        def keep(i):
            return "bytes" if i % 3 == 0 else "array" if i % 5 == 0 else None

        sink = run_painting_sink(painter, keep, fps, source=source)
        kept_ids = [sink.ids[i] for i, _, _ in sink.kept]
        assert len(set(kept_ids)) == len(kept_ids), "two kept frames were one object"
        # A new object exactly after a frame that was kept; a frame let go
        # comes back refilled.
        assert sink.fresh[1:] == [keep(i) is not None for i in range(len(sink.fresh) - 1)]

    def test_large_frames_are_whole_kept_and_refilled(self, x_server):
        # Frames of this size (18 MB, not a whole number of 64-byte blocks)
        # are copied with streaming stores: their first and last bytes, the
        # black between the windows and the windows repainted for each frame
        # must all come through, in a refilled object and in kept ones.
        import hashlib

        width, height = 2561, 1801
        server = x_server("-br", "+extension", "RANDR", size=f"{width}x{height}")
        painter = Painter(server.display)
        still = (1200, 900, 150, 100)
        corners = [(0, 0, 40, 3), (width - 41, height - 2, 41, 2)]  # repainted per frame
        frames = 24
        try:
            painter.create(*still, ORANGE)
            wids = [painter.create(*box, PALETTE[0]) for box in corners]
            lit = sum(w * h for _, _, w, h in [still, *corners])

            class Sink:
                def __init__(self):
                    self.fresh, self.kept, self.bad = [], [], []
                    self.done = threading.Event()

                def write(self, frame):
                    i = len(self.fresh)
                    if i >= frames:
                        self.done.set()
                        return
                    self.fresh.append(tracemalloc.get_object_traceback(frame) is not None)
                    pixels = colours(frame, width, height)
                    # Each corner one palette colour all over (a repaint may
                    # fall between the two), the rest as painted.
                    whole = (region_is(frame, width, height, still, ORANGE)
                             and np.count_nonzero(pixels.any(axis=2)) == lit)
                    for x, y, w, h in corners:
                        shown = tuple(int(v) for v in pixels[y, x])
                        whole = (whole and shown in {bgr(c) for c in PALETTE}
                                 and bool((pixels[y:y + h, x:x + w] == shown).all()))
                    if not whole:
                        self.bad.append(i)
                    if i % 3 == 0:
                        self.kept.append((i, frame, hashlib.sha1(frame).digest()))
                    for wid in wids:
                        painter.paint(wid, PALETTE[(i + 1) % len(PALETTE)])
                    tracemalloc.stop()  # forgets every trace
                    tracemalloc.start()

            sink = Sink()
            capture = m.VideoCapture(sink, fps=10000, monitor_index=0)
            capture.start()
            try:
                assert sink.done.wait(60), capture.error
            finally:
                capture.stop()
                capture.wait(10)
                tracemalloc.stop()
            assert capture.error is None
            assert sink.bad == [], "frames not as painted"
            for i, frame, digest in sink.kept:
                assert hashlib.sha1(frame).digest() == digest, f"frame {i} changed while kept"
            # A new object exactly after a kept frame; one let go is refilled.
            assert sink.fresh[1:] == [(i - 1) % 3 == 0 for i in range(1, frames)]
        finally:
            painter.close()

    @pytest.mark.parametrize("source", ["monitor", "window"])
    def test_paced_frames_show_the_screen_as_it_was_painted(self, painter, source):
        # On schedule each grab follows the previous write, and so its paint.
        sink = run_painting_sink(painter, lambda i: None, 10, frames=12, source=source)
        expected = [bgr(PALETTE[i % len(PALETTE)]) for i in range(12)]
        late = sum(1 for seen, want in zip(sink.colours, expected) if seen != want)
        assert late <= 2, (sink.colours, expected)  # a loaded machine may fall behind once


# --------------------------------------------------------------------------
# Windows


class TestWindowFrames:
    @pytest.mark.parametrize("border", [0, 6])
    def test_a_window_fills_its_frames(self, painter, border):
        # A border is the window's own but no part of its client area.
        wid = painter.create(40, 60, 150, 90, BLUE_ISH, border=border)
        with capturing(window_handle=wid) as (capture, sink):
            assert (capture.width, capture.height) == (150, 90)
            sink.shows((0, 0, 150, 90), BLUE_ISH)

    def test_covered_and_off_screen_parts_are_the_windows_own(self, painter):
        root = painter.root.get_geometry()
        wid = painter.create(200, 200, 160, 100, ORANGE)
        with capturing(window_handle=wid) as (capture, sink):
            painter.create(150, 150, 120, 120, GREY)  # covers the top-left corner
            sink.shows((0, 0, 160, 100), ORANGE)
            painter.configure(wid, x=root.width - 60, y=root.height - 30)  # mostly off-screen
            painter.paint(wid, GREEN)
            sink.shows((0, 0, 160, 100), GREEN)
        # The window still shows on the screen while its content is redirected.
        box = (root.width - 60, root.height - 30, 60, 30)
        monitor = next(mon for mon in m.list_monitors() if overlap(box, mon))
        part = overlap(box, monitor)
        with capturing(monitor_index=monitor.index) as (capture, sink):
            sink.shows(part, GREEN)

    def test_an_iconified_window_has_no_client_area(self, painter):
        wid = painter.create(10, 10, 80, 60, GREEN)
        painter.iconify(wid)
        sink = FrameSink()
        capture = m.VideoCapture(sink, window_handle=wid)
        capture.start()
        capture.wait(5)
        assert capture.error == "Window has no client area (0x0). It may be minimised."
        assert sink.count == 0

    def test_a_hidden_window_keeps_its_size_and_gives_zeros_until_shown(self, painter):
        wid = painter.create(30, 30, 70, 40, BLUE_ISH, mapped=False)
        with capturing(window_handle=wid) as (capture, sink):
            assert (capture.width, capture.height) == (70, 40)
            assert sink.next_frame() == bytes(70 * 40 * 4)
            painter.map(wid)
            sink.shows((0, 0, 70, 40), BLUE_ISH)

            # Hidden again: the frames keep the last content, then follow the
            # window when it is shown with another colour.
            painter.unmap(wid)
            painter.paint(wid, ORANGE)
            count = sink.count
            assert region_is(sink.frame_after(count + 3), 70, 40, (0, 0, 70, 40), BLUE_ISH)
            painter.map(wid)
            sink.shows((0, 0, 70, 40), ORANGE)

    def test_a_resized_window_keeps_the_published_size(self, painter):
        wid = painter.create(300, 100, 120, 80, BLUE_ISH)
        full = (0, 0, 120, 80)
        with capturing(window_handle=wid) as (capture, sink):
            sink.shows(full, BLUE_ISH)
            # Larger: cut at the right and the bottom.
            painter.configure(wid, width=200, height=150)
            painter.paint(wid, ORANGE)
            sink.shows(full, ORANGE)
            # Smaller: the rest of the frame stays as the last grab left it.
            painter.configure(wid, width=50, height=30)
            painter.paint(wid, GREEN)
            frame = sink.shows((0, 0, 50, 30), GREEN)
            assert region_is(frame, 120, 80, (50, 0, 70, 80), ORANGE)
            assert region_is(frame, 120, 80, (0, 30, 120, 50), ORANGE)
            # Back to the published size: whole frames again.
            painter.configure(wid, width=120, height=80)
            painter.paint(wid, GREY)
            sink.shows(full, GREY)
        assert (capture.width, capture.height) == (120, 80)


# --------------------------------------------------------------------------
# Servers without the extensions the fast paths use


class TestFallbacks:
    @pytest.mark.parametrize("missing", ["MIT-SHM", "Composite"])
    def test_monitor_and_window_frames(self, x_server, missing):
        server = x_server("+extension", "RANDR", "-extension", missing, size="800x600")
        painter = Painter(server.display)
        try:
            box = (500, 400, 90, 70)
            whole = (0, 0, 90, 70)
            wid = painter.create(*box, GREEN)
            with capturing(monitor_index=0) as (capture, sink):
                assert (capture.width, capture.height) == (800, 600)
                sink.shows(box, GREEN)
            with capturing(window_handle=wid) as (capture, sink):
                sink.shows(whole, GREEN)
                painter.paint(wid, ORANGE)
                sink.shows(whole, ORANGE)
                if missing == "Composite":
                    # Plain GetImage cannot read a window partly off the
                    # screen: the frames keep the last content.
                    painter.configure(wid, x=760)
                    painter.paint(wid, GREEN)
                    count = sink.count
                    assert region_is(sink.frame_after(count + 3), 90, 70, whole, ORANGE)
        finally:
            painter.close()


FLICKER = """
import sys
from Xlib import X, display
d = display.Display()
w = d.create_resource_object("window", int(sys.argv[1]))
colours = [int(c) for c in sys.argv[2:]]
i = 0
while True:
    w.change_attributes(background_pixel=colours[i % len(colours)])
    w.clear_area()
    d.sync()
    if i == 0:
        print("painting", flush=True)
    i += 1
"""


class WholeFrameSink:
    """Counts frames whose window area is not one colour: frames made of two
    grabs. Each image request is carried out at once by the server, and so is
    each repaint, so a frame read correctly is never torn."""

    def __init__(self, box, size, frames):
        self.box, self.size, self.frames = box, size, frames
        self.count = self.torn = 0
        self.seen = set()
        self.done = threading.Event()

    def write(self, frame):
        if self.count >= self.frames:
            self.done.set()
            return
        x, y, w, h = self.box
        area = colours(frame, *self.size)[y:y + h, x:x + w]
        first = area[0, 0]
        self.seen.add(tuple(int(v) for v in first))
        self.torn += int(not (area == first).all())
        self.count += 1


@pytest.mark.parametrize("source", ["monitor", "window"])
def test_unthrottled_frames_are_never_torn_while_the_screen_changes(painter, source):
    # A window repainted as fast as the server allows, in another process,
    # while frames are grabbed as fast as they can be: each frame is one
    # grab, even though the next grab runs while a frame is handed over.
    first = m.list_monitors()[0]
    box = (first.x + 100, first.y + 100, 300, 200)
    wid = painter.create(*box, PALETTE[0])
    flicker = subprocess.Popen([sys.executable, "-c", FLICKER, str(wid)]
                               + [str(c) for c in PALETTE], stdout=subprocess.PIPE, text=True)
    try:
        assert flicker.stdout.readline() == "painting\n"
        if source == "window":
            sink = WholeFrameSink((0, 0, 300, 200), (300, 200), 400)
            capture = m.VideoCapture(sink, fps=10000, window_handle=wid)
        else:
            sink = WholeFrameSink((100, 100, 300, 200), (first.width, first.height), 400)
            capture = m.VideoCapture(sink, fps=10000, monitor_index=first.index)
        capture.start()
        try:
            assert sink.done.wait(30), capture.error
        finally:
            capture.stop()
            capture.wait(10)
    finally:
        flicker.kill()
        flicker.wait()
    assert capture.error is None
    assert len(sink.seen) >= 3, "the window did not change while it was captured"
    assert sink.torn == 0, f"{sink.torn} of {sink.count} frames were torn"


# --------------------------------------------------------------------------
# Other visuals: 16-bit (5-6-5) and 30-bit (10-10-10) screens give the same
# blue, green, red frames. Each case is a pixel value in the screen's format
# and the 8-bit colour it must read as: channels at their extremes, and a
# middle one (narrow channels repeat their bits, wide ones keep the top 8).


def rgb565(r, g, b):
    return r << 11 | g << 5 | b


def rgb101010(r, g, b):
    return r << 20 | g << 10 | b


VISUAL_CASES = {
    16: [(rgb565(31, 0, 31), 0xFF00FF), (rgb565(0, 63, 0), 0x00FF00),
         (rgb565(16, 32, 8), 0x848242)],
    30: [(rgb101010(0x3FF, 0, 0x200), 0xFF0080), (rgb101010(0x0CC, 0x198, 0x330), 0x3366CC),
         (rgb101010(0, 0x3FF, 0), 0x00FF00)],
}


class TestOtherVisuals:
    @pytest.mark.parametrize("shm", [True, False], ids=["shm", "getimage"])
    @pytest.mark.parametrize("depth", [16, 30])
    def test_monitor_and_window_frames_are_bgrx(self, x_server, depth, shm):
        # An odd width: 16-bit rows are padded to 32 bits by the server.
        args = ["-br", "+extension", "RANDR"] + ([] if shm else ["-extension", "MIT-SHM"])
        server = x_server(*args, size="801x601", depth=depth)
        painter = Painter(server.display)
        try:
            boxes = [(20 + 150 * i, 30 + 40 * i, 120, 90) for i in range(3)]
            wids = [painter.create(*box, pixel)
                    for box, (pixel, _) in zip(boxes, VISUAL_CASES[depth])]
            with capturing(monitor_index=0) as (capture, sink):
                assert (capture.width, capture.height) == (801, 601)
                frame = sink.shows(boxes[0], VISUAL_CASES[depth][0][1])
                for box, (_, colour) in zip(boxes, VISUAL_CASES[depth]):
                    assert region_is(frame, 801, 601, box, colour), hex(colour)
                # Outside the windows: the root's black background.
                assert (colours(frame, 801, 601)[600, 800] == 0).all()
            with capturing(window_handle=wids[2]) as (capture, sink):
                assert (capture.width, capture.height) == (120, 90)
                sink.shows((0, 0, 120, 90), VISUAL_CASES[depth][2][1])
                painter.paint(wids[2], VISUAL_CASES[depth][0][0])
                sink.shows((0, 0, 120, 90), VISUAL_CASES[depth][0][1])
        finally:
            painter.close()


# --------------------------------------------------------------------------
# Consumers


def png_size(path):
    with open(path, "rb") as f:
        header = f.read(24)
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


def test_frames_piped_into_ffmpeg_decode(painter, tmp_path):
    require(shutil.which("ffmpeg") is not None, "needs ffmpeg")
    first = m.list_monitors()[0]
    box = (first.x + 20, first.y + 30, 64, 48)
    painter.create(*box, ORANGE)
    part = overlap(box, first)
    png = tmp_path / "out.png"
    log = tmp_path / "ffmpeg.log"
    with open(log, "wb") as errors:
        ffmpeg = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "bgra",
             "-s", f"{first.width}x{first.height}", "-i", "-", "-frames:v", "1", "-y", str(png)],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=errors)
    capture = m.VideoCapture(ffmpeg.stdin, fps=30, monitor_index=0)
    capture.start()
    try:
        # ffmpeg exits after one frame; the next write meets a closed pipe,
        # which ends the capture quietly.
        ffmpeg.wait(timeout=20)
        capture.wait(5)
        assert capture.error is None
    finally:
        capture.stop()
        capture.wait(5)
        with contextlib.suppress(BrokenPipeError):
            ffmpeg.stdin.close()
        if ffmpeg.poll() is None:
            ffmpeg.kill()
            ffmpeg.wait()
    assert ffmpeg.returncode == 0, log.read_text(errors="replace")
    assert png_size(png) == (first.width, first.height)

    decoded = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(png),
                              "-f", "rawvideo", "-pix_fmt", "bgra", "-"],
                             check=True, capture_output=True).stdout
    assert region_is(decoded, first.width, first.height, part, ORANGE)
