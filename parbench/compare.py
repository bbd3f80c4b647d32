"""Comparing a suite run with a baseline: an earlier run's JSON document.

Each group (program, process or thread count) is judged by the median of its
main time; lower is better. A change beyond the tolerance, a fraction of the
baseline's median, is a regression or an improvement; anything within it, or
within the programs' clock resolution, is no change."""

import json

from .programs import Group
from .summary import main_spread, time_label

# The programs read a millisecond clock: a difference of one tick says nothing.
CLOCK_RESOLUTION_S = 0.001


class BaselineError(Exception):
    pass


def load(path):
    try:
        with open(path) as f:
            doc = json.load(f)
    except (OSError, ValueError) as e:
        raise BaselineError("cannot read the baseline %s: %s" % (path, e))
    if not isinstance(doc, dict) or not isinstance(doc.get("summary"), list):
        raise BaselineError("%s is not a document written by run-suite --json" % path)
    return doc


def _median(entry):
    spread = main_spread(entry)
    return spread.get("median") if spread and entry.get("runs") else None


def machine_differences(here, there):
    """What differs between where the baseline ran and where this run ran."""
    def compiler(p):
        c = p.get("compiler") or {}
        return " ".join(str(c.get(k)) for k in ("id", "version") if c.get(k)) or None

    notes = []
    for label, get in (("host", lambda p: p.get("host")), ("CPU model", lambda p: p.get("cpu_model")),
                       ("compiler", compiler)):
        a, b = get(there), get(here)
        if a != b:
            notes.append("%s %s (this run: %s)" % (label, a or "unknown", b or "unknown"))
    return notes


class Comparison:
    """`changes`: group -> table text; `regressed`: lines naming each
    regressed group; `missing`: lines naming groups not compared."""

    def __init__(self):
        self.changes, self.regressed, self.faster, self.missing, self.notes = {}, [], [], [], []


def compare(rows, baseline, tolerance, here):
    result = Comparison()
    result.notes = machine_differences(here, baseline.get("provenance") or {})
    before = {Group.of(e): e for e in baseline["summary"]}
    now = {Group.of(r): r for r in rows}
    for key, row in now.items():
        if key not in before:
            result.missing.append("%s: not in the baseline" % key.describe())
            continue
        old, new = _median(before[key]), _median(row)
        if old is None or new is None:
            side = "the baseline" if old is None else "this run"
            result.missing.append("%s: no valid runs in %s" % (key.describe(), side))
            continue
        change = 100.0 * (new - old) / old if old > 0 else (0.0 if new == old else float("inf"))
        text = "%+.1f %%" % change
        what = "%s: %s %.3f s, baseline %.3f s (%s)" % (key.describe(), time_label(row), new, old, text)
        if abs(new - old) <= CLOCK_RESOLUTION_S:
            text += " (one clock tick)" if new != old else ""
        elif new > old * (1 + tolerance):
            text += " slower"
            result.regressed.append(what)
        elif new < old * (1 - tolerance):
            text += " faster"
            result.faster.append(what)
        result.changes[key] = text
    for key in before:
        if key not in now:
            result.missing.append("%s: only in the baseline" % key.describe())
    return result
