"""velkora.jit subpackage: the compile gate, the native dispatcher and the compile driver.

`velkora.jit.adaptive` is the driver's decorator (velkora.jit.driver); importing this package loads
neither the driver nor the compiler until it is first asked for.
"""

from typing import Any


def __getattr__(name: str) -> Any:
    if name in ("adaptive", "DriverPolicy", "State"):
        from velkora.jit import driver

        value = getattr(driver, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'velkora.jit' has no attribute {name!r}")
