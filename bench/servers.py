"""Private servers for the benchmarks: each script starts what it needs and
stops it by PID at the end, so nothing of anyone else's is touched."""

import os
import select
import subprocess
import time


class Processes:
    """Processes this script started, stopped by PID, newest first."""

    def __init__(self):
        self._started = []

    def start(self, command, **kwargs):
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, **kwargs)
        self._started.append(process)
        return process

    def stop_all(self):
        for process in reversed(self._started):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


def start_xvfb(processes, width=1920, height=1080, *extra):
    """A private Xvfb on a free display; returns its name (":N")."""
    read_end, write_end = os.pipe()
    try:
        processes.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                         f"{width}x{height}x24", *extra, "-nolisten", "tcp", "-noreset"],
                        pass_fds=(write_end,))
    finally:
        os.close(write_end)
    data = b""
    deadline = time.monotonic() + 10
    while not data.endswith(b"\n"):
        if not select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))[0]:
            raise RuntimeError("Xvfb did not start")
        chunk = os.read(read_end, 64)
        if not chunk:
            raise RuntimeError("Xvfb exited")
        data += chunk
    os.close(read_end)
    return ":" + data.decode().strip()
