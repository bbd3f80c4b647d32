"""Seeing inside a run from outside the program (run-suite --trace).

The build makes two libraries in trace/: one preloaded into the OpenMP
programs, wrapping the runtime's parallel regions (libgomp's, or libomp's fork
call) and libc's sleeps, one into the MPI program's processes, wrapping its two
collectives through the profiling interface. Each traced process writes what it saw to a
file in the folder that FOLDER_VARIABLE names; this module says how a run is
traced and turns those files into a document.Balance.

What counts as a lane's useful time is the program's `useful` in the program
table: "work" (the work items it slept), "region" (its share of the parallel
region) or "scan" (from the broadcast's return to the reduction's entry).

A trace that does not add up (a damaged file, an end before its start, an
event outside the timed phase, a figure out of its range) gives no figures,
only the reason: figures from it would be wrong, and a document holding them
would fail its own checks on every later reading.
"""

import glob
import math
import os
import platform
import re
from collections import defaultdict
from dataclasses import dataclass, field
from typing import Optional

from . import otf2
from ..base import files
from ..model import document
from ..model.document import Balance
from ..model.printouts import CLOCK_RESOLUTION_S
from .otf2 import Interval, Lane

FOLDER_VARIABLE = "PARBENCH_TRACE"
LIBRARIES = {"openmp": "trace/libparbench-trace-openmp.so", "mpi": "trace/libparbench-trace-mpi.so"}
NS = 1e-9
# A trace file of a run of these programs holds a few thousand lines.
MAX_TRACE_BYTES = 16 * 2 ** 20
# What ld.so expands in LD_PRELOAD and LD_LIBRARY_PATH alike: a folder named
# so would be read as another.
LOADER_TOKEN = re.compile(r"\$(ORIGIN|LIB|PLATFORM)(?![A-Za-z0-9_])|\$\{(ORIGIN|LIB|PLATFORM)\}")
# Where trace/libomp.cpp's few lines of assembly run, as the kernel names the processor.
X86_64 = ("x86_64", "AMD64", "amd64")
# A phase lasts up to one clock tick more than it prints, and is printed in
# single precision to six places.
PRINTED_SLACK = 1e-6
# Processes on other hosts read other clocks: a scan that seems to begin this
# little before the phase is held to it, one further off means the clocks
# disagree too much to give figures.
SKEW_NS = 1_000_000


def library(build, program):
    return os.path.join(build.dir, LIBRARIES["mpi" if program.mpi else "openmp"])


def unavailable(build, program):
    """Why `program` cannot be traced with `build`, or None."""
    if build.cache.get("PARBENCH_SANITIZE"):
        return "a build with sanitizers cannot take a preloaded library"
    path = library(build, program)
    if not os.path.isfile(path):
        runtimes = build.cache.get("OpenMP_CXX_LIB_NAMES", "").split(";")
        if not program.mpi and {"omp", "iomp5"} & set(runtimes) and platform.machine() not in X86_64:
            return "the OpenMP tracing library for libomp is made for x86-64 only, and this is %s" % (
                platform.machine())
        return "%s is not built (run scripts/setup)" % path
    # ld.so(8): LD_PRELOAD splits at spaces and colons, LD_LIBRARY_PATH at
    # colons and semicolons, and neither has an escape.
    folder = os.path.dirname(path)
    if ":" in folder:
        return ("the tracing library's folder %s holds a ':', which LD_PRELOAD and LD_LIBRARY_PATH both take "
                "for a separator" % folder)
    if " " in folder and ";" in folder:
        return ("the tracing library's folder %s holds a space, which LD_PRELOAD takes for a separator, and a ';', "
                "which LD_LIBRARY_PATH does" % folder)
    token = LOADER_TOKEN.search(folder)
    if token:
        return "the tracing library's folder %s holds %s, which the dynamic loader replaces" % (folder, token.group())
    return None


def variables(build, program, folder, environ):
    """What a traced run of `program` needs in its processes' environment."""
    path = library(build, program)
    found, entry = {}, path
    if " " in os.path.dirname(path):
        # Named without a folder, the library is looked for along LD_LIBRARY_PATH, which takes spaces.
        entry = os.path.basename(path)
        found["LD_LIBRARY_PATH"] = ":".join(p for p in (os.path.dirname(path), environ.get("LD_LIBRARY_PATH")) if p)
    found["LD_PRELOAD"] = " ".join(p for p in (entry, environ.get("LD_PRELOAD")) if p)
    found[FOLDER_VARIABLE] = folder
    return found


# Reading what came back

class Damaged(Exception):
    """A trace that does not add up; the text says why."""


@dataclass
class _Process:
    """What one process's trace file holds, times in ns."""
    name: str = ""
    rank: int = -1
    lost: int = 0
    spans: list = field(default_factory=list)     # (start, end) of each region, on its opening thread
    regions: list = field(default_factory=list)   # (thread, start, end): a thread's share of one
    works: list = field(default_factory=list)     # (thread, start, end, microseconds asked)
    calls: list = field(default_factory=list)     # (name, start, end)


# The fields of each kind of line trace/record.cpp writes, as (low, high) of an
# integer or "name"; a line of another kind is a newer library's, and skipped.
_ID = (0, 2 ** 31 - 1)                # a rank, a pid or a thread number, printed as an int
_CLOCK = (-2 ** 63, 2 ** 63 - 1)       # the library's 64-bit nanoseconds
_COUNT = (0, 2 ** 64 - 1)
_NAME = "name"
_FIELDS = {"pid": (_ID,), "rank": (_ID,), "lost": (_COUNT,), "span": (_CLOCK, _CLOCK),
           "region": (_ID, _CLOCK, _CLOCK), "work": (_ID, _CLOCK, _CLOCK, (0, 2 ** 63 - 1)),
           "call": (_NAME, _CLOCK, _CLOCK)}
_FORMS = {"pid": "pid N", "rank": "rank R", "lost": "lost N", "span": "span START END",
          "region": "region TID START END", "work": "work TID START END MICROSECONDS", "call": "call NAME START END"}
_INTEGER = re.compile(r"-?[0-9]+")
_WORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_WHAT = {"span": "a parallel region", "region": "a thread's share of a region", "work": "a work item",
         "call": "a collective"}


def _shown(line):
    return repr(line if len(line) <= 60 else line[:57] + "...")


def _values(words, kinds, form):
    if len(words) != len(kinds):
        raise ValueError("not " + form)
    values = []
    for word, kind in zip(words, kinds):
        if kind == _NAME:
            if not _WORD.fullmatch(word):
                raise ValueError("not " + form)
            values.append(word)
            continue
        if not _INTEGER.fullmatch(word):
            raise ValueError("not " + form)
        # Compared by length first: int() of thousands of digits is slow, and refused beyond 4300.
        value = int(word) if len(word) <= 21 else None
        if value is None or not kind[0] <= value <= kind[1]:
            raise ValueError("%s is out of the range of its field" % (word if len(word) <= 24 else word[:21] + "..."))
        values.append(value)
    return values


def _parse(text, name):
    """The _Process of the trace file `name` holding `text`; Damaged where a
    line of a kind the library writes is not what it writes."""
    p = _Process(name)
    if not text.endswith("\n"):
        # The library writes whole lines and renames a finished file into place.
        raise Damaged("trace file %s %s" % (name, "is empty" if not text else "ends inside a line"))
    for number, line in enumerate(text[:-1].split("\n"), 1):
        kind, _, rest = line.partition(" ")
        if kind not in _FIELDS:
            continue   # "host NAME", blank lines, and whatever a newer library adds
        try:
            values = _values(rest.split(" "), _FIELDS[kind], _FORMS[kind])
        except ValueError as e:
            raise Damaged("trace file %s, line %d is damaged (%s): %s" % (name, number, _shown(line), e))
        if kind in _WHAT and (values[1] < values[0] if kind == "span" else values[2] < values[1]):
            raise Damaged("trace file %s, line %d (%s): %s that ends before it starts"
                          % (name, number, _shown(line), _WHAT[kind]))
        if kind == "rank":
            if p.rank >= 0:
                raise Damaged("trace file %s names its rank twice" % name)
            p.rank = values[0]
        elif kind == "lost":
            p.lost += values[0]
        elif kind == "span":
            p.spans.append(tuple(values))
        elif kind == "region":
            p.regions.append(tuple(values))
        elif kind == "work":
            p.works.append(tuple(values))
        elif kind == "call":
            p.calls.append(tuple(values))
    return p


def _read_all(folder):
    found = []
    for path in sorted(glob.glob(os.path.join(glob.escape(folder), "*.trace"))):
        name = os.path.basename(path)
        try:
            data = files.read(path, MAX_TRACE_BYTES)
        except files.ReadError as e:
            raise Damaged("trace file %s cannot be read: %s" % (name, e))
        found.append(_parse(data.decode("utf-8", errors="replace"), name))
    return found


def _clip(start, end, low, high):
    """(start, end) held within low..high, end never before start."""
    start = min(max(start, low), high)
    return start, max(min(end, high), start)


def _seconds(ns):
    return ns * NS


def _mpi(processes, procs):
    by_rank = {}
    for p in (p for p in processes if p.rank >= 0):
        if p.rank in by_rank:
            raise Damaged("trace files %s and %s both say they are process %d"
                          % (by_rank[p.rank].name, p.name, p.rank))
        by_rank[p.rank] = p
    if procs and sorted(by_rank) != list(range(procs)):
        raise Damaged("traces came back from %d of %d processes" % (len(by_rank), procs))
    calls = {}
    for rank, p in by_rank.items():
        named = defaultdict(list)
        for name, s, e in p.calls:
            named[name].append((s, e))
        for name in ("MPI_Bcast", "MPI_Reduce"):
            if not named[name]:
                raise Damaged("process %d left no trace of its collectives" % rank)
            if len(named[name]) > 1:
                raise Damaged("process %d entered %s %d times, where the program enters it once"
                              % (rank, name, len(named[name])))
        (bs, be), (rs, re_) = named["MPI_Bcast"][0], named["MPI_Reduce"][0]
        if rs < be:
            raise Damaged("process %d entered MPI_Reduce %.6f s before its MPI_Bcast returned"
                          % (rank, _seconds(be - rs)))
        calls[rank] = (bs, be, rs, re_)
    # The phase as the lanes see it: from the root's broadcast to the last
    # reduction's return. Workers wait in the broadcast while the root writes
    # the file; that lies before the phase.
    origin = calls[0][0] if 0 in calls else min(c[1] for c in calls.values())
    finish = max(c[3] for c in calls.values())
    useful, waiting, lanes = [], [], []
    for rank in sorted(calls):
        bs, be, rs, re_ = calls[rank]
        if be < origin - SKEW_NS:
            raise Damaged("process %d's MPI_Bcast returned %.6f s before the root's began: their clocks disagree"
                          % (rank, _seconds(origin - be)))
        bs, be = _clip(bs, be, origin, finish)
        rs, re_ = _clip(rs, re_, be, finish)
        useful.append(rs - be)
        waiting.append((be - bs) + (re_ - rs))
        lanes.append(("process %d" % rank, [("wait", bs, be, "MPI_Bcast"), ("scan", be, rs, ""),
                                              ("wait", rs, re_, "MPI_Reduce")]))
    return "process", origin, finish, useful, waiting, lanes, {}


def _openmp(processes, useful_kind):
    if len(processes) != 1 or not processes[0].spans:
        raise Damaged("no parallel region was traced")
    p = processes[0]
    origin, finish = min(s for s, _ in p.spans), max(e for _, e in p.spans)
    threads = sorted({tid for tid, _, _ in p.regions})
    if not threads:
        raise Damaged("no thread's share of a region was traced")
    if threads != list(range(len(threads))):
        raise Damaged("the trace holds threads %s: some thread left no share of the region"
                      % ", ".join(map(str, threads)))
    share, waiting = defaultdict(int), defaultdict(int)
    lanes = defaultdict(list)
    for tid, start, end in p.regions:
        if start < origin or end > finish:
            raise Damaged("thread %d's share of a region lies outside the parallel regions" % tid)
        share[tid] += end - start
        # Its wait at the region's end: until the span that holds it closed.
        close = min((e for s, e in p.spans if s <= start <= e), default=finish)
        waiting[tid] += max(close - end, 0)
        if useful_kind == "region":
            lanes[tid].append(("region", start, end, ""))
        if close > end:
            lanes[tid].append(("wait", end, close, ""))
    slept, items, asked = defaultdict(int), defaultdict(int), defaultdict(int)
    for tid, start, end, us in p.works:
        if tid not in share:
            raise Damaged("thread %d ran work items but left no share of the region" % tid)
        if start < origin or end > finish:
            raise Damaged("a work item of thread %d lies outside the parallel regions" % tid)
        slept[tid] += end - start
        items[tid] += 1
        asked[tid] += us
        lanes[tid].append(("work", start, end, ""))
    useful = [(slept if useful_kind == "work" else share)[t] for t in threads]
    extra = {}
    if useful_kind == "work":
        extra = dict(items=tuple(items[t] for t in threads), work_s=tuple(_us(asked[t] * 1e-6) for t in threads))
    # By start, then end: an item that ends as the share does goes before the wait that begins then.
    return ("thread", origin, finish, useful, [waiting[t] for t in threads],
            [("thread %d" % t, sorted(lanes[t], key=lambda i: i[1:3])) for t in threads], extra)


def _load_balance(useful):
    # In whole nanoseconds: a float mean of equal lanes can come out above the largest.
    return sum(useful) / (len(useful) * max(useful))


def _us(seconds):
    """Seconds kept to the microsecond: what the clocks can tell apart."""
    return round(seconds, 6)


@dataclass(frozen=True)
class Reading:
    """One run's trace files read: its Balance, and its lanes, whose intervals
    keep the labels that the document has no room for (the collectives'
    names); or, where they do not add up, why not."""
    balance: Optional[Balance] = None
    lanes: tuple = ()
    why: Optional[str] = None


def _reading(unit, origin, finish, useful, waiting, lanes, extra, phase_s, mpi):
    """The Reading of what _mpi or _openmp found (times in ns), checked
    against the phase the program printed and against the document."""
    top = max(useful)
    if top <= 0:
        raise Damaged("no lane did any useful work in the traced phase")
    if phase_s is not None:
        limit = phase_s * (1 + PRINTED_SLACK) + CLOCK_RESOLUTION_S
        if _seconds(top) > limit:
            raise Damaged("a lane worked %.6f s, longer than the phase of %s s the program printed"
                          % (_seconds(top), phase_s))
        # An OpenMP program times its regions whole; an MPI worker may return from the reduction after the root.
        if not mpi and _seconds(finish - origin) > limit:
            raise Damaged("the parallel regions took %.6f s, longer than the phase of %s s the program printed"
                          % (_seconds(finish - origin), phase_s))
    load = _load_balance(useful)
    comm = _seconds(top) / phase_s if phase_s else None
    made = tuple(Lane(name, tuple(Interval(kind, _us(_seconds(s - origin)), _us(_seconds(e - origin)), label)
                                  for kind, s, e, label in intervals)) for name, intervals in lanes)
    why = otf2.lanes_problem(made)
    if why:
        raise Damaged("its lanes do not add up: %s" % why)
    balance = Balance(unit, tuple(_us(_seconds(v)) for v in useful), tuple(_us(_seconds(v)) for v in waiting),
                      load, comm, load * comm if comm is not None else None,
                      timeline=tuple(tuple((i.kind, i.start, i.end) for i in lane.intervals) for lane in made),
                      **extra)
    why = document.balance_problem(balance)
    if why:
        raise Damaged("its figures would not pass the document's own checks: %s" % why)
    return Reading(balance, made)


def read_run(folder, program, procs, phase_s):
    """The Reading of the trace files in `folder` of one run of `program` with
    `procs` processes (None for OpenMP), whose timed phase took `phase_s` as
    printed (None where it printed none)."""
    if phase_s is not None and not (math.isfinite(phase_s) and phase_s >= 0):
        phase_s = None
    try:
        processes = _read_all(folder)
        if not processes:
            return Reading(why="no trace came back")
        lost = sum(p.lost for p in processes)
        if lost:
            return Reading(why="%d events did not fit in the tracing library's buffer" % lost)
        found = _mpi(processes, procs) if program.mpi else _openmp(processes, program.useful)
        return _reading(*found, phase_s, program.mpi)
    except Damaged as e:
        return Reading(why=str(e))


def read(folder, program, procs, phase_s):
    """(Balance or None, why there is none) of read_run."""
    found = read_run(folder, program, procs, phase_s)
    return found.balance, found.why


def safe_name(text):
    return re.sub(r"[^A-Za-z0-9._-]+", "-", text)
