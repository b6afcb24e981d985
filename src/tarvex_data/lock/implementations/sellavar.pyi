from threading import Lock
from typing import Any

from tarvex_data.data_models.lock_object import LockObject
from tarvex_data.lock.base import LockBase
from tarvex_utils.models.data_models.address import Address

class Sellavar(LockBase):
    locks: dict[Address, Lock]
    lock_data: dict[Address, LockObject]
    def connect(self, *args: Any, **kwargs: Any) -> None: ...
    def disconnect(self) -> None: ...
    @property
    def is_connected(self) -> bool: ...
    @property
    def is_alive(self) -> bool: ...
    def __init__(self) -> None: ...
    def acquire(
        self,
        target_address: Address,
        *,
        timeout_ms: int = -1,
        blocking: bool = True,
        metadata: dict[str, Any] | None = None,
    ) -> bool: ...
    def release(self, target_address: Address) -> None: ...
