"""The one exception type the package raises for recording failures."""


class RecordingError(Exception):
    """A recording, capture or screenshot could not be made or finished. The
    message says why in one line (the engine's or ffmpeg's own words where
    they exist)."""
