import os

import pytest

pytest_plugins = ["xwindows"]


def pytest_configure(config):
    config.addinivalue_line("markers", "display: needs an X server (DISPLAY)")


@pytest.fixture
def require_display():
    """The X display the tests run on; CI provides one and sets
    VOREL_REQUIRE_DISPLAY=1 so that a missing display fails instead of
    skipping."""
    display = os.environ.get("DISPLAY")
    if not display:
        if os.environ.get("VOREL_REQUIRE_DISPLAY") == "1":
            pytest.fail("DISPLAY is not set but VOREL_REQUIRE_DISPLAY=1")
        pytest.skip("needs an X display")
    return display


@pytest.fixture
def require_audio():
    """A reachable sound server; CI starts a private one and sets
    VOREL_REQUIRE_AUDIO=1 so that a missing server fails instead of
    skipping."""
    import shutil
    import subprocess

    ok = shutil.which("pactl") is not None and subprocess.run(
        ["pactl", "info"], capture_output=True, timeout=10
    ).returncode == 0
    if not ok:
        if os.environ.get("VOREL_REQUIRE_AUDIO") == "1":
            pytest.fail("no sound server but VOREL_REQUIRE_AUDIO=1")
        pytest.skip("needs a sound server")
