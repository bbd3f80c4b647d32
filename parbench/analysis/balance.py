"""What a traced run's figures come to for a group and a comparison: the
medians of a group's traced runs, the line that shows them, and the figures
before and after against a baseline. How a trace becomes a run's figures is
run/tracing.py's; the figures themselves (docs/tracing.md):

- load balance = mean useful time / the largest useful time of the lanes;
- communication efficiency = the largest useful time / the phase's time;
- parallel efficiency = their product, GOOD and above counted good.
"""

from . import stats
from ..base.text import plural
from ..model.document import GroupBalance

GOOD = 0.8


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
    return "%s: load balance %s, communication efficiency %s, parallel efficiency %s%s; median of %s" % (
        row.group.describe(), _ratio(b.load_balance), _ratio(b.communication_efficiency), _ratio(pe), verdict,
        plural(b.traced, "traced run"))


def before_after(baseline_rows, new_rows):
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
