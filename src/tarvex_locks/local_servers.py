"""Redis servers on loopback for the workbench, the tests and the benchmarks: one server, a
cluster of masters, or a primary with a replica watched by sentinels. Persistence is off unless
asked for; every process is stopped and every folder removed by `stop()`."""
from __future__ import annotations

import shutil
import socket
import subprocess
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import redis


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def free_cluster_port() -> int:
    """A free port whose cluster bus port (10000 above it) is free too."""
    while True:
        port = free_port()
        if port + 10000 > 65535:
            continue
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port + 10000))
            except OSError:
                continue
        return port


def _wait(predicate: Callable[[], bool], seconds: float, what: str) -> None:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if predicate():
                return
        except redis.exceptions.RedisError:
            pass
        time.sleep(0.05)
    raise RuntimeError(f"{what} within {seconds:g} s")


class EmbeddedRedis:
    """One redis-server process on 127.0.0.1 at a free port, working in a folder of its own
    (a snapshot found in the working folder would be loaded at start)."""

    def __init__(self, *extra: str, port: int | None = None, folder: str | None = None) -> None:
        exe = shutil.which("redis-server")
        if exe is None:
            raise RuntimeError("redis-server is not installed")
        self.host = "127.0.0.1"
        self.port = port or free_port()
        self._own_folder = folder is None
        self.folder = folder or tempfile.mkdtemp(prefix="tarvex-redis-")
        self.args = [exe, "--bind", self.host, "--port", str(self.port), "--save", "",
                     "--appendonly", "no", "--daemonize", "no", "--dir", self.folder,
                     "--repl-diskless-sync-delay", "0", *extra]
        self.proc: subprocess.Popen[bytes] | None = None
        self.start()

    def start(self) -> None:
        self.proc = subprocess.Popen(self.args, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, cwd=self.folder)
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
        raise RuntimeError(f"redis-server did not start on port {self.port}")

    def client(self, **kwargs: Any) -> redis.Redis:
        return redis.Redis(host=self.host, port=self.port, **kwargs)

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
        if self._own_folder:
            shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self) -> EmbeddedRedis:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


class LocalCluster:
    """A Redis Cluster of `masters` nodes without replicas, made with `redis-cli --cluster`."""

    def __init__(self, masters: int = 3, *, persistence: bool = False,
                 node_timeout_ms: int = 2000) -> None:
        self.folder = tempfile.mkdtemp(prefix="tarvex-cluster-")
        self.nodes: list[EmbeddedRedis] = []
        extra = ("--appendonly", "yes", "--appendfsync", "always") if persistence else ()
        try:
            for i in range(masters):
                folder = Path(self.folder, str(i))
                folder.mkdir()
                self.nodes.append(EmbeddedRedis(
                    "--cluster-enabled", "yes", "--cluster-config-file", "nodes.conf",
                    "--cluster-node-timeout", str(node_timeout_ms), *extra,
                    port=free_cluster_port(), folder=str(folder)))
            created = subprocess.run(
                [shutil.which("redis-cli") or "redis-cli", "--cluster", "create",
                 *(f"127.0.0.1:{n.port}" for n in self.nodes), "--cluster-yes"],
                capture_output=True, text=True, timeout=60)
            if created.returncode != 0:
                raise RuntimeError(f"redis-cli --cluster create failed: {created.stdout[-300:]}")
            for node in self.nodes:
                self.wait_ok(node)
        except BaseException:
            self.stop()
            raise

    @property
    def host(self) -> str:
        return "127.0.0.1"

    @property
    def port(self) -> int:
        return self.nodes[0].port

    def wait_ok(self, node: EmbeddedRedis, seconds: float = 20) -> None:
        def ok() -> bool:
            with node.client() as c:
                return bool(c.cluster("info")["cluster_state"] == "ok")
        _wait(ok, seconds, f"cluster node {node.port} did not report cluster_state:ok")

    def node_of(self, key: str) -> EmbeddedRedis:
        """The master that serves `key`."""
        with self.nodes[0].client() as c:
            slot = c.cluster("keyslot", key)
            for low, high, master, *_ in c.cluster("slots"):
                if low <= slot <= high:
                    port = int(master[1])
                    return next(n for n in self.nodes if n.port == port)
        raise LookupError(key)

    def keys_on_each(self, prefix: str, per_node: int) -> list[str]:
        """Keys "<prefix>/<i>" chosen so that each master serves `per_node` of them."""
        found: dict[int, list[str]] = {n.port: [] for n in self.nodes}
        i = 0
        while any(len(v) < per_node for v in found.values()):
            key = f"{prefix}/{i}"
            port = self.node_of(key).port
            if len(found[port]) < per_node:
                found[port].append(key)
            i += 1
        return [k for keys in found.values() for k in keys]

    def stop(self) -> None:
        for node in self.nodes:
            node.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self) -> LocalCluster:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


SENTINEL_CONF = """port {port}
bind 127.0.0.1
dir {folder}
sentinel monitor {service} 127.0.0.1 {primary} {quorum}
sentinel down-after-milliseconds {service} {down_after_ms}
sentinel failover-timeout {service} {failover_timeout_ms}
sentinel parallel-syncs {service} 1
"""


class LocalSentinel:
    """A primary, one replica and `sentinels` sentinels watching them under `service`.

    `replicate_through`, given the primary's port, returns the port the replica replicates from
    (a proxy in front of the primary, to hold the replication stream back)."""

    def __init__(self, service: str = "tarvex", sentinels: int = 3, *,
                 down_after_ms: int = 500,
                 replicate_through: Callable[[int], int] | None = None) -> None:
        self.service = service
        self.folder = tempfile.mkdtemp(prefix="tarvex-sentinel-")
        self.sentinels: list[EmbeddedRedis] = []
        self.primary: EmbeddedRedis | None = None
        self.replica: EmbeddedRedis | None = None
        try:
            self.primary = EmbeddedRedis()
            source = replicate_through(self.primary.port) if replicate_through else self.primary.port
            self.replica = EmbeddedRedis("--replicaof", "127.0.0.1", str(source))
            _wait(lambda: self.replica_in_sync(), 20, "the replica did not sync")
            quorum = sentinels // 2 + 1
            for i in range(sentinels):
                port = free_port()
                conf = Path(self.folder, f"sentinel-{i}.conf")
                # a failover timeout longer than any run keeps the sentinels from "fixing" a
                # replica that replicates through a proxy
                conf.write_text(SENTINEL_CONF.format(
                    port=port, folder=self.folder, service=service, primary=self.primary.port,
                    quorum=quorum, down_after_ms=down_after_ms, failover_timeout_ms=120000))
                self.sentinels.append(_SentinelProcess(str(conf), port, self.folder))
            _wait(self._sentinels_know_each_other, 30, "the sentinels did not find each other")
        except BaseException:
            self.stop()
            raise

    @property
    def sentinel_addresses(self) -> list[tuple[str, int]]:
        return [("127.0.0.1", s.port) for s in self.sentinels]

    def replica_in_sync(self) -> bool:
        assert self.replica is not None
        with self.replica.client() as c:
            info = c.info("replication")
        return bool(info.get("master_link_status") == "up")

    def _master(self, sentinel: EmbeddedRedis) -> dict[str, str]:
        """What a sentinel knows of the primary (SENTINEL MASTER, read raw: the client's own
        parser of it differs between versions)."""
        with sentinel.client(decode_responses=True) as c:
            reply = c.execute_command("SENTINEL", "MASTER", self.service)
        if isinstance(reply, dict):
            return {str(k): str(v) for k, v in reply.items()}
        return dict(zip(reply[::2], reply[1::2]))

    def _sentinels_know_each_other(self) -> bool:
        for s in self.sentinels:
            master = self._master(s)
            if int(master["num-other-sentinels"]) != len(self.sentinels) - 1:
                return False
            if int(master["num-slaves"]) < 1:
                return False
        return True

    def primary_port(self) -> int:
        return int(self._master(self.sentinels[0])["port"])

    def wait_failover(self, old_port: int, seconds: float = 30) -> None:
        """Until every sentinel names a new primary and sees it up and settled."""
        def settled() -> bool:
            for s in self.sentinels:
                master = self._master(s)
                if int(master["port"]) == old_port or master["flags"] != "master":
                    return False
            return True
        _wait(settled, seconds, "no failover")

    def stop(self) -> None:
        for s in self.sentinels:
            s.stop()
        for server in (self.replica, self.primary):
            if server is not None:
                server.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self) -> LocalSentinel:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


class _SentinelProcess(EmbeddedRedis):
    """A sentinel: the same process handling, started from its configuration file, in the
    topology's folder."""

    def __init__(self, conf: str, port: int, folder: str) -> None:
        self.conf = conf
        super().__init__(port=port, folder=folder)

    def start(self) -> None:
        exe = shutil.which("redis-server") or "redis-server"
        self.args = [exe, self.conf, "--sentinel"]
        super().start()
