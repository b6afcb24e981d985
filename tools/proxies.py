"""Loopback TCP proxies in front of a Redis server, for injecting faults that a real network
shows and loopback does not: a lost reply, a replica that lags, a link that stalls."""
import collections
import socket
import threading
import time


def _shut(s: socket.socket) -> None:
    """Closes at once, waking the other direction's thread blocked on the same socket."""
    try:
        s.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    s.close()


class Proxy:
    """Passes bytes both ways; subclasses decide what happens to each chunk."""

    def __init__(self, upstream_port: int) -> None:
        self.upstream_port = upstream_port
        self.lock = threading.Lock()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._open: list[socket.socket] = []
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self) -> None:
        _shut(self._listener)
        for s in list(self._open):
            _shut(s)

    def up(self, data: bytes, state: dict) -> None:
        """Sees each chunk the client sends, before it goes on."""

    def down(self, data: bytes, state: dict) -> bytes | None:
        """Sees each chunk the server sends and returns what goes on; None ends the
        connection."""
        return data

    def _accept(self) -> None:
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return  # closed
            try:
                server = socket.create_connection(("127.0.0.1", self.upstream_port))
            except OSError:
                _shut(client)  # the server is gone: so is this connection
                continue
            self._open += [client, server]
            state: dict = {}
            threading.Thread(target=self._pump_up, args=(client, server, state),
                             daemon=True).start()
            threading.Thread(target=self._pump_down, args=(client, server, state),
                             daemon=True).start()

    def _pump_up(self, client: socket.socket, server: socket.socket, state: dict) -> None:
        try:
            while data := client.recv(65536):
                self.up(data, state)
                server.sendall(data)
        except OSError:
            pass
        _shut(server)

    def _pump_down(self, client: socket.socket, server: socket.socket, state: dict) -> None:
        try:
            while data := server.recv(65536):
                out = self.down(data, state)
                if out is None:
                    break
                client.sendall(out)
        except OSError:
            pass
        _shut(client)
        _shut(server)


class ReplyDropper(Proxy):
    """Loses the reply to a SET: passes the command on and, when the server answers, closes the
    client's connection unanswered."""

    def __init__(self, upstream_port: int) -> None:
        self.drops_left = 0
        self.skips_left = 0
        self.dropped = 0
        self.sets_seen = 0
        super().__init__(upstream_port)

    def drop_next_set_replies(self, n: int = 1, after: int = 0) -> None:
        """Loses the replies to the n SETs that follow the next `after` ones."""
        with self.lock:
            self.drops_left, self.skips_left = n, after

    def up(self, data: bytes, state: dict) -> None:
        if b"\r\nSET\r\n" in data.upper():
            with self.lock:
                self.sets_seen += 1
                if self.skips_left > 0:
                    self.skips_left -= 1
                elif self.drops_left > 0:
                    self.drops_left -= 1
                    state["drop"] = True

    def down(self, data: bytes, state: dict) -> bytes | None:
        if state.get("drop"):
            with self.lock:
                self.dropped += 1
            return None  # the write is applied; its answer never arrives
        return data


class HoldingProxy(Proxy):
    """Between a replica and its primary: after `hold()`, what the primary sends is not passed
    on, so the replica lags and never gets those writes."""

    def __init__(self, upstream_port: int) -> None:
        self.holding = threading.Event()
        super().__init__(upstream_port)

    def hold(self) -> None:
        self.holding.set()

    def down(self, data: bytes, state: dict) -> bytes | None:
        return b"" if self.holding.is_set() else data


class StallingProxy(Proxy):
    """A link that stalls: after `stall()` nothing passes either way until `heal()`, and then
    what was sent meanwhile arrives, in order (a partition that heals)."""

    def __init__(self, upstream_port: int) -> None:
        self.flowing = threading.Event()
        self.flowing.set()
        super().__init__(upstream_port)

    def stall(self) -> None:
        self.flowing.clear()

    def heal(self) -> None:
        self.flowing.set()

    def up(self, data: bytes, state: dict) -> None:
        self.flowing.wait()

    def down(self, data: bytes, state: dict) -> bytes | None:
        self.flowing.wait()
        return data


class LaggingProxy(Proxy):
    """In front of a primary: what it sends its replicas arrives `delay` seconds late, and what
    is still on its way when it dies never arrives. Clients' connections pass unchanged."""

    def __init__(self, upstream_port: int, delay: float) -> None:
        self.delay = delay
        super().__init__(upstream_port)

    def up(self, data: bytes, state: dict) -> None:
        if b"REPLCONF" in data.upper() or b"PSYNC" in data.upper():
            state["replica"] = True

    def _pump_down(self, client: socket.socket, server: socket.socket, state: dict) -> None:
        pending: collections.deque = collections.deque()
        arrived = threading.Condition()
        ended = []

        def deliver() -> None:
            while True:
                with arrived:
                    while not pending and not ended:
                        arrived.wait()
                    if ended:
                        return
                    at, data = pending[0]
                wait = at + self.delay - time.monotonic() if state.get("replica") else 0
                if wait > 0:
                    time.sleep(wait)
                with arrived:
                    if ended:
                        return
                    pending.popleft()
                try:
                    client.sendall(data)
                except OSError:
                    return

        threading.Thread(target=deliver, daemon=True).start()
        try:
            while data := server.recv(65536):
                with arrived:
                    pending.append((time.monotonic(), data))
                    arrived.notify()
        except OSError:
            pass
        with arrived:
            ended.append(True)  # the primary is gone: what it sent last is lost with it
            arrived.notify()
        _shut(client)
        _shut(server)
