"""run-suite's options: text turned into values, and nothing more. What the
values lead to (folders, the launcher, the baseline) is the plan's business."""

import argparse
import os

from . import exits, options
from .options import Parser, comma_list, count_list, path_name
from ..base import optional
from ..base.text import shown
from ..model import programs
from ..model.programs import PROCESSES, THREADS
from ..platform import environments, machine, placement

# Enough for any statistics; a plan of millions of runs would only fill memory.
REPEAT_LIMIT = 1000
# The wait for a run counts milliseconds in a C int (24.8 days); a week stays well below.
TIMEOUT_LIMIT = 7 * 24 * 3600
def needs(args):
    """The Debian packages that the options `args` need beyond a default run, for
    scripts/run-suite to have scripts/setup install where it can; where it
    cannot, the plan says what is missing."""
    packages = []
    if args.trace_dir:
        packages += optional.OTF2.debian
    if args.bind:
        packages += machine.TOPOLOGY_PACKAGES
    return packages


def _swept(sweep):
    return ",".join(p.name for p in programs.PROGRAMS if p.sweep == sweep)


def parser():
    mpi_programs = ",".join(p.name for p in programs.PROGRAMS if p.mpi)
    p = Parser(
        prog="run-suite",
        description="Build (if needed) and run the benchmark programs in a scratch directory under the "
        "build folder, keep their raw reports in a log there, and summarise the runs.",
        epilog=exits.run_suite_epilog())
    p.add_argument("--only", type=comma_list, default=list(programs.NAMES), metavar="LIST",
                   help="comma list of programs (default: all five: %s)" % ",".join(programs.NAMES))
    p.add_argument("--repeat", type=int, default=1, metavar="R",
                   help="runs of each program (default 1, at most %d)" % REPEAT_LIMIT)
    p.add_argument(PROCESSES.option, dest=PROCESSES.field, type=count_list, default=None, metavar="LIST",
                   help="process counts for %s (default: the slots of --hostfile, else the tasks "
                   "of the Slurm allocation it runs in, else this host's cores); counts above that run "
                   "oversubscribed" % _swept(PROCESSES))
    p.add_argument("--hostfile", type=path_name, metavar="FILE",
                   help="hostfile for %s, lines 'host slots=N' or 'host:N': its hosts and slots, handed "
                   "to the MPI in the form it reads" % mpi_programs)
    p.add_argument("--launcher", metavar="TEMPLATE",
                   help="command that starts %s, {procs} standing for the process count, "
                   "e.g. 'srun --mpi=pmix -n {procs}' (default: the launcher of the MPI the programs were built "
                   "with, in its family's words)" % mpi_programs)
    p.add_argument("--timeout", type=float, default=600, metavar="S",
                   help="stop a run that takes longer than S seconds, with all its processes, and count it "
                   "as failed (default 600, at most %d: a week)" % TIMEOUT_LIMIT)
    p.add_argument(THREADS.option, dest=THREADS.field, type=count_list, default=None, metavar="LIST",
                   help="team sizes for %s, each run with %s set (default: the "
                   "runtime's own, %s or one per hardware thread)" % (_swept(THREADS), THREADS.env, THREADS.env))
    p.add_argument("--bind", type=comma_list, metavar="LIST",
                   help="placements to sweep, of %s: threads (OMP_PROC_BIND, OMP_PLACES) and processes (the MPI's "
                   "binding) left unbound, bound close together or spread over the machine; each run records "
                   "where they ran (default: the runtimes' own)" % ",".join(placement.POLICIES))
    p.add_argument("--env", type=comma_list, metavar="LIST",
                   help="environments to run in side by side, each built into a folder of its own: gcc, clang, "
                   "openmpi, mpich, those --env-file defines, or such names joined by + (clang+mpich); their runs "
                   "interleave and their groups are compared (default: the one build)")
    p.add_argument("--env-file", type=path_name, metavar="FILE",
                   help="the TOML file that defines environments (compiler, MPI, modules, variables) for --env "
                   "(default: ${XDG_CONFIG_HOME:-~/.config}/%s, where there is one)" % environments.FILE_NAME)
    p.add_argument("--csv", type=path_name, metavar="FILE", help="write one row per run to FILE")
    p.add_argument("--json", type=path_name, metavar="FILE",
                   help="write the runs, their summary and their provenance (machine, software, commit) "
                   "to FILE; without it the document goes next to the raw log")
    p.add_argument("--baseline", metavar="SESSION",
                   help="compare each group with the same group of an earlier session: a stored session's id "
                   "(or the start of one), 'latest', or a JSON document; exit 3 when any group got slower")
    options.add_judging(p)
    first, *beside = [p for p in programs.PROGRAMS if p.sweep]
    p.add_argument("--plot", type=path_name, metavar="FILE",
                   help="PNG of %s speed-up against %s, with the ideal line, and with %s one of %s "
                   "beside it, FILE's name plus %s (drawn with matplotlib)" % (
                       first.name, first.sweep.units, " ".join(b.sweep.option for b in beside),
                       " ".join("%s against %ss" % (b.name, b.sweep.unit) for b in beside),
                       " ".join("'%s'" % b.plot_suffix for b in beside)))
    p.add_argument("--report", type=path_name, metavar="FILE",
                   help="write the HTML report of this session (its runs, scaling, comparison and the host's "
                   "history) to FILE")
    p.add_argument("--trace", action="store_true",
                   help="run every program with the tracing library preloaded: each thread's or process's "
                   "useful and waiting time, the load balance and parallel efficiency of each run")
    p.add_argument("--trace-dir", type=path_name, metavar="DIR",
                   help="with --trace (which it implies), also write each traced run as an OTF2 archive in DIR, "
                   "for trace viewers")
    p.add_argument("--scratch", type=path_name, metavar="DIR",
                   help="where the programs run and the raw log goes (default: run/ in the build folder); "
                   "on a cluster it must be on storage that every node shares; not in the results store")
    options.add_results(p)
    p.add_argument("--no-store", action="store_true", help="keep this session out of the results store")
    p.add_argument("--build-dir", help=argparse.SUPPRESS)
    # For scripts/run-suite: the packages these options need, one a line, then stop.
    p.add_argument("--needs", action="store_true", help=argparse.SUPPRESS)
    return p


def chosen_environments(args, error, environ=None):
    """The Environments --env names, from the built-in ones and those of
    --env-file (or the default file, where there is one); [] without --env."""
    environ = os.environ if environ is None else environ
    if args.env_file and not args.env:
        error("--env-file defines environments for --env; give --env too")
    if not args.env:
        return []
    path = args.env_file or environments.default_file(environ)
    try:
        defined = environments.read_file(path) if args.env_file or os.path.exists(path) else {}
        return environments.chosen(",".join(args.env), defined)
    except environments.Unusable as e:
        error(str(e))


def parse(argv):
    """The options of `argv`; exits with status 2 and a message on any that make no sense."""
    p = parser()
    args = p.parse_args(argv)
    unknown = [name for name in args.only if name not in programs.BY_NAME]
    if unknown:
        p.error("unknown program(s): %s (choose from %s)" % (", ".join(unknown), ",".join(programs.NAMES)))
    if not 1 <= args.repeat <= REPEAT_LIMIT:
        p.error("--repeat must be from 1 to %d" % REPEAT_LIMIT)
    if not 0 < args.timeout <= TIMEOUT_LIMIT:  # nan and inf fail it too
        p.error("--timeout must be more than 0 and at most %d seconds (a week)" % TIMEOUT_LIMIT)
    if args.baseline is not None and not args.baseline.strip():
        p.error("--baseline needs a session id, the start of one, 'latest' or a JSON file")
    if args.launcher is not None and "{procs}" not in args.launcher:
        p.error("--launcher needs {procs} where the process count goes, e.g. 'srun --mpi=pmix -n {procs}'")
    if args.launcher and args.hostfile:
        p.error("--hostfile goes to mpirun; with --launcher, put the hosts in the template")
    if args.threads and not any(programs.get(n).sweep == THREADS for n in args.only):
        p.error("%s sets %s's team sizes, and --only leaves %s out" % (THREADS.option, _swept(THREADS),
                                                                     _swept(THREADS)))
    options.check_judging(args, p.error)
    if args.bind:
        wrong = [b for b in args.bind if b not in placement.POLICIES]
        if wrong or len(set(args.bind)) != len(args.bind):
            p.error("--bind takes each of %s at most once, not %s" % (",".join(placement.POLICIES),
                                                                    shown(",".join(args.bind))))
    args.environments = chosen_environments(args, p.error)
    if args.trace_dir:
        args.trace = True
    if args.needs:
        for package in needs(args):
            print(package)
        p.exit(0)
    return args
