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
"""

import math
from dataclasses import dataclass, field
from typing import Optional

from . import balance, judging, scaling, stats
from .judging import ALPHA, CLOCK, FASTER, NOISE, SLOWER, TOLERANCE, TOO_FEW
from ..model import programs
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

    def line(self):
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

    # The family is every group compared, fixed before any time is looked at.
    result.family = len(compared)
    tested = []
    for group in compared:
        old, new_ = before[group], now[group]
        v = Verdict(group, NO_CHANGE, stats.median(old), stats.median(new_), (len(old), len(new_)),
                    label=programs.get(group.program).time_label)
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
    return result
