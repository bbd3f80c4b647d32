"""A suite run's plan, made in one place from the options and the environment:
which programs run, at which counts, in which environments and placements, in
which order, started how, and where their reports and results go. Making it
reads (the builds, the launchers, a hostfile, a baseline) and checks every
place the session will write, but writes nothing; `prepare` makes the folders.

The environments of a session take turns run by run, each repeat in the
reverse order of the one before (A B, B A, A B, ...), so that a machine that
drifts during the session favours none of them."""

import os
import shutil
from dataclasses import dataclass, field
from typing import Optional

from . import otf2 as otf2trace, tracing as trace
from ..analysis import judging
from ..base import files
from ..model import programs
from ..platform import machine, mpi, placement
from ..report import plots
from ..platform.build import Build
from ..platform.hostfile import Hostfile, HostfileError
from ..platform.launch import Launch
from ..model.document import Capacity
from ..model.programs import THREADS, Group, Program
from ..model.store import Store, StoreError, default_folder, new_session_id


class PlanError(Exception):
    """Options that name something that is not there."""


@dataclass(frozen=True)
class Run:
    program: Program
    procs: Optional[int]
    threads: Optional[int]
    index: int                 # 1, 2, ... within its group
    repeat: int                # runs in its group
    team_env: bool = False     # whether its thread count is set through the environment
    environment: Optional[str] = None   # the Target it runs in; None: the one build
    bind: Optional[str] = None          # the placement asked for; None: the runtimes' own

    @property
    def group(self):
        return Group(self.program.name, self.procs, self.threads, self.environment, self.bind)

    def what(self):
        """"treesearch with 2 processes" where the plan chose the count, else the name."""
        chose = self.procs or self.team_env or self.environment or self.bind
        return self.group.describe() if chose else self.program.name

    def variables(self, target, extra=None):
        """The environment to run in, or None for the runner's own: the
        target's, the team size where the plan sets it, and `extra`."""
        if not self.team_env and not extra and target.name is None:
            return None
        env = dict(target.run_environ)
        if self.team_env:
            env[THREADS.env] = str(self.threads)
        env.update(extra or {})
        return env


@dataclass
class Target:
    """What a run's program is built and started with: the one build of a
    session, or one of its environments."""
    name: Optional[str]        # the environment's; None for the one build
    build: Build
    launch: Launch
    run_environ: dict          # the variables its runs start from
    environment: object = None  # its environments.Environment, where it is one


@dataclass
class Plan:
    root: str
    build: Build
    session: str
    programs: list
    runs: list
    workdir: str                # the scratch folder: logs and documents
    rundir: str                 # this session's own folder in it, where the programs run
    log_path: str
    json_path: str
    argv: list
    timeout: float
    launch: Launch = None
    store: Optional[Store] = None      # None: this session is not to be stored
    store_folder: str = ""             # the store, for the report's history even then
    csv_path: Optional[str] = None
    plot_path: Optional[str] = None
    report_path: Optional[str] = None
    baseline: Optional[tuple] = None   # (what to call it, the document)
    tolerance: float = judging.TOLERANCE
    alpha: float = judging.ALPHA
    environ: dict = field(default_factory=dict)
    trace: bool = False
    trace_dir: Optional[str] = None    # where each traced run's OTF2 archive goes
    targets: dict = field(default_factory=dict)   # {environment name or None: Target}
    topology: tuple = (None, "not read")          # machine.read_topology()'s (Topology or None, why)
    requests: dict = field(default_factory=dict)  # {(program, environment, bind): placement.Request}

    def __post_init__(self):
        if not self.targets:
            self.targets = {None: Target(None, self.build, self.launch, dict(self.environ))}

    def target(self, run):
        return self.targets[run.environment]

    def request(self, run):
        """What the run's placement policy asks of its runtime, or None where it asks none."""
        return self.requests.get((run.program.name, run.environment, run.bind))

    def environments(self):
        """The Targets of --env, in its order; none for a session of one build."""
        return [t for t in self.targets.values() if t.name is not None]

    def untraced(self, program, target=None):
        """Why `program` runs untraced under --trace (in `target`, else the first), or None."""
        target = target or next(iter(self.targets.values()))
        why = trace.unavailable(target.build, program)
        if why is None and program.mpi:
            # The very variables a run will hand on, so that what the launcher cannot pass shows now.
            folder = os.path.join(self.rundir, "trace", program.name)
            setting = target.launch.rank_environment(trace.variables(target.build, program, folder,
                                                                      target.run_environ))
            if isinstance(setting, mpi.Unavailable):
                why = setting.why
        return why

    def unbuilt(self):
        """(program, path) of each chosen program that a build lacks."""
        return [(p, t.build.program(p)) for t in self.targets.values() for p in self.programs
                if not os.access(t.build.program(p), os.X_OK)]

    def capacities(self):
        """{sweep field: Capacity}: processes had the launcher's slots,
        threads this host's hardware threads."""
        return {programs.PROCESSES.field: Capacity(self.launch.slots, self.launch.where),
                THREADS.field: Capacity(machine.hardware_threads(), "this host's hardware threads")}

    def prepare(self):
        os.makedirs(self.rundir)
        for target in self.targets.values():
            target.launch.prepare()

    def clean_up(self):
        """Removes the session's own folder: the programs' files (the 33 MB tree) would pile up."""
        shutil.rmtree(self.rundir, ignore_errors=True)


def counts(program, options, launch, environ):
    """(procs, threads, team_env) of each group of `program`, in order."""
    if program.mpi:
        return [(n, None, False) for n in (options.procs or [launch.slots])]
    if program.sweep == THREADS and options.threads:
        return [(None, n, True) for n in options.threads]
    return [(None, program.team or machine.openmp_default_team(environ), False)]


def check_destinations(options, workdir, store_folder):
    """PlanError for the first file or folder the session could not write:
    found now, not after the runs."""
    outputs = [("--json", options.json), ("--csv", options.csv), ("--report", options.report)]
    if options.plot:
        outputs += [("--plot", plots.path_for(options.plot, p)) for p in programs.PROGRAMS if p.sweep]
    for option, path in outputs:
        why = path and files.unwritable(path)
        if why:
            raise PlanError("%s: cannot write %s: %s" % (option, path, why))
    if options.trace_dir:
        why = files.unmakeable_folder(os.path.abspath(options.trace_dir)) or otf2trace.unavailable()
        if why:
            raise PlanError("--trace-dir: cannot write archives in %s: %s" % (options.trace_dir, why))
    option = "--scratch" if options.scratch else "--scratch (default)"
    why = files.unmakeable_folder(workdir)
    if why:
        raise PlanError("%s: cannot write in %s: %s" % (option, workdir, why))
    # The store lists every document in its folder: the scratch folder's would pass for sessions.
    scratch, store = os.path.realpath(workdir), os.path.realpath(store_folder)
    if os.path.commonpath([scratch, store]) == store:
        raise PlanError("%s: %s is in the results store %s" % (option, workdir, store))


def build_folder(options, environ, root):
    """The one build's folder: the environments' folders are in it too."""
    return options.build_dir or environ.get("BUILD_DIR") or os.path.join(root, "build")


def make(options, environ, root, argv, built=()):
    """The plan of `options` (from cli.parse) in `environ`; `built` the
    environments.Built of --env, in its order."""
    build = Build.read(build_folder(options, environ, root))
    chosen = [programs.get(name) for name in options.only]
    workdir = os.path.abspath(options.scratch or os.path.join(build.dir, "run"))
    store_folder = options.results or default_folder(environ)
    check_destinations(options, workdir, store_folder)
    # Sessions started together from one checkout share the scratch folder, never a file in it.
    session = new_session_id()
    rundir = os.path.join(workdir, session)

    hostfile = None
    if options.hostfile:
        try:
            hostfile = Hostfile.read(os.path.abspath(options.hostfile))
        except HostfileError as e:
            raise PlanError("--hostfile: %s" % e)
    # Asked even when no MPI program runs: the MPI belongs to the provenance.
    targets = {}
    for made in built:
        target_build = Build.read(made.folder)
        targets[made.name] = Target(made.name, target_build, Launch.plan(target_build, made.environ,
                                                                          options.launcher, hostfile, scratch=rundir),
                                    made.run_environ(), made.environment)
    if not targets:
        targets[None] = Target(None, build, Launch.plan(build, environ, options.launcher, hostfile, scratch=rundir),
                               dict(environ))
    first = next(iter(targets.values()))
    build, launch = first.build, first.launch
    # hwloc's view goes into the provenance, and judges each placement asked for.
    topology = machine.read_topology()
    requests = {}
    for program in chosen:
        for target in targets.values():
            for bind in options.bind or ():
                requests[program.name, target.name, bind] = (
                    placement.mpi_request(bind, target.launch) if program.mpi else
                    placement.openmp_request(bind, placement.openmp_runtime(target.build), topology[0]))

    store = Store(store_folder)
    baseline = None
    if options.baseline:
        try:
            baseline = store.resolve(options.baseline)
        except StoreError as e:
            raise PlanError("--baseline: %s" % e)

    runs = []
    names = list(targets)
    for program in chosen:
        for procs, threads, team_env in counts(program, options, launch, environ):
            for bind in options.bind or [None]:
                for i in range(1, options.repeat + 1):
                    turn = names if i % 2 else names[::-1]
                    runs += [Run(program, procs, threads, i, options.repeat, team_env, name, bind) for name in turn]

    return Plan(root=root, build=build, session=session, programs=chosen, runs=runs, workdir=workdir,
                rundir=rundir, log_path=os.path.join(workdir, "suite-%s.log" % session),
                json_path=options.json or os.path.join(workdir, "suite-%s.json" % session),
                argv=["run-suite"] + list(argv), timeout=options.timeout, launch=launch,
                store=None if options.no_store else store, store_folder=store.folder, csv_path=options.csv,
                plot_path=options.plot, report_path=options.report,
                baseline=baseline, tolerance=options.tolerance, alpha=options.alpha, environ=dict(environ),
                trace=options.trace, trace_dir=options.trace_dir and os.path.abspath(options.trace_dir),
                targets=targets, topology=topology, requests=requests)
