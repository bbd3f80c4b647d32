"""Reading the benchmark programs' fixed reports.

The programs print plain text lines in fixed formats; this module is the one
place that turns a report into figures, so the runner and the tests agree on
what a report says.
"""

import math
import re

# The programs read a millisecond clock: every time they print is whole
# milliseconds, so a difference of one tick says nothing.
CLOCK_RESOLUTION_S = 0.001

_LINES = (
    ("parallel_s", re.compile(r"^Parallel:   (\S+) s$")),
    ("sequential_s", re.compile(r"^Sequential: (\S+) s$")),
    ("time_s", re.compile(r"^Time:   (\S+) s$")),
    ("speedup_pct", re.compile(r"^Speedup: (\S+) %$")),
    ("workers", re.compile(r"^(?:Threads|Cores): (\d+)$")),
)
# treesearch prints "Solution: Valid", arraysum "Solution Valid".
_VERDICT = re.compile(r"^Solution:? (Valid|Invalid)$")
# The MPI program's statement of its world size.
_PROCESSES = re.compile(r"^Threads: (\d+)$", re.MULTILINE)
# A process's row of the tree search's table: rank, byte range, count.
TREE_ROW = re.compile(r"^P (\d+) \| (\d+) - (\d+) \| (\d+)$")


def parse_number(text):
    """A printed figure as a float: printf's inf, -inf, nan and -nan included."""
    return float(text)


def usable_time(text):
    """Whether a printed time is a finite number of zero seconds or more."""
    try:
        value = float(text)
    except (TypeError, ValueError):
        return False
    return math.isfinite(value) and value >= 0


def parse(text):
    """The figures of one report: a dict with the raw text of each figure found
    (parallel_s, sequential_s, time_s, speedup_pct, workers) and verdict
    ("valid", "invalid" or None)."""
    figures = {"verdict": None}
    for line in text.splitlines():
        for name, pattern in _LINES:
            m = pattern.match(line)
            if m:
                figures[name] = m.group(1)
        m = _VERDICT.match(line)
        if m:
            figures["verdict"] = m.group(1).lower()
    return figures


def absent(program, figures):
    """The figures `program` prints that a report lacks. An invalid verdict
    comes without times, so only the verdict is expected then."""
    if figures.get("verdict") == "invalid":
        return []
    return [name for name in program.figures if figures.get(name) is None]


def process_count_problem(text, procs):
    """Why an MPI run's report does not show `procs` processes working as one,
    or None. A launcher that does not match the MPI library starts `procs`
    separate copies, each one process of one: several reports, each "Threads: 1"."""
    stated = _PROCESSES.findall(text)
    if not stated:
        return None  # a report cut short is named by what it lacks
    if len(stated) > 1:
        return "printed %d reports (%s): the launcher started separate single-process copies, " \
               "not one run of %d processes" % (len(stated), ", ".join("Threads: " + s for s in stated), procs)
    if int(stated[0]) != procs:
        return "ran with %s processes, not the %d asked for" % (stated[0], procs)
    return None


def tree_rows(text):
    """{rank: (start, end, matches)} of a tree search report, and the ranks
    that printed more than one row."""
    rows, twice = {}, []
    for line in text.splitlines():
        m = TREE_ROW.match(line)
        if m:
            rank, start, end, matches = (int(g) for g in m.groups())
            if rank in rows:
                twice.append(rank)
            rows[rank] = (start, end, matches)
    return rows, twice
