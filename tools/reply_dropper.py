"""A loopback proxy in front of a Redis server that can lose the reply to a SET: it passes the
command on and, when the server answers, closes the client's connection unanswered."""
import socket
import threading


class ReplyDropper:
    def __init__(self, upstream_port: int) -> None:
        self.upstream_port = upstream_port
        self.drops_left = 0
        self.dropped = 0
        self.sets_seen = 0
        self._lock = threading.Lock()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._open: list[socket.socket] = []
        threading.Thread(target=self._accept, daemon=True).start()

    def drop_next_set_replies(self, n: int = 1) -> None:
        with self._lock:
            self.drops_left = n

    def close(self) -> None:
        _shut(self._listener)
        for s in list(self._open):
            _shut(s)

    def _accept(self) -> None:
        while True:
            try:
                client, _ = self._listener.accept()
                server = socket.create_connection(("127.0.0.1", self.upstream_port))
            except OSError:
                return
            self._open += [client, server]
            pending = threading.Event()  # a SET went up whose answer must be lost
            threading.Thread(target=self._up, args=(client, server, pending), daemon=True).start()
            threading.Thread(target=self._down, args=(client, server, pending),
                             daemon=True).start()

    def _up(self, client: socket.socket, server: socket.socket, pending: threading.Event) -> None:
        try:
            while data := client.recv(65536):
                if b"\r\nSET\r\n" in data.upper():
                    with self._lock:
                        self.sets_seen += 1
                        if self.drops_left > 0:
                            self.drops_left -= 1
                            pending.set()
                server.sendall(data)
        except OSError:
            pass
        _shut(server)

    def _down(self, client: socket.socket, server: socket.socket,
              pending: threading.Event) -> None:
        try:
            while data := server.recv(65536):
                if pending.is_set():
                    with self._lock:
                        self.dropped += 1
                    break  # the write is applied; its answer never arrives
                client.sendall(data)
        except OSError:
            pass
        _shut(client)
        _shut(server)


def _shut(s: socket.socket) -> None:
    """Closes at once, waking the other direction's thread blocked on the same socket."""
    try:
        s.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    s.close()
