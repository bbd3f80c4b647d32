"""Runs the benchmark programs, repeats them, summarises and plots.

Called by scripts/run-suite, which sets up and builds first; see --help.
"""

import argparse
import csv
import datetime
import math
import os
import shlex
import shutil
import subprocess
import sys
import threading
import time

import launch
import reports

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Programs that sleep through simulated work and print nothing until done.
SLEEPERS = {"splitwork": "about 60 s", "dynamicwork": "about 40 s / threads"}
CSV_FIELDS = ("program", "run", "procs", "parallel_s", "sequential_s", "time_s", "speedup_pct", "verdict")


def comma_list(text):
    return [item.strip() for item in text.split(",") if item.strip()]


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="run-suite",
        description="Build (if needed) and run the benchmark programs in a scratch directory under the "
        "build folder, keep their raw reports in a log there, and summarise the runs.",
        epilog="Exits non-zero when any run reports an invalid solution or fails to start, naming which.")
    p.add_argument("--only", type=comma_list, default=list(reports.PROGRAMS), metavar="LIST",
                   help="comma list of programs (default: all five: %s)" % ",".join(reports.PROGRAMS))
    p.add_argument("--repeat", type=int, default=1, metavar="R", help="runs of each program (default 1)")
    p.add_argument("--procs", type=comma_list, default=None, metavar="LIST",
                   help="process counts for treesearch (default: the slots of --hostfile, else the tasks "
                   "of the Slurm allocation it runs in, else this host's cores); counts above that run "
                   "oversubscribed")
    p.add_argument("--hostfile", metavar="FILE", help="Open MPI hostfile for treesearch: its hosts and slots")
    p.add_argument("--launcher", metavar="TEMPLATE",
                   help="command that starts treesearch, {procs} standing for the process count, "
                   "e.g. 'srun --mpi=pmix -n {procs}' (default: mpirun)")
    p.add_argument("--timeout", type=float, default=600, metavar="S",
                   help="stop a run that takes longer than S seconds, with all its processes, and count it "
                   "as failed (default 600)")
    p.add_argument("--csv", metavar="FILE", help="write one row per run to FILE")
    p.add_argument("--plot", metavar="FILE",
                   help="PNG of treesearch speed-up against processes, with the ideal line (needs gnuplot)")
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
    args.launch = launch.Launcher(args.launcher, args.hostfile)
    try:
        args.procs = [int(n) for n in args.procs] if args.procs else [args.launch.slots]
    except ValueError:
        p.error("--procs takes whole numbers")
    if any(n < 1 for n in args.procs):
        p.error("--procs takes counts of 1 or more")
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


def command_for(program, procs, args):
    exe = os.path.join(args.build_dir, launch.PATHS[program])
    return args.launch.command(exe, procs) if program == "treesearch" else [exe]


def default_workers(program):
    """The team size an OpenMP program runs with, as the programs set it."""
    if program in ("arraysum", "splitwork"):
        return 4
    if program == "queuedrain":
        return 1
    env = os.environ.get("OMP_NUM_THREADS", "").split(",")[0]
    return int(env) if env.isdigit() else (os.cpu_count() or 1)


def run_one(program, procs, run, args, log, workdir):
    """Runs one program once; returns a result dict."""
    cmd = command_for(program, procs, args)
    if program in SLEEPERS:
        with Ticker(program):
            outcome = launch.run(cmd, workdir, args.timeout)
    else:
        outcome = launch.run(cmd, workdir, args.timeout)
    status, out, err = outcome.status, outcome.out, outcome.err
    log.write("==== %s run %d%s: %s\n" % (program, run, " (%d processes)" % procs if procs else "",
                                           " ".join(shlex.quote(c) for c in cmd)))
    log.write(out)
    if err:
        log.write("---- stderr\n" + err)
    log.write("---- exit status %s, %.1f s%s\n\n" % (status, outcome.seconds,
                                                    ", stopped at the time limit" if outcome.timed_out else ""))
    log.flush()

    figures = reports.parse(program, out)
    result = {"program": program, "run": run, "procs": procs, "figures": figures, "status": status,
              "problem": None}
    count_problem = launch.process_count_problem(out, procs) if program == "treesearch" else None
    if outcome.timed_out:
        result["problem"] = "took longer than %g s and was stopped with all its processes" % args.timeout
    elif count_problem:
        result["problem"] = count_problem
    elif figures["verdict"] == "invalid":
        result["problem"] = "reported an invalid solution"
    elif status != 0:
        first = (err.strip().splitlines() or ["no message"])[-1]
        result["problem"] = "failed (exit status %s): %s" % (status, first)
    elif reports.missing(program, figures):
        result["problem"] = "printed no %s" % ", ".join(reports.missing(program, figures))
    return result


def csv_row(result):
    f = result["figures"]
    return {
        "program": result["program"],
        "run": result["run"],
        "procs": result["procs"] or "",
        "parallel_s": f.get("parallel_s") or "",
        "sequential_s": f.get("sequential_s") or "",
        "time_s": f.get("time_s") or "",
        "speedup_pct": f.get("speedup_pct") or "",
        "verdict": f.get("verdict") or "",
    }


def summarise(results):
    """One row per program and process count: runs, median/min/max of each time,
    median speed-up and, for treesearch, the parallel efficiency."""
    groups = {}
    for r in results:
        groups.setdefault((r["program"], r["procs"]), []).append(r)
    rows = []
    for (program, procs), group in groups.items():
        # A failed run's figures, if it printed any, describe no valid measurement.
        runs = [r for r in group if not r["problem"]]
        row = {"program": program, "workers": procs or default_workers(program), "runs": len(runs),
               "failed": len(group) - len(runs)}
        for name in ("parallel_s", "sequential_s", "time_s", "speedup_pct"):
            values = [reports.parse_number(r["figures"][name]) for r in runs if r["figures"].get(name)]
            finite = [v for v in values if not math.isnan(v)]
            row[name] = (reports.median(values), min(finite), max(finite)) if finite else None
        if program == "treesearch" and row["speedup_pct"]:
            row["efficiency_pct"] = row["speedup_pct"][0] / procs
        rows.append(row)
    return rows


def format_table(rows):
    def span(t):
        return "%.3f / %.3f / %.3f" % t if t else "-"

    header = ("program", "procs/threads", "runs", "parallel s (med/min/max)", "sequential s (med/min/max)",
              "time s (med/min/max)", "speed-up %", "efficiency %")
    lines = [header]
    for row in rows:
        lines.append((
            row["program"], str(row["workers"]),
            str(row["runs"]) + (" (%d failed)" % row["failed"] if row["failed"] else ""), span(row["parallel_s"]),
            span(row["sequential_s"]), span(row["time_s"]),
            "%.2f" % row["speedup_pct"][0] if row["speedup_pct"] else "-",
            "%.1f" % row["efficiency_pct"] if "efficiency_pct" in row else "-"))
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    return "\n".join("  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip() for line in lines)


def plot(rows, path):
    points = sorted((r["workers"], r["speedup_pct"][0]) for r in rows
                    if r["program"] == "treesearch" and r["speedup_pct"])
    if len(points) < 2:
        print("plot: needs treesearch at two or more process counts (--procs 1,2,4); no plot written")
        return
    if shutil.which("gnuplot") is None:
        print("plot: gnuplot is not installed (apt-get install gnuplot-nox); the table above is all there is")
        return
    data = "\n".join("%d %f" % p for p in points)
    script = "\n".join([
        "set terminal pngcairo size 800,560" if _has_cairo() else "set terminal png size 800,560",
        "set output '%s'" % path.replace("'", "''"),
        "set title 'treesearch: strong scaling'",
        "set xlabel 'processes'", "set ylabel 'speed-up (%)'",
        "set key left top", "set grid",
        "set xrange [0:%d]" % (points[-1][0] + 1), "set yrange [0:*]",
        "plot 100*x title 'ideal' with lines dashtype 2, "
        "'-' using 1:2 title 'measured (median)' with linespoints pointtype 7",
        data, "e", ""])
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    print("plot: wrote %s" % path)


def _has_cairo():
    out = subprocess.run(["gnuplot", "-e", "set terminal"], capture_output=True, text=True)
    return "pngcairo" in out.stdout + out.stderr


def main(argv):
    args = parse_args(argv)
    workdir = os.path.abspath(args.scratch or os.path.join(args.build_dir, "run"))
    os.makedirs(workdir, exist_ok=True)
    for program in args.only:
        exe = os.path.join(args.build_dir, launch.PATHS[program])
        if not os.access(exe, os.X_OK):
            print("run-suite: %s is not built (%s); run scripts/setup" % (program, exe), file=sys.stderr)
            return 1

    plan = []
    for program in args.only:
        for procs in (args.procs if program == "treesearch" else [None]):
            plan += [(program, procs, run) for run in range(1, args.repeat + 1)]
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    log_path = os.path.join(workdir, "suite-%s.log" % stamp)
    print("run-suite: %d runs in %s; raw reports in %s" % (len(plan), workdir, log_path))
    if "treesearch" in args.only:
        print("treesearch starts with: %s" % (args.launcher or "mpirun (%d processes fit %s)"
                                               % (args.launch.slots, args.launch.where)))

    results = []
    with open(log_path, "w") as log:
        for i, (program, procs, run) in enumerate(plan, 1):
            what = program + (" with %d processes" % procs if procs else "")
            note = " (sleeps %s)" % SLEEPERS[program] if program in SLEEPERS else ""
            print("[%d/%d] %s, run %d of %d%s" % (i, len(plan), what, run, args.repeat, note), flush=True)
            result = run_one(program, procs, run, args, log, workdir)
            if result["problem"]:
                print("    %s %s" % (program, result["problem"]), flush=True)
            results.append(result)

    if args.csv:
        with open(args.csv, "w", newline="") as f:
            writer = csv.DictWriter(f, fieldnames=CSV_FIELDS, lineterminator="\n")
            writer.writeheader()
            writer.writerows(csv_row(r) for r in results)
    rows = summarise(results)
    print()
    print(format_table(rows))
    if any(r["program"] == "treesearch" for r in rows):
        print("\nefficiency = speed-up / processes; 100 % would be perfect scaling.")
    if args.plot:
        plot(rows, args.plot)

    bad = [r for r in results if r["problem"]]
    for r in bad:
        print("run-suite: %s run %d%s %s" % (r["program"], r["run"],
                                              " (%d processes)" % r["procs"] if r["procs"] else "",
                                              r["problem"]), file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
