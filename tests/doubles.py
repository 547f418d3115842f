"""Test doubles shared by the suites: a number that is no int, and a stand-in `threading` module."""


class IntLike:
    """A number that is not an int: the binding reaches its value only through __int__."""

    def __init__(self, v=42):
        self.v = v

    def __int__(self):
        return self.v


class FakeThreading:
    """Stands in for a module's `threading` global: each Lock() is make_lock(), kept in `locks`."""

    def __init__(self, make_lock):
        self.make_lock, self.locks = make_lock, []

    def Lock(self):
        self.locks.append(self.make_lock())
        return self.locks[-1]
