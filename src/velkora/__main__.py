"""`python -m velkora`: see velkora.cli."""

import sys

from velkora.cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m velkora"))
