"""Frames of a monitor or a window as they are captured, and screenshots.

The engine's worker hands each frame to a bounded queue; `FrameStream` reads
from it. When the consumer is slower than the capture, the worker waits for
room (the queue blocks): every frame is kept, in order, and the engine's
schedule catches up afterwards as it does for any slow stream.
"""

from __future__ import annotations

import collections
import os
import struct
import threading
import time
import types
import zlib
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import _native_core as core

from ._errors import RecordingError
from ._sources import Source, resolve

_READY_TIMEOUT = 10.0


@dataclass(frozen=True)
class Frame:
    """One captured frame: `data` holds `height` rows of `width` pixels, each
    four bytes blue, green, red and one without colour."""

    index: int     # 0 for the first frame of the stream
    time: float    # time.monotonic() when the engine delivered it
    width: int
    height: int
    data: bytes

    @property
    def array(self) -> Any:
        """The pixels as a read-only (height, width, 4) array over `data`,
        without a copy: a NumPy array when NumPy is installed, else a
        memoryview of that shape."""
        try:
            import numpy as np
        except ImportError:
            return memoryview(self.data).cast("B", (self.height, self.width, 4))
        return np.frombuffer(self.data, dtype=np.uint8).reshape(self.height, self.width, 4)


class _QueueSink:
    """Receives frames on the engine's worker thread."""

    def __init__(self, capacity: int) -> None:
        self.capacity = capacity
        self.cond = threading.Condition()
        self.items: collections.deque[tuple[int, float, bytes]] = collections.deque()
        self.closed = False
        self.ended = False
        self.count = 0

    def write(self, frame: bytes) -> None:
        now = time.monotonic()
        with self.cond:
            while len(self.items) >= self.capacity and not self.closed:
                self.cond.wait()
            if self.closed:
                return
            self.items.append((self.count, now, frame))
            self.count += 1
            self.cond.notify_all()


class FrameStream:
    """Frames of one source, from `frames()`. Iterate over it (breaking out
    of the loop stops the capture), or call `read()`; `close()` or the end
    of a `with` block stops it too."""

    def __init__(self, source: Source, fps: int, queue_size: int) -> None:
        self.source = source
        self.fps = fps
        self._sink = _QueueSink(queue_size)
        self._capture = source.capture(self._sink, fps)
        self._closed = False
        self._close_lock = threading.Lock()
        self._capture.start()
        if not self._capture.wait_ready(_READY_TIMEOUT):
            self.close()
            raise RecordingError(
                self._capture.error or "the capture did not become ready in time")
        self.width = self._capture.width
        self.height = self._capture.height
        threading.Thread(target=self._watch, args=(self._capture, self._sink),
                         name="vorel-frames-watch", daemon=True).start()

    @staticmethod
    def _watch(capture: core.VideoCapture, sink: _QueueSink) -> None:
        capture.wait()
        with sink.cond:
            sink.ended = True
            sink.cond.notify_all()

    def read(self, timeout: float | None = None) -> Frame | None:
        """The next frame, in order; None once the stream is closed or the
        capture has ended (or after `timeout` seconds without a frame). A
        capture that failed raises RecordingError with the engine's text."""
        sink = self._sink
        deadline = None if timeout is None else time.monotonic() + timeout
        with sink.cond:
            while not sink.items and not sink.ended and not sink.closed:
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    return None
                sink.cond.wait(left)
            if sink.items:
                index, when, data = sink.items.popleft()
                sink.cond.notify_all()
                return Frame(index, when, self.width, self.height, data)
            closed = sink.closed
        error = None if closed else self._capture.error
        if error:
            raise RecordingError(error)
        return None

    def __iter__(self) -> Iterator[Frame]:
        try:
            while (frame := self.read()) is not None:
                yield frame
        finally:
            self.close()

    def close(self) -> None:
        """Stops the capture; frames not read yet are dropped."""
        with self._close_lock:
            if self._closed:
                return
            self._closed = True
        with self._sink.cond:
            self._sink.closed = True
            self._sink.items.clear()
            self._sink.cond.notify_all()
        self._capture.stop()
        self._capture.wait()

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> FrameStream:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: types.TracebackType | None) -> None:
        self.close()

    def __del__(self) -> None:
        # A stream dropped without close() must not leave its worker waiting.
        if not getattr(self, "_closed", True):
            self.close()


def frames(monitor: int | None = None, *, window: str | None = None,
           hwnd: int | None = None, fps: int = 30, queue_size: int = 4) -> FrameStream:
    """Captures a monitor (by index, 0 when nothing is given), or a window
    by title substring or handle, `fps` times a second. At most `queue_size`
    frames wait to be read; then the capture waits for the reader."""
    if isinstance(fps, bool) or not isinstance(fps, int) or fps < 1:
        raise ValueError("fps must be a positive int")
    if isinstance(queue_size, bool) or not isinstance(queue_size, int) or queue_size < 1:
        raise ValueError("queue_size must be a positive int")
    return FrameStream(resolve(monitor, window, hwnd), fps, queue_size)


def screenshot(path: str | os.PathLike[str] | None = None, *, monitor: int | None = None,
               window: str | None = None, hwnd: int | None = None) -> Frame:
    """One frame of a monitor or a window; saved as PNG when `path` is given."""
    if path is not None:
        folder = os.path.dirname(os.path.abspath(os.fspath(path)))
        if not os.path.isdir(folder):
            raise RecordingError(f"output folder does not exist: {folder}")
    with frames(monitor, window=window, hwnd=hwnd, queue_size=1) as stream:
        frame = stream.read(_READY_TIMEOUT)
    if frame is None:
        raise RecordingError("no frame was captured")
    if path is not None:
        save_png(frame, path)
    return frame


def png_bytes(frame: Frame) -> bytes:
    """The frame as an 8-bit RGB PNG image."""
    w, h, data = frame.width, frame.height, frame.data
    rgb = bytearray(w * h * 3)
    rgb[0::3] = data[2::4]
    rgb[1::3] = data[1::4]
    rgb[2::3] = data[0::4]
    stride = w * 3
    # Each row starts with its filter type, 0 (none).
    raw = b"".join(b"\x00" + rgb[y * stride:(y + 1) * stride] for y in range(h))

    def chunk(kind: bytes, body: bytes) -> bytes:
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def save_png(frame: Frame, path: str | os.PathLike[str]) -> None:
    """Writes the frame as a PNG file (through a temporary file, so a
    failure never leaves a partial image under `path`)."""
    target = os.fspath(path)
    tmp = target + ".tmp"
    try:
        with open(tmp, "wb") as f:
            f.write(png_bytes(frame))
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
