"""A private redis-server on a free loopback port, with persistence off."""
import shutil
import socket
import subprocess
import time


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class EmbeddedRedis:
    def __init__(self, *extra: str, port: int | None = None) -> None:
        exe = shutil.which("redis-server")
        if exe is None:
            raise RuntimeError("redis-server is not installed")
        self.host = "127.0.0.1"
        self.port = port or free_port()
        self.args = [exe, "--bind", self.host, "--port", str(self.port), "--save", "",
                     "--appendonly", "no", "--daemonize", "no", *extra]
        self.proc = None
        self.start()

    def start(self) -> None:
        self.proc = subprocess.Popen(self.args, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                break
            try:
                with socket.create_connection((self.host, self.port), timeout=0.2):
                    return
            except OSError:
                time.sleep(0.02)
        self.stop()
        raise RuntimeError("redis-server did not start")

    def kill(self) -> None:
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def stop(self) -> None:
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def __enter__(self) -> "EmbeddedRedis":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()
