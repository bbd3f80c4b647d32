"""What a suite run leaves behind besides its log: the CSV of its runs and the
JSON document of its runs, summary and provenance."""

import csv
import json
import math

from .store import FORMAT
from .summary import TIMES, main_time

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
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=CSV_FIELDS, lineterminator="\n")
        writer.writeheader()
        writer.writerows(csv_row(r) for r in results)


def _finite(value):
    return value if value is None or math.isfinite(value) else None


def document(session, prov, results, rows, sweeps=()):
    """The JSON document of a suite session. Runs keep the figures as printed
    (the CSV's text, "inf" included); the summary has numbers, null where none
    is finite."""
    runs = []
    for r in results:
        run = {k: (v if v != "" else None) for k, v in csv_row(r).items()}
        run.update(procs=r.run.procs, threads=r.run.threads, exit_status=r.status,
                   duration_s=round(r.seconds, 3), problem=r.problem, binding=r.binding)
        runs.append(run)
    summary = []
    for row in rows:
        entry = dict(row)
        for name in TIMES:
            if entry[name]:
                entry[name] = {k: _finite(v) for k, v in entry[name].items()}
        entry["main_time"] = main_time(row)
        entry["speedup_pct"], entry["efficiency_pct"] = _finite(entry["speedup_pct"]), _finite(entry["efficiency_pct"])
        summary.append(entry)
    return {"format": FORMAT, "session": session, "provenance": prov, "runs": runs, "summary": summary,
            "scaling": list(sweeps)}


def write_json(path, doc):
    with open(path, "w") as f:
        json.dump(doc, f, indent=2, allow_nan=False)
        f.write("\n")
