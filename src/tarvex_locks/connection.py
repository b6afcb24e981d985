"""Command-line connection options shared by the project's commands, and the one-line failure
they all report."""
from __future__ import annotations

import argparse
import signal
import sys
from typing import Any, NoReturn

import redis
from redis.backoff import NoBackoff
from redis.retry import Retry


class Failure(Exception):
    """Ends a command with one line on stderr and exit status 2."""


class Stopped(BaseException):
    """A signal asked the command to stop: it cleans up, then exits 128 + the signal."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class DefaultsFormatter(argparse.ArgumentDefaultsHelpFormatter):
    """Shows each option's default, where it has one worth showing."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        if action.default in (None, False) or action.default is argparse.SUPPRESS:
            return action.help
        return super()._get_help_string(action)


class OneLineParser(argparse.ArgumentParser):
    """Bad input is reported in one line, exit status 2."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("formatter_class", DefaultsFormatter)
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see --help)\n")


def sentence(text: str) -> str:
    return text[:1].upper() + text[1:]


def run_command(prog: str, body: Any, argv: list[str] | None = None) -> int:
    """Runs `body(argv)`, turning a Failure or a refused connection into one line and exit 2."""
    try:
        return int(body(argv))
    except Failure as e:
        print(f"{prog}: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except Stopped as e:
        print(f"{prog}: stopped by {signal.Signals(e.signum).name}", file=sys.stderr)
        return 128 + e.signum


def add_server_options(p: argparse.ArgumentParser, default: str | None = "127.0.0.1:6379",
                       when_absent: str = "") -> None:
    g = p.add_argument_group("server")
    g.add_argument("--redis", metavar="HOST:PORT", default=default,
                   help="the Redis server (with --cluster: any node of the cluster)"
                        + (f" (default: {when_absent})" if when_absent else ""))
    g.add_argument("--username", help="user name for Redis authentication")
    g.add_argument("--password", help="password for Redis authentication")
    g.add_argument("--tls", action="store_true", help="connect with TLS")
    g.add_argument("--tls-ca", metavar="FILE", help="CA certificates file")
    g.add_argument("--tls-cert", metavar="FILE", help="client certificate file")
    g.add_argument("--tls-key", metavar="FILE", help="client key file")


def split_address(text: str) -> tuple[str, int]:
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise Failure(f"bad server address {text!r}: expected HOST:PORT")
    return host, int(port)


def unreadable(path: str | None) -> str | None:
    """Why the file at `path` cannot be read, or None (also for no path)."""
    if path is None:
        return None
    try:
        with open(path, "rb"):
            return None
    except OSError as e:
        return e.strerror or str(e)


def connect_options(args: argparse.Namespace) -> dict[str, Any]:
    """The keywords of `Quorvane.connect` (and of redis-py's clients) that the options give."""
    options: dict[str, Any] = {"username": args.username, "password": args.password}
    if args.tls:
        for option, path in (("--tls-ca", args.tls_ca), ("--tls-cert", args.tls_cert),
                             ("--tls-key", args.tls_key)):
            why = unreadable(path)
            if why:
                raise Failure(f"cannot read the file of {option}, {path!r}: {why}")
        options.update(ssl=True, ssl_ca_certs=args.tls_ca, ssl_certfile=args.tls_cert,
                       ssl_keyfile=args.tls_key)
    return options


# A tool talks to an operator: a dead server is reported at once, not after client retries.
QUICK: dict[str, Any] = {"socket_connect_timeout": 1.5, "socket_timeout": 5.0,
                         "retry": Retry(NoBackoff(), 0)}


def reason(error: BaseException) -> str:
    """The client's reason for a failure, without its own framing."""
    text = str(error) or type(error).__name__
    return text.rstrip(".")


AUTH_REFUSED = ("WRONGPASS", "invalid username-password", "invalid password")
AUTH_WANTED = ("NOAUTH", "Authentication required", "HELLO must be called")


def unreachable(where: str, error: BaseException, password: str | None = None) -> Failure:
    """The one line for a server that cannot be used, naming an authentication fault as such."""
    text = str(error)
    if isinstance(error, redis.exceptions.AuthenticationError) or any(
            mark in text for mark in AUTH_REFUSED + AUTH_WANTED):
        if password is None or any(mark in text for mark in AUTH_WANTED):
            return Failure(f"the server at {where} requires a password: give it with --password"
                           " (and --username for an ACL user)")
        return Failure(f"the server at {where} refused the user name or password")
    return Failure(f"cannot use the Redis server at {where}: {reason(error)}")


def check_reachable(host: str, port: int, options: dict[str, Any]) -> None:
    """Pings the server once, quickly; a Failure if that fails."""
    client = redis.Redis(host=host, port=port, **options, **QUICK)
    try:
        client.ping()
    except (redis.exceptions.RedisError, OSError) as e:
        raise unreachable(f"{host}:{port}", e, options.get("password")) from e
    finally:
        client.close()
