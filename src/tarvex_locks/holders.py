"""Holder records: what a tracked lock's value says about who holds it, and the heartbeat key
that says whether that holder's process is still alive.

A tracked lock's value is the JSON text of an object: the caller's metadata (a dict) with one
more key, `"tarvex.holder"`, whose value names the holder:

    {"worker": "w1", "tarvex.holder": {"host": "web-3", "pid": 4711,
                                       "process": "5f0c9d7e2b1a4c38", "token": "9a41c07e5d2f3b60"}}

`process` is drawn at random when a process first tracks a lock (again in a forked child), so it
does not repeat when the system reuses a pid; `token` is drawn anew for every acquire. The
process's heartbeat key, `tarvex-locks:alive:<process>`, carries a time-to-live that the process
keeps refreshing: a holder whose heartbeat key is gone is dead. Its value names the process and
a `life`, drawn when the key is written anew, so that the process can tell a key that lived on
from one that lapsed and was written again.

A plain `Quorvane` value (empty text, or the metadata's JSON) has no holder record.
"""
from __future__ import annotations

import json
import os
import random
import socket
import time
from dataclasses import dataclass
from typing import Any

HOLDER_KEY = "tarvex.holder"
OWN_PREFIX = "tarvex-locks:"  # the package's own keys, which are not locks
HEARTBEAT_PREFIX = OWN_PREFIX + "alive:"
NOT_CONNECTED = "Quorvane is not connected. Call connect() before using this method."

# One attempt, for servers before 7.0 (which refuse SET ... NX GET): write the key if it is
# free and answer nothing; otherwise answer what holds it.
TAKE = """
local current = redis.call('GET', KEYS[1])
if current then return current end
redis.call('SET', KEYS[1], ARGV[1])
return false
"""

# Deletes the key only if it still holds exactly this value: 1 if deleted, 0 if the key is
# gone (perhaps deleted by this same call, sent again after its reply was lost), -1 if another
# value holds it.
DELETE_IF = """
local current = redis.call('GET', KEYS[1])
if current == ARGV[1] then
    return redis.call('DEL', KEYS[1])
end
if current then return -1 end
return 0
"""

# Refreshes a heartbeat: a key still there keeps its value (its life) and a time-to-live of at
# least the one asked for (never less: instances with a longer TTL count on it); a lapsed one is
# written anew with the proposed value. Answers the value now held.
BEAT = """
local current = redis.call('GET', KEYS[1])
if current then
    if redis.call('PTTL', KEYS[1]) < tonumber(ARGV[2]) then
        redis.call('PEXPIRE', KEYS[1], ARGV[2])
    end
    return current
end
redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2])
return ARGV[1]
"""


@dataclass(frozen=True)
class Holder:
    host: str
    pid: int
    process: str
    token: str
    fence: int | None = None  # a fair lock's fencing token
    since: int | None = None  # when it was asked for, ms since the epoch (the holder's clock)

    @property
    def heartbeat_key(self) -> str:
        return HEARTBEAT_PREFIX + self.process

    def as_json(self) -> dict[str, Any]:
        shown: dict[str, Any] = {"host": self.host, "pid": self.pid, "process": self.process,
                                 "token": self.token}
        for name in ("since", "fence"):
            if getattr(self, name) is not None:
                shown[name] = getattr(self, name)
        return shown


class _Identity:
    """This process as a holder; drawn again in a forked child."""

    def __init__(self) -> None:
        self.host = socket.gethostname()
        self.pid = os.getpid()
        self.process = os.urandom(8).hex()
        self.heartbeat_key = HEARTBEAT_PREFIX + self.process
        # the holder record up to its token, as json.dumps writes it
        self.record_head = (f'"{HOLDER_KEY}": {{"host": {json.dumps(self.host)}, "pid": {self.pid},'
                            f' "process": "{self.process}", "token": "')

    def heartbeat_value(self) -> bytes:
        """A heartbeat value with a new life, proposed by each refresh."""
        return json.dumps({"host": self.host, "pid": self.pid,
                           "life": os.urandom(8).hex()}).encode()


identity = _Identity()


def _renew_identity() -> None:
    global identity
    identity = _Identity()
    _tokens.seed()


os.register_at_fork(after_in_child=_renew_identity)


def _metadata_head(metadata: Any) -> str:
    if metadata is None:
        return "{"
    if not isinstance(metadata, dict):
        raise TypeError("metadata of a tracked lock must be a dict or None, not "
                        f"{type(metadata).__name__}")
    if HOLDER_KEY in metadata:
        raise ValueError(f"the metadata key {HOLDER_KEY!r} is reserved for the holder record")
    try:
        text = json.dumps(metadata, allow_nan=False)
    except (TypeError, ValueError) as e:  # nothing is written: the value is made first
        raise TypeError(f"metadata of a tracked lock must be JSON-encodable: {e}") from None
    return "{" if text == "{}" else text[:-1] + ", "


_tokens = random.Random()  # its own: a caller's random.seed() must not repeat our tokens


def token() -> str:
    """An acquire's token: it only has to differ from this process's other tokens (the
    process part is drawn from the system's randomness), so no system call per acquire."""
    return f"{_tokens.getrandbits(64):016x}"


def lock_value(metadata: Any) -> bytes:
    """The value of one acquire: the caller's metadata plus a holder record with a new token
    and the time of the acquire (ms since the epoch)."""
    head = "{" if metadata is None else _metadata_head(metadata)  # the common case, inline
    return (f'{head}{identity.record_head}{_tokens.getrandbits(64):016x}", "since": '
            f'{time.time_ns() // 1_000_000}}}}}').encode()


def fair_head(metadata: Any) -> tuple[bytes, str]:
    """(the value of one fair acquire up to its fencing token, which the server appends with
    the closing `}}`; the acquire's token)."""
    drawn = token()
    return (f'{_metadata_head(metadata)}{identity.record_head}{drawn}", "since": '
            f'{time.time_ns() // 1_000_000}, "fence": ').encode(), drawn


def _not_json(constant: str) -> Any:
    raise ValueError(f"{constant} is not JSON")


def parse(value: bytes | str | None) -> tuple[Any, Holder | None]:
    """(the caller's metadata, the holder record) of a lock value; a plain value has no
    record, and a value that is not strict JSON (NaN, Infinity, nesting deeper than the parser
    goes) comes back as {"(not JSON)": text}, so that whatever a key holds can be shown."""
    if value is None:
        return None, None
    text = value.decode("utf-8", "backslashreplace") if isinstance(value, bytes) else value
    if not text:
        return None, None
    try:
        data = json.loads(text, parse_constant=_not_json)
    except (ValueError, RecursionError):
        return {"(not JSON)": text}, None
    if not isinstance(data, dict) or not isinstance(data.get(HOLDER_KEY), dict):
        return data, None
    record = data[HOLDER_KEY]
    fields = tuple(record.get(name) for name in ("host", "pid", "process", "token", "fence",
                                                 "since"))
    if not (type(fields[1]) is int and all(isinstance(fields[i], str) for i in (0, 2, 3))
            and all(fields[i] is None or type(fields[i]) is int for i in (4, 5))):
        return data, None  # not a record of ours: shown as it is
    del data[HOLDER_KEY]
    return data, Holder(*fields)


def as_bytes(value: bytes | str) -> bytes:
    return value if isinstance(value, bytes) else value.encode()
