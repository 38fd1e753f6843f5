#!/usr/bin/env python3
"""Refuses an include that goes up or across the layers of src/.

Each directory of src/ may include only itself and the layers below it;
Python.h only in src/module/, the Windows headers only in
src/platform/win32/, XCB and PulseAudio only in src/platform/linux/.
Prints one line per violation and exits 1 if there is any.
"""
from __future__ import annotations

import re
import sys
from pathlib import Path

BELOW_PLATFORM = {"util", "errors", "platform"}

# What each directory may include (directories of src/).
ALLOWED: dict[str, set[str]] = {
    "util": {"util"},
    "errors": {"util", "errors"},
    "platform": BELOW_PLATFORM,
    "platform/linux": BELOW_PLATFORM | {"platform/linux"},
    "platform/win32": BELOW_PLATFORM | {"platform/win32"},
    "discovery": BELOW_PLATFORM | {"discovery"},
    "audio": BELOW_PLATFORM | {"audio"},
    "video": BELOW_PLATFORM | {"discovery", "video"},
    "module": BELOW_PLATFORM | {"discovery", "audio", "video", "module"},
}

# System headers that only one directory may include.
SYSTEM_OWNERS: list[tuple[re.Pattern[str], str]] = [
    (re.compile(r"^Python\.h$"), "module"),
    (re.compile(r"^(xcb|pulse|X11)/"), "platform/linux"),
    (re.compile(r"^(windows|objbase|oleauto|propidl|inspectable|weakreference|"
                r"restrictederrorinfo|audioclient|audioclientactivationparams|"
                r"mmdeviceapi|winternl|dwmapi|shellscalingapi)\.h$", re.IGNORECASE),
     "platform/win32"),
]

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def directory_of(path: Path, src: Path) -> str:
    parts = path.relative_to(src).parts[:-1]
    if len(parts) >= 2 and parts[0] == "platform":
        return "/".join(parts[:2])
    return parts[0] if parts else ""


def included_directory(header: str) -> str | None:
    parts = header.split("/")
    if len(parts) < 2:
        return None
    if parts[0] == "platform" and len(parts) >= 3:
        return "/".join(parts[:2])
    return parts[0]


def check(src: Path) -> list[str]:
    problems: list[str] = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".h", ".cpp"}:
            continue
        here = directory_of(path, src)
        allowed = ALLOWED.get(here)
        where = path.relative_to(src.parent)
        if allowed is None:
            problems.append(f"{where}: directory {here or '.'} is not in a layer")
            continue
        text = path.read_text(encoding="utf-8")
        for number, line in enumerate(text.splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            kind, header = match.groups()
            if kind == '"':
                target = included_directory(header)
                if target is None or target not in ALLOWED:
                    problems.append(f"{where}:{number}: {header} is not under a layer of src/")
                elif target not in allowed:
                    problems.append(f"{where}:{number}: {here} may not include {header}")
            else:
                for pattern, owner in SYSTEM_OWNERS:
                    if pattern.search(header) and here != owner:
                        problems.append(f"{where}:{number}: only {owner} may include <{header}>")
    return problems


def main() -> int:
    src = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "src"
    problems = check(src)
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} include(s) break the layers", file=sys.stderr)
        return 1
    print(f"layers hold: {sum(1 for p in src.rglob('*') if p.suffix in {'.h', '.cpp'})} files checked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
