"""The summary of a suite run: one row per group (program and process or thread
count) with the spread of each time, and the table and notes that show it.

A row is a dict, the same in memory as in the JSON document, so a row read
back from a stored document is summarised, shown and compared like a new one.
"""

import math

from . import programs, reports, stats
from .programs import Group

TIMES = ("parallel_s", "sequential_s", "time_s")
NOISY_CV_PCT = 5.0


def main_time(row):
    """The name of the time a group is judged by."""
    known = programs.BY_NAME.get(row["program"])
    return known.main_time if known else row.get("main_time", "parallel_s")


def time_label(row):
    return "parallel time" if main_time(row) == "parallel_s" else "time"


def summarise(results):
    """One row per group, from the runs without a problem: runs, failed runs,
    the spread of each time, the median speed-up and, for MPI runs, the
    parallel efficiency."""
    groups = {}
    for r in results:
        groups.setdefault(r.group, []).append(r)
    rows = []
    for group, members in groups.items():
        # A failed run's figures, if it printed any, describe no valid measurement.
        good = [r for r in members if not r.problem]
        row = {"program": group.program, "procs": group.procs, "threads": group.threads, "runs": len(good),
               "failed": len(members) - len(good)}
        for name in TIMES:
            row[name] = stats.spread([reports.parse_number(r.figures[name]) for r in good if r.figures.get(name)])
        speedups = [reports.parse_number(r.figures["speedup_pct"]) for r in good if r.figures.get("speedup_pct")]
        speedups = [v for v in speedups if not math.isnan(v)]
        row["speedup_pct"] = stats.median(speedups) if speedups else None
        row["efficiency_pct"] = (row["speedup_pct"] / group.procs
                                 if group.procs and row["speedup_pct"] is not None else None)
        rows.append(row)
    return rows


def main_spread(row):
    spread = row.get(main_time(row))
    return spread if isinstance(spread, dict) else None


def noisy(row):
    """The coefficient of variation of a group's main time when three or more
    runs make it worth reading and it exceeds NOISY_CV_PCT, else None."""
    spread = main_spread(row)
    if row["runs"] >= 3 and spread and spread.get("cv_pct") is not None and spread["cv_pct"] > NOISY_CV_PCT:
        return spread["cv_pct"]
    return None


def table_cells(rows, changes=None):
    """(header, cells of each row) of the summary table; `changes` maps a group
    to the text of its change against a baseline, which adds a column."""
    def span(t):
        return "%.3f / %.3f / %.3f" % (t["median"], t["min"], t["max"]) if t else "-"

    def cv(row):
        spread = main_spread(row)
        if row["runs"] < 3 or not spread or spread.get("cv_pct") is None:
            return "-"
        return "%.1f" % spread["cv_pct"]

    header = ["program", "procs/threads", "runs", "parallel s (med/min/max)", "sequential s (med/min/max)",
              "time s (med/min/max)", "cv %", "speed-up %", "efficiency %"]
    if changes is not None:
        header.append("vs baseline")
    lines = []
    for row in rows:
        line = [row["program"], str(row["procs"] or row["threads"]),
                str(row["runs"]) + (" (%d failed)" % row["failed"] if row["failed"] else ""),
                span(row["parallel_s"]), span(row["sequential_s"]), span(row["time_s"]), cv(row),
                "%.2f" % row["speedup_pct"] if row["speedup_pct"] is not None else "-",
                "%.1f" % row["efficiency_pct"] if row["efficiency_pct"] is not None else "-"]
        if changes is not None:
            line.append(changes.get(Group.of(row), "-"))
        lines.append(line)
    return header, lines


def format_table(rows, changes=None):
    """The summary as aligned columns."""
    header, cells = table_cells(rows, changes)
    lines = [header] + cells
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    return "\n".join("  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip() for line in lines)


def relative_speedups(rows, program):
    """(count, speed-up %) of a program without a sequential phase of its own,
    against its group with the smallest count (1 where there is one), from
    median main times; and that reference count."""
    times = sorted((Group.of(r).count, main_spread(r)["median"]) for r in rows
                   if r["program"] == program.name and main_spread(r) and main_spread(r)["median"] > 0)
    if not times:
        return [], None
    ref_count, ref_time = times[0]
    return [(n, 100.0 * ref_time / t) for n, t in times], ref_count


def own_speedups(rows, program):
    """(count, median speed-up %) of a program that reports its own."""
    return sorted((Group.of(r).count, r["speedup_pct"]) for r in rows
                  if r["program"] == program.name and r["speedup_pct"] is not None)


def speedups(rows, program):
    """(points, reference count): the sweep's speed-ups, each against the
    program's own sequential phase (reference None) or against its smallest count."""
    if program.sequential:
        return own_speedups(rows, program), None
    return relative_speedups(rows, program)


def notes(rows):
    """The lines printed under the table."""
    lines = []
    if any(r["procs"] for r in rows):
        lines.append("\nefficiency = speed-up / processes; 100 % would be perfect scaling.")
    for row in rows:
        cv = noisy(row)
        if cv is not None:
            lines.append("noise: %s: its %s varies by %.1f %% over %d runs (coefficient of variation, above %g %%); "
                         "differences smaller than that spread are not meaningful"
                         % (Group.of(row).describe(), time_label(row), cv, row["runs"], NOISY_CV_PCT))
    for program in programs.PROGRAMS:
        if program.sweep and not program.sequential:
            points, ref = relative_speedups(rows, program)
            if len(points) >= 2:
                unit = program.sweep.unit
                lines.append("%s speed-up against %s: %s" % (
                    program.name, programs.plural(ref, unit),
                    ", ".join("%s %.0f %%" % (programs.plural(n, unit), v) for n, v in points)))
    return lines
