"""python -m velt: the command-line tool (see velt.cli)."""

import sys

from velt.cli import main

if __name__ == "__main__":
    sys.exit(main())
