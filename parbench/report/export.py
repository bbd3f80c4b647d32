"""Runs as tables: every run of the chosen sessions as CSV or JSON lines (the
results command's export), and the runs of one session as run-suite's --csv.
One row per run, its figures as the program printed them (the document's
text, "inf" included); both CSV layouts are here, and both are written with
every cell made inert for a spreadsheet."""

import csv
import functools
import io
import itertools
import json

from ..base import files, parallel
from ..base.text import cell, shown
from ..model import document
from ..model.store import StoreError

# Columns are only ever added at the end: readers rely on the order.
FIELDS = ("session", "date", "host", "mpi", "commit", "program", "count", "run") + document.FIGURES + \
    ("verdict", "problem", "environment", "bind")
FORMATS = ("csv", "jsonl")
# run-suite --csv: its eight first columns are the CSV's original ones; readers rely on their order.
SUITE_FIELDS = ("program", "run", "procs", "parallel_s", "sequential_s", "time_s", "speedup_pct", "verdict",
                "threads", "environment", "bind")


def rows(sessions, program=None):
    """One dict per run of `sessions` (Session records, taken one at a time),
    of `program` alone where given: FIELDS, None where a run or its session
    has no such value."""
    for session in sessions:
        prov = session.provenance
        for run in session.runs:
            if program and run.group.program != program:
                continue
            # A run of an environment ran with that environment's MPI.
            env = session.environments.get(run.group.environment)
            row = {"session": session.id, "date": prov.date, "host": prov.host,
                   "mpi": env.mpi() if env else prov.mpi(), "commit": prov.commit() or None,
                   "program": run.group.program, "count": run.group.count, "run": run.index,
                   "problem": run.problem, "environment": run.group.environment, "bind": run.group.bind}
            row.update({name: run.figures.get(name) for name in document.FIGURES + ("verdict",)})
            yield row


def write(out, found, form):
    """Writes the rows `found` to the text stream `out` as they come, as a CSV
    (a header, empty cells for None) or JSON lines; returns how many."""
    _header(out, form)
    written = 0
    found = iter(found)
    while True:
        batch = list(itertools.islice(found, 1000))
        if not batch:
            return written
        out.write(_text(batch, form))
        written += len(batch)


def write_files(out, paths, form, program=None):
    """write() of the rows of the documents `paths`, in their order, read and
    written out by a process a core where they are many. StoreError names a
    document that can no longer be read, once the rows before it are out."""
    _header(out, form)
    written = 0
    for text, count, problem in parallel.chunked(functools.partial(_text_of_files, form=form, program=program),
                                                 paths):
        out.write(text)
        written += count
        if problem:
            raise StoreError(problem)
    return written


def _text_of_files(paths, form, program):
    found = []
    for path in paths:
        try:
            session = document.load(path)
        except document.DocumentError as e:
            return _text(found, form), len(found), str(e)
        found += rows([session], program)
    return _text(found, form), len(found), None


def _header(out, form):
    if form == "csv":
        csv.writer(out, lineterminator="\n").writerow(FIELDS)


def _text(found, form):
    if form == "jsonl":
        # json escapes every control character itself: the text stays exact.
        return "".join(json.dumps({name: row[name] for name in FIELDS}) + "\n" for row in found)
    out = io.StringIO()
    # A cell may be read on a terminal (a document's control characters shown
    # escaped) or in a spreadsheet (made inert last, so nothing comes before its quote).
    csv.writer(out, lineterminator="\n").writerows([cell(shown(row[name])) for name in FIELDS] for row in found)
    return out.getvalue()


def text(found, form):
    """The rows as the whole text of a CSV or of JSON lines."""
    out = io.StringIO()
    write(out, found, form)
    return out.getvalue()


def suite_rows(session):
    """run-suite --csv's rows of a Session: SUITE_FIELDS, "" where a run has no such value."""
    for run in session.runs:
        row = {name: run.figures.get(name) or "" for name in ("parallel_s", "sequential_s", "time_s", "speedup_pct",
                                                             "verdict")}
        row.update(program=run.group.program, run=run.index, procs=run.group.procs or "",
                   threads=run.group.threads or "", environment=run.group.environment or "",
                   bind=run.group.bind or "")
        yield row


def write_suite_csv(path, session):
    """run-suite --csv: the runs of `session`, whole to `path`."""
    files.write(path, _csv(SUITE_FIELDS, suite_rows(session)))


def _writer(out, fields):
    writer = csv.DictWriter(out, fieldnames=fields, lineterminator="\n")
    writer.writeheader()
    return writer


def _csv(fields, found):
    out = io.StringIO()
    # A program's figures are whatever it printed: a spreadsheet must not run them.
    _writer(out, fields).writerows({name: cell("" if row[name] is None else row[name]) for name in fields}
                                   for row in found)
    return out.getvalue()


# The report's hosts side by side, every host of every group judged: what the
# page shows of a computing centre's hosts is only the odd ones.
HOST_FIELDS = ("program", "procs", "threads", "host", "session", "runs", "median_s", "others_median_s",
               "vs_others_pct", "modified_z", "p_holm", "verdict", "how")


def host_rows(hosts):
    """One dict per host of each group that the HostComparison `hosts`
    judged: HOST_FIELDS, None where there is no such value (p where no test
    was made)."""
    return [{"program": j.group.program, "procs": j.group.procs, "threads": j.group.threads, "host": shown(j.host),
             "session": shown(j.session), "runs": len(j.runs), "median_s": "%.6f" % j.median,
             "others_median_s": "%.6f" % j.others, "vs_others_pct": "%.1f" % j.change_pct,
             "modified_z": "%.2f" % j.z, "p_holm": None if j.p is None else "%.3g" % j.p, "verdict": j.verdict,
             "how": j.how} for j in hosts.judgements]


def hosts_csv(path, hosts):
    """Every host's row of the HostComparison `hosts`, whole to `path`."""
    files.write(path, _csv(HOST_FIELDS, host_rows(hosts)))
    return path
