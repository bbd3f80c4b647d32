"""The summary of a suite run: one row per group (program and process or thread
count) with the spread of each time, and the table and notes that show it.

A row is the document's own Summary record, so a row read back from a stored
document is shown and compared like a new one.
"""

import math
from dataclasses import dataclass

from . import balance, stats
from ..base.text import aligned, plural
from ..model import programs, printouts
from ..model.document import TIMES, Spread, Summary

NOISY_CV_PCT = 5.0
# Fewer runs than this give no spread worth reading.
MIN_RUNS_FOR_CV = 3


def _spread(values):
    found = stats.spread(values)
    return Spread(**found) if found else None


def summarise(results):
    """One Summary per group, from the runs without a problem: runs, failed
    runs, the spread of each time, the median speed-up and, for MPI runs, the
    parallel efficiency."""
    groups = {}
    for r in results:
        groups.setdefault(r.group, []).append(r)
    rows = []
    for group, members in groups.items():
        # A failed run's figures, if it printed any, describe no valid measurement.
        good = [r for r in members if not r.problem]
        times = {name: _spread([printouts.parse_number(r.figures[name]) for r in good if r.figures.get(name)])
                 for name in TIMES}
        speedups = [printouts.parse_number(r.figures["speedup_pct"]) for r in good if r.figures.get("speedup_pct")]
        speedups = [v for v in speedups if not math.isnan(v)]
        speedup = stats.median(speedups) if speedups else None
        rows.append(Summary(group, len(good), len(members) - len(good), speedup_pct=speedup,
                            efficiency_pct=speedup / group.procs if group.procs and speedup is not None else None,
                            balance=balance.of_group(r.balance for r in good), **times))
    return rows


def time_label(row):
    return programs.get(row.group.program).time_label


def noisy(row):
    """The coefficient of variation of a group's main time when enough runs
    make it worth reading and it exceeds NOISY_CV_PCT, else None."""
    spread = row.main_spread
    if row.runs >= MIN_RUNS_FOR_CV and spread and spread.cv_pct is not None and spread.cv_pct > NOISY_CV_PCT:
        return spread.cv_pct
    return None


@dataclass(frozen=True)
class Column:
    key: str       # what a row's cell holds, for whoever marks or reads one
    header: str


COLUMNS = (Column("program", "program"), Column("count", "procs/threads"), Column("runs", "runs"),
           Column("parallel_s", "parallel s (med/min/max)"), Column("sequential_s", "sequential s (med/min/max)"),
           Column("time_s", "time s (med/min/max)"), Column("cv", "cv %"), Column("speedup", "speed-up %"),
           Column("efficiency", "efficiency %"))
AGAINST = Column("against", "vs baseline")
# Shown where a session ran in more than one environment, or asked for placements.
ENVIRONMENT = Column("environment", "environment")
BIND = Column("bind", "bind")


@dataclass(frozen=True)
class Table:
    """The summary table: its columns and, per summary row, {column key: text}."""
    columns: tuple
    cells: tuple

    def lines(self):
        return aligned([[c.header for c in self.columns]] + [[row[c.key] for c in self.columns] for row in self.cells])


def table(rows, against=None):
    """The summary table of `rows`; `against` maps a group to the text of its
    change against a baseline, which adds a column."""
    def span(t):
        return "%.3f / %.3f / %.3f" % (t.median, t.min, t.max) if t else "-"

    def cv(row):
        spread = row.main_spread
        if row.runs < MIN_RUNS_FOR_CV or not spread or spread.cv_pct is None:
            return "-"
        return "%.1f" % spread.cv_pct

    variant = tuple(c for c, shown in ((ENVIRONMENT, len({r.group.environment for r in rows}) > 1),
                                       (BIND, any(r.group.bind for r in rows))) if shown)
    columns = COLUMNS[:2] + variant + COLUMNS[2:] + ((AGAINST,) if against is not None else ())
    cells = []
    for row in rows:
        cell = {"program": row.group.program, "count": str(row.group.count),
                "environment": row.group.environment or "-", "bind": row.group.bind or "-",
                "runs": str(row.runs) + (" (%d failed)" % row.failed if row.failed else ""),
                "parallel_s": span(row.parallel_s), "sequential_s": span(row.sequential_s),
                "time_s": span(row.time_s), "cv": cv(row),
                "speedup": "%.2f" % row.speedup_pct if row.speedup_pct is not None else "-",
                "efficiency": "%.1f" % row.efficiency_pct if row.efficiency_pct is not None else "-"}
        if against is not None:
            cell["against"] = against.get(row.group, "-")
        cells.append(cell)
    return Table(columns, tuple(cells))


def format_table(rows, against=None):
    """The summary as aligned columns."""
    return "\n".join(table(rows, against).lines())


def variants(rows):
    """{(environment, bind): its rows}, in the order the rows first give them:
    a sweep is one program's counts within one of these."""
    found = {}
    for row in rows:
        found.setdefault(row.group.variant, []).append(row)
    return found


def relative_speedups(rows, program):
    """(count, speed-up %) of a program without a sequential phase of its own,
    against its group with the smallest count (1 where there is one), from
    median main times; and that reference count. Where every group was traced
    with the work its runs drew, the times are per second of that work: each
    run draws new random work, and a count that drew less is not faster."""
    mine = _timed(rows, program)
    drawn = judged_by_work(rows, program)
    times = sorted((r.group.count, r.main_spread.median / (r.balance.work_s if drawn else 1)) for r in mine)
    if not times:
        return [], None
    ref_count, ref_time = times[0]
    return [(n, 100.0 * ref_time / t) for n, t in times], ref_count


def _timed(rows, program):
    return [r for r in rows if r.group.program == program.name and r.main_spread and r.main_spread.median > 0]


def judged_by_work(rows, program):
    """Whether every group of `program` knows the work its runs drew."""
    mine = _timed(rows, program)
    return bool(mine) and all(r.balance and r.balance.work_s for r in mine)


def own_speedups(rows, program):
    """(count, median speed-up %) of a program that reports its own."""
    return sorted((r.group.count, r.speedup_pct) for r in rows
                  if r.group.program == program.name and r.speedup_pct is not None and math.isfinite(r.speedup_pct))


def speedups(rows, program):
    """(points, reference count): the sweep's speed-ups, each against the
    program's own sequential phase (reference None) or against its smallest count."""
    if program.sequential:
        return own_speedups(rows, program), None
    return relative_speedups(rows, program)


def placement_lines(runs):
    """"placement: arraysum with 2 threads (bound close): ... (3 of 3 runs)":
    each group's runs whose placement was not as asked, or not known, by what
    was said of them; `runs` a session's Run records."""
    said, counted = {}, {}
    for run in runs:
        if run.placement is not None:
            counted[run.group] = counted.get(run.group, 0) + 1
            if run.placement.note():
                key = (run.group, run.placement.note())
                said[key] = said.get(key, 0) + 1
    return ["placement: %s: %s (%d of %s)" % (group.describe(), note, n, plural(counted[group], "run"))
            for (group, note), n in sorted(said.items(), key=lambda item: item[0][0].sort_key())]


def notes(rows):
    """The lines printed under the table."""
    lines = []
    if any(r.group.procs for r in rows):
        lines.append("\nefficiency = speed-up / processes; 100 % would be perfect scaling.")
    for row in rows:
        cv = noisy(row)
        if cv is not None:
            lines.append("noise: %s: its %s varies by %.1f %% over %d runs (coefficient of variation, above %g %%); "
                         "differences smaller than that spread are not meaningful"
                         % (row.group.describe(), time_label(row), cv, row.runs, NOISY_CV_PCT))
    for program in programs.PROGRAMS:
        if program.sweep and not program.sequential:
            for variant, mine in variants(rows).items():
                points, ref = relative_speedups(mine, program)
                if len(points) >= 2:
                    unit = program.sweep.unit
                    lines.append("%s%s speed-up against %s: %s%s" % (
                        program.name, programs.variant_text(*variant), plural(ref, unit),
                        ", ".join("%s %.0f %%" % (plural(n, unit), v) for n, v in points),
                        " (per second of the work each count drew)" if judged_by_work(mine, program) else ""))
    lines += filter(None, map(balance.line, rows))
    return lines
