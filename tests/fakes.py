"""Recording stand-ins for the Redis client, for steps that a real server cannot show."""


class FakeClient:
    def __init__(self, set_reply=True, fail=None):
        self.calls = []
        self.set_reply = set_reply
        self.fail = fail or {}

    def _record(self, name, *args, **kwargs):
        self.calls.append((name, args, kwargs))
        if name in self.fail:
            raise self.fail[name]

    def set(self, *args, **kwargs):
        self._record("set", *args, **kwargs)
        return self.set_reply

    def delete(self, *args):
        self._record("delete", *args)
        return 1

    def ping(self):
        self._record("ping")
        return self.fail.get("ping_reply", True)

    def close(self):
        self._record("close")

    def names(self):
        return [c[0] for c in self.calls]


class Address:
    def __init__(self, text="res/1", fail=None):
        self.text = text
        self.fail = fail

    def to_string(self):
        if self.fail:
            raise self.fail
        return self.text
