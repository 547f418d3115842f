"""AtomicCounterWrapper, the older Python-level interface of velkora.memory.sync_cells' counter.

The native module builds the class at load time (``_make_wrapper(AtomicCounter)``) and exports it as its
own: it reports ``velkora.memory.sync_cells`` as its module. Import that module, not this one.
"""

from typing import Any

_HOME = "velkora.memory.sync_cells"


def _make_wrapper(AtomicCounter: type[Any]) -> type[Any]:
    """The wrapper class over `AtomicCounter`; costs one class creation."""

    def _int(value: Any) -> int:
        if type(value) is int:
            return value
        tp = type(value)
        if isinstance(value, (str, bytes, bytearray)) or not (
                hasattr(tp, "__int__") or hasattr(tp, "__index__")):
            raise TypeError(f"expected int, got {tp.__name__}")
        return int(value)

    # Parameters are Python ints and the declared-int results pass through int(); lookups happen at
    # call time, so a replaced `_counter` redirects the wrapper.
    class AtomicCounterWrapper:
        """Python wrapper around AtomicCounter, kept for backward compatibility."""

        def __init__(self, initial_value: int = 0) -> None:
            self._counter = AtomicCounter(_int(initial_value))

        def load(self) -> int:
            return _int(self._counter.py_load())

        def store(self, value: int) -> None:
            self._counter.py_store(_int(value))

        def increment(self, delta: int = 1) -> int:
            return _int(self._counter.py_increment(_int(delta)))

        def decrement(self, delta: int = 1) -> int:
            return _int(self._counter.py_decrement(_int(delta)))

        def compare_and_swap(self, expected: int, new_value: int) -> bool:
            swapped: bool = self._counter.py_compare_and_swap(_int(expected), _int(new_value))
            return swapped

        def fetch_and_add(self, delta: int) -> int:
            return _int(self._counter.py_fetch_and_add(_int(delta)))

    AtomicCounterWrapper.__module__ = _HOME
    AtomicCounterWrapper.__qualname__ = "AtomicCounterWrapper"
    for member in vars(AtomicCounterWrapper).values():
        if callable(member):
            member.__module__ = _HOME
    return AtomicCounterWrapper
