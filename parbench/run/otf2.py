"""One run's events as an OTF2 archive that trace viewers open: a location per
lane, a region per kind of interval, an Enter and a Leave per interval.

Written with Debian's python3-otf2, which is imported only when a trace is
written: without it the rest of the runner works as before."""

import math
import os
import re
from dataclasses import dataclass

from ..base import optional

KINDS = ("work", "scan", "region", "wait")
CREATOR = "parbench"
PROCESS_LANE = re.compile(r"process (\d+)")


@dataclass(frozen=True)
class Interval:
    kind: str        # one of KINDS
    start: float     # seconds from the run's first event
    end: float       # seconds, >= start
    label: str = ""  # "MPI_Bcast", "item 17"


@dataclass(frozen=True)
class Lane:
    name: str        # "thread 0", "process 2"
    intervals: tuple  # of Interval, by start, none overlapping


def unavailable():
    """Why no trace can be written, or None."""
    return optional.missing(optional.OTF2)


def write(folder, name, lanes, program, clock_resolution=1e-9):
    """Writes `lanes` as the OTF2 archive `name` in `folder` (folder/name.otf2,
    folder/name.def and folder/name/ with a file pair per location), with
    timestamps in ticks of `clock_resolution` seconds. Returns the anchor
    file's path. Refuses (ValueError) what would make a broken archive, and
    (FileExistsError) to write over an archive."""
    lanes = list(lanes)
    ticks_per_second = _ticks_per_second(clock_resolution)
    _check(name, lanes)
    folder = os.fspath(folder)
    anchor = os.path.join(folder, name + ".otf2")
    # The library fails on an existing archive only after it has emptied its
    # definitions file, so it never gets to see one.
    for path in (anchor, os.path.join(folder, name + ".def"), os.path.join(folder, name)):
        if os.path.lexists(path):
            raise FileExistsError("%s exists: an archive is not written over" % path)
    reason = unavailable()
    if reason:
        raise RuntimeError(reason)
    # The library's own failure to make it leaves a half-made writer that complains when collected.
    os.makedirs(folder, exist_ok=True)
    import otf2

    def ticks(seconds):
        return int(round(seconds * ticks_per_second))

    with otf2.writer.open(folder, archive_name=name, timer_resolution=ticks_per_second) as trace:
        trace.creator = CREATOR
        trace.description = program
        defs = trace.definitions
        root = defs.system_tree_node(program, class_name="run")
        groups, regions = {}, {}
        for lane in lanes:
            # An MPI process is a group of its own; the threads of one process share one.
            key = lane.name if PROCESS_LANE.fullmatch(lane.name) else program
            if key not in groups:
                groups[key] = defs.location_group(key, location_group_type=otf2.LocationGroupType.PROCESS,
                                                  system_tree_parent=root)
            location = defs.location(lane.name, type=otf2.LocationType.CPU_THREAD, group=groups[key])
            events = trace.event_writer_from_location(location)
            for interval in lane.intervals:
                pair = (interval.kind, interval.label)
                if pair not in regions:
                    role, paradigm = _role(otf2, *pair)
                    regions[pair] = defs.region(interval.label or interval.kind, description=interval.kind,
                                                region_role=role, paradigm=paradigm)
                events.enter(ticks(interval.start), regions[pair])
                events.leave(ticks(interval.end), regions[pair])
    return anchor


# What each MPI collective sends where, as OTF2 names it.
_COLLECTIVES = {
    "Barrier": "BARRIER", "Ibarrier": "BARRIER",
    "Bcast": "COLL_ONE2ALL", "Scatter": "COLL_ONE2ALL", "Scatterv": "COLL_ONE2ALL",
    "Gather": "COLL_ALL2ONE", "Gatherv": "COLL_ALL2ONE", "Reduce": "COLL_ALL2ONE",
    "Allreduce": "COLL_ALL2ALL", "Allgather": "COLL_ALL2ALL", "Allgatherv": "COLL_ALL2ALL",
    "Alltoall": "COLL_ALL2ALL", "Alltoallv": "COLL_ALL2ALL", "Reduce_scatter": "COLL_ALL2ALL",
    "Scan": "COLL_OTHER", "Exscan": "COLL_OTHER",
}


def _role(otf2, kind, label):
    """The region role and paradigm of an interval of `kind` named `label`."""
    role, paradigm = otf2.RegionRole, otf2.Paradigm
    if kind == "region":
        return role.PARALLEL, paradigm.OPENMP
    if kind != "wait":
        return role.FUNCTION, paradigm.USER
    if label.startswith("MPI_"):
        return getattr(role, _COLLECTIVES.get(label[4:], "FUNCTION")), paradigm.MPI
    if "critical" in label.lower():
        return role.CRITICAL, paradigm.OPENMP
    return role.IMPLICIT_BARRIER, paradigm.OPENMP


def _ticks_per_second(clock_resolution):
    # OTF2 states its clock as a whole number of ticks per second.
    try:
        per_second = 1.0 / clock_resolution
    except (TypeError, ZeroDivisionError):
        raise ValueError("clock resolution %r is not a positive number of seconds" % (clock_resolution,))
    if not (math.isfinite(per_second) and per_second >= 1 - 1e-9):
        raise ValueError("clock resolution %r s is not between 0 and 1 s" % (clock_resolution,))
    whole = round(per_second)
    if abs(per_second - whole) > 1e-6 * whole:
        raise ValueError("clock resolution %r s is not a whole number of ticks per second" % (clock_resolution,))
    return int(whole)


def _check(name, lanes):
    if not name or os.sep in name or name in (".", ".."):
        raise ValueError("archive name %r is not a file name" % (name,))
    problem = lanes_problem(lanes)
    if problem:
        raise ValueError(problem)


def lanes_problem(lanes):
    """What in `lanes` would make a broken archive, or None."""
    if not lanes:
        return "no lanes: an archive without locations cannot be read"
    names = [lane.name for lane in lanes]
    if len(set(names)) != len(names):
        return "lane names repeat: %s" % ", ".join(sorted({n for n in names if names.count(n) > 1}))
    for lane in lanes:
        # A location's events must come in time order, each Leave after its Enter.
        previous_end = 0.0
        for interval in lane.intervals:
            where = "%s, %s %r" % (lane.name, interval.kind, interval.label)
            if interval.kind not in KINDS:
                return "%s: kind is not one of %s" % (where, ", ".join(KINDS))
            if not (math.isfinite(interval.start) and math.isfinite(interval.end)):
                return "%s: times %r to %r are not finite" % (where, interval.start, interval.end)
            if interval.end < interval.start:
                return "%s: ends at %r s, before its start at %r s" % (where, interval.end, interval.start)
            if interval.start < 0:
                return "%s: starts at %r s, before the run" % (where, interval.start)
            if interval.start < previous_end:
                return ("%s: starts at %r s, before the lane's previous interval ended (%r s)"
                        % (where, interval.start, previous_end))
            previous_end = interval.end
    return None
