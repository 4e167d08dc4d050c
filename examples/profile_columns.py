"""Profiles the columns of a table with vantorix_core and times the same profile in pandas/SciPy.

    .venv/bin/python examples/profile_columns.py                # a built-in table of a million rows
    .venv/bin/python examples/profile_columns.py data.csv       # a CSV file (separator sniffed)
    .venv/bin/python examples/profile_columns.py --plot v.png   # also draw the Cramér's V matrix

The work is done by the package beside this file, `profiler`: see its modules.
"""

import sys

from profiler.cli import main

if __name__ == "__main__":
    sys.exit(main())
