"""Finding ffmpeg and building its command lines."""

from __future__ import annotations

import collections
import importlib
import os
import shutil
import subprocess
import threading
from collections.abc import Mapping, Sequence
from typing import IO

from ._errors import RecordingError

# Options that let libx264 keep up with a live 30 fps capture on a small
# machine: a 1080p30 stream at its default preset falls behind on two cores.
REALTIME_X264_OPTIONS: dict[str, str] = {"preset": "ultrafast", "crf": "23"}

EncoderOptions = Mapping[str, object] | Sequence[str] | None


def find_ffmpeg(explicit: str | os.PathLike[str] | None = None) -> str:
    """The ffmpeg executable to use: `explicit`, else $VOREL_FFMPEG, else the
    binary of the imageio-ffmpeg package, else `ffmpeg` on PATH."""
    if explicit is not None:
        return _checked(os.fspath(explicit), "the given ffmpeg")
    from_env = os.environ.get("VOREL_FFMPEG")
    if from_env:
        return _checked(from_env, "VOREL_FFMPEG")
    try:
        exe = importlib.import_module("imageio_ffmpeg").get_ffmpeg_exe()
    except (ImportError, RuntimeError):
        exe = None
    if exe and os.path.isfile(exe) and os.access(exe, os.X_OK):
        return str(exe)
    on_path = shutil.which("ffmpeg")
    if on_path:
        return on_path
    raise RecordingError(
        "ffmpeg not found: install vorel[record] (imageio-ffmpeg), put ffmpeg on PATH, "
        "or give its path (ffmpeg=..., VOREL_FFMPEG)"
    )


def _checked(path: str, what: str) -> str:
    resolved = shutil.which(path) if os.sep not in path and "/" not in path else path
    if not resolved or not os.path.isfile(resolved) or not os.access(resolved, os.X_OK):
        raise RecordingError(f"ffmpeg not found: {what} ({path}) is not an executable file")
    return resolved


def option_args(options: EncoderOptions) -> list[str]:
    """Encoder options as ffmpeg arguments: a mapping {"preset": "fast"}
    becomes ["-preset", "fast"]; a sequence is taken as it is."""
    if options is None:
        return []
    if isinstance(options, Mapping):
        args: list[str] = []
        for key, value in options.items():
            args += [f"-{str(key).lstrip('-')}", str(value)]
        return args
    if isinstance(options, (str, bytes)):
        raise TypeError("encoder_options must be a mapping or a sequence of strings")
    return [str(a) for a in options]


def video_command(ffmpeg: str, width: int, height: int, fps: int, out: str,
                  encoder: str | None, options: EncoderOptions) -> list[str]:
    """ffmpeg reading raw BGRX frames from stdin into a fragmented MP4, so
    that what was written stays playable if the recorder is killed."""
    codec = encoder or "libx264"
    extra = option_args(options)
    if encoder is None and options is None:
        extra = option_args(REALTIME_X264_OPTIONS)
    return [
        ffmpeg, "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
        "-f", "rawvideo", "-pix_fmt", "bgr0", "-video_size", f"{width}x{height}",
        "-framerate", str(fps), "-i", "pipe:0",
        # 4:2:0 needs even sizes; a window can have odd ones.
        "-vf", "crop=trunc(iw/2)*2:trunc(ih/2)*2", "-pix_fmt", "yuv420p",
        # A key frame (and so a fragment) every second; the caller's
        # options come after and win.
        "-c:v", codec, "-g", str(fps), *extra,
        "-movflags", "+frag_keyframe+empty_moov+default_base_moof",
        # Each fragment reaches the file at once instead of waiting in
        # ffmpeg's output buffer.
        "-flush_packets", "1", "-f", "mp4", out,
    ]


def mux_command(ffmpeg: str, video: str, audio: str | None, audio_rate: int,
                audio_shift: float, video_seconds: float, out: str) -> list[str]:
    """Copies the video and encodes the audio to AAC, shifted by
    `audio_shift` seconds (positive: the audio started later than the video)
    and cut or padded to the video's length."""
    cmd = [ffmpeg, "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-i", video]
    if audio is None:
        return cmd + ["-map", "0:v", "-c", "copy", "-movflags", "+faststart", "-f", "mp4", out]
    if audio_shift >= 0:
        head = f"adelay=delays={round(audio_shift * audio_rate)}S:all=1"
    else:
        head = f"atrim=start={-audio_shift:.6f},asetpts=PTS-STARTPTS"
    graph = f"[1:a]{head},apad,atrim=end={video_seconds:.6f}[a]"
    return cmd + [
        "-i", audio, "-filter_complex", graph, "-map", "0:v", "-map", "[a]",
        "-c:v", "copy", "-c:a", "aac", "-b:a", "160k",
        "-movflags", "+faststart", "-f", "mp4", out,
    ]


class StderrTail:
    """Keeps the last lines a child process writes to its stderr."""

    def __init__(self, stream: IO[bytes], lines: int = 8) -> None:
        self._lines: collections.deque[str] = collections.deque(maxlen=lines)
        self._thread = threading.Thread(target=self._read, args=(stream,), daemon=True,
                                        name="vorel-ffmpeg-stderr")
        self._thread.start()

    def _read(self, stream: IO[bytes]) -> None:
        try:
            with stream:
                for raw in stream:
                    line = raw.decode("utf-8", "replace").rstrip()
                    if line:
                        self._lines.append(line)
        except (OSError, ValueError):
            pass  # the pipe went away: what was read so far is the tail

    def text(self, timeout: float = 2.0) -> str:
        self._thread.join(timeout)
        return " | ".join(self._lines)


def run_to_end(cmd: list[str], timeout: float) -> tuple[int, str]:
    """Runs a short ffmpeg job; its exit code and its last stderr lines."""
    try:
        done = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=timeout)
    except subprocess.TimeoutExpired:
        return -1, f"ffmpeg did not finish within {timeout:.0f} s"
    except OSError as e:
        return -1, f"cannot run ffmpeg: {e}"
    lines = [ln for ln in done.stderr.decode("utf-8", "replace").splitlines() if ln.strip()]
    return done.returncode, " | ".join(lines[-8:])
