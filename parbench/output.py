"""What a suite run leaves behind besides its log and its stored document: the
CSV of its runs, and the document made from its results."""

import csv
import io

from . import document, files
from .text import cell

# The eight first columns are the CSV's original ones; readers rely on their order.
CSV_FIELDS = ("program", "run", "procs", "parallel_s", "sequential_s", "time_s", "speedup_pct", "verdict",
              "threads")


def csv_row(result):
    f = result.figures
    row = {name: f.get(name) or "" for name in ("parallel_s", "sequential_s", "time_s", "speedup_pct", "verdict")}
    row.update(program=result.program, run=result.run.index, procs=result.run.procs or "",
               threads=result.run.threads or "")
    return row


def write_csv(path, results):
    text = io.StringIO()
    writer = csv.DictWriter(text, fieldnames=CSV_FIELDS, lineterminator="\n")
    writer.writeheader()
    # A program's figures are whatever it printed: a spreadsheet must not run them.
    writer.writerows({name: cell(value) for name, value in csv_row(r).items()} for r in results)
    files.write(path, text.getvalue())


def stored_run(result):
    """A run's record in the document: its figures as printed (the CSV's text,
    "inf" included)."""
    figures = {name: result.figures.get(name) or None for name in document.FIGURES + ("verdict",)}
    return document.Run(result.group, result.run.index, figures, result.problem, result.status,
                        round(result.seconds, 3), result.binding, result.balance)


def session_document(session, prov, results, rows, sweeps=(), interrupted=None):
    """The Session of a suite run: `rows` its summary, `sweeps` its scaling
    sections, `interrupted` a document.Interruption or None."""
    return document.build(session, prov, [stored_run(r) for r in results], rows, sweeps, interrupted)
