"""python -m tessera: the tessera command line; with no arguments it analyses
the bundled example table, like ``tessera analyze``."""
import sys

from tessera.cli import main

if __name__ == "__main__":
    sys.exit(main())
