"""Where a group's history steps: change points in each group's series of
session medians on each host.

A series is one value per session, the group's median main time, sessions in
order of date. Its best cut into two parts is the one of largest energy
statistic (stats.energy_split). Whether a cut that good is more than chance is
a test of its own:

- a permutation test: how often the values shuffled can be cut as well
  anywhere. Its p-value cannot go below 1 / (shuffles + 1), so the shuffles
  grow with the number of series that share alpha, without a bound;
- where that many shuffles of a long series would cost too much (more than
  SHUFFLED_VALUES values shuffled in all), the Mann-Whitney test of the two
  parts of the cut, its p-value multiplied by the number of places a cut could
  have been made (Bonferroni's bound for having picked the best of them).

Which of the two is used depends on the series' length and the number of
series alone, never on the values, so either p-value holds. The first cut of
every series is held to Holm's correction over all the series looked at, so
that on histories of pure noise the chance of any change at all stays at
alpha. Only a series whose first cut stands is cut further, each part again at
its best cut, the p-value times the number of series (Bonferroni) held to
alpha, until no part has a cut that stands. A series too short for any cut to
reach its level cannot show a change: where no series could, the search says
so, and has no all-clear to give.
"""

import math
from dataclasses import dataclass

from . import judging, stats
from ..base import optional
from ..model.programs import Group

# A part needs this many sessions: fewer, and one busy evening is a step.
MIN_SESSIONS = 3
SEED = 1
# The fewest shuffles a permutation test draws; more when many series share alpha.
PERMUTATIONS = 199
# Shuffles times the series' length beyond which the rank test decides: a
# shuffle of 1000 values costs some 0.4 ms, so a test stays within a second.
SHUFFLED_VALUES = 2000000
PERMUTATION, RANKS = "permutation test", "rank test at the cut"


def unavailable():
    """Why no series can be cut, or None."""
    return optional.missing(optional.NUMPY)


@dataclass(frozen=True)
class Series:
    host: str
    group: Group
    sessions: tuple      # (session id, date as stored, UTC datetime) each, oldest first
    values: tuple        # the group's median main time in each


@dataclass(frozen=True)
class Change:
    series: Series
    at: int              # the first session after the step
    before: float        # the median of the part before
    after: float         # ... and of the part from `at` on
    p: float             # adjusted over the series looked at
    test: str = ""       # how the cut was tested, in words

    @property
    def session(self):
        return self.series.sessions[self.at][0]

    @property
    def date(self):
        return self.series.sessions[self.at][1]

    @property
    def when(self):
        return self.series.sessions[self.at][2]

    @property
    def slower(self):
        return self.after > self.before

    @property
    def change_pct(self):
        return 100.0 * (self.after - self.before) / self.before if self.before > 0 else math.inf


@dataclass(frozen=True)
class Findings:
    looked_at: tuple     # the Series long enough to cut
    too_short: int       # series with fewer sessions than two parts
    changes: tuple       # Change, by series, oldest first
    alpha: float
    unreachable: int = 0  # series looked at whose cut no test could pass at their level

    def blind(self):
        """Why no change could have been found, or None."""
        if self.looked_at and self.unreachable == len(self.looked_at):
            return "no test could reach alpha %g over %d series of %s sessions" % (
                self.alpha, len(self.looked_at), _lengths(self.looked_at))

    def slower_last(self):
        """The series whose newest change is a step to slower: nothing since has undone it."""
        newest = {}
        for change in self.changes:
            newest[change.series] = change
        return [c.series for c in newest.values() if c.slower]


def series_of(entries, program=None):
    """The Series of every (host, group) in the index `entries`, of `program`
    alone if named; sessions without a usable date or without a median for the
    group are left out."""
    points = {}
    for entry in entries:
        when = entry.when()
        if when is None:
            continue
        for group, times in zip(entry.groups, entry.times):
            if times and (program is None or group[0] == program):
                points.setdefault((entry.host, Group(*group)), []).append((when, entry.session, entry.date, times[0]))
    found = []
    for (where, group), chosen in sorted(points.items(), key=lambda item: (item[0][0], item[0][1].sort_key())):
        chosen.sort()
        found.append(Series(where, group, tuple((s, d, w) for w, s, d, _ in chosen), tuple(v for *_, v in chosen)))
    return found


def permutations_for(series, alpha):
    """Shuffles enough for the smallest p-value to pass Holm's strictest level with room to spare."""
    return max(PERMUTATIONS, math.ceil(2 * series / alpha) - 1)


def _lengths(looked_at):
    lengths = sorted({len(s.values) for s in looked_at})
    return "%d" % lengths[0] if len(lengths) == 1 else "%d to %d" % (lengths[0], lengths[-1])


@dataclass(frozen=True)
class Test:
    """How a cut of `length` values is tested among `series` series."""
    length: int
    series: int
    alpha: float
    min_sessions: int

    @property
    def shuffles(self):
        return permutations_for(self.series, self.alpha)

    @property
    def cuts(self):
        return self.length - 2 * self.min_sessions + 1

    @property
    def kind(self):
        return PERMUTATION if self.shuffles * self.length <= SHUFFLED_VALUES else RANKS

    def words(self):
        if self.kind == PERMUTATION:
            return "%s, %d shuffles" % (PERMUTATION, self.shuffles)
        return "%s, Bonferroni over %d cuts" % (RANKS, self.cuts)

    def smallest_p(self):
        """The least p-value a cut of so many values can have: at best its
        parts split the values in halves that no shuffle, or no other dealing
        of the ranks, matches (both orders)."""
        half = self.length // 2
        apart = 2.0 / math.comb(self.length, half)
        if self.kind == PERMUTATION:
            return max(apart, 1.0 / (self.shuffles + 1))
        return min(1.0, self.cuts * stats.smallest_p(half, self.length - half))

    def split(self, values):
        """(cut, p-value) of the best cut of `values`, or None for a series too short."""
        if self.kind == PERMUTATION:
            found = stats.energy_split(values, self.min_sessions, self.shuffles, SEED)
            return None if found is None else (found.at, found.p)
        found = stats.energy_split(values, self.min_sessions, 0)
        if found is None:
            return None
        return found.at, min(1.0, self.cuts * stats.mann_whitney(values[:found.at], values[found.at:]))


def find(series, alpha=judging.ALPHA, min_sessions=MIN_SESSIONS):
    """The Findings of a list of Series."""
    long_enough = tuple(s for s in series if len(s.values) >= 2 * min_sessions)
    m = len(long_enough)
    tests = [Test(len(s.values), m, alpha, min_sessions) for s in long_enough]
    first = [t.split(s.values) for s, t in zip(long_enough, tests)]
    changes = []
    for s, t, (at, _), p in zip(long_enough, tests, first, stats.holm([p for _, p in first])):
        if p > alpha:
            continue
        cuts = {at: (p, t.words())}
        for lo, hi in ((0, at), (at, len(s.values))):
            cuts.update(_further(s.values, lo, hi, m, alpha, min_sessions))
        changes += _steps(s, cuts)
    unreachable = sum(t.smallest_p() * m > alpha for t in tests)
    return Findings(long_enough, len(series) - m, tuple(changes), alpha, unreachable)


def _further(values, lo, hi, series, alpha, min_sessions):
    """{cut: (adjusted p, test)} of the cuts that stand within values[lo:hi]."""
    if hi - lo < 2 * min_sessions:
        return {}
    test = Test(hi - lo, series, alpha, min_sessions)
    at, p = test.split(values[lo:hi])
    if min(1.0, series * p) > alpha:
        return {}
    at += lo
    found = {at: (min(1.0, series * p), test.words())}
    found.update(_further(values, lo, at, series, alpha, min_sessions))
    found.update(_further(values, at, hi, series, alpha, min_sessions))
    return found


def _steps(series, cuts):
    bounds = [0] + sorted(cuts) + [len(series.values)]
    return [Change(series, at, stats.median(series.values[lo:at]), stats.median(series.values[at:hi]), *cuts[at])
            for lo, at, hi in zip(bounds, bounds[1:], bounds[2:])]
