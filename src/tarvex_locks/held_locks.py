"""tarvex-locks: list the locks that Quorvane holds in Redis, watch them, and delete those of
dead holders.

Keys are found by pattern (SCAN, never KEYS) on one server, on every master of a cluster
(--cluster) or on the primary that sentinels name (--sentinel SERVICE). Each is shown with its
holder and state: `alive` or `dead` for a lock that names its holder (the tracked classes),
whose process keeps a heartbeat key while it runs; `unknown` for a plain Quorvane lock, which
names nobody. `delete --dead` deletes only keys whose holder is dead, each only if its value is
still exactly the one listed.

Idle time is Redis's: seconds since a client last wrote or read the key. Every attempt of a
waiting acquire touches the key, so a lock that is waited on never looks idle, and a holder
busy in a long section looks idle: idle time says nothing of whether the holder is alive.
"""
from __future__ import annotations

import argparse
import json
import math
import re
import sys
import time
from dataclasses import dataclass
from typing import Any

import redis
from rich.console import Console
from rich.table import Table

from tarvex_locks import fair, holders
from tarvex_locks.connection import (QUICK, DefaultsFormatter, Failure, OneLineParser,
                                     add_server_options, connect_options, run_command, sentence,
                                     split_address, unreachable)

PROG = "tarvex-locks"
BATCH = 500


@dataclass
class HeldLock:
    key: bytes
    node: str
    idle_seconds: int
    value: bytes
    state: str = "unknown"
    waiters: int = 0  # a fair lock's queue

    @property
    def name(self) -> str:
        return self.key.decode("utf-8", "backslashreplace")

    @property
    def metadata(self) -> Any:
        """None for an empty value (no metadata), the parsed JSON without the holder record,
        or {"(not JSON)": text}."""
        return holders.parse(self.value)[0]

    @property
    def holder(self) -> holders.Holder | None:
        return holders.parse(self.value)[1]

    def as_json(self) -> dict[str, Any]:
        holder = self.holder
        return {"key": self.name, "node": self.node, "idle_seconds": self.idle_seconds,
                "state": self.state, "holder": holder.as_json() if holder else None,
                "waiters": self.waiters, "metadata": self.metadata}


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


def seconds(text: str) -> float:
    """A positive number of seconds."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"expected a number of seconds above 0, got {text!r}")
    return value


def duration(text: str) -> float:
    """Seconds from "90", "90s", "15m", "2h" or "1d"."""
    m = DURATION.match(text.strip())
    if not m:
        raise argparse.ArgumentTypeError(f"bad duration {text!r}: use e.g. 90s, 15m, 2h, 1d")
    return float(m.group(1)) * {"": 1, "s": 1, "m": 60, "h": 3600, "d": 86400}[m.group(2)]


@dataclass
class Servers:
    """The servers to scan, and a client that reaches any key (for heartbeats and deletes)."""

    scanned: list[tuple[str, redis.Redis]]
    router: Any

    def close(self) -> None:
        for _, client in self.scanned:
            client.close()
        self.router.close()  # the same client again, for one server: closing twice is fine


def primary_of(args: argparse.Namespace, host: str, port: int) -> tuple[str, int]:
    from redis.sentinel import Sentinel

    sentinel = Sentinel([(host, port)], socket_timeout=QUICK["socket_timeout"],
                        socket_connect_timeout=QUICK["socket_connect_timeout"])
    try:
        found: tuple[str, int] = tuple(sentinel.discover_master(args.sentinel))
        return found
    except redis.sentinel.MasterNotFoundError as e:
        raise Failure(f"the sentinel at {host}:{port} knows no primary named"
                      f" {args.sentinel!r}") from e
    finally:
        for s in sentinel.sentinels:
            s.close()


def check_mode(args: argparse.Namespace, where: str, client: redis.Redis) -> None:
    """One clear line when the server is not the kind of server the options say."""
    mode = client.info("server").get("redis_mode", "standalone")
    if mode == "sentinel":
        raise Failure(f"{where} is a sentinel, which holds no locks: give --sentinel SERVICE to"
                      " list the locks of its primary")
    if args.cluster and mode != "cluster":
        raise Failure(f"{where} is not a cluster node (cluster support is off): leave out"
                      " --cluster")
    if not args.cluster and mode == "cluster":
        raise Failure(f"{where} is a cluster node: add --cluster to list every master")


def servers(args: argparse.Namespace) -> Servers:
    """A client per server to scan: the one server, the primary, or every master."""
    host, port = split_address(args.redis)
    options = {**connect_options(args), **QUICK}
    where = f"{host}:{port}"
    try:
        if args.sentinel:
            host, port = primary_of(args, host, port)
            where = f"{host}:{port}"
        client = redis.Redis(host=host, port=port, **options)
        check_mode(args, where, client)
        if not args.cluster:
            return Servers([(where, client)], client)
        client.close()
        from redis.cluster import RedisCluster

        cluster: Any = RedisCluster(host=host, port=port, **options)
        found = []
        for node_host, node_port in sorted((n.host, n.port) for n in cluster.get_primaries()):
            node = redis.Redis(host=node_host, port=node_port, **options)
            node.ping()
            found.append((f"{node_host}:{node_port}", node))
        return Servers(found, cluster)
    except (redis.exceptions.RedisError, OSError) as e:
        raise unreachable(where, e, args.password) from e


def touchless(client: Any) -> None:
    """Keeps this connection's reads from touching keys, where the server can (7.2 and later)."""
    try:
        client.execute_command("CLIENT", "NO-TOUCH", "ON")
    except redis.exceptions.ResponseError:
        pass


def scan_server(where: str, client: redis.Redis, pattern: str,
                older_than: float | None) -> list[HeldLock]:
    touchless(client)
    keys = [k for k in client.scan_iter(match=pattern, count=1000, _type="STRING")
            if not k.startswith(holders.OWN_PREFIX.encode())]  # heartbeats, fair locks' keys
    found: list[HeldLock] = []
    for start in range(0, len(keys), BATCH):
        batch = keys[start:start + BATCH]
        pipe = client.pipeline(transaction=False)
        for key in batch:
            pipe.object("idletime", key)  # touches nothing
        idle = pipe.execute(raise_on_error=False)
        shown = [(key, int(i)) for key, i in zip(batch, idle)
                 if isinstance(i, int) and (older_than is None or i >= older_than)]
        pipe = client.pipeline(transaction=False)
        for key, _ in shown:
            pipe.get(key)  # only the keys that will be shown
            pipe.zcard(fair.names(key.decode("utf-8", "surrogateescape")).queue)
        replies = pipe.execute(raise_on_error=False)
        for (key, seconds), value, waiting in zip(shown, replies[::2], replies[1::2]):
            if isinstance(value, bytes):  # else released while we looked
                found.append(HeldLock(key, where, seconds, value, waiters=int(waiting)
                                      if isinstance(waiting, int) else 0))
    return found


def judge(router: Any, locks: list[HeldLock]) -> None:
    """Sets each lock's state from its holder's heartbeat."""
    alive: dict[str, bool] = {}
    for lock in locks:
        holder = lock.holder
        if holder is None:
            lock.state = "unknown"
            continue
        if holder.process not in alive:
            alive[holder.process] = bool(router.exists(holder.heartbeat_key))
        lock.state = "alive" if alive[holder.process] else "dead"


def scan(found_on: Servers, pattern: str, older_than: float | None) -> list[HeldLock]:
    found: list[HeldLock] = []
    for where, client in found_on.scanned:
        try:
            found += scan_server(where, client, pattern, older_than)
        except (redis.exceptions.RedisError, OSError) as e:
            raise unreachable(where, e) from e
    try:
        judge(found_on.router, found)
    except (redis.exceptions.RedisError, OSError) as e:
        raise unreachable("the heartbeat keys' server", e) from e
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


STATE_STYLE = {"alive": "green", "dead": "bold red", "unknown": "yellow"}


def table_of(locks: list[HeldLock], cluster: bool, live: bool = False) -> Table:
    """The listing's table; `live` (watch) adds how long each lock is held and its waiters."""
    title = f"{len(locks)} held lock{'s' if len(locks) != 1 else ''}"
    table = Table(title=title + (time.strftime(" at %H:%M:%S") if live else ""))
    table.add_column("key", overflow="fold")
    if cluster:
        table.add_column("master")
    columns = ("held for", "waiters", "idle") if live else ("idle",)
    for column in (*columns, "state", "holder", "metadata"):
        table.add_column(column, justify="left" if column in ("state", "holder", "metadata")
                         else "right", overflow="fold")
    now_ms = time.time() * 1000
    for lock in locks:
        meta = "" if lock.metadata is None else json.dumps(lock.metadata, ensure_ascii=False)
        holder = lock.holder
        who = f"{holder.host} pid {holder.pid}" if holder else "-"
        state = f"[{STATE_STYLE[lock.state]}]{lock.state}[/]"
        figures = [human(lock.idle_seconds)]
        if live:
            since = holder.since if holder else None
            held = "-" if since is None else human(max(0, int((now_ms - since) / 1000)))
            figures = [held, str(lock.waiters), *figures]
        table.add_row(lock.name, *([lock.node] if cluster else []), *figures, state, who, meta)
    return table


def show(locks: list[HeldLock], cluster: bool) -> None:
    Console().print(table_of(locks, cluster))


def watch(found_on: Servers, pattern: str, every: float, count: int | None,
          cluster: bool) -> int:
    """The table, refreshed every `every` seconds until Ctrl-C (or `count` tables)."""
    from rich.live import Live

    shown = 0
    try:
        with Live(table_of(scan(found_on, pattern, None), cluster, live=True),
                  auto_refresh=False) as live:
            shown += 1
            while count is None or shown < count:
                time.sleep(every)
                live.update(table_of(scan(found_on, pattern, None), cluster, live=True),
                            refresh=True)
                shown += 1
    except KeyboardInterrupt:
        pass  # Ctrl-C is how a watch ends
    return 0


def choose(locks: list[HeldLock], dead: bool, force: bool) -> tuple[list[HeldLock], list[str]]:
    """The keys to delete, and why the others are kept."""
    chosen = [lock for lock in locks if not dead or lock.state == "dead"
              or (force and lock.state == "unknown")]
    notes = []
    if dead:
        alive = sum(lock.state == "alive" for lock in locks)
        unknown = sum(lock.state == "unknown" for lock in locks)
        if alive:
            notes.append(f"{alive} with a live holder kept")
        if unknown and not force:
            notes.append(f"{unknown} without a holder record kept: these are plain Quorvane"
                         " locks, so nothing shows whether their holders are alive; make sure"
                         " they are gone, then add --force")
    return chosen, notes


def delete(found_on: Servers, locks: list[HeldLock]) -> tuple[int, int]:
    """Deletes each lock whose value is unchanged and, if it names a holder that was dead, whose
    holder is dead still; returns (deleted, kept)."""
    clients = dict(found_on.scanned)
    deleted = 0
    for lock in locks:
        try:
            holder = lock.holder
            if lock.state == "dead" and holder and found_on.router.exists(holder.heartbeat_key):
                continue  # its heartbeat is back: not dead after all
            outcome = clients[lock.node].eval(holders.DELETE_IF, 1, lock.key, lock.value)
            deleted += int(outcome) == 1
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
    where = p.add_mutually_exclusive_group()
    where.add_argument("--cluster", action="store_true",
                       help="the server is a node of a Redis Cluster: scan every master")
    where.add_argument("--sentinel", metavar="SERVICE",
                       help="the server is a sentinel: scan the primary it names SERVICE")
    sub = p.add_subparsers(dest="command", required=True, metavar="{list,delete,watch}")
    w = sub.add_parser("watch", help="a live table of held locks, refreshed like top",
                       description="A live table of held locks, refreshed like top; Ctrl-C"
                                   " ends it.", formatter_class=DefaultsFormatter)
    w.error = p.error  # type: ignore[method-assign]
    w.add_argument("pattern", nargs="?", default="*",
                   help="glob of the lock keys (the address texts), as Redis SCAN MATCH")
    w.add_argument("--every", type=seconds, default=2.0, metavar="SECONDS",
                   help="seconds between tables")
    w.add_argument("--count", type=int, metavar="N", help="stop after N tables")
    for name, text in (("list", "list held locks"), ("delete", "delete chosen held locks")):
        s = sub.add_parser(name, help=text, description=sentence(text),
                           formatter_class=DefaultsFormatter)
        s.error = p.error  # type: ignore[method-assign]
        s.add_argument("pattern", nargs="?" if name == "list" else None,
                       default="*" if name == "list" else None,
                       help="glob of the lock keys (the address texts), as Redis SCAN MATCH")
        s.add_argument("--older-than", type=duration, metavar="DURATION",
                       help="only keys idle at least this long (90s, 15m, 2h, 1d): untouched,"
                            " which is not the same as abandoned")
        s.add_argument("--json", action="store_true", help="print JSON instead of a table")
        if name == "delete":
            s.add_argument("--dead", action="store_true",
                           help="only keys whose holder is dead (its heartbeat is gone)")
            s.add_argument("--force", action="store_true",
                           help="with --dead: also keys that name no holder; alone: every"
                                " listed key, live holders' too")
            s.add_argument("--yes", action="store_true", help="delete without asking")
    args = p.parse_args(argv)
    if args.command == "delete" and not (args.dead or args.force):
        p.error("say which keys: --dead (only keys whose holder is dead) or --force (every"
                " listed key, whether its holder is alive or not)")
    return args


def strict_json(data: Any) -> str:
    """JSON that any parser takes: values are parsed strictly (`holders.parse`), so no NaN."""
    return json.dumps(data, ensure_ascii=False, allow_nan=False)


def main_body(argv: list[str] | None) -> int:
    args = parse_args(argv)
    pattern = check_pattern(args.pattern)
    found_on = servers(args)
    try:
        if args.command == "watch":
            return watch(found_on, pattern, args.every, args.count, args.cluster)
        locks = scan(found_on, pattern, args.older_than)
        if args.command == "list":
            if args.json:
                print(strict_json([lock.as_json() for lock in locks]))
            else:
                show(locks, args.cluster)
            return 0
        chosen, notes = choose(locks, args.dead, args.force)
        if not args.json:
            show(locks, args.cluster)
            for note in notes:
                print(sentence(note) + ".")
        if not chosen:
            print(strict_json({"listed": [lock.as_json() for lock in locks], "deleted": 0,
                               "kept": len(locks)}) if args.json
                  else "Nothing to delete.")
            return 0
        if not args.yes and not confirm(len(chosen)):
            print("Nothing deleted.", file=sys.stderr)
            return 1
        deleted, changed = delete(found_on, chosen)
        if args.json:
            print(strict_json({"listed": [lock.as_json() for lock in locks], "deleted": deleted,
                               "kept": len(locks) - deleted}))
        else:
            print(f"Deleted {deleted} of {len(chosen)} chosen keys"
                  + (f"; {changed} changed since they were listed (taken again, or the holder"
                     " came back) and were kept." if changed else "."))
        return 0
    finally:
        found_on.close()


def main(argv: list[str] | None = None) -> int:
    return run_command(PROG, main_body, argv)


if __name__ == "__main__":
    sys.exit(main())
