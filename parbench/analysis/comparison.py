"""Comparing two sessions group by group, and saying whether a change is real.

Each group (program and process or thread count) is judged by its main time;
lower is better. A change counts only when the medians differ by more than the
tolerance (a fraction of the baseline's median) and, beyond that, the runs say
it is no accident: a two-sided test must find the two samples different, the
levels of all the groups tested at once held together by Holm's step-down
correction, so that the chance of any false alarm stays at alpha. The test is
the Mann-Whitney U test where it can reach that level with the runs there
are (stats.smallest_p); with fewer runs, Student's t-test on the logarithms
of the times, which for a single run against several is the prediction from
their spread. One run a side tells nothing of the spread: such a group is
"too few runs to tell", never "within noise", and a comparison in which no
group could be tested says so and has an exit status of its own.

A difference within the clock's resolution is never a change. A comparison
that compared no group is no pass either.

The environments and placements of one session are compared side by side by
the same rules: each group of the second environment (or placement) against
the same program and count in the first, all the pairs one Holm family.
"""

import math
from dataclasses import dataclass, field
from typing import Optional

from . import balance, judging, scaling, stats
from .judging import ALPHA, CLOCK, FASTER, NOISE, SLOWER, TOLERANCE, TOO_FEW
from ..model import programs
from ..model.printouts import CLOCK_RESOLUTION_S
from ..model.programs import Group

NO_CHANGE = "no change"


@dataclass
class Verdict:
    group: Group
    verdict: str
    old: float
    new: float
    runs: tuple                  # (baseline runs, new runs)
    how: str = ""
    p: Optional[float] = None    # Holm-adjusted, where the test was used
    label: str = "time"
    test: Optional[str] = None   # the test that could judge it (stats.test_for), or None
    against: Optional[Group] = None   # side by side: the group of the same session it is compared with

    @property
    def change_pct(self):
        if self.old > 0:
            return 100.0 * (self.new - self.old) / self.old
        return 0.0 if self.new == self.old else math.inf

    def column(self):
        """The text of the table's "vs baseline" column."""
        text = "%+.1f %%" % self.change_pct
        if self.how == CLOCK:
            return text + (" (one clock tick)" if self.new != self.old else "")
        return text + (" " + self.verdict if self.verdict != NO_CHANGE else "")

    @property
    def ratio(self):
        return self.new / self.old if self.old > 0 else (1.0 if self.new == self.old else math.inf)

    def ratio_text(self):
        """"2.90×"; a time under one tick of the clock gives only a bound: "over 8.00×", "under 0.13×",
        and two of them nothing more than "within a tick of"."""
        tick = CLOCK_RESOLUTION_S
        if self.old < tick and self.new < tick:
            return "within a tick of"
        if self.old < tick <= self.new:
            return "over %.2f×" % (self.new / tick)
        if self.new < tick <= self.old:
            return "under %.2f×" % (tick / self.old)
        return "%.2f×" % self.ratio

    def line(self):
        if self.against is not None:
            # "queuedrain with 1 thread: clang 2.90× gcc, time 0.003 s against 0.001 s; ..."
            which, other = side_names(self.group, self.against)
            return "%s: %s %s %s, %s %.4f s against %.4f s; %s" % (
                self.against.like(**{k: None for k in _differing(self.group, self.against)}).describe(), which,
                self.ratio_text(), other, self.label, self.new, self.old, self.how)
        return "%s: %s %.3f s, baseline %.3f s (%+.1f %%); %s" % (
            self.group.describe(), self.label, self.new, self.old, self.change_pct, self.how)


@dataclass
class Comparison:
    base_name: str = ""
    base_date: Optional[str] = None
    base_cut_short: Optional[str] = None          # how the baseline was interrupted, if it was
    tolerance: float = TOLERANCE
    alpha: float = ALPHA
    verdicts: list = field(default_factory=list)
    not_compared: list = field(default_factory=list)   # lines naming the groups not compared
    notes: list = field(default_factory=list)     # machine differences
    family: int = 0                               # the groups compared, Holm's family
    blind: Optional[str] = None                   # why no group could be tested, when none could
    scaling: list = field(default_factory=list)   # the sweeps' serial fractions, before and after
    balance: list = field(default_factory=list)   # traced groups' load balance, before and after

    def of(self, verdict):
        return [v for v in self.verdicts if v.verdict == verdict]

    def against(self):
        """{group: its "vs baseline" column}, for the summary table."""
        return {v.group: v.column() for v in self.verdicts}

    @property
    def regressed(self):
        return [v.line() for v in self.of(SLOWER)]

    def nothing_compared(self):
        """Why nothing could be told: no group compared, or none that a test
        could judge; None when some group was judged."""
        if self.blind:
            return "could not tell: " + self.blind
        if self.verdicts:
            return None
        why = "the baseline %s%s shares no group with valid runs on both sides" % (
            self.base_name, " (%s)" % self.base_cut_short if self.base_cut_short else "")
        return "nothing compared: " + why

    def header(self):
        """The lines before the verdicts: what was compared with what, and how far to trust it."""
        out = ["%s (%s), tolerance %g %%, alpha %g" % (self.base_name, self.base_date or "undated",
                                                       100 * self.tolerance, self.alpha)]
        if self.base_cut_short:
            out.append("the baseline was %s" % self.base_cut_short)
        if self.notes:
            out.append("it comes from another machine or build, so the comparison mixes the two: "
                       + "; ".join(self.notes))
        return out

    def lines(self):
        """What run-suite --baseline and results compare print before the table."""
        out = ["baseline: " + line for line in self.header()]
        out += ["baseline: not compared: " + line for line in self.not_compared]
        for v in sorted(self.verdicts, key=lambda v: v.group.sort_key()):
            out.append("baseline: %s: %s" % ("SLOWER" if v.verdict == SLOWER else v.verdict, v.line()))
        out += ["baseline: scaling: " + line for line in self.scaling]
        out += ["baseline: load balance: " + line for line in self.balance]
        nothing = self.nothing_compared()
        if nothing:
            out.append("baseline: " + nothing)
        return out


def machine_differences(here, there):
    """What differs between where the baseline ran (`there`) and where this
    run ran (`here`), two Provenance records."""
    notes = []
    for label, get in (("host", lambda p: p.host), ("CPU model", lambda p: p.cpu_model),
                       ("compiler", lambda p: p.compiler())):
        a, b = get(there), get(here)
        if a != b:
            notes.append("%s %s (this run: %s)" % (label, a or "unknown", b or "unknown"))
    return notes


def compare(base_name, baseline, new, tolerance=TOLERANCE, alpha=ALPHA):
    """The comparison of Session `new` with Session `baseline`, called
    `base_name`: the one comparison that run-suite, results compare and the
    report all make."""
    result = Comparison(base_name, baseline.provenance.date, baseline.cut_short(), tolerance, alpha,
                        notes=machine_differences(new.provenance, baseline.provenance),
                        scaling=scaling.fit_lines(baseline, new),
                        balance=balance.before_after(baseline.summary, new.summary))
    before, now = baseline.samples(), new.samples()
    compared = []
    for group, values in now.items():
        if group not in before:
            result.not_compared.append("%s: not in the baseline" % group.describe())
        elif not before[group] or not values:
            side = "the baseline" if not before[group] else "this run"
            result.not_compared.append("%s: no valid runs in %s" % (group.describe(), side))
        else:
            compared.append(group)
    for group in before:
        if group not in now:
            result.not_compared.append("%s: only in the baseline" % group.describe())

    judge(result, [(group, before[group], now[group], None) for group in compared])
    return result


def judge(result, pairs):
    """Judges each (group, baseline times, new times, group compared with)
    of `pairs` into result.verdicts, by result's tolerance and alpha: the
    pairs are Holm's family."""
    tolerance, alpha = result.tolerance, result.alpha
    # The family is every pair compared, fixed before any time is looked at.
    result.family = len(pairs)
    tested = []
    for group, old, new_, against in pairs:
        v = Verdict(group, NO_CHANGE, stats.median(old), stats.median(new_), (len(old), len(new_)),
                    label=programs.get(group.program).time_label, against=against)
        result.verdicts.append(v)
        v.test = judging.test_for(len(old), len(new_), result.family, alpha)
        if judging.within_clock(v.new, v.old):
            v.how = CLOCK
            continue
        direction = SLOWER if v.new > v.old else FASTER
        beyond = judging.beyond(v.new, v.old, tolerance)
        runs = "%d and %d runs" % (len(old), len(new_))
        if v.test is None:
            why = judging.untestable(len(old), len(new_), result.family, alpha)
            v.how = "within the tolerance of %g %% (%s; %s)" % (100 * tolerance, runs, why) if not beyond else \
                "%s (%s)" % (why, runs)
            v.verdict = TOO_FEW if beyond else NO_CHANGE
            continue
        tested.append((v, judging.p_value(v.test, new_, old), beyond, direction, runs))
    for (v, _, beyond, direction, runs), p in zip(tested, judging.adjusted([t[1] for t in tested], result.family)):
        v.p = p
        holm_note = "Holm-adjusted over %d groups; " % result.family if result.family > 1 else ""
        if not beyond:
            v.how = "within the tolerance of %g %% (%s p = %.3g, %s%s)" % (100 * tolerance, v.test, p, holm_note,
                                                                          runs)
        else:
            v.verdict = direction if p <= alpha else NOISE
            v.how = "%s (%s%s)" % (judging.p_words(v.test, p, alpha), holm_note, runs)
    if result.verdicts and not any(v.test for v in result.verdicts):
        result.blind = "no test could reach alpha %g with these runs: %s" % (
            alpha, judging.untestable(*result.verdicts[0].runs, result.family, alpha)
            if len({v.runs for v in result.verdicts}) == 1 else "each group has too few runs on one side or the other")


# Side by side: the environments, then the placements, of one session.

def _differing(group, other):
    return [k for k in ("environment", "bind") if getattr(group, k) != getattr(other, k)]


def variant_name(group, key):
    """How a side is called: the environment's name, or "bound close"."""
    value = getattr(group, key)
    return value if key == "environment" else "bound %s" % value if value else "unbound by default"


def side_names(group, against):
    key = _differing(group, against)[0]
    return variant_name(group, key), variant_name(against, key)


@dataclass
class SideBySide(Comparison):
    """The environments (or placements) of one session compared: each
    verdict's group against its `against`, the first one named."""
    session: str = ""
    sides: tuple = ()                # ((key, reference value, other values), ...)

    def header_lines(self):
        """What was compared with what, and by which rules; what was not compared."""
        out = []
        for key, first, others in self.sides:
            names = [variant_name(Group("", None, None, **{key: v}), key) for v in (first,) + others]
            out.append("%s against %s, tolerance %g %%, alpha %g" % (
                ", ".join(names[1:]), names[0], 100 * self.tolerance, self.alpha))
        return out + ["not compared: " + line for line in self.not_compared]

    def lines(self):
        out = ["side by side: " + line for line in self.header_lines()]
        for v in sorted(self.verdicts, key=lambda v: (v.against.sort_key(), v.group.sort_key())):
            out.append("side by side: %s: %s" % (v.verdict, v.line()))
        if self.blind:
            out.append("side by side: " + self.nothing_compared())
        return out

    def nothing_compared(self):
        if self.blind:
            return "could not tell: " + self.blind
        return None if self.verdicts else "nothing compared: no group ran in more than one of them"


def sides(session):
    """((key, first value, other values), ...): the environments a session
    ran in and the placements it asked for, in the order they were named,
    where there is more than one."""
    found = []
    for key in ("environment", "bind"):
        values = list(dict.fromkeys(getattr(g, key) for g in session.groups()))
        if len(values) > 1:
            found.append((key, values[0], tuple(values[1:])))
    return tuple(found)


def side_by_side(session, tolerance=TOLERANCE, alpha=ALPHA, chosen=None):
    """The SideBySide of Session `session`'s environments and placements,
    or, `chosen` being (key, first, second), of those two alone; None where
    it ran in one of each."""
    wanted = ((chosen[0], chosen[1], (chosen[2],)),) if chosen else sides(session)
    if not wanted:
        return None
    result = SideBySide(session.id, session.provenance.date, tolerance=tolerance, alpha=alpha, session=session.id,
                        sides=wanted)
    samples = session.samples()
    pairs = []
    for key, first, others in wanted:
        for group in samples:
            if getattr(group, key) != first:
                continue
            for value in others:
                other = group.like(**{key: value})
                if other not in samples:
                    result.not_compared.append("%s: not run %s" % (group.describe(), _in(key, value)))
                elif not samples[group] or not samples[other]:
                    empty = group if not samples[group] else other
                    result.not_compared.append("%s: no valid runs" % empty.describe())
                else:
                    pairs.append((other, samples[group], samples[other], group))
    judge(result, pairs)
    return result


def _in(key, value):
    return "in %s" % value if key == "environment" else "bound %s" % value if value else "unbound"
