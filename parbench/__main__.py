import sys

from .commands.run_suite import main

sys.exit(main(sys.argv[1:]))
