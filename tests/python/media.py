"""Reading back what a recording produced, with ffprobe/ffmpeg as an
independent decoder, plus a full-monitor X window whose colour a test sets."""

import json
import shutil
import subprocess
import sys

from xwindows import require


def ffmpeg_exe():
    found = shutil.which("ffmpeg")
    require(found is not None, "needs ffmpeg")
    return found


def probe(path):
    """ffprobe's view of a file: {"video": {...}, "audio": {...}} with
    durations and the counted video frames; raises if it cannot be read."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-count_frames", "-show_streams", "-show_format",
         "-of", "json", str(path)],
        check=True, capture_output=True, text=True, timeout=120).stdout
    info = json.loads(out)
    streams = {}
    for s in info["streams"]:
        streams.setdefault(s["codec_type"], s)
    streams["count"] = len(info["streams"])
    streams["format"] = info["format"]
    return streams


def decode_all(path, *extra):
    """Decodes every stream; the exit status and stderr (a playable file
    decodes without errors)."""
    done = subprocess.run([ffmpeg_exe(), "-v", "error", "-i", str(path), *extra, "-f", "null",
                           "-"], capture_output=True, text=True, timeout=120)
    return done.returncode, done.stderr


def video_brightness(path, x, y):
    """The grey level (0-255) at (x, y) in every decoded video frame."""
    raw = subprocess.run(
        [ffmpeg_exe(), "-v", "error", "-i", str(path), "-map", "0:v",
         "-vf", f"crop=2:2:{x}:{y}", "-f", "rawvideo", "-pix_fmt", "gray", "-"],
        check=True, capture_output=True, timeout=120).stdout
    return [sum(raw[i:i + 4]) // 4 for i in range(0, len(raw), 4)]


def audio_samples(path, rate=48000):
    """The audio as mono 16-bit samples at `rate`."""
    import array

    raw = subprocess.run(
        [ffmpeg_exe(), "-v", "error", "-i", str(path), "-map", "0:a", "-ac", "1",
         "-ar", str(rate), "-f", "s16le", "-"],
        check=True, capture_output=True, timeout=120).stdout
    samples = array.array("h")
    samples.frombytes(raw)
    if sys.byteorder != "little":
        samples.byteswap()
    return samples


def onsets(samples, rate, threshold, quiet=0.15):
    """Times (s) where the level first exceeds `threshold` after at least
    `quiet` seconds below it."""
    times = []
    last_loud = -10 * rate
    for i, v in enumerate(samples):
        if abs(v) >= threshold:
            if i - last_loud > quiet * rate:
                times.append(i / rate)
            last_loud = i
    return times


def transitions(levels, fps):
    """Times (s) of the frames where the grey level flips between dark and
    bright."""
    times = []
    state = levels[0] > 127
    for i, v in enumerate(levels):
        bright = v > 127
        if bright != state:
            times.append(i / fps)
            state = bright
    return times


class ColourWindow:
    """An override-redirect window over a screen area, filled with one
    colour that the test changes."""

    def __init__(self, display_name, x, y, width, height, pixel=0x000000):
        from Xlib import X
        from Xlib import display as xdisplay

        self.display = xdisplay.Display(display_name)
        root = self.display.screen().root
        self.window = root.create_window(x, y, width, height, 0, X.CopyFromParent,
                                         background_pixel=pixel, override_redirect=True)
        self.window.map()
        self.display.sync()

    def fill(self, pixel):
        self.window.change_attributes(background_pixel=pixel)
        self.window.clear_area(0, 0, 0, 0)
        self.display.sync()

    def close(self):
        self.window.destroy()
        self.display.close()
