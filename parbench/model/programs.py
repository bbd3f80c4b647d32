"""The one table of what the runner knows about each benchmark program.

Everything that differs from program to program is a field here; the rest of
the runner asks the table and never names a program. Adding a benchmark means
adding a row.
"""

from dataclasses import dataclass
from typing import Optional

from ..base.text import noun, plural


@dataclass(frozen=True)
class Sweep:
    """What a sweep of a program varies: processes or threads."""
    field: str    # the group's key in summaries, CSV and JSON: "procs" or "threads"
    unit: str     # "process" or "thread"
    option: str   # the run-suite option that lists the counts
    env: Optional[str] = None  # the variable that sets the count for a program run alone

    @property
    def units(self):
        return noun(2, self.unit)


PROCESSES = Sweep("procs", "process", "--procs")
THREADS = Sweep("threads", "thread", "--threads", env="OMP_NUM_THREADS")


@dataclass(frozen=True)
class Program:
    name: str
    binary: str                   # its path in the build folder
    figures: tuple                # what a complete report prints, besides problems
    main_time: str                # the time a group is judged by
    sequential: bool              # whether it times a sequential phase too (and so its own speed-up)
    mpi: bool = False             # started as N processes by the MPI launcher
    team: Optional[int] = None    # the thread team it sets itself; None: the runtime's default
    team_source: Optional[str] = None  # "file: constant" in the C++ that the team comes from
    sleeps: Optional[str] = None  # how long its simulated work sleeps, said while it runs
    sweep: Optional[Sweep] = None  # what a sweep of it varies
    competes_for_cores: bool = True  # False: its work sleeps, so extra threads cost no core
    plot_suffix: str = ""         # what its sweep's plot adds to the name --plot gives
    useful: str = "region"        # traced, a lane's useful time: "work" (the items it slept),
                                  # "region" (its share of the parallel region), "scan" (its byte range)

    @property
    def unit(self):
        """What its count counts."""
        return PROCESSES.unit if self.mpi else THREADS.unit

    @property
    def time_label(self):
        return "parallel time" if self.main_time == "parallel_s" else "time"


PROGRAMS = (
    Program("treesearch", "treesearch/treesearch",
            figures=("parallel_s", "sequential_s", "speedup_pct", "verdict"),
            main_time="parallel_s", sequential=True, mpi=True, sweep=PROCESSES, useful="scan"),
    Program("arraysum", "arraysum/arraysum",
            figures=("parallel_s", "sequential_s", "speedup_pct", "verdict"),
            main_time="parallel_s", sequential=True,
            team=4, team_source="arraysum/main.cpp: cores"),
    Program("splitwork", "loadbalance/splitwork",
            figures=("parallel_s", "sequential_s", "speedup_pct"),
            main_time="parallel_s", sequential=True,
            team=4, team_source="loadbalance/splitwork.cpp: threads", sleeps="about 60 s", useful="work"),
    Program("queuedrain", "loadbalance/queuedrain",
            figures=("time_s",), main_time="time_s", sequential=False,
            team=1, team_source="loadbalance/queuedrain.cpp: threads"),
    Program("dynamicwork", "loadbalance/dynamicwork",
            figures=("time_s",), main_time="time_s", sequential=False,
            sleeps="about 40 s / threads", sweep=THREADS, competes_for_cores=False,
            plot_suffix="-dynamicwork", useful="work"),
)

BY_NAME = {p.name: p for p in PROGRAMS}
NAMES = tuple(BY_NAME)


def get(name):
    return BY_NAME[name]


def variant_text(environment, bind):
    """" (clang, bound close)", " (gcc)", or "" for the default build and placement."""
    extra = [e for e in (environment, bind and "bound %s" % bind) if e]
    return " (%s)" % ", ".join(extra) if extra else ""


@dataclass(frozen=True, order=True)
class Group:
    """Runs of one program at one process or thread count, in one environment
    (None: the default build) and under one placement policy (None: the
    runtime's own)."""
    program: str
    procs: Optional[int]
    threads: Optional[int]
    environment: Optional[str] = None
    bind: Optional[str] = None

    @classmethod
    def of(cls, record):
        """The group of a run or summary entry (a dict with these keys)."""
        return cls(record["program"], record.get("procs"), record.get("threads"), record.get("environment"),
                   record.get("bind"))

    def key(self):
        """The group's fields as a document writes them."""
        return {"program": self.program, "procs": self.procs, "threads": self.threads,
                "environment": self.environment, "bind": self.bind}

    @property
    def count(self):
        return self.procs if self.procs else self.threads

    def count_text(self):
        return plural(self.procs, PROCESSES.unit) if self.procs else plural(self.threads, THREADS.unit)

    def describe(self):
        """"treesearch with 2 processes", "queuedrain with 1 thread (clang, bound close)":
        how every message names a group."""
        return "%s with %s%s" % (self.program, self.count_text(), variant_text(*self.variant))

    def row(self):
        """The group as the index keeps it: (program, procs, threads, environment, bind)."""
        return self.program, self.procs, self.threads, self.environment, self.bind

    @property
    def variant(self):
        """(environment, bind): what, beside its program and count, sets it apart."""
        return self.environment, self.bind

    def like(self, **changes):
        """The same group in another environment or under another policy."""
        return Group(**dict(self.key(), **changes))

    def sort_key(self):
        return (NAMES.index(self.program) if self.program in BY_NAME else len(NAMES), self.program,
                self.count or 0, self.bind or "", self.environment or "")
