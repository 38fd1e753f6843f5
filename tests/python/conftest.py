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
