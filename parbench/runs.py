"""Carrying out a plan's runs: each one started, its raw report logged, and
judged (a valid, complete report of the processes asked for, or a problem)."""

import shlex
import threading
import time
from dataclasses import dataclass
from typing import Optional

from . import reports, signals, supervise
from .plan import Run


@dataclass
class Result:
    run: Run
    figures: dict
    status: Optional[int]
    seconds: float
    problem: Optional[str] = None
    binding: Optional[str] = None

    @property
    def group(self):
        return self.run.group

    @property
    def program(self):
        return self.run.program.name


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


def judge(run, outcome, figures, plan):
    """What is wrong with a run, or None."""
    program = run.program
    count_problem = reports.process_count_problem(outcome.out, run.procs) if program.mpi else None
    if outcome.timed_out:
        return "took longer than %g s and was stopped with all its processes" % plan.timeout
    if count_problem:
        return count_problem
    if figures["verdict"] == "invalid":
        return "reported an invalid solution"
    if outcome.status is None:
        return "could not be started: %s" % outcome.err
    if outcome.status != 0:
        return "failed (exit status %s): %s" % (outcome.status, plan.launch.mpi.explain_failure(outcome.err,
                                                                                              program.name))
    lacks = reports.missing(program, figures)
    if lacks:
        return "printed no %s" % ", ".join(lacks)
    main = figures.get(program.main_time)
    if main is not None and not reports.usable_time(main):
        return "printed a %s of %s s, which is no time" % (program.time_label, main)
    return None


def run_one(run, plan, log):
    exe = plan.build.program(run.program)
    cmd, binding = plan.launch.command([exe], run.procs) if run.program.mpi else ([exe], None)
    env = run.environment(plan.environ)
    if run.program.sleeps:
        with Ticker(run.program.name):
            outcome = supervise.run(cmd, plan.rundir, plan.timeout, env)
    else:
        outcome = supervise.run(cmd, plan.rundir, plan.timeout, env)
    log.write("==== %s run %d (%s): %s%s\n" % (
        run.program.name, run.index, run.group.count_text(),
        "%s=%d " % (run.program.sweep.env, run.threads) if env else "", " ".join(shlex.quote(c) for c in cmd)))
    log.write(outcome.out)
    if outcome.err:
        log.write("---- stderr\n" + outcome.err)
    log.write("---- exit status %s, %.1f s%s\n\n" % (outcome.status, outcome.seconds,
                                                    ", stopped at the time limit" if outcome.timed_out else ""))
    log.flush()
    figures = reports.parse(outcome.out)
    return Result(run, figures, outcome.status, outcome.seconds, judge(run, outcome, figures, plan), binding)


def run_all(plan, log, catcher):
    """The runs, in order; stops early, with the runs done so far, at a signal
    (`catcher`, a signals.Catcher, says which). Returns (results, whether it
    was interrupted)."""
    done = []
    try:
        for i, run in enumerate(plan.runs, 1):
            note = " (sleeps %s)" % run.program.sleeps if run.program.sleeps else ""
            print("[%d/%d] %s, run %d of %d%s" % (i, len(plan.runs), run.what(), run.index, run.repeat, note),
                  flush=True)
            result = run_one(run, plan, log)
            if result.problem:
                print("    %s %s" % (run.program.name, result.problem), flush=True)
            done.append(result)
        catcher.hold()
    except (signals.Interrupted, KeyboardInterrupt):
        catcher.hold()
        return done, True
    return done, False
