"""Every run of the chosen sessions as one table: CSV or JSON lines, for a
spreadsheet, pandas or a database. One row per run, its session's provenance
repeated on each, its figures as the program printed them (the document's
text, "inf" included)."""

import csv
import io
import json

from . import document
from .text import cell, shown

FIELDS = ("session", "date", "host", "mpi", "commit", "program", "count", "run") + document.FIGURES + \
    ("verdict", "problem")
FORMATS = ("csv", "jsonl")


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
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=FIELDS, lineterminator="\n")
    writer.writeheader()
    # A cell may be read on a terminal (a document's control characters shown
    # escaped) or in a spreadsheet (made inert last, so nothing comes before its quote).
    writer.writerows({name: cell(shown(row[name])) for name in FIELDS} for row in found)
    return out.getvalue()
