"""Comparing two sessions group by group, and saying whether a change is real.

Each group (program and process or thread count) is judged by its main time;
lower is better. A change counts only when the medians differ by more than the
tolerance (a fraction of the baseline's median) and, beyond that, the runs say
it is no accident: a two-sided Mann-Whitney U test (exact, ties included, up
to stats.EXACT_RUNS runs in all; SciPy's beyond) must find the two samples
different, the levels of all the groups tested at once held together by Holm's
step-down correction, so that the chance of any false alarm stays at alpha.
With so few runs that no test could reach that level, nothing can be told
from them: the verdict is "within noise", and the line says how many runs a
test needs. Beyond the exact test's runs and without SciPy, complete separation
of the two sides stands in for the test: that is the test at its extreme.

A difference within the clock's resolution is never a change. A comparison
that compared no group is no pass: it has an exit status of its own.
"""

import math
from dataclasses import dataclass, field
from typing import Optional

from . import programs, scaling, stats, trace
from .programs import Group

# The programs read a millisecond clock: a difference of one tick says nothing.
CLOCK_RESOLUTION_S = 0.001
SLOWER, FASTER, NO_CHANGE, NOISE = "slower", "faster", "no change", "within noise"
CLOCK = "within the clock's resolution (%g ms)" % (1000 * CLOCK_RESOLUTION_S)
INSTALL_SCIPY = "apt-get install python3-scipy, or pip install --user scipy"
TOLERANCE, ALPHA = 0.10, 0.05
# Exit statuses of a comparison, in order of precedence: failed or invalid runs
# in the new session, a slower group, no group compared at all.
FAILED, SLOWER_STATUS, NOTHING_COMPARED = 1, 3, 4


def add_options(parser):
    """--tolerance and --alpha, for every command that compares."""
    parser.add_argument("--tolerance", type=float, default=TOLERANCE, metavar="F",
                        help="change, as a fraction of what a group is compared with (the baseline's median, "
                        "or the other hosts'), beyond which it counts as slower or faster (default %.2f)" % TOLERANCE)
    add_alpha(parser, "significance level of the comparison's test, for all its groups together")


def add_alpha(parser, what):
    parser.add_argument("--alpha", type=float, default=ALPHA, metavar="A", help="%s (default %.2f)" % (what, ALPHA))


def check_options(args, error):
    if not 0 <= args.tolerance < 1:
        error("--tolerance is a fraction from 0 to below 1, such as %.2f" % TOLERANCE)
    check_alpha(args.alpha, error)


def check_alpha(alpha, error):
    if not 0 < alpha < 1:
        error("--alpha is a level from 0 to 1, such as %.2f" % ALPHA)


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
    missing: list = field(default_factory=list)   # lines naming the groups not compared
    notes: list = field(default_factory=list)     # machine differences
    test_note: Optional[str] = None               # why no test could be used, when none could
    scaling: list = field(default_factory=list)   # the sweeps' serial fractions, before and after
    balance: list = field(default_factory=list)   # traced groups' load balance, before and after

    def of(self, verdict):
        return [v for v in self.verdicts if v.verdict == verdict]

    @property
    def changes(self):
        return {v.group: v.column() for v in self.verdicts}

    @property
    def regressed(self):
        return [v.line() for v in self.of(SLOWER)]

    def nothing_compared(self):
        """Why no group was compared, or None when some were."""
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
        if self.test_note:
            out.append(self.test_note)
        return out

    def lines(self):
        """What run-suite --baseline and results compare print before the table."""
        out = ["baseline: " + line for line in self.header()]
        out += ["baseline: not compared: " + line for line in self.missing]
        for v in sorted(self.verdicts, key=lambda v: v.group.sort_key()):
            out.append("baseline: %s: %s" % ("SLOWER" if v.verdict == SLOWER else v.verdict, v.line()))
        out += ["baseline: scaling: " + line for line in self.scaling]
        out += ["baseline: load balance: " + line for line in self.balance]
        nothing = self.nothing_compared()
        if nothing:
            out.append("baseline: " + nothing)
        return out


def exit_status(problems, comparison):
    """0, or the status that the new session's failed runs (`problems`) and
    its comparison earn, the first that applies."""
    if problems:
        return FAILED
    if comparison and comparison.regressed:
        return SLOWER_STATUS
    if comparison and comparison.nothing_compared():
        return NOTHING_COMPARED
    return 0


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
                        scaling=scaling.changes(baseline, new),
                        balance=trace.changes(baseline.summary, new.summary))
    before, now = baseline.samples(), new.samples()
    compared = []
    for group, values in now.items():
        if group not in before:
            result.missing.append("%s: not in the baseline" % group.describe())
        elif not before[group] or not values:
            side = "the baseline" if not before[group] else "this run"
            result.missing.append("%s: no valid runs in %s" % (group.describe(), side))
        else:
            compared.append(group)
    for group in before:
        if group not in now:
            result.missing.append("%s: only in the baseline" % group.describe())

    level = alpha / max(1, len(compared))
    needed = stats.runs_for_a_test(level)
    tested = []
    for group in compared:
        old, new_ = before[group], now[group]
        v = Verdict(group, NO_CHANGE, stats.median(old), stats.median(new_), (len(old), len(new_)),
                    label=programs.get(group.program).time_label)
        result.verdicts.append(v)
        if abs(v.new - v.old) <= CLOCK_RESOLUTION_S:
            v.how = CLOCK
            continue
        direction = SLOWER if v.new > v.old else FASTER
        beyond = v.new > v.old * (1 + tolerance) or v.new < v.old * (1 - tolerance)
        runs = "%d and %d runs" % (len(old), len(new_))
        if stats.smallest_p(len(old), len(new_)) > level:
            # No rule can keep false alarms at the level with so few runs.
            why = "too few runs to tell: a test needs %d on each side" % needed
            v.how = "within the tolerance of %g %% (%s; %s)" % (100 * tolerance, runs, why) if not beyond else \
                "%s (%s)" % (why, runs)
            v.verdict = NOISE if beyond else NO_CHANGE
        elif stats.mann_whitney(new_, old) is not None:
            tested.append((v, stats.mann_whitney(new_, old), beyond, direction, runs))
        else:
            # Complete separation is the exact test at its extreme: p = smallest_p.
            apart = min(new_) > max(old) if direction == SLOWER else max(new_) < min(old)
            if not beyond:
                v.how = "within the tolerance of %g %% (%s; no Mann-Whitney test without SciPy)" % (
                    100 * tolerance, runs)
            else:
                v.verdict = direction if apart else NOISE
                v.how = "ranges %s (%s; no Mann-Whitney test without SciPy)" % ("apart" if apart else "overlap",
                                                                                runs)
    # The family is every group compared, fixed before any time is looked at: a
    # group left out for a tick's difference, or too few runs, counts as p = 1,
    # or Holm would be told of fewer chances of a false alarm than were taken.
    family = len(compared)
    adjusted = stats.holm([t[1] for t in tested] + [1.0] * (family - len(tested)))
    for (v, _, beyond, direction, runs), p in zip(tested, adjusted):
        v.p = p
        holm_note = "Holm-adjusted over %d groups; " % family if family > 1 else ""
        if not beyond:
            v.how = "within the tolerance of %g %% (Mann-Whitney p = %.3g, %s%s)" % (100 * tolerance, p, holm_note,
                                                                                  runs)
        else:
            v.verdict = direction if p <= alpha else NOISE
            v.how = "Mann-Whitney p = %.3g %s %g (%s%s)" % (p, "<=" if p <= alpha else ">", alpha, holm_note, runs)
    if any(len(before[g]) + len(now[g]) > stats.EXACT_RUNS for g in compared) and not stats.scipy_stats():
        result.test_note = "no Mann-Whitney test beyond %d runs in all: SciPy is not installed (%s)" % (
            stats.EXACT_RUNS, INSTALL_SCIPY)
    return result
