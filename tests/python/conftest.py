import os
import shutil
import subprocess
import time

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


# --------------------------------------------------------------------------
# Sound servers started a moment before the test


FRESH_RATE = 44100


class FreshSoundServer:
    """A sound server of the test's own, started just now, whose default
    sink is a 44.1 kHz stereo null sink that no other client reads. Which
    server runs follows VOREL_SOUND_SERVER: "pulseaudio" (the default) or
    "pipewire" (pipewire-pulse with wireplumber on a private bus). Each
    process is stopped by its PID, newest first."""

    def __init__(self, directory, kind):
        self.kind = kind
        self.sink = "fresh_sink"
        self.rate = FRESH_RATE
        self.procs = []
        runtime = directory / "runtime"
        runtime.mkdir(mode=0o700, parents=True)
        config = directory / "config"
        (config / "pulse").mkdir(parents=True)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=str(runtime), HOME=str(directory),
                        XDG_CONFIG_HOME=str(config), XDG_STATE_HOME=str(directory / "state"),
                        XDG_DATA_HOME=str(directory / "data"),
                        PULSE_STATE_PATH=str(directory / "state"))
        self.address = f"unix:{runtime}/pulse/native"
        self.env["PULSE_SERVER"] = self.address
        log = self._log = open(directory / "server.log", "wb")
        try:
            if kind == "pipewire":
                bus = runtime / "bus"
                self._spawn(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                             f"--address=unix:path={bus}"], log)
                self.env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={bus}"
                self._until(bus.exists, "the session bus")
                self._spawn(["pipewire"], log)
                self._until((runtime / "pipewire-0").exists, "pipewire")
                self._spawn(["wireplumber"], log)
                self._spawn(["pipewire-pulse"], log)
                self._until(self._answers, "pipewire-pulse")
                self.pactl("load-module", "module-null-sink", f"sink_name={self.sink}",
                           f"rate={self.rate}", "channels=2")
                self._until(lambda: self.sink in self.pactl("list", "short", "sinks"),
                            "the null sink")
            else:
                # The sink's rate is pinned, so that no player moves it.
                (config / "pulse" / "daemon.conf").write_text(
                    f"default-sample-rate = {self.rate}\nalternate-sample-rate = {self.rate}\n"
                    "avoid-resampling = no\nexit-idle-time = -1\n")
                self._spawn(["pulseaudio", "-n", "--daemonize=no", "--system=false",
                             "--exit-idle-time=-1", "--disallow-exit=yes", "--use-pid-file=no",
                             "-F", "/dev/null", "--load=module-native-protocol-unix",
                             f"--load=module-null-sink sink_name={self.sink} rate={self.rate} "
                             "channels=2"], log)
                self._until(self._answers, "pulseaudio")
            self.pactl("set-default-sink", self.sink)
            self._until(lambda: self.pactl("get-default-sink").strip() == self.sink,
                        "the default sink")
        except BaseException:
            self.stop()
            raise

    def _spawn(self, args, log):
        self.procs.append(subprocess.Popen(args, env=self.env, stdout=log, stderr=log,
                                           stdin=subprocess.DEVNULL))

    def _until(self, condition, what, seconds=10):
        deadline = time.monotonic() + seconds
        while not condition():
            dead = [p.args[0] for p in self.procs if p.poll() is not None]
            assert not dead, f"{dead} ended while waiting for {what}"
            assert time.monotonic() < deadline, f"{what} did not come up"
            time.sleep(0.02)

    def _answers(self):
        return subprocess.run(["pactl", "info"], env=self.env, capture_output=True,
                              timeout=10).returncode == 0

    def pactl(self, *args):
        out = subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True,
                             timeout=10)
        return out.stdout if out.returncode == 0 else ""

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except Exception:
                    p.kill()
                    p.wait(5)
        self.procs.clear()
        self._log.close()


@pytest.fixture
def fresh_server(tmp_path, monkeypatch):
    """A sound server started for this test alone (FreshSoundServer); the
    module and every pactl/paplay/parec the test runs talk to it."""
    kind = os.environ.get("VOREL_SOUND_SERVER", "pulseaudio")
    needed = ["pipewire", "pipewire-pulse", "wireplumber", "dbus-daemon"] \
        if kind == "pipewire" else ["pulseaudio"]
    missing = [b for b in needed if shutil.which(b) is None]
    if missing:
        if os.environ.get("VOREL_REQUIRE_AUDIO") == "1":
            pytest.fail(f"missing {missing} but VOREL_REQUIRE_AUDIO=1")
        pytest.skip(f"needs {missing}")
    server = FreshSoundServer(tmp_path / "fresh", kind)
    monkeypatch.setenv("PULSE_SERVER", server.address)
    yield server
    server.stop()
