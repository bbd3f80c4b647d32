import sys

from .suite import main

sys.exit(main(sys.argv[1:]))
