"""Where a group's history steps: change points in each group's series of
session medians on each host.

A series is one value per session, the group's median main time, sessions in
order of date. Its best cut into two parts is the one of largest energy
statistic (stats.energy_split); a permutation test says how often shuffled
values cut as well. The first cut of every series is held to Holm's correction
over all the series looked at, so that on histories of pure noise the chance
of any change at all stays at alpha. Only a series whose first cut stands is
cut further, each part again at its best cut, the p-value times the number of
series (Bonferroni) held to alpha, until no part has a cut that stands.
"""

import math
from dataclasses import dataclass

from . import compare, stats
from .programs import Group

# A part needs this many sessions: fewer, and one busy evening is a step.
MIN_SESSIONS = 3
SEED = 1
# The fewest shuffles a test draws, and the most: more when many series share
# alpha, but no p-value below 1/10000, however small the level asked for.
PERMUTATIONS, MOST_PERMUTATIONS = 199, 9999


def missing():
    """Why no series can be cut, or None."""
    return None if stats.numpy() else "NumPy is not installed (%s)" % stats.INSTALL_NUMPY


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
    return min(MOST_PERMUTATIONS, max(PERMUTATIONS, math.ceil(2 * series / alpha) - 1))


def find(series, alpha=compare.ALPHA, min_sessions=MIN_SESSIONS):
    """The Findings of a list of Series."""
    long_enough = tuple(s for s in series if len(s.values) >= 2 * min_sessions)
    shuffles = permutations_for(len(long_enough), alpha)
    first = [stats.energy_split(s.values, min_sessions, shuffles, SEED) for s in long_enough]
    changes = []
    for s, split, p in zip(long_enough, first, stats.holm([f.p for f in first])):
        if p > alpha:
            continue
        cuts = {split.at: p}
        for lo, hi in ((0, split.at), (split.at, len(s.values))):
            cuts.update(_further(s.values, lo, hi, len(long_enough), alpha, min_sessions, shuffles))
        changes += _steps(s, cuts)
    return Findings(long_enough, len(series) - len(long_enough), tuple(changes), alpha)


def _further(values, lo, hi, series, alpha, min_sessions, shuffles):
    """{cut: adjusted p} of the cuts that stand within values[lo:hi]."""
    split = stats.energy_split(values[lo:hi], min_sessions, shuffles, SEED)
    if split is None or min(1.0, series * split.p) > alpha:
        return {}
    at = lo + split.at
    found = {at: min(1.0, series * split.p)}
    found.update(_further(values, lo, at, series, alpha, min_sessions, shuffles))
    found.update(_further(values, at, hi, series, alpha, min_sessions, shuffles))
    return found


def _steps(series, cuts):
    bounds = [0] + sorted(cuts) + [len(series.values)]
    return [Change(series, at, stats.median(series.values[lo:at]), stats.median(series.values[at:hi]), cuts[at])
            for lo, at, hi in zip(bounds, bounds[1:], bounds[2:])]
