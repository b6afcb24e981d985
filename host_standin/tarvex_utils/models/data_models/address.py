class Address:
    """Names one locked resource; equal addresses give equal text."""

    __slots__ = ("_text",)

    def __init__(self, *parts: str) -> None:
        self._text = "/".join(parts)

    def to_string(self) -> str:
        return self._text

    def __hash__(self) -> int:
        return hash(self._text)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Address) and other._text == self._text

    def __repr__(self) -> str:
        return f"Address({self._text!r})"
