"""Runs the benchmark programs, repeats them, summarises, compares and plots.

Called by scripts/run-suite, which sets up and builds first; see --help. The
sequence is here; parsing, launching, results, comparison and plots each live
in a module of their own.
"""

import argparse
import csv
import datetime
import os
import shlex
import sys
import threading
import time

import compare
import launch
import mpi
import plots
import reports
import results

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Programs that sleep through simulated work and print nothing until done.
SLEEPERS = {"splitwork": "about 60 s", "dynamicwork": "about 40 s / threads"}
# Exit statuses beyond 0 and argparse's 2.
FAILED, REGRESSED, INTERRUPTED = 1, 3, 130


def comma_list(text):
    return [item.strip() for item in text.split(",") if item.strip()]


def count_list(text):
    """A comma list of process or thread counts."""
    try:
        counts = [int(n) for n in comma_list(text)]
    except ValueError:
        raise argparse.ArgumentTypeError("takes whole numbers, such as 1,2,4")
    if not counts or any(n < 1 for n in counts):
        raise argparse.ArgumentTypeError("takes counts of 1 or more")
    return counts


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="run-suite",
        description="Build (if needed) and run the benchmark programs in a scratch directory under the "
        "build folder, keep their raw reports in a log there, and summarise the runs.",
        epilog="Exit status: 1 when any run failed, reported an invalid solution or was stopped "
        "(naming which); else 3 when a group regressed against --baseline; 130 when interrupted.")
    p.add_argument("--only", type=comma_list, default=list(reports.PROGRAMS), metavar="LIST",
                   help="comma list of programs (default: all five: %s)" % ",".join(reports.PROGRAMS))
    p.add_argument("--repeat", type=int, default=1, metavar="R", help="runs of each program (default 1)")
    p.add_argument("--procs", type=count_list, default=None, metavar="LIST",
                   help="process counts for treesearch (default: the slots of --hostfile, else the tasks "
                   "of the Slurm allocation it runs in, else this host's cores); counts above that run "
                   "oversubscribed")
    p.add_argument("--hostfile", metavar="FILE",
                   help="hostfile for treesearch, lines 'host slots=N' or 'host:N': its hosts and slots, handed "
                   "to the MPI in the form it reads")
    p.add_argument("--launcher", metavar="TEMPLATE",
                   help="command that starts treesearch, {procs} standing for the process count, "
                   "e.g. 'srun --mpi=pmix -n {procs}' (default: the launcher of the MPI the programs were built "
                   "with, in its family's words)")
    p.add_argument("--timeout", type=float, default=600, metavar="S",
                   help="stop a run that takes longer than S seconds, with all its processes, and count it "
                   "as failed (default 600)")
    p.add_argument("--threads", type=count_list, default=None, metavar="LIST",
                   help="team sizes for dynamicwork, each run with OMP_NUM_THREADS set (default: the "
                   "runtime's own, OMP_NUM_THREADS or one per hardware thread)")
    p.add_argument("--csv", metavar="FILE", help="write one row per run to FILE")
    p.add_argument("--json", metavar="FILE",
                   help="write the runs, their summary and their provenance (machine, software, commit) "
                   "to FILE; without it the document goes next to the raw log")
    p.add_argument("--baseline", metavar="FILE",
                   help="compare each group's median time with the same group in an earlier --json FILE; "
                   "exit 3 when any group got slower than the tolerance allows")
    p.add_argument("--tolerance", type=float, default=0.10, metavar="F",
                   help="change, as a fraction of the baseline, beyond which a group counts as slower or "
                   "faster (default 0.10)")
    p.add_argument("--plot", metavar="FILE",
                   help="PNG of treesearch speed-up against processes, with the ideal line, and with "
                   "--threads one of dynamicwork against threads beside it, FILE's name plus "
                   "'-dynamicwork' (needs gnuplot)")
    p.add_argument("--scratch", metavar="DIR",
                   help="where the programs run and the raw log goes (default: run/ in the build folder); "
                   "on a cluster it must be on storage that every node shares")
    p.add_argument("--build-dir", default=os.environ.get("BUILD_DIR", os.path.join(ROOT, "build")),
                   help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    unknown = [name for name in args.only if name not in reports.PROGRAMS]
    if unknown:
        p.error("unknown program(s): %s (choose from %s)" % (", ".join(unknown), ",".join(reports.PROGRAMS)))
    if args.repeat < 1:
        p.error("--repeat must be at least 1")
    if args.timeout <= 0:
        p.error("--timeout must be more than 0 seconds")
    if args.launcher is not None and "{procs}" not in args.launcher:
        p.error("--launcher needs {procs} where the process count goes, e.g. 'srun --mpi=pmix -n {procs}'")
    if args.launcher and args.hostfile:
        p.error("--hostfile goes to mpirun; with --launcher, put the hosts in the template")
    if args.hostfile and not os.path.isfile(args.hostfile):
        p.error("--hostfile: no such file: %s" % args.hostfile)
    if args.hostfile:
        args.hostfile = os.path.abspath(args.hostfile)
    args.workdir = os.path.abspath(args.scratch or os.path.join(args.build_dir, "run"))
    os.makedirs(args.workdir, exist_ok=True)
    args.mpi = mpi.ask(mpi.build_launcher(args.build_dir))
    args.launch = launch.Launcher(args.launcher, args.hostfile, mpi_found=args.mpi, scratch=args.workdir)
    args.procs = args.procs or [args.launch.slots]
    if args.threads and "dynamicwork" not in args.only:
        p.error("--threads sets dynamicwork's team sizes, and --only leaves dynamicwork out")
    if not 0 <= args.tolerance < 1:
        p.error("--tolerance is a fraction from 0 to below 1, such as 0.10")
    if args.baseline:
        try:
            args.baseline_doc = compare.load(args.baseline)
        except compare.BaselineError as e:
            p.error(str(e))
    return args


class Ticker:
    """Prints a line every few seconds while a silent program runs."""

    def __init__(self, label, every=10.0):
        self.label, self.every = label, every
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        start = time.monotonic()
        while not self.done.wait(self.every):
            print("    ... %s still running (%d s)" % (self.label, time.monotonic() - start), flush=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join()


def default_threads(program):
    """The team size an OpenMP program runs with, as the programs set it."""
    if program in ("arraysum", "splitwork"):
        return 4
    if program == "queuedrain":
        return 1
    env = os.environ.get("OMP_NUM_THREADS", "").split(",")[0]
    return int(env) if env.isdigit() else len(os.sched_getaffinity(0))


def plan_runs(args):
    """(program, procs, threads, run) in the order they run."""
    plan = []
    for program in args.only:
        if program == "treesearch":
            counts = [(n, None) for n in args.procs]
        elif program == "dynamicwork" and args.threads:
            counts = [(None, n) for n in args.threads]
        else:
            counts = [(None, default_threads(program))]
        for procs, threads in counts:
            plan += [(program, procs, threads, run) for run in range(1, args.repeat + 1)]
    return plan


def run_one(program, procs, threads, run, args, log, workdir):
    """Runs one program once; returns a result dict."""
    exe = os.path.join(args.build_dir, launch.PATHS[program])
    cmd, binding = args.launch.command(exe, procs) if program == "treesearch" else ([exe], None)
    env = None
    if program == "dynamicwork" and args.threads:
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    if program in SLEEPERS:
        with Ticker(program):
            outcome = launch.run(cmd, workdir, args.timeout, env)
    else:
        outcome = launch.run(cmd, workdir, args.timeout, env)
    status, out, err = outcome.status, outcome.out, outcome.err
    log.write("==== %s run %d (%s): %s%s\n" % (
        program, run, results.plural(procs, "process") if procs else results.plural(threads, "thread"),
        "OMP_NUM_THREADS=%d " % threads if env else "", " ".join(shlex.quote(c) for c in cmd)))
    log.write(out)
    if err:
        log.write("---- stderr\n" + err)
    log.write("---- exit status %s, %.1f s%s\n\n" % (status, outcome.seconds,
                                                    ", stopped at the time limit" if outcome.timed_out else ""))
    log.flush()

    figures = reports.parse(program, out)
    result = {"program": program, "run": run, "procs": procs, "threads": threads, "figures": figures,
              "status": status, "seconds": outcome.seconds, "problem": None, "binding": binding}
    count_problem = launch.process_count_problem(out, procs) if program == "treesearch" else None
    if outcome.timed_out:
        result["problem"] = "took longer than %g s and was stopped with all its processes" % args.timeout
    elif count_problem:
        result["problem"] = count_problem
    elif figures["verdict"] == "invalid":
        result["problem"] = "reported an invalid solution"
    elif status is None:
        result["problem"] = "could not be started: %s" % err
    elif status != 0:
        result["problem"] = "failed (exit status %s): %s" % (status, mpi.explain_failure(err, program))
    elif reports.missing(program, figures):
        result["problem"] = "printed no %s" % ", ".join(reports.missing(program, figures))
    return result


def run_all(plan, args, log, workdir):
    """The runs, in order; stops early, with the runs done so far, on Ctrl-C."""
    done = []
    try:
        for i, (program, procs, threads, run) in enumerate(plan, 1):
            what = program + (" with " + results.plural(procs, "process") if procs else
                              " with " + results.plural(threads, "thread")
                              if program == "dynamicwork" and args.threads else "")
            note = " (sleeps %s)" % SLEEPERS[program] if program in SLEEPERS else ""
            print("[%d/%d] %s, run %d of %d%s" % (i, len(plan), what, run, args.repeat, note), flush=True)
            result = run_one(program, procs, threads, run, args, log, workdir)
            if result["problem"]:
                print("    %s %s" % (program, result["problem"]), flush=True)
            done.append(result)
    except KeyboardInterrupt:
        return done, True
    return done, False


def report_comparison(rows, args, prov):
    """Prints the comparison with the baseline; returns it."""
    comparison = compare.compare(rows, args.baseline_doc, args.tolerance, prov)
    print("\nbaseline: %s (%s), tolerance %g %%" % (
        args.baseline, (args.baseline_doc.get("provenance") or {}).get("date", "undated"), 100 * args.tolerance))
    if comparison.notes:
        print("baseline: it comes from another machine or build, so the comparison mixes the two: "
              + "; ".join(comparison.notes))
    for line in comparison.missing:
        print("baseline: not compared: " + line)
    for line in comparison.faster:
        print("baseline: faster: " + line)
    for line in comparison.regressed:
        print("baseline: REGRESSED: " + line)
    return comparison


def main(argv):
    args = parse_args(argv)
    workdir = args.workdir
    for program in args.only:
        exe = os.path.join(args.build_dir, launch.PATHS[program])
        if not os.access(exe, os.X_OK):
            print("run-suite: %s is not built (%s); run scripts/setup" % (program, exe), file=sys.stderr)
            return FAILED

    plan = plan_runs(args)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    log_path = os.path.join(workdir, "suite-%s.log" % stamp)
    json_path = args.json or os.path.join(workdir, "suite-%s.json" % stamp)
    prov = results.provenance(args.build_dir, ROOT, ["run-suite"] + list(argv), args.mpi,
                              args.launcher or args.mpi.launcher if "treesearch" in args.only else None)
    print("run-suite: %d runs in %s; raw reports in %s" % (len(plan), workdir, log_path))
    if "treesearch" in args.only:
        found = args.mpi
        print("treesearch starts with: %s" % (args.launcher or "%s (%s%s; %d processes fit %s)" % (
            found.launcher, found.implementation or "unknown MPI", " " + found.version if found.version else "",
            args.launch.slots, args.launch.where)))
        if found.family == mpi.UNKNOWN and not args.launcher:
            print("treesearch: %s is of no MPI family the runner knows (Open MPI, MPICH's Hydra), so it gets "
                  "a plain '%s -n N'; --launcher TEMPLATE gives it other options" % (found.launcher, found.launcher))

    with open(log_path, "w") as log:
        runs, interrupted = run_all(plan, args, log, workdir)

    rows = results.summarise(runs)
    results.write_json(json_path, results.document(prov, runs, rows))
    if args.csv:
        with open(args.csv, "w", newline="") as f:
            writer = csv.DictWriter(f, fieldnames=results.CSV_FIELDS, lineterminator="\n")
            writer.writeheader()
            writer.writerows(results.csv_row(r) for r in runs)
    comparison = report_comparison(rows, args, prov) if args.baseline else None
    print()
    print(results.format_table(rows, comparison.changes if comparison else None))
    if any(r["program"] == "treesearch" for r in rows):
        print("\nefficiency = speed-up / processes; 100 % would be perfect scaling.")
    for row in rows:
        cv = results.noisy(row)
        if cv is not None:
            print("noise: %s: its %s varies by %.1f %% over %d runs (coefficient of variation, above %g %%); "
                  "differences smaller than that spread are not meaningful"
                  % (results.describe(results.group_key(row)), results.time_label(row["program"]), cv,
                     row["runs"], results.NOISY_CV_PCT))
    dyn, ref = plots.dynamicwork_points(rows)
    if len(dyn) >= 2:
        print("dynamicwork speed-up against %s: %s" % (
            results.plural(ref, "thread"), ", ".join("%s %.0f %%" % (results.plural(n, "thread"), v) for n, v in dyn)))
    print("results: %s" % json_path)
    if args.plot and not interrupted:
        plots.plot(rows, args.plot)

    bad = [r for r in runs if r["problem"]]
    for r in bad:
        print("run-suite: %s run %d%s %s" % (r["program"], r["run"],
                                              " (%s)" % results.plural(r["procs"], "process") if r["procs"] else "",
                                              r["problem"]), file=sys.stderr)
    if interrupted:
        print("run-suite: interrupted after %d of %d runs; the table has those" % (len(runs), len(plan)),
              file=sys.stderr)
        return INTERRUPTED
    if bad:
        return FAILED
    if comparison and comparison.regressed:
        for line in comparison.regressed:
            print("run-suite: regressed: " + line, file=sys.stderr)
        return REGRESSED
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
