"""tarvex-locks: list the locks that Quorvane holds in a Redis server, and delete chosen ones.

Quorvane's keys never expire, so a holder that crashed blocks its address until someone
deletes its key. This tool finds keys by pattern (SCAN, never KEYS) on one server or on every
master of a cluster, shows each with its metadata and idle time, and deletes what you choose:
only keys it listed, and each only if its value is still the one listed.

Idle time is Redis's: seconds since the key was last touched. Every attempt of a waiting
`acquire` touches the key, so a held key with waiters never looks idle; and before Redis 7.2
reading a value counts as a touch too, so on such servers listing restarts the idle clocks.
"""
from __future__ import annotations

import argparse
import json
import re
import sys
from dataclasses import dataclass
from typing import Any

import redis
from rich.console import Console
from rich.table import Table

from tarvex_locks.connection import (QUICK, DefaultsFormatter, Failure, OneLineParser,
                                     add_server_options, connect_options, run_command, sentence,
                                     split_address, unreachable)

PROG = "tarvex-locks"

# Deletes the key only if it still holds the value that was listed.
COMPARE_AND_DELETE = """
if redis.call('GET', KEYS[1]) == ARGV[1] then
    return redis.call('DEL', KEYS[1])
end
return 0
"""


@dataclass
class HeldLock:
    key: bytes
    node: str
    idle_seconds: int
    value: bytes

    @property
    def name(self) -> str:
        return self.key.decode("utf-8", "backslashreplace")

    @property
    def metadata(self) -> Any:
        """None for an empty value (no metadata), the parsed JSON, or the raw text."""
        text = self.value.decode("utf-8", "backslashreplace")
        if not text:
            return None
        try:
            return json.loads(text)
        except ValueError:
            return {"(not JSON)": text}

    def as_json(self) -> dict[str, Any]:
        return {"key": self.name, "node": self.node, "idle_seconds": self.idle_seconds,
                "metadata": self.metadata}


def check_pattern(pattern: str) -> str:
    """A glob that Redis matches as meant: not empty, brackets closed, no trailing escape."""
    if not pattern:
        raise Failure("bad pattern '': give at least one character, or '*' for every key")
    i, n = 0, len(pattern)
    while i < n:
        c = pattern[i]
        if c == "\\":
            if i + 1 == n:
                raise Failure(f"bad pattern {pattern!r}: it ends with a lone backslash")
            i += 2
            continue
        if c == "[":
            close = pattern.find("]", i + 2 if pattern[i + 1:i + 2] == "]" else i + 1)
            if close < 0:
                raise Failure(f"bad pattern {pattern!r}: '[' at {i} is never closed")
            i = close
        i += 1
    return pattern


DURATION = re.compile(r"^(\d+(?:\.\d+)?)([smhd]?)$")


def duration(text: str) -> float:
    """Seconds from "90", "90s", "15m", "2h" or "1d"."""
    m = DURATION.match(text.strip())
    if not m:
        raise argparse.ArgumentTypeError(f"bad duration {text!r}: use e.g. 90s, 15m, 2h, 1d")
    return float(m.group(1)) * {"": 1, "s": 1, "m": 60, "h": 3600, "d": 86400}[m.group(2)]


def masters(args: argparse.Namespace) -> list[tuple[str, redis.Redis]]:
    """A client per server to scan: the one server, or every master of the cluster."""
    host, port = split_address(args.redis)
    options = {**connect_options(args), **QUICK}
    where = f"{host}:{port}"
    try:
        if not args.cluster:
            client = redis.Redis(host=host, port=port, **options)
            client.ping()
            return [(where, client)]
        from redis.cluster import RedisCluster

        cluster: Any = RedisCluster(host=host, port=port, **options)
        try:
            nodes = [(n.host, n.port) for n in cluster.get_primaries()]
        finally:
            cluster.close()
        found = []
        for node_host, node_port in sorted(nodes):
            client = redis.Redis(host=node_host, port=node_port, **options)
            client.ping()
            found.append((f"{node_host}:{node_port}", client))
        return found
    except (redis.exceptions.RedisError, OSError) as e:
        raise unreachable(where, e) from e


def scan(servers: list[tuple[str, redis.Redis]], pattern: str,
         older_than: float | None) -> list[HeldLock]:
    found: list[HeldLock] = []
    client: Any
    for where, client in servers:
        try:
            try:  # keep the listing from touching the keys, where the server can (7.2 and later)
                client.execute_command("CLIENT", "NO-TOUCH", "ON")
            except redis.exceptions.ResponseError:
                pass
            keys = list(client.scan_iter(match=pattern, count=1000, _type="STRING"))
            for start in range(0, len(keys), 500):
                batch = keys[start:start + 500]
                pipe = client.pipeline(transaction=False)
                for key in batch:
                    pipe.object("idletime", key)  # before GET, which may count as a touch
                    pipe.get(key)
                replies = pipe.execute(raise_on_error=False)
                for i, key in enumerate(batch):
                    idle, value = replies[2 * i], replies[2 * i + 1]
                    if idle is None or value is None or isinstance(idle, Exception):
                        continue  # released while we looked
                    if older_than is not None and idle < older_than:
                        continue
                    found.append(HeldLock(key, where, int(idle), value))
        except (redis.exceptions.RedisError, OSError) as e:
            raise unreachable(where, e) from e
    found.sort(key=lambda lock: (-lock.idle_seconds, lock.key))
    return found


def human(seconds: int) -> str:
    if seconds < 60:
        return f"{seconds}s"
    minutes, s = divmod(seconds, 60)
    if minutes < 60:
        return f"{minutes}m{s:02d}s"
    hours, m = divmod(minutes, 60)
    if hours < 48:
        return f"{hours}h{m:02d}m"
    return f"{hours // 24}d{hours % 24:02d}h"


def show(locks: list[HeldLock], cluster: bool) -> None:
    table = Table(title=f"{len(locks)} held lock{'s' if len(locks) != 1 else ''}")
    table.add_column("key", overflow="fold")
    if cluster:
        table.add_column("master")
    table.add_column("idle", justify="right")
    table.add_column("metadata", overflow="fold")
    for lock in locks:
        meta = "" if lock.metadata is None else json.dumps(lock.metadata, ensure_ascii=False)
        row = [lock.name] + ([lock.node] if cluster else []) + [human(lock.idle_seconds), meta]
        table.add_row(*row)
    Console().print(table)


def delete(servers: list[tuple[str, redis.Redis]], locks: list[HeldLock]) -> tuple[int, int]:
    """Deletes each listed key whose value is unchanged; returns (deleted, kept)."""
    clients = dict(servers)
    deleted = 0
    for lock in locks:
        client = clients[lock.node]
        try:
            deleted += int(client.eval(COMPARE_AND_DELETE, 1, lock.key, lock.value))
        except (redis.exceptions.RedisError, OSError) as e:
            raise unreachable(lock.node, e) from e
    return deleted, len(locks) - deleted


def confirm(count: int) -> bool:
    if not sys.stdin.isatty():
        raise Failure(f"{count} keys would be deleted: confirm with --yes when not at a terminal")
    try:
        answer = input(f"Delete these {count} keys? [y/N] ")
    except EOFError:
        return False
    return answer.strip().lower() in ("y", "yes")


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = OneLineParser(prog=PROG, description=sentence(__doc__.split("\n\n")[0].split(": ", 1)[1]))
    add_server_options(p)
    p.add_argument("--cluster", action="store_true",
                   help="the server is a node of a Redis Cluster: scan every master")
    sub = p.add_subparsers(dest="command", required=True, metavar="{list,delete}")
    for name, text in (("list", "list held locks"), ("delete", "delete chosen held locks")):
        s = sub.add_parser(name, help=text, description=sentence(text),
                           formatter_class=DefaultsFormatter)
        s.error = p.error  # type: ignore[method-assign]
        s.add_argument("pattern", nargs="?" if name == "list" else None,
                       default="*" if name == "list" else None,
                       help="glob of the lock keys (the address texts), as Redis SCAN MATCH")
        s.add_argument("--older-than", type=duration, metavar="DURATION",
                       help="only keys idle at least this long (90s, 15m, 2h, 1d)")
        s.add_argument("--json", action="store_true", help="print JSON instead of a table")
        if name == "delete":
            s.add_argument("--yes", action="store_true", help="delete without asking")
    return p.parse_args(argv)


def main_body(argv: list[str] | None) -> int:
    args = parse_args(argv)
    pattern = check_pattern(args.pattern)
    servers = masters(args)
    try:
        locks = scan(servers, pattern, args.older_than)
        if args.command == "list":
            if args.json:
                print(json.dumps([lock.as_json() for lock in locks], ensure_ascii=False))
            else:
                show(locks, args.cluster)
            return 0
        if not locks:
            print(json.dumps({"listed": [], "deleted": 0, "kept": 0}) if args.json
                  else "Nothing matched.")
            return 0
        if not args.json:
            show(locks, args.cluster)
        if not args.yes and not confirm(len(locks)):
            print("Nothing deleted.", file=sys.stderr)
            return 1
        deleted, kept = delete(servers, locks)
        if args.json:
            print(json.dumps({"listed": [lock.as_json() for lock in locks], "deleted": deleted,
                              "kept": kept}, ensure_ascii=False))
        else:
            print(f"Deleted {deleted} of {len(locks)} listed keys"
                  + (f"; {kept} changed since they were listed and were kept." if kept else "."))
        return 0
    finally:
        for _, client in servers:
            client.close()


def main(argv: list[str] | None = None) -> int:
    return run_command(PROG, main_body, argv)


if __name__ == "__main__":
    sys.exit(main())
