"""Recording a monitor or a window, with sound, into one MP4 file.

While recording, the video goes into a fragmented MP4 (`<name>.video.mp4`)
and the sound into a WAV (`<name>.audio.wav`) beside the output; both stay
usable if the process is killed. When the recording ends they are muxed into
the output (H.264 + AAC) through a temporary file that is renamed into place
only when ffmpeg succeeded, and then removed.

Timing: the engine grabs frame k (k >= 1) on a fixed schedule and writes it
at once, so the earliest write, less k frame intervals, is the moment the
file's first frame stands for. The sound's origin is the moment its stream
started. Both are read on the same monotonic clock; the difference shifts the
sound when the two are muxed.
"""

from __future__ import annotations

import atexit
import collections
import math
import os
import subprocess
import sys
import threading
import time
import types
import wave
import weakref
from dataclasses import dataclass
from pathlib import Path

import _native_core as core

from . import _ffmpeg
from ._errors import RecordingError
from ._sources import Source, resolve

_READY_TIMEOUT = 10.0
_ENCODER_EXIT_TIMEOUT = 60.0


@dataclass(frozen=True)
class RecordingStatus:
    """A snapshot of a running or finished recording."""

    state: str                # "recording", "finishing", "done" or "failed"
    elapsed: float            # seconds since the first frame
    frames: int               # frames handed to the encoder
    frames_behind: int        # frames the capture is behind its schedule now
    max_frames_behind: int    # the most it has been behind
    frames_repeated: int      # intervals a late grab left to the previous frame
    frames_dropped: int       # grabs that came after their interval was filled
    bytes_written: int        # bytes in the files being written
    error: str | None = None


def _spawn_flags() -> dict[str, object]:
    # Children get their own process group so that a Ctrl+C at the terminal
    # reaches only us; we then finish their files in order.
    if sys.platform == "win32":
        return {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP}
    return {"start_new_session": True}


class _EncoderSink:
    """The stream the engine writes frames into. Each frame is timestamped,
    placed in its interval of the file's fixed frame rate, and queued; a
    writer thread feeds the queue to ffmpeg's stdin, so that a moment's stall
    of the encoder does not delay the grabs. The queue holds about a second
    of frames; when it is full, the engine waits and falls behind its
    schedule, which status() reports. At most `limit` frames are passed on."""

    MAX_QUEUED_BYTES = 256 * 1024 * 1024

    def __init__(self, fps: int, limit: int | None, wake: threading.Event) -> None:
        self.fps = fps
        self.limit = limit
        self.frames = 0          # frames handed to the encoder
        self.grabs = 0           # frames the engine delivered
        self.repeated = 0
        self.dropped = 0
        self._last: bytes | None = None
        self.first_write: float | None = None
        self.origin = math.inf
        self.max_behind = 0
        self.limit_reached = False
        self.write_error: str | None = None
        self._wake = wake
        self._fd: int | None = None
        self._ready = threading.Event()
        self._usable = False
        self._cond = threading.Condition()
        self._queue: collections.deque[bytes] = collections.deque()
        self._capacity = fps
        self._closing = False
        self._broken = False
        self._writer: threading.Thread | None = None

    def attach(self, fd: int) -> None:
        """Called once the encoder runs: frames go to `fd`, which the sink
        then owns."""
        self._fd = fd
        self._writer = threading.Thread(target=self._write_out, args=(fd,),
                                        name="vorel-encoder-feed", daemon=True)
        self._writer.start()
        self._usable = True
        self._ready.set()

    def refuse(self) -> None:
        """Ends a pending handshake without frames (the start failed)."""
        self._ready.set()

    def wait_ready(self, timeout: float) -> bool:
        return self._ready.wait(timeout) and self._usable

    def write(self, frame: bytes) -> None:
        now = time.monotonic()
        with self._cond:
            if self._broken:
                # Ends the engine's run quietly; the encoder's exit status
                # tells what happened.
                raise BrokenPipeError("the encoder stopped reading")
            if self._closing or self._full():
                return
            k = self.grabs
            self.grabs += 1
            if k == 0:
                self.first_write = now
                self._capacity = max(2, min(self.fps, self.MAX_QUEUED_BYTES // max(1, len(frame))))
                slot = 0
            else:
                self.origin = min(self.origin, now - k / self.fps)
                slot = max(1, math.floor((now - self.origin) * self.fps + 0.5))
            self.max_behind = max(self.max_behind, self._behind(now))
            # The file has one frame per interval, each showing what the
            # screen showed at that moment: a grab that came late leaves the
            # intervals it missed to the previous frame, and the grabs that
            # then catch up with the schedule find their interval taken.
            if slot < self.frames:
                self.dropped += 1
                return
            while self.frames < slot and self._last is not None and not self._full():
                self._enqueue(self._last)
                self.repeated += 1
            if not self._full():
                self._enqueue(frame)
                self._last = frame

    def _full(self) -> bool:
        return self.limit is not None and self.frames >= self.limit

    def _enqueue(self, frame: bytes) -> None:
        # Called with the lock held.
        while len(self._queue) >= self._capacity and not self._broken and not self._closing:
            self._cond.wait()
        self._queue.append(frame)
        self.frames += 1
        self._cond.notify_all()
        if self._full():
            self.limit_reached = True
            self._wake.set()

    def _write_out(self, fd: int) -> None:
        try:
            while True:
                with self._cond:
                    while not self._queue and not self._closing:
                        self._cond.wait()
                    if not self._queue:
                        return
                    frame = self._queue[0]
                view = memoryview(frame)
                while view:
                    view = view[os.write(fd, view):]
                with self._cond:
                    self._queue.popleft()
                    self._cond.notify_all()
        except OSError as e:
            with self._cond:
                self._broken = True
                self.write_error = str(e)
                self._queue.clear()
                self._cond.notify_all()
            self._wake.set()
        finally:
            os.close(fd)

    def detach(self) -> None:
        """After the capture ended: lets the writer hand over what is queued,
        then closes the encoder's input."""
        with self._cond:
            self._closing = True
            self._cond.notify_all()
        if self._writer is not None:
            self._writer.join()

    def video_origin(self) -> float | None:
        """The monotonic time the file's first frame stands for."""
        if self.frames >= 2 and math.isfinite(self.origin):
            return self.origin
        return self.first_write

    def _behind(self, now: float) -> int:
        # How many grabs the engine owes its schedule now.
        if self.grabs < 2 or not math.isfinite(self.origin):
            return 0
        return max(0, int((now - self.origin) * self.fps) + 1 - self.grabs)

    def behind(self) -> int:
        with self._cond:
            return self._behind(time.monotonic())


class Recording:
    """Records a monitor (by index), a window (by title substring or
    handle), and the system's sound, one process tree's sound or none, into
    one MP4 file (H.264 + AAC).

    `start()` (or entering a `with` block) checks everything and starts;
    `stop()` (or leaving the block, by an exception or Ctrl+C too) finishes
    the file and returns its path, or raises RecordingError. With `duration`
    the recording ends by itself after that many seconds of video.
    """

    def __init__(self, path: str | os.PathLike[str], *, monitor: int | None = None,
                 window: str | None = None, hwnd: int | None = None, fps: int = 30,
                 audio: str = "system", process_id: int | None = None,
                 duration: float | None = None, encoder: str | None = None,
                 encoder_options: _ffmpeg.EncoderOptions = None,
                 ffmpeg: str | os.PathLike[str] | None = None) -> None:
        if isinstance(fps, bool) or not isinstance(fps, int) or not 1 <= fps <= 240:
            raise ValueError("fps must be an int from 1 to 240")
        if audio not in ("system", "none"):
            raise ValueError('audio must be "system" or "none"')
        if process_id is not None and audio == "none":
            raise ValueError('process_id needs audio="system"')
        if process_id is not None and (isinstance(process_id, bool) or
                                       not isinstance(process_id, int) or
                                       not 0 <= process_id < 2**32):
            raise ValueError("process_id must be a process id (an int from 0 to 2**32 - 1)")
        if duration is not None and not (isinstance(duration, (int, float))
                                         and math.isfinite(duration) and duration > 0):
            raise ValueError("duration must be a positive number of seconds")
        self.path = Path(os.fspath(path))
        self.fps = fps
        self._source_args = (monitor, window, hwnd)
        self._audio_wanted = audio == "system"
        self._process_id = process_id
        self._limit = None if duration is None else max(1, round(duration * fps))
        self._encoder = encoder
        self._encoder_options = encoder_options
        self._option_args = _ffmpeg.option_args(encoder_options)  # checked now
        self._ffmpeg_arg = ffmpeg
        stem = self.path.name[: -len(self.path.suffix)] if self.path.suffix else self.path.name
        self.video_part = self.path.with_name(stem + ".video.mp4")
        self.audio_part = self.path.with_name(stem + ".audio.wav")

        self._lock = threading.Lock()
        self._started = False
        self._state = "idle"
        self._error: str | None = None
        self._wake = threading.Event()
        self._done = threading.Event()
        self._sink = _EncoderSink(fps, self._limit, self._wake)
        self._video: core.VideoCapture | None = None
        self._audio: core.AudioCapture | None = None
        self._encoder_proc: subprocess.Popen[bytes] | None = None
        self._stderr: _ffmpeg.StderrTail | None = None
        self._audio_origin: float | None = None
        self._finished_at: float | None = None
        self._ffmpeg = ""
        self._owns_parts = False
        self.audio_shift = 0.0   # seconds the sound was moved by when muxed
        self.audio_end = 0.0     # where the recorded sound ends in the file (s)
        self.source: Source | None = None
        self.width = 0
        self.height = 0

    # -- lifecycle ---------------------------------------------------------

    def start(self) -> Recording:
        with self._lock:
            if self._started:
                raise RecordingError("this recording was already started")
            self._started = True
            self._state = "recording"
        try:
            self._start()
        except BaseException as e:
            self._abort()
            self._state = "failed"
            self._error = str(e)
            self._done.set()
            raise
        _running.add(self)
        threading.Thread(target=self._supervise, name="vorel-recording", daemon=True).start()
        return self

    def _start(self) -> None:
        ffmpeg = _ffmpeg.find_ffmpeg(self._ffmpeg_arg)
        folder = self.path.parent
        if not folder.is_dir():
            raise RecordingError(f"output folder does not exist: {folder}")
        for part in (self.video_part, self.audio_part):
            if part.exists():
                # Perhaps all that is left of a recording that was killed.
                raise RecordingError(f"{part} is in the way (left by an earlier recording?): "
                                     "move it or remove it first")
        self._owns_parts = True
        self._ffmpeg = ffmpeg
        self.source = resolve(*self._source_args)

        if self._audio_wanted:
            self._audio = core.AudioCapture(str(self.audio_part), self._process_id)
            self._audio.start()
            if not self._audio.wait_started(_READY_TIMEOUT):
                self._audio.stop()
                self._audio.wait(5.0)
                raise RecordingError(
                    f"audio: {self._audio.error or 'the sound stream did not start in time'}")
            self._audio_origin = time.monotonic()

        self._video = self.source.capture(self._sink, self.fps)
        self._video.start()
        if not self._video.wait_ready(_READY_TIMEOUT):
            self._video.stop()
            self._video.wait(5.0)
            raise RecordingError(
                f"video: {self._video.error or 'the capture did not become ready in time'}")
        self.width, self.height = self._video.width, self._video.height
        if self.width < 2 or self.height < 2:
            raise RecordingError(f"video: the source is too small ({self.width}x{self.height})")

        cmd = _ffmpeg.video_command(ffmpeg, self.width, self.height, self.fps,
                                    str(self.video_part), self._encoder,
                                    self._encoder_options)
        try:
            proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE, **_spawn_flags())  # type: ignore[call-overload]
        except OSError as e:
            raise RecordingError(f"cannot run ffmpeg ({ffmpeg}): {e}") from e
        self._encoder_proc = proc
        assert proc.stdin is not None and proc.stderr is not None
        self._stderr = _ffmpeg.StderrTail(proc.stderr)
        # The engine's worker owns the writing end from now on.
        self._sink.attach(os.dup(proc.stdin.fileno()))
        proc.stdin.close()
        threading.Thread(target=self._watch_video, name="vorel-video-watch",
                         daemon=True).start()

    def _watch_video(self) -> None:
        video = self._video
        if video is not None:
            video.wait()
        self._wake.set()

    def _abort(self) -> None:
        """Undoes a start that failed half-way."""
        self._sink.refuse()
        if self._video is not None:
            self._video.stop()
            self._video.wait(5.0)
        self._sink.detach()
        if self._encoder_proc is not None:
            try:
                self._encoder_proc.wait(10.0)
            except subprocess.TimeoutExpired:
                self._encoder_proc.kill()
                self._encoder_proc.wait()
        if self._audio is not None:
            self._audio.stop()
            self._audio.wait(5.0)
        if self._owns_parts:
            for part in (self.video_part, self.audio_part):
                part.unlink(missing_ok=True)

    def _supervise(self) -> None:
        # Waits for stop(), the duration's end or the end of the capture,
        # then finishes the file. Nothing escapes this thread: the outcome is
        # kept for stop()/wait()/status().
        self._wake.wait()
        with self._lock:
            self._state = "finishing"
        try:
            error = self._finish()
        except Exception as e:  # an unforeseen failure still ends as a result
            error = f"{type(e).__name__}: {e}"
        with self._lock:
            self._error = error
            self._state = "failed" if error else "done"
            self._finished_at = time.monotonic()
        _running.discard(self)
        self._done.set()

    def _finish(self) -> str | None:
        video, proc, sink = self._video, self._encoder_proc, self._sink
        assert video is not None and proc is not None
        video.stop()
        video.wait()
        sink.detach()
        try:
            code = proc.wait(_ENCODER_EXIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            code = proc.wait()
        audio_error = None
        if self._audio is not None:
            self._audio.stop()
            self._audio.wait()
            audio_error = self._audio.error
        tail = self._stderr.text() if self._stderr is not None else ""
        if code != 0:
            return f"the encoder failed (ffmpeg exit status {code}): {tail or 'no message'}"
        if sink.write_error:
            return f"the encoder stopped reading its input: {sink.write_error}"
        if video.error:
            return f"video: {video.error}"
        if audio_error:
            return f"audio: {audio_error}"
        if sink.frames == 0:
            return "no frame was captured"
        return self._mux()

    def _mux(self) -> str | None:
        seconds = self._sink.frames / self.fps
        audio: str | None = None
        shift = 0.0
        rate = 48000
        if self._audio is not None:
            audio = str(self.audio_part)
            origin = self._sink.video_origin()
            if origin is not None and self._audio_origin is not None:
                shift = self._audio_origin - origin
            rate, recorded = _wav_format(self.audio_part)
            # Where the recorded sound ends on the video's time line; past
            # that the file holds padding silence.
            self.audio_end = shift + recorded
        tmp = self.path.with_name(self.path.name + ".muxing.mp4")
        cmd = _ffmpeg.mux_command(self._ffmpeg, str(self.video_part), audio, rate,
                                  shift, seconds, str(tmp))
        code, tail = _ffmpeg.run_to_end(cmd, timeout=max(120.0, seconds * 4))
        if code != 0:
            tmp.unlink(missing_ok=True)
            return (f"muxing into {self.path} failed (ffmpeg exit status {code}): "
                    f"{tail or 'no message'}; the recording is kept in {self.video_part}"
                    + (f" and {self.audio_part}" if audio else ""))
        os.replace(tmp, self.path)
        self.video_part.unlink(missing_ok=True)
        if audio:
            self.audio_part.unlink(missing_ok=True)
        self.audio_shift = shift
        return None

    def stop(self) -> Path:
        """Ends the recording, waits until the file is finished and returns
        its path; raises RecordingError when it could not be made."""
        if not self._started:
            raise RecordingError("this recording was not started")
        self._wake.set()
        self._done.wait()
        if self._error:
            raise RecordingError(self._error)
        return self.path

    def wait(self, timeout: float | None = None) -> bool:
        """True once the recording has ended and its file is finished (or
        failed): after stop(), the end of `duration`, or a capture failure."""
        return self._done.wait(timeout)

    def status(self) -> RecordingStatus:
        sink = self._sink
        with self._lock:
            state, error, finished_at = self._state, self._error, self._finished_at
        first = sink.first_write
        end = finished_at if finished_at is not None else time.monotonic()
        if state in ("done", "failed") or first is None:
            elapsed = sink.frames / self.fps if first is not None else 0.0
        else:
            elapsed = max(0.0, end - first)
        parts = (self.path,) if state == "done" else (self.video_part, self.audio_part)
        written = 0
        for part in parts:
            try:
                written += part.stat().st_size
            except OSError:
                pass
        behind = sink.behind() if state == "recording" else 0
        return RecordingStatus(state, elapsed, sink.frames, behind, sink.max_behind,
                               sink.repeated, sink.dropped, written, error)

    # -- context manager ---------------------------------------------------

    def __enter__(self) -> Recording:
        return self.start()

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: types.TracebackType | None) -> None:
        if exc is None:
            self.stop()
            return
        # The body's exception wins; a failed finish is added to it.
        try:
            self.stop()
        except RecordingError as failure:
            exc.add_note(f"vorel: the recording could not be finished: {failure}")


# Recordings still running when the interpreter exits are finished, as if
# stop() had been called: a script that ends without stopping one still gets
# its file.
_running: weakref.WeakSet[Recording] = weakref.WeakSet()


@atexit.register
def _finish_running() -> None:
    for rec in list(_running):
        rec._wake.set()
    for rec in list(_running):
        rec._done.wait()


def _wav_format(path: Path) -> tuple[int, float]:
    """The WAV's sample rate and length in seconds."""
    try:
        with wave.open(str(path), "rb") as w:
            return w.getframerate(), w.getnframes() / w.getframerate()
    except (OSError, wave.Error, EOFError, ZeroDivisionError):
        return 48000, 0.0
