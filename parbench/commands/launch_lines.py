"""Launch lines for shell scripts, in the words of the build's MPI family:

    python3 -m parbench.launch command [--build DIR] [-n N] PROGRAM [ARG...]
    python3 -m parbench.launch rank-env [--build DIR] NAME=VALUE...

the first one word per line, the second the launcher options that hand the
variables to the program's processes alone, one per line.
"""

import argparse
import os
import sys

from ..platform import mpi
from ..platform.build import Build
from ..platform.launch import Launch


def main(argv):
    p = argparse.ArgumentParser(prog="python3 -m parbench.launch",
                                description="Launch lines, in the words of the build's MPI family, for shell scripts.")
    p.add_argument("--build", default=os.environ.get("BUILD_DIR", "build"), help="the build folder (default: build)")
    sub = p.add_subparsers(dest="what", required=True)
    command = sub.add_parser("command", help="the whole command that starts PROGRAM, one word a line")
    command.add_argument("-n", type=int, default=None, help="processes (default: the Slurm tasks, else the cores)")
    command.add_argument("program", nargs=argparse.REMAINDER)
    rank_env = sub.add_parser("rank-env", help="options that hand NAME=VALUE to the processes alone, one a line")
    rank_env.add_argument("variables", nargs="+", metavar="NAME=VALUE")
    args = p.parse_args(argv)

    launch = Launch.plan(Build.read(args.build), os.environ)
    if args.what == "command":
        if not args.program:
            p.error("command: name the program")
        words, _ = launch.command(args.program, args.n or launch.slots)
    else:
        setting = launch.rank_environment(dict(v.partition("=")[::2] for v in args.variables))
        if isinstance(setting, mpi.Unavailable):
            print("launch: %s" % setting.why, file=sys.stderr)
            return 1
        words = setting.options
    print("\n".join(words))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
