"""`python3 -m parbench.launch`: launch lines for shell scripts, under the
name that the batch scripts and the docs know. It lives in
commands/launch_lines.py."""

import sys

from .commands.launch_lines import main

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
