class LockObject:
    """Bookkeeping record of one lock: expiry in epoch milliseconds and metadata."""

    __slots__ = ("expires_at", "data")

    def __init__(self, *, expires_at: int, data: object) -> None:
        self.expires_at = expires_at
        self.data = data

    def __repr__(self) -> str:
        return f"LockObject(expires_at={self.expires_at!r}, data={self.data!r})"
