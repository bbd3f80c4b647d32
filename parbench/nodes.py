"""Hosts side by side: the same group run on several hosts, and which host is
slow.

Each session chosen stands for its host (by default the newest session of
each host from the last day). For every group that three or more hosts ran,
with valid runs, a host is slower when all three of these hold:

- its median stands apart from the hosts' medians: its modified z-score (the
  median and MAD of the host medians, stats.modified_z) is above 3.5; where
  more than half the hosts share one median exactly, any host off it stands
  apart, and the other two rules decide;
- its runs differ from the others' by more than chance: a two-sided
  Mann-Whitney test of its runs against the pooled runs of the other hosts,
  Holm-corrected over every host of every group judged, gives p <= alpha;
- the difference matters: its median is more than the tolerance above the
  median of the other hosts' medians, and more than a clock tick.

A host apart and beyond the tolerance whose runs do not pass the test is
"within noise"; one apart on the fast side, "faster". Two hosts cannot tell
which of them is the odd one, so a group needs three.
"""

import collections
import datetime
from dataclasses import dataclass, field
from typing import Optional

from . import compare, stats
from .programs import Group
from .store import StoreError
from .text import shown

SLOWER, FASTER, NOISE, ALIKE = "slower", "faster", "within noise", "like the others"
MIN_HOSTS = 3
# The default choice: the newest session of each host from this long ago on.
RECENT = datetime.timedelta(days=1)


def host_of(session):
    return session.provenance.host or ""


def choose(store, names=(), since=None, now=None, entries=None):
    """[(name, Session)], one per host: the sessions `names` names (ids, starts
    of ids, `latest` or files), else the newest of each host from the day
    `since` on, else from the last day. StoreError when two are of one host."""
    entries = store.entries() if entries is None else entries
    if names:
        chosen = [store.resolve(name, entries) for name in names]
        seen = {}
        for name, session in chosen:
            if host_of(session) in seen:
                raise StoreError("%s and %s are both of host %s: name one session per host" % (
                    shown(seen[host_of(session)]), shown(name), _name(host_of(session))))
            seen[host_of(session)] = name
        return chosen
    if since:
        recent = [e for e in entries if e.day() and e.day() >= since]
    else:
        start = (now or datetime.datetime.now(datetime.timezone.utc)) - RECENT
        recent = [e for e in entries if e.when() and e.when() >= start]
    newest = {}
    for entry in recent:   # oldest first: the last of a host is its newest
        newest[entry.host] = entry
    return [(e.session, store.load(e)) for e in sorted(newest.values(), key=lambda e: e.host)]


@dataclass
class Judgement:
    """One host in one group."""
    group: Group
    host: str
    session: str
    runs: tuple          # the main times of its valid runs
    median: float
    others: float        # the median of the other hosts' medians
    others_runs: int
    z: float
    p: Optional[float] = None   # Holm-adjusted, where the test was made
    verdict: str = ALIKE
    how: str = ""

    @property
    def change_pct(self):
        return 100.0 * (self.median - self.others) / self.others if self.others > 0 else 0.0


@dataclass
class HostComparison:
    sessions: list                       # [(host, session name)]
    tolerance: float = compare.TOLERANCE
    alpha: float = compare.ALPHA
    judgements: list = field(default_factory=list)
    not_judged: list = field(default_factory=list)   # [(group, [hosts])]
    family: int = 0
    test_note: Optional[str] = None

    def groups(self):
        """{group: [Judgement]} in the groups' order."""
        found = collections.OrderedDict()
        for j in self.judgements:
            found.setdefault(j.group, []).append(j)
        return found

    def slow(self):
        """{host: [its slower Judgements]}, hosts in name order."""
        found = {}
        for j in sorted(self.judgements, key=lambda j: (j.host, j.group.sort_key())):
            if j.verdict == SLOWER:
                found.setdefault(j.host, []).append(j)
        return found

    def nothing_compared(self):
        """Why no group was judged, or None when some were."""
        if self.judgements:
            return None
        hosts = sorted({h for h, _ in self.sessions})
        held = "%s (%s)" % (_plural(len(hosts), "host"), ", ".join(map(_name, hosts))) if hosts else "no session"
        return "nothing compared: comparing hosts needs three hosts with valid runs of one group; the sessions " \
               "chosen hold %s" % held

    def status(self):
        if self.slow():
            return compare.SLOWER_STATUS
        if self.nothing_compared():
            return compare.NOTHING_COMPARED
        return 0

    def header(self):
        out = ["%s: %s" % (_plural(len(self.sessions), "host"),
                           ", ".join("%s (%s)" % (_name(h), shown(s)) for h, s in self.sessions)),
               "tolerance %g %%, alpha %g, modified z-score above %g%s" % (
                   100 * self.tolerance, self.alpha, stats.OUTLIER_Z,
                   "; p-values Holm-adjusted over %d hosts in %s" % (self.family, _plural(len(self.groups()), "group"))
                   if self.family > 1 else "")]
        out += ["not judged: %s: %s (%s); it takes %d" % (g.describe(), _plural(len(hosts), "host"),
                                                           ", ".join(map(_name, hosts)), MIN_HOSTS)
                for g, hosts in self.not_judged]
        if self.test_note:
            out.append(self.test_note)
        return out

    def rows(self):
        """The table's rows, a header first: each host of each group judged."""
        rows = [("group", "host", "runs", "median s", "vs others", "verdict", "how it was judged")]
        for j in self.judgements:
            rows.append((j.group.describe(), _name(j.host), str(len(j.runs)), "%.3f" % j.median,
                         "%+.1f %%" % j.change_pct, j.verdict, j.how))
        return rows

    def slow_line(self):
        slow = self.slow()
        if not slow:
            return "slow: none"
        return "slow: " + "; ".join("%s (%s)" % (_name(host), ", ".join(
            "%s: %+.0f %%" % (j.group.describe(), j.change_pct) for j in found)) for host, found in slow.items())

    def lines(self):
        """What `results nodes` prints: the header, the table, the slow hosts last."""
        out = ["nodes: " + line for line in self.header()]
        rows = self.rows()
        if len(rows) > 1:
            widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
            out.append("")
            out += ["  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip() for r in rows]
            out.append("")
        out.append(self.slow_line())
        return out


def _name(host):
    return shown(host) or "unknown"


def _plural(n, word):
    return "%d %s%s" % (n, word, "" if n == 1 else "s")


def compare_hosts(sessions, tolerance=compare.TOLERANCE, alpha=compare.ALPHA):
    """The HostComparison of `sessions`, [(name, Session)], one per host."""
    result = HostComparison([(host_of(s), name) for name, s in sessions], tolerance, alpha)
    ran = collections.OrderedDict()   # group -> [(host, name, values)]
    for name, session in sessions:
        for group, values in session.samples().items():
            if values:
                ran.setdefault(group, []).append((host_of(session), name, values))
    order = sorted(ran, key=lambda g: g.sort_key())
    judged = [g for g in order if len(ran[g]) >= MIN_HOSTS]
    result.not_judged = [(g, [h for h, _, _ in ran[g]]) for g in order if len(ran[g]) < MIN_HOSTS]
    # The family is every host of every group judged, fixed before any time is
    # looked at: a host left untested counts as p = 1.
    result.family = sum(len(ran[g]) for g in judged)
    level = alpha / max(1, result.family)
    tested, untested = [], {}
    for group in judged:
        hosts = ran[group]
        medians = [stats.median(values) for _, _, values in hosts]
        for i, ((host, name, values), z) in enumerate(zip(hosts, stats.modified_z(medians))):
            pooled = [v for k, (_, _, others) in enumerate(hosts) if k != i for v in others]
            j = Judgement(group, host, name, tuple(values), medians[i], stats.median(medians[:i] + medians[i + 1:]),
                          len(pooled), z)
            result.judgements.append(j)
            if stats.smallest_p(len(values), len(pooled)) > level:
                untested[id(j)] = "too few runs for a test: %d against %d" % (len(values), len(pooled))
                continue
            p = stats.mann_whitney(values, pooled)
            if p is None:
                untested[id(j)] = "no Mann-Whitney test beyond %d runs without SciPy" % stats.EXACT_RUNS
                result.test_note = "no Mann-Whitney test beyond %d runs in all: SciPy is not installed (%s)" % (
                    stats.EXACT_RUNS, compare.INSTALL_SCIPY)
            else:
                tested.append((j, p))
    adjusted = stats.holm([p for _, p in tested] + [1.0] * (result.family - len(tested)))
    for (j, _), p in zip(tested, adjusted):
        j.p = p
    for j in result.judgements:
        _judge(j, tolerance, alpha, untested.get(id(j)))
    return result


def _judge(j, tolerance, alpha, untested):
    apart = abs(j.z) > stats.OUTLIER_Z
    difference = abs(j.median - j.others) > compare.CLOCK_RESOLUTION_S
    beyond = difference and (j.median > j.others * (1 + tolerance) or j.median < j.others * (1 - tolerance))
    how = ["modified z %.1f%s" % (j.z, " (apart)" if apart else ""),
           "%+.1f %% %s the tolerance of %g %%" % (j.change_pct, "beyond" if beyond else "within", 100 * tolerance)
           if difference else "within the clock's resolution (%g ms)" % (1000 * compare.CLOCK_RESOLUTION_S)]
    if j.p is None:
        how.append(untested)
    else:
        how.append("Mann-Whitney p = %.3g %s %g (%d against %d runs)" % (j.p, "<=" if j.p <= alpha else ">", alpha,
                                                                        len(j.runs), j.others_runs))
    j.how = "; ".join(how)
    if apart and beyond:
        j.verdict = (SLOWER if j.z > 0 else FASTER) if j.p is not None and j.p <= alpha else NOISE
