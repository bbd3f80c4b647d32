"""`python3 -m parbench.history`: the results command under the name that
scripts and cron jobs know (scripts/results calls it so). It lives in
commands/results.py."""

import sys

from .commands.results import main

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
