"""A qmsrv process for tests: started on a free loopback port with its own configuration, log
folder and SQLite folder; QMSRV names the executable (default: the build folder's)."""

from __future__ import annotations

import os
import pathlib
import signal
import socket
import subprocess
import time

ROOT = pathlib.Path(__file__).resolve().parents[3]


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """One qmsrv process with the given extra configuration lines."""

    def __init__(self, folder: pathlib.Path, config: str = ""):
        self.port = _free_port()
        self.folder = folder
        exe = os.environ.get("QMSRV", str(ROOT / "build" / "src" / "service" / "qmsrv"))
        conf = folder / "qmsrv.conf"
        conf.write_text("Port=%d\nBind=127.0.0.1\n%s" % (self.port, config))
        env = dict(os.environ, HOME=str(folder), XDG_DATA_HOME=str(folder / "data"))
        self.process = subprocess.Popen(
            [exe, "--config", str(conf), "--user-log", "--sqlite-folder", str(folder / "db")],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError("qmsrv (%s) did not start" % exe)
                time.sleep(0.05)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
