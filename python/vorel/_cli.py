"""The `vorel` command: list, record, screenshot."""

from __future__ import annotations

import argparse
import json
import signal
import sys
import threading
import typing
from collections.abc import Sequence
from typing import TextIO

import _native_core as core

from ._errors import RecordingError
from ._frames import screenshot
from ._recording import Recording, RecordingStatus


def _table(rows: list[list[str]], out: TextIO) -> None:
    if not rows:
        return
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for r in rows:
        out.write("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() + "\n")


def _list(args: argparse.Namespace) -> int:
    monitors = core.list_monitors()
    windows = core.list_windows()
    devices = core.list_audio_devices()
    out = sys.stdout
    if args.json:
        json.dump({"monitors": [m.as_dict() for m in monitors],
                   "windows": [w.as_dict() for w in windows],
                   "audio_devices": [d.as_dict() for d in devices]}, out, indent=2)
        out.write("\n")
        return 0
    out.write("Monitors\n")
    _table([["INDEX", "NAME", "SIZE", "POSITION", "PRIMARY"]]
           + [[str(m.index), m.name, f"{m.width}x{m.height}", f"{m.x},{m.y}",
               "yes" if m.is_primary else ""] for m in monitors], out)
    out.write("\nWindows\n")
    _table([["HANDLE", "PID", "CLASS", "TITLE"]]
           + [[f"{w.handle:#x}", str(w.pid), w.class_name, w.title] for w in windows], out)
    out.write("\nAudio outputs\n")
    _table([["DEFAULT", "NAME", "ID"]]
           + [["*" if d.is_default else "", d.name, d.id] for d in devices], out)
    return 0


def _size(n: int) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024  # type: ignore[assignment]
    return str(n)


def _progress(s: RecordingStatus) -> str:
    rate = s.frames / s.elapsed if s.elapsed > 0 else 0.0
    return (f"\r{s.elapsed:7.1f} s  {s.frames:6d} frames  {rate:5.1f} fps  "
            f"behind {s.frames_behind:3d}  {_size(s.bytes_written):>10}")


def _record(args: argparse.Namespace) -> int:
    rec = Recording(args.output, monitor=args.monitor, window=args.window, hwnd=args.hwnd,
                    fps=args.fps, audio=args.audio, process_id=args.process,
                    duration=args.duration, encoder=args.encoder, ffmpeg=args.ffmpeg)
    live = sys.stderr.isatty()
    rec.start()
    try:
        while not rec.wait(0.5 if live else 1.0):
            if live:
                sys.stderr.write(_progress(rec.status()))
                sys.stderr.flush()
    except KeyboardInterrupt:
        pass  # Ctrl+C ends the recording; the file is finished below.
    while True:
        try:
            path = rec.stop()
            break
        except KeyboardInterrupt:
            continue  # finishing takes a moment; a second Ctrl+C does not cut it short
    s = rec.status()
    if live:
        sys.stderr.write(_progress(s) + "\n")
    if s.max_frames_behind > 0 and live:
        sys.stderr.write(f"note: the capture fell up to {s.max_frames_behind} frames behind "
                         f"its schedule ({s.frames_repeated} frames repeated, "
                         f"{s.frames_dropped} dropped)\n")
    if live:
        sys.stderr.write(f"{path}: {s.frames} frames at {args.fps} fps\n")
    return 0


def _screenshot(args: argparse.Namespace) -> int:
    screenshot(args.output, monitor=args.monitor, window=args.window, hwnd=args.hwnd)
    return 0


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text!r}")
    return value


def _fps(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= value <= 240:
        raise argparse.ArgumentTypeError(f"must be from 1 to 240: {text!r}")
    return value


def _handle(text: str) -> int:
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a window handle: {text!r}") from None


def _add_source(p: argparse.ArgumentParser, with_hwnd: bool = True) -> None:
    group = p.add_mutually_exclusive_group()
    group.add_argument("--monitor", type=int, metavar="N", help="monitor index (default 0)")
    group.add_argument("--window", metavar="TITLE", help="a window whose title contains TITLE")
    if with_hwnd:
        group.add_argument("--hwnd", type=_handle, metavar="H",
                           help="a window by its handle (decimal or 0x...)")


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> typing.NoReturn:
        # One line, without the usage block: the error is what matters.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def parser() -> argparse.ArgumentParser:
    p = _Parser(prog="vorel",
                                description="Record what this machine shows and plays.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    ls = sub.add_parser("list", help="list monitors, windows and audio outputs")
    ls.add_argument("--json", action="store_true", help="print JSON instead of tables")
    ls.set_defaults(run=_list)

    rec = sub.add_parser("record", help="record the screen and sound into an MP4 file",
                         description="Record into OUT.mp4 (H.264 + AAC) until Ctrl+C or "
                                     "the duration's end.")
    rec.add_argument("output", metavar="OUT.mp4")
    _add_source(rec)
    rec.add_argument("--fps", type=_fps, default=30, help="frames per second (default 30)")
    rec.add_argument("--audio", choices=("system", "none"), default="system")
    rec.add_argument("--process", type=int, metavar="PID",
                     help="record only what this process tree plays")
    rec.add_argument("--duration", type=_positive_float, metavar="S",
                     help="stop after S seconds")
    rec.add_argument("--encoder", metavar="NAME",
                     help="ffmpeg video encoder (default libx264, real-time settings)")
    rec.add_argument("--ffmpeg", metavar="PATH", help="the ffmpeg executable to use")
    rec.set_defaults(run=_record)

    shot = sub.add_parser("screenshot", help="save one frame as a PNG file")
    shot.add_argument("output", metavar="OUT.png")
    _add_source(shot)
    shot.set_defaults(run=_screenshot)
    return p


def _interrupt(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    if threading.current_thread() is threading.main_thread():
        # A polite termination finishes the file like Ctrl+C does.
        signal.signal(signal.SIGTERM, _interrupt)
    try:
        code: int = args.run(args)
        return code
    except (RecordingError, ValueError, OSError) as e:
        sys.stderr.write(f"vorel: error: {e}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write("vorel: interrupted\n")
        return 130


if __name__ == "__main__":
    sys.exit(main())
