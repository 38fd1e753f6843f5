"""Record what a machine shows and plays.

- `Recording`: a monitor or a window, with sound, into one MP4 file.
- `frames()`: a monitor or a window as a stream of frames (NumPy arrays when
  NumPy is installed); `screenshot()` for one frame, `save_png()` to keep it.
- `list_monitors()`, `list_windows()`, `list_audio_devices()`: what there is.

`_native_core` is the engine underneath; this package only uses its public
surface.
"""

from _native_core import (
    AudioDeviceInfo,
    MonitorInfo,
    WindowInfo,
    list_audio_devices,
    list_monitors,
    list_windows,
)

from ._errors import RecordingError
from ._frames import Frame, FrameStream, frames, save_png, screenshot
from ._recording import Recording, RecordingStatus

__all__ = [
    "AudioDeviceInfo",
    "Frame",
    "FrameStream",
    "MonitorInfo",
    "Recording",
    "RecordingError",
    "RecordingStatus",
    "WindowInfo",
    "frames",
    "list_audio_devices",
    "list_monitors",
    "list_windows",
    "save_png",
    "screenshot",
]
