"""``python -m kavro``: the command line (see ``kavro.cli``)."""

import sys

from kavro.cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
