"""Carrying out a plan's runs: each one started, its raw report logged, and
judged (a valid, complete report of the processes asked for, or a problem)."""

import dataclasses
import os
import shlex
import threading
import time
from dataclasses import dataclass
from typing import Optional

from . import otf2 as otf2trace, tracing as trace
from ..base import signals, supervise
from ..model import printouts
from ..platform import mpi, placement
from ..model.document import Balance, Placement
from .plan import Run


@dataclass
class Result:
    run: Run
    figures: dict
    status: Optional[int]
    seconds: float
    problem: Optional[str] = None
    binding: Optional[str] = None
    balance: Optional[Balance] = None
    placement: Optional[Placement] = None

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
    count_problem = printouts.process_count_problem(outcome.out, run.procs) if program.mpi else None
    if outcome.timed_out:
        return "took longer than %g s and was stopped with all its processes" % plan.timeout
    if count_problem:
        return count_problem
    if figures["verdict"] == "invalid":
        return "reported an invalid solution"
    if outcome.status is None:
        return "could not be started: %s" % outcome.err
    if outcome.status != 0:
        return "failed (exit status %s): %s" % (outcome.status, plan.target(run).launch.mpi.explain_failure(
            outcome.err, program.name))
    lacks = printouts.absent(program, figures)
    if lacks:
        return "printed no %s" % ", ".join(lacks)
    main = figures.get(program.main_time)
    if main is not None and not printouts.usable_time(main):
        return "printed a %s of %s s, which is no time" % (program.time_label, main)
    return None


def _label(run):
    """"queuedrain-1-clang-close-3": a run's name among its session's files."""
    group = run.group
    return "-".join(str(v) for v in (run.program.name, group.count) + group.variant + (run.index,) if v is not None)


def traced(run, plan, env):
    """(environment, launcher setting, trace folder) of a traced run; the
    folder is None where the run goes untraced."""
    target = plan.target(run)
    if not plan.trace or plan.untraced(run.program, target):
        return env, mpi.Setting(), None
    folder = os.path.join(plan.rundir, "trace", _label(run))
    variables = trace.variables(target.build, run.program, folder, target.run_environ if env is None else env)
    if run.program.mpi:
        setting = target.launch.rank_environment(variables)
        if isinstance(setting, mpi.Unavailable):
            # Up front the launcher was asked with no values: only these paths can hold what it cannot pass.
            print("    %s run %d was not traced: %s" % (run.program.name, run.index, setting.why), flush=True)
            return env, mpi.Setting(), None
        os.makedirs(folder)
        return env, setting, folder
    os.makedirs(folder)
    return dict(target.run_environ if env is None else env, **variables), mpi.Setting(), folder


def balance_of(run, plan, figures, folder):
    """The run's Balance, its archive written where asked; a line where none came back."""
    phase = printouts.parse_number(figures.get(run.program.main_time) or "")
    try:
        found = trace.read_run(folder, run.program, run.procs, phase)
    except Exception as e:   # a trace never costs the runs, nor the session they go into
        found = trace.Reading(why="reading its trace failed: %s: %s" % (type(e).__name__, e))
    if found.balance is None:
        print("    %s run %d was not traced: %s" % (run.program.name, run.index, found.why), flush=True)
        return None
    if plan.trace_dir:
        name = trace.safe_name("%s-%s" % (plan.session, _label(run)))
        try:
            # The lanes as read, not the Balance's timeline: they name the collectives.
            otf2trace.write(plan.trace_dir, name, found.lanes, run.program.name, 1e-6)
        except Exception as e:   # the OTF2 library raises its own errors too; an archive never costs the runs
            print("    %s run %d: no OTF2 archive: %s" % (run.program.name, run.index, e), flush=True)
    return found.balance


def placed(request, run, plan, err):
    """The run's Placement from its standard error, as `request` asked, with
    how it departs from the policy or why it is not known."""
    topology = plan.topology[0]
    found = request.read(err, topology)
    note = placement.judge(run.bind, found, topology)
    lanes = tuple((n, found.hosts.get(n), placement.cpu_text(c)) for n, c in sorted(found.cpus.items()))
    known = bool(found.cpus) and not found.unread
    return Placement(run.bind, lanes if found.members == "thread" and known else None,
                     lanes if found.members == "process" and known else None,
                     note if known else None, None if known else note)


def run_one(run, plan, log):
    target = plan.target(run)
    request = plan.request(run)
    exe = target.build.program(run.program)
    env, setting, folder = traced(run, plan, run.variables(target, request.env if request else None))
    if request and request.setting is not None:
        setting = setting + request.setting
    cmd, binding = target.launch.command([exe], run.procs, setting) if run.program.mpi else ([exe], None)
    if request and request.binding:
        binding = request.binding
    if run.program.sleeps:
        with Ticker(run.program.name):
            outcome = supervise.run(cmd, plan.rundir, plan.timeout, env)
    else:
        outcome = supervise.run(cmd, plan.rundir, plan.timeout, env)
    log.write("==== %s run %d (%s%s): %s%s\n" % (
        run.program.name, run.index, run.group.count_text(), "".join(", " + v for v in run.group.variant if v),
        "%s=%d " % (run.program.sweep.env, run.threads) if run.team_env else "", " ".join(shlex.quote(c) for c in cmd)))
    log.write(outcome.out)
    if outcome.err:
        log.write("---- stderr\n" + outcome.err)
    log.write("---- exit status %s, %.1f s%s\n\n" % (outcome.status, outcome.seconds,
                                                    ", stopped at the time limit" if outcome.timed_out else ""))
    log.flush()
    figures = printouts.parse(outcome.out)
    where = None
    if request:
        where = placed(request, run, plan, outcome.err)
        # The runtimes' placement lines are no message of the program's.
        outcome = dataclasses.replace(outcome, err=request.strip(outcome.err))
    problem = judge(run, outcome, figures, plan)
    balance = balance_of(run, plan, figures, folder) if folder and not problem else None
    if where and where.differs:
        print("    %s run %d: placement: %s" % (run.program.name, run.index, where.differs), flush=True)
    return Result(run, figures, outcome.status, outcome.seconds, problem, binding, balance, where)


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
