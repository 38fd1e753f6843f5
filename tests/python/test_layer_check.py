"""The include check that keeps the layers of src/ honest."""
from __future__ import annotations

import importlib.util
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("check_layers", ROOT / "scripts" / "check_layers.py")
assert _spec is not None and _spec.loader is not None
check_layers = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_layers)


def test_the_tree_holds() -> None:
    assert check_layers.check(ROOT / "src") == []


@pytest.mark.parametrize(
    ("path", "line", "expected"),
    [
        ("util/sync.h", '#include "errors/duration.h"', "util may not include errors/duration.h"),
        ("errors/io_error.cpp", '#include "platform/kernel.h"', "errors may not include platform/kernel.h"),
        ("audio/wav.cpp", '#include "video/source.h"', "audio may not include video/source.h"),
        ("discovery/w.cpp", '#  include "platform/linux/x11_text.h"',
         "discovery may not include platform/linux/x11_text.h"),
        ("platform/win32/a.cpp", '#include "platform/linux/x.h"',
         "platform/win32 may not include platform/linux/x.h"),
        ("video/v.cpp", "#include <Python.h>", "only module may include <Python.h>"),
        ("module/m.cpp", "#include <windows.h>", "only platform/win32 may include <windows.h>"),
        ("platform/kernel.h", "#include <xcb/xcb.h>", "only platform/linux may include <xcb/xcb.h>"),
        ("video/v.cpp", '#include "nowhere.h"', "nowhere.h is not under a layer of src/"),
    ],
)
def test_refuses_what_crosses_a_layer(tmp_path: Path, path: str, line: str, expected: str) -> None:
    src = tmp_path / "src"
    file = src / path
    file.parent.mkdir(parents=True)
    file.write_text(f"// a file\n{line}\n#include <vector>\n")
    problems = check_layers.check(src)
    assert len(problems) == 1, problems
    assert problems[0].endswith(expected) and f"{path}:2:" in problems[0]


def test_allows_the_layers_below_and_its_own(tmp_path: Path) -> None:
    src = tmp_path / "src"
    (src / "video").mkdir(parents=True)
    (src / "video" / "v.cpp").write_text(
        '#include "video/v.h"\n#include "discovery/monitors.h"\n#include "platform/kernel.h"\n'
        '#include "errors/io_error.h"\n#include "util/text.h"\n#include <chrono>\n')
    assert check_layers.check(src) == []
