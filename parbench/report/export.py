"""Runs as tables: every run of the chosen sessions as CSV or JSON lines (the
results command's export), and the runs of one session as run-suite's --csv.
One row per run, its figures as the program printed them (the document's
text, "inf" included); both CSV layouts are here, and both are written with
every cell made inert for a spreadsheet."""

import csv
import io
import json

from ..base import files
from ..base.text import cell, shown
from ..model import document

FIELDS = ("session", "date", "host", "mpi", "commit", "program", "count", "run") + document.FIGURES + \
    ("verdict", "problem")
FORMATS = ("csv", "jsonl")
# run-suite --csv: its eight first columns are the CSV's original ones; readers rely on their order.
SUITE_FIELDS = ("program", "run", "procs", "parallel_s", "sequential_s", "time_s", "speedup_pct", "verdict",
                "threads")


def rows(sessions, program=None):
    """One dict per run of `sessions` (Session records), of `program` alone
    where given: FIELDS, None where a run or its session has no such value."""
    out = []
    for session in sessions:
        prov = session.provenance
        for run in session.runs:
            if program and run.group.program != program:
                continue
            row = {"session": session.id, "date": prov.date, "host": prov.host, "mpi": prov.mpi(),
                   "commit": prov.commit() or None, "program": run.group.program, "count": run.group.count,
                   "run": run.index, "problem": run.problem}
            row.update({name: run.figures.get(name) for name in document.FIGURES + ("verdict",)})
            out.append(row)
    return out


def text(found, form):
    """The rows as the whole text of a CSV (a header, empty cells for None) or
    of JSON lines."""
    if form == "jsonl":
        # json escapes every control character itself: the text stays exact.
        return "".join(json.dumps({name: row[name] for name in FIELDS}) + "\n" for row in found)
    # A cell may be read on a terminal (a document's control characters shown
    # escaped) or in a spreadsheet (made inert last, so nothing comes before its quote).
    return _csv(FIELDS, ({name: shown(row[name]) for name in FIELDS} for row in found))


def suite_rows(session):
    """run-suite --csv's rows of a Session: SUITE_FIELDS, "" where a run has no such value."""
    for run in session.runs:
        row = {name: run.figures.get(name) or "" for name in ("parallel_s", "sequential_s", "time_s", "speedup_pct",
                                                             "verdict")}
        row.update(program=run.group.program, run=run.index, procs=run.group.procs or "",
                   threads=run.group.threads or "")
        yield row


def write_suite_csv(path, session):
    """run-suite --csv: the runs of `session`, whole to `path`."""
    files.write(path, _csv(SUITE_FIELDS, suite_rows(session)))


def _csv(fields, found):
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=fields, lineterminator="\n")
    writer.writeheader()
    # A program's figures are whatever it printed: a spreadsheet must not run them.
    writer.writerows({name: cell("" if row[name] is None else row[name]) for name in fields} for row in found)
    return out.getvalue()
