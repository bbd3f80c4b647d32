"""Where a run's threads and processes run: what each placement policy asks of
the OpenMP runtime and of the MPI family, where they ran as the runtimes
themselves report it on standard error, and whether that is what was asked.

The runner asks `openmp_request` or `mpi_request` once per program and
policy, hands the request's variables or launcher setting to each run, reads
its standard error back with `Request.read`, keeps `Request.strip`'s error
text, and says `judge`'s note where there is one. The programs' reports on
standard output are never touched: a runtime that would report there is not
asked to.
"""

import math
import re
from dataclasses import dataclass, field
from typing import Optional

from . import mpi
from ..base import text
from .machine import cpu_list

POLICIES = ("none", "close", "spread")

# Fields that libgomp and libomp both expand (OpenMP 5.0's one-letter names),
# behind a tag that no program prints.
AFFINITY_FORMAT = "parbench-affinity pid=%P host=%H thread=%n team=%N cpus=%A"
_AFFINITY_LINE = re.compile(r"parbench-affinity pid=(\d+) host=(\S*) thread=(\d+) team=(\d+) cpus=([0-9,-]+)")


def check(policy):
    if policy not in POLICIES:
        raise ValueError("%r is no placement policy (%s)" % (policy, ", ".join(POLICIES)))
    return policy


def parse_policies(listed):
    """The policies of a comma list, in its order, once each; ValueError names a wrong one."""
    found = []
    for word in (w.strip() for w in listed.split(",")):
        if check(word) not in found:
            found.append(word)
    return tuple(found)


# The OpenMP runtimes.

@dataclass(frozen=True)
class Runtime:
    """An OpenMP runtime, and where its affinity display goes."""
    name: str
    displays_on: Optional[str]    # "standard error", "standard output", or None: not known


# Measured: libgomp 12 and 14 display on standard error; libomp 14 and 19 on
# standard output, among the report.
RUNTIMES = {"libgomp": Runtime("libgomp", "standard error"), "libomp": Runtime("libomp", "standard output")}


def runtime_named(library):
    """The Runtime of a library name ("libgomp"); of an unknown stream where the runner knows none."""
    return RUNTIMES.get(library) or Runtime(library or "the OpenMP runtime", None)


def openmp_runtime(build):
    """The Runtime that `build`'s programs link, from CMake's OpenMP_CXX_LIB_NAMES."""
    names = ["lib" + n for n in build.cache.get("OpenMP_CXX_LIB_NAMES", "").split(";") if n and n != "pthread"]
    return runtime_named(next((n for n in names if n in RUNTIMES), names[0] if names else None))


# What a policy asks, and what was read back.

@dataclass(frozen=True)
class Placement:
    """Where a run's threads or processes could run, as their runtime reported it."""
    members: str                                 # "thread" or "process"
    cpus: dict = field(default_factory=dict)     # {thread or rank: frozenset of CPUs, None where not bound}
    hosts: dict = field(default_factory=dict)    # {thread or rank: host}
    team: Optional[int] = None                   # the team the threads were in
    unread: Optional[str] = None                 # why nothing could be read back

    def record(self):
        """The placement as plain values for a run's record."""
        return {"members": self.members, "team": self.team, "unread": self.unread,
                "cpus": {str(n): cpu_text(c) for n, c in sorted(self.cpus.items())},
                "hosts": sorted(set(self.hosts.values()))}


@dataclass(frozen=True)
class Request:
    """What a policy asks of one program's runs, and how to read back what ran."""
    policy: str
    members: str                             # "thread" or "process"
    env: dict = field(default_factory=dict)  # for an OpenMP program's environment
    setting: Optional[mpi.Setting] = None    # for an MPI program's launcher; None where it cannot be asked
    binding: Optional[str] = None            # what the processes are bound to, for the run's record
    family: Optional[mpi.Mpi] = None
    unread: Optional[str] = None             # why what ran cannot be read back

    def read(self, err, topology=None):
        """The Placement that a run's standard error reports."""
        if self.unread:
            return Placement(self.members, unread=self.unread)
        return affinity(err) if self.members == "thread" else processes(self.family, err, topology)

    def strip(self, err):
        """A run's standard error without the placement lines this request asked for."""
        return err if self.unread else strip(err, self.family)


def places(topology):
    """OMP_PLACES: cores, or hardware threads where hwloc tells no cores apart."""
    return "threads" if topology is not None and not topology.cores else "cores"


def openmp_request(policy, runtime, topology=None):
    """The Request of `policy` for an OpenMP program linked with `runtime` (a Runtime)."""
    check(policy)
    env = {"OMP_PROC_BIND": "false"} if policy == "none" else {"OMP_PROC_BIND": policy, "OMP_PLACES": places(topology)}
    if runtime.displays_on == "standard error":
        env.update(OMP_DISPLAY_AFFINITY="TRUE", OMP_AFFINITY_FORMAT=AFFINITY_FORMAT)
        return Request(policy, "thread", env)
    # Off, even where the user's environment turns it on: it would land in the report.
    env["OMP_DISPLAY_AFFINITY"] = "FALSE"
    why = ("%s prints its affinity lines on %s, among the program's report" % (runtime.name, runtime.displays_on)
           if runtime.displays_on else "the runner does not know where %s prints its affinity lines" % runtime.name)
    return Request(policy, "thread", env, unread=why)


def mpi_request(policy, launch):
    """The Request of `policy` for an MPI program started by `launch` (a
    platform.launch.Launch): its setting carries the family's binding and,
    where the family has one on standard error, its binding report."""
    check(policy)
    if launch.template:
        why = "a launcher template's options are its author's, so the runner adds no binding to them"
        return Request(policy, "process", unread=why)
    family = launch.mpi
    asked = family.binding(policy)
    if isinstance(asked, mpi.Unavailable):
        return Request(policy, "process", family=family, unread=asked.why)
    setting, binding = asked
    report = family.binding_report()
    if isinstance(report, mpi.Unavailable):
        return Request(policy, "process", setting=setting, binding=binding, family=family, unread=report.why)
    return Request(policy, "process", setting=setting + report, binding=binding, family=family)


# Reading back.

def parse_cpus(listed):
    """The CPUs of a list such as "0-3,8" or "0,1"."""
    cpus = set()
    for part in listed.split(","):
        low, _, high = part.strip().partition("-")
        cpus.update(range(int(low), int(high or low) + 1))
    return frozenset(cpus)


def cpu_text(cpus):
    """CPUs as a list ("0-3,8"); None where not bound. Objects the runner could
    not turn into CPUs ("core 3") are listed as they are."""
    if cpus is None:
        return None
    numbers = [c for c in cpus if isinstance(c, int)]
    return ",".join(filter(None, [cpu_list(numbers)] + sorted(str(c) for c in cpus if not isinstance(c, int))))


def affinity(err):
    """The threads' Placement from the OpenMP affinity lines in `err`: those of
    the largest team, the program's parallel phase."""
    lines = [m for m in map(_AFFINITY_LINE.fullmatch, err.splitlines()) if m]
    if not lines:
        return Placement("thread")
    team = max(int(m.group(4)) for m in lines)
    cpus, hosts = {}, {}
    for m in lines:
        if int(m.group(4)) == team:
            cpus[int(m.group(3))] = parse_cpus(m.group(5))
            hosts[int(m.group(3))] = m.group(2)
    return Placement("thread", cpus, hosts, team)


def _on(host, topology):
    """Whether `host` is the one `topology` was read on (a topology of no
    known host, or a member of no known host, counts as the same)."""
    if topology is None:
        return False
    if not host or not topology.host:
        return True
    return host.split(".")[0] == topology.host.split(".")[0]


def _cpus_of(objects, topology):
    """The CPUs of an MPI family's logical objects on `topology`, or the objects
    named as they are where there is no topology of their host to say."""
    if topology is not None:
        levels = {"pu": [frozenset([c]) for c in topology.cpus], "core": list(topology.cores)}
        if all(i < len(levels[unit]) for unit, i in objects):
            return frozenset().union(*(levels[unit][i] for unit, i in objects))
    return frozenset("%s %d" % (unit, i) for unit, i in objects)


def processes(family, err, topology=None):
    """The processes' Placement from `family`'s binding report in `err`; the
    CPUs are the kernel's numbers where `topology` (this host's) says them."""
    if isinstance(family.binding_report(), mpi.Unavailable):
        return Placement("process", unread=family.binding_report().why)
    cpus, hosts = {}, {}
    for rank, (host, objects) in family.read_bindings(err).items():
        hosts[rank] = host
        cpus[rank] = None if objects is None else _cpus_of(objects, topology if _on(host, topology) else None)
    return Placement("process", cpus, hosts)


def strip(err, family=None):
    """`err` without its affinity lines and `family`'s binding report; every
    other line as it was."""
    return "".join(line for line in err.splitlines(keepends=True)
                   if not _AFFINITY_LINE.fullmatch(line.rstrip("\r\n"))
                   and not (family and family.is_binding_line(line.rstrip("\r\n"))))


# Judging.

def _sets(sets, most=4):
    """Distinct CPU sets as "CPUs 0,8 / 1,9", the first few of them."""
    texts = sorted({cpu_text(c) for c in sets}, key=lambda t: [int(d) for d in re.findall(r"\d+", t)])
    shown = " / ".join(texts[:most]) + (" / ..." if len(texts) > most else "")
    return ("CPUs " if all(t[0].isdigit() for t in texts) else "") + shown


def _who(members, numbers):
    """"thread 0", "threads 0-3", "processes 0,2"."""
    return "%s %s" % (text.noun(len(numbers), members), cpu_list(numbers))


def judge(policy, placement, topology=None):
    """None, or a one-line note where what ran differs from what `policy`
    asked: bound under none; under close or spread free to run on every CPU,
    bound to more than one core, more of them on one core than an even share,
    or (spread) fewer packages than there were for them; or nothing read
    back, and why. Only members on `topology`'s host are held to its cores."""
    check(policy)
    kind = placement.members
    if placement.unread:
        return "%s placement not read back: %s" % (kind, placement.unread)
    if not placement.cpus:
        return ("no thread placement was reported: the runtime printed no affinity lines (libgomp prints "
                "none for a team of one thread)" if kind == "thread" else
                "no process placement was reported: the launcher printed no binding report")
    cpus = placement.cpus
    local = {n: c for n, c in cpus.items() if _on(placement.hosts.get(n), topology)}
    union = frozenset().union(*(c for c in cpus.values() if c is not None))
    everything, cores, packages = None, [], []
    if topology is not None:
        # Threads inherit the runner's own binding; a launcher binds within the whole host whatever its own.
        everything = topology.usable if kind == "thread" else frozenset(topology.cpus)
        cores = [c & everything for c in topology.cores if c & everything]
        packages = [p & everything for p in topology.packages if p & everything]

    def free(n):
        return cpus[n] is None or n in local and cpus[n] == everything

    def bound(n):
        if cpus[n] is None:
            return False
        if n in local:
            return cpus[n] != everything
        # A family reports a binding to every CPU as none; a runtime lists them.
        return kind == "process" or cpus[n] != union

    def index(groups, cpu):
        return next((i for i, group in enumerate(groups) if cpu in group), None)

    notes = []
    if policy == "none":
        tied = [n for n in cpus if bound(n)]
        if tied:
            notes.append("asked not to bind, yet %s %s bound (%s)" % (
                _who(kind, tied), "was" if len(tied) == 1 else "were", _sets(cpus[n] for n in tied)))
        return "; ".join(notes) or None

    # On one core binding to it is binding to every CPU.
    can_bind = topology is None or len(cores or everything) > 1
    loose = [n for n in cpus if free(n)]
    if loose and can_bind:
        notes.append("asked to bind %s, yet %s could run on every CPU" % (policy, _who(kind, loose)))
    if cores:
        # Bound members of this host, by the kernel's numbers.
        held = {n: c for n, c in local.items()
                if c is not None and c != everything and all(isinstance(x, int) for x in c)}
        on = {n: {index(cores, x) for x in c} - {None} for n, c in held.items()}
        wide = [n for n in held if len(on[n]) > 1]
        if wide:
            notes.append("%s bound to more than one core (%s)" % (_who(kind, wide), _sets(held[n] for n in wide)))
        # Close and spread both fill each core before any gets one more.
        limit = math.ceil(len(local) / len(cores))
        sharing = {}
        for n in held:
            if len(on[n]) == 1:
                sharing.setdefault(next(iter(on[n])), []).append(n)
        crowded = sorted((core, ns) for core, ns in sharing.items() if len(ns) > limit)
        if crowded:
            core, ns = crowded[0]
            notes.append("%s shared core %d (CPUs %s), where %d cores were there for %s" % (
                _who(kind, ns), core, cpu_list(cores[core]), len(cores), text.plural(len(local), kind)))
        if policy == "spread" and len(packages) > 1 and len(held) == len(local):
            used = {index(packages, min(c)) for c in held.values()}
            if len(used) < min(len(local), len(packages)):
                notes.append("asked to spread, yet the %s ran in %s %s of %d" % (
                    text.plural(len(local), kind), text.noun(len(used), "package"), cpu_list(used),
                    len(packages)))
    return "; ".join(notes) or None
