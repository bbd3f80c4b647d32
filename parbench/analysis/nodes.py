"""Hosts side by side: the same group run on several hosts, and which host is
slow.

Each session chosen stands for its host (by default the newest session of
each host from the last day). For every group that three or more hosts ran,
with valid runs, a host is slower when all three of these hold:

- its median stands apart from the hosts' medians: its modified z-score (the
  median and MAD of the host medians, stats.modified_z) is above 3.5; where
  more than half the hosts share one median exactly, any host off it stands
  apart, and the other two rules decide;
- its runs differ from the others' by more than chance: a two-sided test of
  its runs against the pooled runs of the other hosts, Holm-corrected over
  every host of every group judged, gives p <= alpha. The test is chosen as
  the comparison chooses it (stats.test_for): the Mann-Whitney test where it
  can reach Holm's level, with the far tail of a few runs against many
  counted out exactly so that it keeps its sight among a thousand hosts; else
  the t-test on log times;
- the difference matters: its median is more than the tolerance above the
  median of the other hosts' medians, and more than a clock tick.

A host apart and beyond the tolerance whose runs do not pass the test is
"within noise", or "too few runs to tell" where no test could have judged
it; one apart on the fast side, "faster". Two hosts cannot tell which of them
is the odd one, so a group needs three.

Given the hosts that must be there (`expected`, the nodes of a sweep), a host
without a session, or without valid runs of a group the others ran, is named
as missing: a node that stored nothing fails the sweep.
"""

import collections
import datetime
from dataclasses import dataclass, field
from typing import Optional

from . import judging, stats
from .judging import ALPHA, CLOCK, FASTER, NOISE, SLOWER, TOLERANCE, TOO_FEW
from ..base import optional
from ..base.text import aligned, plural, shown
from ..model.programs import Group
from ..model.store import StoreError

ALIKE = "like the others"
MIN_HOSTS = 3
HEADER = ("group", "host", "runs", "median s", "vs others", "verdict", "how it was judged")
# The default choice: the newest session of each host from this long ago on.
RECENT = datetime.timedelta(days=1)


def host_of(session):
    return session.provenance.host or ""


def choose(store, names=(), since=None, now=None):
    """[(name, Session)], one per host: the sessions `names` names (ids, starts
    of ids, `latest` or files), else the newest of each host from the day
    `since` on, else from the last day. StoreError when two are of one host."""
    if names:
        chosen = [store.resolve(name) for name in names]
        seen = {}
        for name, session in chosen:
            if host_of(session) in seen:
                raise StoreError("%s and %s are both of host %s: name one session per host" % (
                    shown(seen[host_of(session)]), shown(name), _name(host_of(session))))
            seen[host_of(session)] = name
        return chosen
    if since:
        recent = store.entries(since=since, newest_of_each_host=True)
    else:
        recent = store.entries(after=(now or datetime.datetime.now(datetime.timezone.utc)) - RECENT,
                               newest_of_each_host=True)
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
    test: Optional[str] = None  # the test that could judge it, or None

    @property
    def change_pct(self):
        return 100.0 * (self.median - self.others) / self.others if self.others > 0 else 0.0


@dataclass
class HostComparison:
    sessions: list                       # [(host, session name)]
    tolerance: float = TOLERANCE
    alpha: float = ALPHA
    judgements: list = field(default_factory=list)
    not_judged: list = field(default_factory=list)   # [(group, [hosts])]
    family: int = 0
    blind: Optional[str] = None          # why no host could be tested, when none could
    missing: list = field(default_factory=list)      # [(host expected, what it lacks)]

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
        """Why nothing could be told: no group judged, or no host that a test
        could judge; None when some were."""
        if self.blind:
            return "could not tell: " + self.blind
        if self.judgements:
            return None
        hosts = sorted({h for h, _ in self.sessions})
        held = "%s (%s)" % (plural(len(hosts), "host"), ", ".join(map(_name, hosts))) if hosts else "no session"
        return "nothing compared: comparing hosts needs three hosts with valid runs of one group; the sessions " \
               "chosen hold %s" % held

    def header(self):
        out = ["%s: %s" % (plural(len(self.sessions), "host"),
                           ", ".join("%s (%s)" % (_name(h), shown(s)) for h, s in self.sessions)),
               "tolerance %g %%, alpha %g, modified z-score above %g%s" % (
                   100 * self.tolerance, self.alpha, stats.OUTLIER_Z,
                   "; p-values Holm-adjusted over %d hosts in %s" % (self.family, plural(len(self.groups()), "group"))
                   if self.family > 1 else "")]
        out += ["not judged: %s: %s (%s); it takes %d" % (g.describe(), plural(len(hosts), "host"),
                                                           ", ".join(map(_name, hosts)), MIN_HOSTS)
                for g, hosts in self.not_judged]
        return out

    def rows(self):
        """The table's rows, HEADER first: each host of each group judged."""
        return [HEADER] + [cells(j) for j in self.judgements]

    def missing_line(self):
        """"missing: cn03 (no session); ...", or None when every host expected is there."""
        if not self.missing:
            return None
        return "missing: " + "; ".join("%s (%s)" % (_name(host), what) for host, what in self.missing)

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
            out += [""] + aligned(rows) + [""]
        out.append(self.slow_line())
        if self.missing:
            out.append(self.missing_line())
        if self.blind:
            out.append("nodes: " + self.nothing_compared())
        return out


def _name(host):
    return shown(host) or "unknown"


def cells(j):
    """One Judgement's cells of the table, in HEADER's order."""
    return (j.group.describe(), _name(j.host), str(len(j.runs)), "%.3f" % j.median, "%+.1f %%" % j.change_pct,
            j.verdict, j.how)


def compare_hosts(sessions, tolerance=TOLERANCE, alpha=ALPHA, expected=()):
    """The HostComparison of `sessions`, [(name, Session)], one per host;
    `expected`: the hosts that must each be there with valid runs."""
    result = HostComparison([(host_of(s), name) for name, s in sessions], tolerance, alpha)
    ran = collections.OrderedDict()   # group -> [(host, name, values)]
    for name, session in sessions:
        for group, values in session.samples().items():
            if values:
                ran.setdefault(group, []).append((host_of(session), name, values))
    order = sorted(ran, key=lambda g: g.sort_key())
    judged = [g for g in order if len(ran[g]) >= MIN_HOSTS]
    result.not_judged = [(g, [h for h, _, _ in ran[g]]) for g in order if len(ran[g]) < MIN_HOSTS]
    result.missing = _missing(expected, [host_of(s) for _, s in sessions], ran, order)
    # The family is every host of every group judged, fixed before any time is looked at.
    result.family = sum(len(ran[g]) for g in judged)
    tested, untested, testable = [], {}, False
    for group in judged:
        hosts = ran[group]
        medians = [stats.median(values) for _, _, values in hosts]
        total = sum(len(values) for _, _, values in hosts)
        found = []
        for i, ((host, name, values), z) in enumerate(zip(hosts, stats.modified_z(medians))):
            j = Judgement(group, host, name, tuple(values), medians[i], stats.median(medians[:i] + medians[i + 1:]),
                          total - len(values), z)
            result.judgements.append(j)
            found.append((j, judging.test_for(len(values), j.others_runs, result.family, alpha)))
        testable = testable or any(test for _, test in found)
        # Precision in the far tail matters only for a host that could be named.
        candidates = {i for i, (j, _) in enumerate(found) if _apart(j) and _beyond(j, tolerance)}
        samples = [values for _, _, values in hosts]
        ranked = stats.against_the_rest(samples, far_tail=candidates) \
            if any(test == stats.RANKS for _, test in found) else None
        logs = stats.log_t_against_the_rest(samples, judging.CLOCK_RESOLUTION_S) \
            if any(test == stats.T_TEST for _, test in found) else None
        for i, (j, test) in enumerate(found):
            j.test = test
            if test is None:
                untested[id(j)] = "%s: %d against %d runs%s" % (
                    TOO_FEW, len(j.runs), j.others_runs, "" if len(j.runs) < 2 and j.others_runs < 2 else
                    "; the t-test for so few needs SciPy (%s)" % optional.hint(optional.SCIPY))
            elif test == stats.RANKS:
                tested.append((j, ranked[i]))
            else:
                tested.append((j, logs[i]))
    for (j, _), p in zip(tested, judging.adjusted([p for _, p in tested], result.family)):
        j.p = p
    for j in result.judgements:
        _judge(j, tolerance, alpha, untested.get(id(j)))
    if result.judgements and not testable:
        result.blind = "no test could reach alpha %g over %d hosts with these runs" % (alpha, result.family)
    return result


def _short(host):
    return host.split(".", 1)[0]


def _missing(expected, hosts, ran, order):
    """[(host, what it lacks)] of each expected host without a session, or
    without valid runs of a group that others ran; a host is matched by its
    name, or by its name up to the first dot (a node list's short names)."""
    found = []
    for wanted in expected:
        matches = [h for h in hosts if h == wanted] or [h for h in hosts if _short(h) == _short(wanted)]
        if not matches:
            found.append((wanted, "no session"))
            continue
        lacking = [g.describe() for g in order if not any(h in matches for h, _, _ in ran[g])]
        if lacking and len(lacking) == len(order):
            found.append((wanted, "no valid runs"))
        elif lacking:
            found.append((wanted, "no valid runs of %s" % ", ".join(lacking)))
    return found


def _apart(j):
    return abs(j.z) > stats.OUTLIER_Z


def _beyond(j, tolerance):
    return not judging.within_clock(j.median, j.others) and judging.beyond(j.median, j.others, tolerance)


def _judge(j, tolerance, alpha, untested):
    apart, beyond = _apart(j), _beyond(j, tolerance)
    how = ["modified z %.1f%s" % (j.z, " (apart)" if apart else ""),
           CLOCK if judging.within_clock(j.median, j.others) else
           "%+.1f %% %s the tolerance of %g %%" % (j.change_pct, "beyond" if beyond else "within", 100 * tolerance)]
    if j.p is None:
        how.append(untested)
    else:
        how.append("%s (%d against %d runs)" % (judging.p_words(j.test, j.p, alpha), len(j.runs), j.others_runs))
    j.how = "; ".join(how)
    if apart and beyond:
        if j.p is None:
            j.verdict = TOO_FEW
        else:
            j.verdict = (SLOWER if j.z > 0 else FASTER) if j.p <= alpha else NOISE
