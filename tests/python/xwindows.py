"""Real X windows and private X servers for the discovery tests.

`XWindows` creates top-level windows with exactly the properties a test asks
for (python-xlib), `XServer` runs a private Xvfb (and optionally a window
manager) that only this test process uses. Every process started here is
stopped by its own PID.
"""

import os
import re
import select
import shutil
import signal
import subprocess
import time

import pytest

try:
    from Xlib import X, Xatom
    from Xlib import display as xdisplay
except ImportError:  # reported by require() when a test needs it
    X = Xatom = xdisplay = None


def require(condition, reason):
    """Skips the test when `condition` is false, or fails it when the harness
    promised a complete environment (VOREL_REQUIRE_DISPLAY=1)."""
    if condition:
        return
    if os.environ.get("VOREL_REQUIRE_DISPLAY") == "1":
        pytest.fail(reason + " (VOREL_REQUIRE_DISPLAY=1)")
    pytest.skip(reason)


def require_tools(*tools):
    require(xdisplay is not None, "needs python-xlib")
    for tool in tools:
        require(shutil.which(tool) is not None, f"needs {tool}")


class XWindows:
    """Creates and destroys windows on one display."""

    def __init__(self, display_name):
        self.display = xdisplay.Display(display_name)
        self.root = self.display.screen().root
        self._windows = {}

    def atom(self, name):
        return self.display.intern_atom(name)

    def create(self, *, net_name=None, wm_name=None, wm_name_type="STRING", wm_class=None,
               pid=None, mapped=True, parent=None):
        """A new window and its id. `net_name` goes to _NET_WM_NAME (UTF-8);
        `wm_name` to WM_NAME with the given type (str is encoded as Latin-1
        for STRING, UTF-8 otherwise; bytes are stored as they are);
        `wm_class` is (instance, class) or raw bytes."""
        parent_window = self._windows[parent] if parent else self.root
        w = parent_window.create_window(0, 0, 120, 80, 0, X.CopyFromParent)
        if net_name is not None:
            w.change_property(self.atom("_NET_WM_NAME"), self.atom("UTF8_STRING"), 8,
                              net_name.encode("utf-8"))
        if wm_name is not None:
            if isinstance(wm_name, str):
                wm_name = wm_name.encode("latin-1" if wm_name_type == "STRING" else "utf-8")
            w.change_property(Xatom.WM_NAME, self.atom(wm_name_type), 8, wm_name)
        if isinstance(wm_class, bytes):
            w.change_property(Xatom.WM_CLASS, Xatom.STRING, 8, wm_class)
        elif wm_class is not None:
            w.set_wm_class(*wm_class)
        if pid is not None:
            w.change_property(self.atom("_NET_WM_PID"), Xatom.CARDINAL, 32, [pid])
        if mapped:
            w.map()
        self.display.sync()
        self._windows[w.id] = w
        return w.id

    def set_property(self, window_id, name, type_name, format_, data):
        target = self.root if window_id is None else self._windows[window_id]
        target.change_property(self.atom(name), self.atom(type_name), format_, data)
        self.display.sync()

    def delete_property(self, window_id, name):
        target = self.root if window_id is None else self._windows[window_id]
        target.delete_property(self.atom(name))
        self.display.sync()

    def root_windows(self, name):
        """A WINDOW-list property of the root, or None."""
        prop = self.root.get_full_property(self.atom(name), Xatom.WINDOW)
        return None if prop is None else list(prop.value)

    def raise_window(self, window_id):
        self._windows[window_id].configure(stack_mode=X.Above)
        self.display.sync()

    def destroy(self, window_id):
        self._windows.pop(window_id).destroy()
        self.display.sync()

    def new_pixmap(self):
        """The id of a resource that exists but is no window."""
        return self.root.create_pixmap(1, 1, self.display.screen().root_depth).id

    def close(self):
        for w in self._windows.values():
            w.destroy()
        self._windows.clear()
        self.display.close()


class XServer:
    """A private Xvfb on a free display, with RandR, and at most one window
    manager."""

    def __init__(self, *extra_args, size="1920x1080", depth=24):
        read_end, write_end = os.pipe()
        try:
            self._process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{size}x{depth}",
                 "-nolisten", "tcp", "-noreset", *extra_args],
                pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        finally:
            os.close(write_end)
        try:
            self.display = ":" + self._read_display_number(read_end)
        except Exception:
            self._stop_process(self._process)
            raise
        finally:
            os.close(read_end)
        self._wm = None
        self._clients = []

    @staticmethod
    def _read_display_number(fd, timeout=10.0):
        deadline = time.monotonic() + timeout
        data = b""
        while not data.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise RuntimeError("Xvfb did not report its display")
            chunk = os.read(fd, 64)
            if not chunk:
                raise RuntimeError("Xvfb exited before reporting its display")
            data += chunk
        return data.decode().strip()

    @property
    def pid(self):
        return self._process.pid

    def windows(self):
        """An XWindows on this server, closed when the server stops."""
        client = XWindows(self.display)
        self._clients.append(client)
        return client

    def env(self):
        return dict(os.environ, DISPLAY=self.display)

    def run(self, *command):
        return subprocess.run(command, env=self.env(), check=True, capture_output=True,
                              text=True).stdout

    def set_monitor(self, layout):
        """xrandr --setmonitor, e.g. "*LEFT 960/254x1080/286+0+0 screen"."""
        self.run("xrandr", "--setmonitor", *layout.split())

    def start_window_manager(self, windows):
        """Starts evilwm and waits until it announces itself on the root."""
        self._wm = subprocess.Popen(["evilwm", "-fn", "fixed"], env=self.env(),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: windows.root_windows("_NET_SUPPORTING_WM_CHECK"),
                   "the window manager did not start")

    def kill_window_manager(self):
        self._wm.send_signal(signal.SIGKILL)
        self._wm.wait()
        self._wm = None

    def kill(self):
        """Kills the server at once, as a crash would."""
        self._process.send_signal(signal.SIGKILL)
        self._process.wait()

    @staticmethod
    def _stop_process(process):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def stop(self):
        if self._process.poll() is None:
            for client in self._clients:
                client.close()
        if self._wm is not None:
            self._stop_process(self._wm)
        self._stop_process(self._process)


def wait_until(predicate, message, timeout=5.0):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(message)
        time.sleep(0.01)


def parse_xrandr_monitors(text):
    """`xrandr --listmonitors` as (index, name, x, y, width, height, primary)."""
    pattern = re.compile(r"^\s*(\d+): ([+*]*)(\S+) (\d+)/\d+x(\d+)/\d+([+-]\d+)([+-]\d+)")
    monitors = []
    for line in text.splitlines()[1:]:
        m = pattern.match(line)
        assert m, f"unexpected xrandr line: {line!r}"
        monitors.append((int(m[1]), m[3], int(m[6]), int(m[7]), int(m[4]), int(m[5]),
                         "*" in m[2]))
    return monitors


def xwininfo_children(display_name):
    """The root's children as xwininfo lists them: top-most first."""
    text = subprocess.run(["xwininfo", "-root", "-children"], check=True, capture_output=True,
                          text=True, env=dict(os.environ, DISPLAY=display_name)).stdout
    return [int(m, 16) for m in re.findall(r"^\s+(0x[0-9a-f]+)", text, re.MULTILINE)]


def xwininfo_map_state(display_name, window_id):
    text = subprocess.run(["xwininfo", "-id", str(window_id)], check=True, capture_output=True,
                          text=True, env=dict(os.environ, DISPLAY=display_name)).stdout
    return re.search(r"Map State: (\w+)", text)[1]


@pytest.fixture
def x_windows(require_display):
    """Windows on the test display, destroyed after the test."""
    require_tools()
    windows = XWindows(require_display)
    yield windows
    windows.close()


@pytest.fixture
def x_server(monkeypatch):
    """A private X server that the module under test talks to (DISPLAY points
    to it for the duration of the test)."""
    require_tools("Xvfb", "xrandr")
    servers = []

    def start(*extra_args, size="1920x1080", depth=24):
        server = XServer(*extra_args, size=size, depth=depth)
        servers.append(server)
        monkeypatch.setenv("DISPLAY", server.display)
        return server

    yield start
    for server in servers:
        server.stop()
