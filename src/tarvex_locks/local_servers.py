"""Redis servers on loopback for the workbench, the tests and the benchmarks: one server, a
cluster of masters, or a primary with a replica watched by sentinels. Persistence is off unless
asked for; every process is stopped and every folder removed by `stop()`."""
from __future__ import annotations

import os
import shutil
import socket
import subprocess
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import redis
from redis.crc import key_slot


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


class NoRedisServer(RuntimeError):
    """No `redis-server` program to start."""


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
            raise NoRedisServer("redis-server is not installed")
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
        # a group of its own: Ctrl-C at the terminal stops its owner, which then stops it
        self.proc = subprocess.Popen(self.args, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, cwd=self.folder,
                                     process_group=0)
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
        if "--requirepass" in self.args:  # the server's own password, unless one is given
            kwargs.setdefault("password", self.args[self.args.index("--requirepass") + 1])
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
    """A Redis Cluster of `masters` masters with `replicas` replicas each, made with
    `redis-cli --cluster`. `announce_through`, given a master's port, returns the port that the
    master announces instead (a proxy in front of it, through which its replicas and the
    clients reach it)."""

    def __init__(self, masters: int = 3, *, replicas: int = 0, persistence: bool = False,
                 node_timeout_ms: int = 2000,
                 announce_through: Callable[[int], int] | None = None,
                 password: str | None = None) -> None:
        self.folder = tempfile.mkdtemp(prefix="tarvex-cluster-")
        self.nodes: list[EmbeddedRedis] = []
        self.announced: dict[int, EmbeddedRedis] = {}
        extra: tuple[str, ...] = (
            ("--appendonly", "yes", "--appendfsync", "always") if persistence else ())
        if password is not None:
            extra += ("--requirepass", password, "--masterauth", password)
        try:
            for i in range(masters * (1 + replicas)):
                folder = Path(self.folder, str(i))
                folder.mkdir()
                port = free_cluster_port()
                announce: tuple[str, ...] = ()
                if announce_through is not None and i < masters:
                    announce = ("--cluster-announce-port", str(announce_through(port)),
                                "--cluster-announce-bus-port", str(port + 10000))
                self.nodes.append(EmbeddedRedis(
                    "--cluster-enabled", "yes", "--cluster-config-file", "nodes.conf",
                    "--cluster-node-timeout", str(node_timeout_ms), *extra, *announce,
                    port=port, folder=str(folder)))
                self.announced[int(announce[1]) if announce else port] = self.nodes[-1]
            created = subprocess.run(
                [shutil.which("redis-cli") or "redis-cli", "--cluster", "create",
                 *(f"127.0.0.1:{n.port}" for n in self.nodes), "--cluster-replicas",
                 str(replicas), "--cluster-yes"],
                capture_output=True, text=True, timeout=60,
                env={**os.environ, "REDISCLI_AUTH": password} if password else None)
            if created.returncode != 0:
                raise RuntimeError(f"redis-cli --cluster create failed: {created.stdout[-300:]}")
            for node in self.nodes:
                self.wait_ok(node)
            _wait(lambda: all(self._linked(n) for n in self.nodes[masters:]), 20,
                  "the cluster's replicas did not sync")
        except BaseException:
            self.stop()
            raise

    @staticmethod
    def _linked(node: EmbeddedRedis) -> bool:
        with node.client() as c:
            return bool(c.info("replication").get("master_link_status") == "up")

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

    def _slots(self) -> list[Any]:
        for node in self.nodes:
            try:
                with node.client() as c:
                    return list(c.cluster("slots"))
            except (redis.exceptions.RedisError, OSError):
                continue  # that node is down: ask another
        raise RuntimeError("no cluster node answers")

    def node_of(self, key: str) -> EmbeddedRedis:
        """The master that serves `key`."""
        slot = key_slot(key.encode())
        for low, high, master, *_ in self._slots():
            if low <= slot <= high:
                return self.announced[int(master[1])]
        raise LookupError(key)

    def keys_on_each(self, prefix: str, per_node: int) -> list[str]:
        """Keys "<prefix>/<i>" chosen so that each master serves `per_node` of them."""
        found: dict[int, list[str]] = {}
        for _, _, master, *_ in self._slots():
            found.setdefault(self.announced[int(master[1])].port, [])
        i = 0
        while any(len(v) < per_node for v in found.values()):
            key = f"{prefix}/{i}"
            port = self.node_of(key).port
            if len(found[port]) < per_node:
                found[port].append(key)
            i += 1
        return [k for keys in found.values() for k in keys]

    def replica_of(self, master: EmbeddedRedis) -> EmbeddedRedis:
        """A replica of `master`."""
        for node in self.nodes:
            if node is master or node.proc is None or node.proc.poll() is not None:
                continue
            with node.client() as c:
                info = c.info("replication")
            if info.get("role") == "slave" and self.announced.get(
                    int(info.get("master_port", 0))) is master:
                return node
        raise LookupError(f"no replica of {master.port}")

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
    """A primary, `replicas` replicas and `sentinels` sentinels watching them under `service`.

    `replicate_through`, given the primary's port and a replica's number, returns the port that
    replica replicates from (a proxy in front of the primary, to hold the stream back), or the
    primary's port itself."""

    def __init__(self, service: str = "tarvex", sentinels: int = 3, *, replicas: int = 1,
                 down_after_ms: int = 1500,
                 replicate_through: Callable[[int, int], int] | None = None) -> None:
        self.service = service
        self.folder = tempfile.mkdtemp(prefix="tarvex-sentinel-")
        self.sentinels: list[EmbeddedRedis] = []
        self.primary: EmbeddedRedis | None = None
        self.replicas: list[EmbeddedRedis] = []
        try:
            self.primary = EmbeddedRedis()
            for i in range(replicas):
                source = (replicate_through(self.primary.port, i) if replicate_through
                          else self.primary.port)
                self.replicas.append(EmbeddedRedis("--replicaof", "127.0.0.1", str(source)))
            _wait(lambda: self.replica_in_sync(), 20, "the replicas did not sync")
            quorum = sentinels // 2 + 1
            # at 500 ms the sentinels marked a just-promoted primary down in 17 of 20 failovers
            # here and started a second election that held `wait_failover` for 10 s or more
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

    @property
    def replica(self) -> EmbeddedRedis:
        return self.replicas[0]

    def replica_in_sync(self) -> bool:
        return all(LocalCluster._linked(r) for r in self.replicas)

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
            if int(master["num-slaves"]) < len(self.replicas):
                return False
        return True

    def primary_port(self) -> int:
        return int(self._master(self.sentinels[0])["port"])

    def wait_failover(self, old_port: int, seconds: float = 60) -> None:
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
        for server in (*self.replicas, self.primary):
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
