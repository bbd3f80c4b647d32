"""Seeing inside a run from outside the program (run-suite --trace).

The build makes two libraries in trace/: one preloaded into the OpenMP
programs, wrapping libgomp's parallel regions and libc's sleeps, one into the
MPI program's processes, wrapping its two collectives through the profiling
interface. Each traced process writes what it saw to a
file in the folder that FOLDER_VARIABLE names; this module says how a run is
traced and turns those files into a document.Balance.

What counts as a lane's useful time is the program's `useful` in the program
table: "work" (the work items it slept), "region" (its share of the parallel
region) or "scan" (from the broadcast's return to the reduction's entry).
"""

import glob
import math
import os
import re
from collections import defaultdict
from dataclasses import dataclass, field

from . import stats
from .document import Balance, GroupBalance
from .otf2trace import Interval, Lane

FOLDER_VARIABLE = "PARBENCH_TRACE"
LIBRARIES = {"openmp": "trace/libparbench-trace-openmp.so", "mpi": "trace/libparbench-trace-mpi.so"}
GOOD = 0.8          # parallel efficiency counted good
NS = 1e-9
# A trace file of a run of these programs holds a few thousand lines.
MAX_TRACE_BYTES = 16 * 2 ** 20


def library(build, program):
    return os.path.join(build.dir, LIBRARIES["mpi" if program.mpi else "openmp"])


def unavailable(build, program):
    """Why `program` cannot be traced with `build`, or None."""
    if build.cache.get("PARBENCH_SANITIZE"):
        return "a build with sanitizers cannot take a preloaded library"
    path = library(build, program)
    if not os.path.isfile(path):
        return "%s is not built (run scripts/setup)" % path
    return None


def variables(build, program, folder, environ):
    """What a traced run of `program` needs in its processes' environment."""
    preload = " ".join(p for p in (library(build, program), environ.get("LD_PRELOAD", "")) if p)
    return {"LD_PRELOAD": preload, FOLDER_VARIABLE: folder}


# Reading what came back

@dataclass
class _Process:
    """What one process's trace file holds, times in ns."""
    rank: int = -1
    lost: int = 0
    spans: list = field(default_factory=list)     # (start, end) of each region, on its opening thread
    regions: list = field(default_factory=list)   # (thread, start, end): a thread's share of one
    works: list = field(default_factory=list)     # (thread, start, end, microseconds asked)
    calls: list = field(default_factory=list)     # (name, start, end)


def _parse(text):
    p = _Process()
    for line in text.splitlines():
        words = line.split()
        try:
            if words[0] == "rank":
                p.rank = int(words[1])
            elif words[0] == "lost":
                p.lost = int(words[1])
            elif words[0] == "span":
                p.spans.append((int(words[1]), int(words[2])))
            elif words[0] == "region":
                p.regions.append((int(words[1]), int(words[2]), int(words[3])))
            elif words[0] == "work":
                p.works.append((int(words[1]), int(words[2]), int(words[3]), int(words[4])))
            elif words[0] == "call":
                p.calls.append((words[1], int(words[2]), int(words[3])))
        except (IndexError, ValueError):
            continue   # a line cut short or not ours: the rest still counts
    return p


def _read_all(folder):
    found = []
    for path in sorted(glob.glob(os.path.join(glob.escape(folder), "*.trace"))):
        try:
            if os.path.getsize(path) > MAX_TRACE_BYTES:
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                found.append(_parse(f.read()))
        except OSError:
            continue
    return found


def _figures(useful, phase_s):
    top = max(useful)
    balance = sum(useful) / len(useful) / top if top > 0 else None
    comm = top / phase_s if phase_s and phase_s > 0 and math.isfinite(phase_s) else None
    return balance, comm, balance * comm if None not in (balance, comm) else None


def _clip(start, end, low, high):
    """(start, end) held within low..high, end never before start."""
    start = min(max(start, low), high)
    return start, max(min(end, high), start)


def _mpi(processes, procs, phase_s):
    by_rank = {p.rank: p for p in processes if p.rank >= 0}
    if procs and sorted(by_rank) != list(range(procs)):
        return None, "traces came back from %d of %d processes" % (len(by_rank), procs)
    calls = {}
    for rank, p in by_rank.items():
        named = {name: (s, e) for name, s, e in p.calls}
        if "MPI_Bcast" not in named or "MPI_Reduce" not in named:
            return None, "process %d left no trace of its collectives" % rank
        calls[rank] = named
    # The phase as the lanes see it: from the root's broadcast to the last
    # reduction's return. Workers wait in the broadcast while the root writes
    # the file; that lies before the phase.
    origin = calls[0]["MPI_Bcast"][0] if 0 in calls else min(c["MPI_Bcast"][1] for c in calls.values())
    finish = max(c["MPI_Reduce"][1] for c in calls.values())
    useful, waiting, timeline = [], [], []
    for rank in sorted(calls):
        bs, be = _clip(*calls[rank]["MPI_Bcast"], origin, finish)
        rs, re_ = _clip(*calls[rank]["MPI_Reduce"], origin, finish)
        useful.append((rs - be) * NS)
        waiting.append(((be - bs) + (re_ - rs)) * NS)
        timeline.append((("wait", (bs - origin) * NS, (be - origin) * NS, "MPI_Bcast"),
                         ("scan", (be - origin) * NS, (rs - origin) * NS, ""),
                         ("wait", (rs - origin) * NS, (re_ - origin) * NS, "MPI_Reduce")))
    return _balance("process", useful, waiting, phase_s, timeline), None


def _openmp(processes, useful_kind, phase_s):
    if len(processes) != 1 or not processes[0].spans:
        return None, "no parallel region was traced"
    p = processes[0]
    origin, finish = min(s for s, _ in p.spans), max(e for _, e in p.spans)
    threads = sorted({tid for tid, _, _ in p.regions})
    share, waiting = defaultdict(int), defaultdict(int)
    lanes = defaultdict(list)
    for tid, start, end in p.regions:
        share[tid] += end - start
        # Its wait at the region's end: until the span that holds it closed.
        close = min((e for s, e in p.spans if s <= start <= e), default=finish)
        waiting[tid] += max(close - end, 0)
        if useful_kind == "region":
            lanes[tid].append(("region", (start - origin) * NS, (end - origin) * NS, ""))
        if close > end:
            lanes[tid].append(("wait", (end - origin) * NS, (close - origin) * NS, ""))
    slept, items, asked = defaultdict(int), defaultdict(int), defaultdict(int)
    for tid, start, end, us in p.works:
        slept[tid] += end - start
        items[tid] += 1
        asked[tid] += us
        lanes[tid].append(("work", (start - origin) * NS, (end - origin) * NS, ""))
    if useful_kind == "work":
        useful = [slept[t] * NS for t in threads]
    else:
        useful = [share[t] * NS for t in threads]
    timeline = [tuple(sorted(lanes[t], key=lambda i: i[1])) for t in threads]
    extra = {}
    if useful_kind == "work":
        extra = dict(items=tuple(items[t] for t in threads), work_s=tuple(asked[t] * 1e-6 for t in threads))
    return _balance("thread", useful, [waiting[t] * NS for t in threads], phase_s, timeline, **extra), None


def _balance(lanes, useful, waiting, phase_s, timeline, **extra):
    if not useful:
        return None
    figures = _figures(useful, phase_s)
    return Balance(lanes, tuple(_us(v) for v in useful), tuple(_us(v) for v in waiting), *figures,
                   timeline=tuple(tuple((i[0], _us(i[1]), _us(i[2])) for i in lane) for lane in timeline),
                   **{k: tuple(_us(x) if isinstance(x, float) else x for x in v) for k, v in extra.items()})


def _us(seconds):
    """Seconds kept to the microsecond: what the clocks can tell apart."""
    return round(seconds, 6)


def read(folder, program, procs, phase_s):
    """(Balance or None, why there is none) from the trace files in `folder`
    of one run of `program` with `procs` processes (None for OpenMP), whose
    timed phase took `phase_s` as printed."""
    processes = _read_all(folder)
    if not processes:
        return None, "no trace came back"
    lost = sum(p.lost for p in processes)
    if lost:
        return None, "%d events did not fit in the tracing library's buffer" % lost
    if program.mpi:
        return _mpi(processes, procs, phase_s)
    found, why = _openmp(processes, program.useful, phase_s)
    return (found, why) if found or why else (None, "nothing was traced")


# Summaries and lines

def of_group(balances):
    """The medians of a group's Balances, or None."""
    balances = [b for b in balances if b is not None]
    if not balances:
        return None

    def median(name):
        values = [b.figure(name) for b in balances if b.figure(name) is not None]
        return stats.median(values) if values else None
    drawn = [sum(b.work_s) for b in balances if b.work_s]
    return GroupBalance(len(balances), median("load_balance"), median("communication_efficiency"),
                        median("parallel_efficiency"), stats.median(drawn) if len(drawn) == len(balances) else None)


def _ratio(value):
    return "-" if value is None else "%.2f" % value


def line(row):
    """"splitwork with 4 threads: load balance 0.58, ...": one summary row's
    traced figures, or None."""
    b = row.balance
    if b is None:
        return None
    pe = b.parallel_efficiency
    verdict = "" if pe is None else " (good)" if pe >= GOOD else " (below %g)" % GOOD
    return "%s: load balance %s, communication efficiency %s, parallel efficiency %s%s; median of %d traced run%s" % (
        row.group.describe(), _ratio(b.load_balance), _ratio(b.communication_efficiency), _ratio(pe), verdict,
        b.traced, "" if b.traced == 1 else "s")


def changes(baseline_rows, new_rows):
    """Lines for the groups traced in both sessions: each figure before and after."""
    before = {r.group: r.balance for r in baseline_rows if r.balance}
    out = []
    for row in sorted(new_rows, key=lambda r: r.group.sort_key()):
        old = before.get(row.group)
        if old is None or row.balance is None:
            continue
        parts = ["%s %s -> %s" % (name.replace("_", " "), _ratio(old.figure(name)), _ratio(row.balance.figure(name)))
                 for name in ("load_balance", "parallel_efficiency")]
        out.append("%s: %s" % (row.group.describe(), ", ".join(parts)))
    return out


def lanes_of(balance):
    """The Balance's timeline as Lanes, for pictures and archives."""
    unit = balance.lanes
    return [Lane("%s %d" % (unit, i), tuple(Interval(*i_[:3]) for i_ in lane))
            for i, lane in enumerate(balance.timeline)]


def safe_name(text):
    return re.sub(r"[^A-Za-z0-9._-]+", "-", text)
