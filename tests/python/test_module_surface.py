"""The module's shape: names, order, signatures, classes and the conversion
of arguments, as a Python caller sees them."""

import inspect
import subprocess
import sys
import weakref

import numpy as np
import pytest

import _native_core as m

# The fixed order of registration; the audio and capture names join it in
# their places as they are built.
FULL_ORDER = [
    "MonitorInfo",
    "WindowInfo",
    "AudioDeviceInfo",
    "list_monitors",
    "list_windows",
    "list_audio_devices",
    "find_window_by_title",
    "find_window_by_handle",
    "VideoCapture",
    "AudioCapture",
]
DISCOVERY = {
    "MonitorInfo",
    "WindowInfo",
    "list_monitors",
    "list_windows",
    "find_window_by_title",
    "find_window_by_handle",
}


def test_registered_names_in_order():
    assert DISCOVERY <= set(m.__all__)
    assert m.__all__ == [n for n in FULL_ORDER if n in m.__all__]
    public = {n for n in vars(m) if not n.startswith("__")}
    assert public == set(m.__all__)
    assert m.__doc__ == ""
    assert not hasattr(m, "measure_achievable_fps")


@pytest.mark.parametrize(
    "func, signature",
    [
        (m.list_monitors, "()"),
        (m.list_windows, "(*, include_hidden=False)"),
        (m.find_window_by_title, "(substring)"),
        (m.find_window_by_handle, "(hwnd)"),
    ],
)
def test_function_signatures_and_module(func, signature):
    assert str(inspect.signature(func)) == signature
    assert func.__module__ == "_native_core"
    # The doc string is the signature line and nothing else.
    assert func.__doc__ is None or func.__doc__ == ""


@pytest.mark.parametrize("cls", [m.MonitorInfo, m.WindowInfo])
def test_record_classes_are_closed(cls):
    with pytest.raises(TypeError) as e:
        cls()
    assert str(e.value) == f"No constructor defined for {cls.__name__}"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__name__ == cls.__qualname__ == cls.__name__.split(".")[-1]
    assert cls.__doc__ is None
    assert str(inspect.signature(cls.as_dict)) == "(self, /)"


def test_list_windows_conversions():
    with pytest.raises(TypeError):
        m.list_windows(True)  # keyword-only
    for bad in (1, 0, None, "yes", 1.0):
        with pytest.raises(TypeError) as e:
            m.list_windows(include_hidden=bad)
        assert str(e.value).startswith("argument 'include_hidden': ")
    assert isinstance(m.list_windows(include_hidden=False), list)
    # NumPy's boolean scalars are accepted like bools.
    assert isinstance(m.list_windows(include_hidden=np.True_), list)
    assert isinstance(m.list_windows(include_hidden=np.bool_(False)), list)
    with pytest.raises(TypeError):
        m.list_monitors(1)
    with pytest.raises(TypeError):
        m.list_monitors(x=1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'hidden'"):
        m.list_windows(hidden=True)


def test_text_conversion():
    import pathlib

    for bad in (b"x", pathlib.Path("x"), None, 3):
        with pytest.raises(TypeError) as e:
            m.find_window_by_title(bad)
        assert str(e.value).startswith("argument 'substring': ")

    class Sub(str):
        pass

    m.find_window_by_title(Sub("no window has this title 5f2c"))
    # A str without a UTF-8 form gets the interpreter's own encoding error.
    with pytest.raises(UnicodeEncodeError):
        m.find_window_by_title("\ud800")
    with pytest.raises(TypeError, match="multiple values for argument 'substring'"):
        m.find_window_by_title("a", substring="b")
    with pytest.raises(TypeError, match="missing required argument 'substring'"):
        m.find_window_by_title()


def test_int64_conversion():
    with pytest.raises(TypeError) as e:
        m.find_window_by_handle(None)
    assert str(e.value).startswith("argument 'hwnd': ")
    with pytest.raises(TypeError):
        m.find_window_by_handle(1.0)
    with pytest.raises(TypeError):
        m.find_window_by_handle("1")
    with pytest.raises(OverflowError):
        m.find_window_by_handle(2**63)
    with pytest.raises(OverflowError):
        m.find_window_by_handle(-(2**63) - 1)
    # bool is an int, and __index__ is honoured.
    m.find_window_by_handle(True)
    m.find_window_by_handle(hwnd=-(2**63))

    class Index:
        def __index__(self):
            return 0

    assert m.find_window_by_handle(Index()) is None
    assert m.find_window_by_handle(0) is None


def test_prefixed_type_error_keeps_the_original_cause():
    class Bad:
        def __index__(self):
            raise TypeError("inner text") from KeyError("the cause")

    with pytest.raises(TypeError) as e:
        m.find_window_by_handle(Bad())
    assert str(e.value) == "argument 'hwnd': inner text"
    assert isinstance(e.value.__cause__, KeyError)

    class Other:
        def __index__(self):
            raise ValueError("not a type error")

    # Only TypeErrors are re-worded; everything else passes unchanged.
    with pytest.raises(ValueError, match="^not a type error$"):
        m.find_window_by_handle(Other())


def test_records_are_immutable_snapshots(require_display):
    monitors = m.list_monitors()
    assert monitors, "the test display has monitors"
    info = monitors[0]
    with pytest.raises(AttributeError):
        info.name = "x"
    with pytest.raises(AttributeError):
        info.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(info)
    d1, d2 = info.as_dict(), info.as_dict()
    assert d1 == d2 and d1 is not d2
    assert set(d1) == {"index", "name", "x", "y", "width", "height", "is_primary"}
    assert str(info) == repr(info)
    assert info != m.list_monitors()[0], "equality is identity"


def test_second_interpreter_is_refused():
    code = (
        "import _native_core, _interpreters\n"
        "for config in ('isolated', 'legacy'):\n"
        "    i = _interpreters.create(config)\n"
        "    r = _interpreters.run_string(i, 'import _native_core')\n"
        "    assert r is not None and r.type.__name__ == 'ImportError', (config, r)\n"
        "print('refused')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "refused"


def test_repeated_import_gives_the_same_module():
    code = (
        "import sys, importlib, _native_core as a\n"
        "del sys.modules['_native_core']\n"
        "b = importlib.import_module('_native_core')\n"
        "assert a is b and a.__all__ == b.__all__\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr


def test_conversion_errors_chain_as_python_does():
    try:
        raise KeyError("while handling")
    except KeyError:
        with pytest.raises(TypeError) as info:
            m.list_windows(include_hidden=1)
    assert isinstance(info.value.__context__, KeyError)
    assert str(info.value).startswith("argument 'include_hidden': ")
