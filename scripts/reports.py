"""Reading the benchmark programs' fixed reports.

The programs print plain text lines (their format is fixed); this module is
the one place that turns a report into figures, so the suite runner and its
tests agree on what a report says.
"""

import math
import re

PROGRAMS = ("treesearch", "arraysum", "splitwork", "queuedrain", "dynamicwork")

# Which figures each program's report must have for the run to count.
EXPECTED = {
    "treesearch": ("parallel_s", "sequential_s", "speedup_pct", "verdict"),
    "arraysum": ("parallel_s", "sequential_s", "speedup_pct", "verdict"),
    "splitwork": ("parallel_s", "sequential_s", "speedup_pct"),
    "queuedrain": ("time_s",),
    "dynamicwork": ("time_s",),
}

_LINES = (
    ("parallel_s", re.compile(r"^Parallel:   (\S+) s$")),
    ("sequential_s", re.compile(r"^Sequential: (\S+) s$")),
    ("time_s", re.compile(r"^Time:   (\S+) s$")),
    ("speedup_pct", re.compile(r"^Speedup: (\S+) %$")),
    ("workers", re.compile(r"^(?:Threads|Cores): (\d+)$")),
)
# treesearch prints "Solution: Valid", arraysum "Solution Valid".
_VERDICT = re.compile(r"^Solution:? (Valid|Invalid)$")


def parse_number(text):
    """A printed figure as a float: printf's inf, -inf, nan and -nan included."""
    return float(text)


def parse(program, text):
    """The figures of one report: a dict with the raw text of each figure found
    (parallel_s, sequential_s, time_s, speedup_pct, workers) and verdict
    ("valid", "invalid" or None)."""
    if program not in EXPECTED:
        raise ValueError("unknown program: %s" % program)
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


def missing(program, figures):
    """The expected figures a report lacks. An invalid verdict comes without
    times, so only the verdict is expected then."""
    if figures.get("verdict") == "invalid":
        return []
    return [name for name in EXPECTED[program] if figures.get(name) is None]


def median(values):
    values = sorted(v for v in values if not math.isnan(v))
    if not values:
        return math.nan
    mid = len(values) // 2
    return values[mid] if len(values) % 2 else (values[mid - 1] + values[mid]) / 2
