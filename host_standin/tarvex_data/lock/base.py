class LockBase:
    """Base of the lock back-ends; accepts and ignores any constructor arguments."""

    def __init__(self, *args: object, **kwargs: object) -> None:
        pass
