class TarvexConnectionError(Exception):
    """Raised when a lock back-end is used before it is connected."""
