"""`python -m velkora`: the version and which native modules load."""

import importlib
import sys

from velkora import NATIVE_MODULES, __version__


def main(argv=None):
    print(f"velkora {__version__} (Python {sys.version.split()[0]})")
    loaded = 0
    for name in NATIVE_MODULES:
        try:
            importlib.import_module(name)
        except ImportError as exc:
            print(f"  {name:45s} not available ({exc})")
        else:
            loaded += 1
            print(f"  {name:45s} loaded")
    print(f"{loaded} of {len(NATIVE_MODULES)} native modules loaded")
    return 0


if __name__ == "__main__":
    sys.exit(main())
