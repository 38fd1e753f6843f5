"""What to capture: a monitor by index, or a window by title or handle."""

from __future__ import annotations

import operator
from dataclasses import dataclass
from typing import Protocol

import _native_core as core

from ._errors import RecordingError


class FrameWriter(Protocol):
    def write(self, frame: bytes, /) -> object: ...


@dataclass(frozen=True)
class Source:
    """A resolved capture source: exactly one of `monitor_index` and
    `window_handle` is set."""

    monitor_index: int | None
    window_handle: int | None
    description: str
    width: int = 0
    height: int = 0

    def capture(self, stream: FrameWriter, fps: int) -> core.VideoCapture:
        if self.window_handle is not None:
            return core.VideoCapture(stream, fps=fps, window_handle=self.window_handle)
        return core.VideoCapture(stream, fps=fps, monitor_index=self.monitor_index)


def resolve(monitor: int | None = None, window: str | None = None,
            hwnd: int | None = None) -> Source:
    """Checks that the source exists now; raises RecordingError otherwise."""
    given = sum(x is not None for x in (monitor, window, hwnd))
    if given > 1:
        raise RecordingError("give only one of monitor, window and hwnd")
    if hwnd is not None:
        handle = operator.index(hwnd)
        try:
            info = core.find_window_by_handle(handle)
        except OverflowError:  # no handle is that large (or negative)
            info = None
        if info is None:
            raise RecordingError(f"no window has the handle {handle:#x}")
        return Source(None, info.handle, f"window {info.title!r} ({info.handle:#x})")
    if window is not None:
        if not isinstance(window, str):
            raise TypeError("window must be a str (a part of the window's title)")
        found = core.find_window_by_title(window)
        if found is None:
            raise RecordingError(f"no visible window has a title containing {window!r}")
        return Source(None, found.handle, f"window {found.title!r} ({found.handle:#x})")
    index = 0 if monitor is None else operator.index(monitor)
    monitors = core.list_monitors()
    if not 0 <= index < len(monitors):
        have = len(monitors)
        hint = " (is a display available?)" if have == 0 else ""
        raise RecordingError(f"monitor {index} not found (have {have}){hint}")
    m = monitors[index]
    return Source(index, None, f"monitor {index} {m.name!r} {m.width}x{m.height}",
                  m.width, m.height)
