"""results export: every run of the chosen sessions, one row each, as CSV
and as JSON lines, read back; the filters it shares with list."""

import csv
import datetime
import io
import json

import pytest

from conftest import NOW, host_document as raw, stored
from parbench import document, export

pytestmark = pytest.mark.unit
QUIET = [1.00, 1.02, 1.04, 1.06, 1.08]

def export_store(tmp_path):
    docs = [raw("a", [("treesearch", 2, QUIET), ("arraysum", 4, [0.007, 0.008])]),
            raw("b", [("treesearch", 2, [1.1, 1.2])], when=NOW - datetime.timedelta(days=10),
                run_problem="exit status 1")]
    return docs, stored(tmp_path, *docs).folder


def test_export_writes_one_row_per_run_as_csv_and_reads_back(tmp_path, results):
    docs, folder = export_store(tmp_path)
    run = results(folder, "export")
    assert run.returncode == 0, run.stderr
    rows = list(csv.DictReader(io.StringIO(run.stdout)))
    assert tuple(rows[0]) == export.FIELDS
    expected = [(d["session"], r["program"], str(r["procs"] or r["threads"]), str(r["run"]),
                 r.get("parallel_s") or "", r.get("time_s") or "", r["problem"] or "")
                for d in sorted(docs, key=lambda d: d["session"]) for r in d["runs"]]
    assert [(r["session"], r["program"], r["count"], r["run"], r["parallel_s"], r["time_s"], r["problem"])
            for r in rows] == expected
    first = rows[-1] if rows[-1]["host"] == "a" else rows[0]
    assert (first["mpi"], first["commit"], first["verdict"], first["sequential_s"]) == \
        ("Open MPI 4.1.4", "ab" * 5, "valid", "")


def test_export_as_json_lines_to_a_file_holds_the_same_runs(tmp_path, results):
    docs, folder = export_store(tmp_path)
    out = tmp_path / "runs.jsonl"
    run = results(folder, "export", "--format", "jsonl", "--output", str(out))
    assert run.returncode == 0 and run.stdout == ""
    assert "export: 9 runs of 2 sessions to %s" % out in run.stderr
    lines = [json.loads(line) for line in out.read_text().splitlines()]
    assert len(lines) == 9 and all(tuple(line) == export.FIELDS for line in lines)
    sessions = [document.from_json(d, "test") for d in docs]
    def key(row):
        return row["session"], row["program"], row["run"]
    assert sorted(lines, key=key) == sorted(export.rows(sessions), key=key)
    failed = [line for line in lines if line["problem"]]
    assert [(f["host"], f["run"], f["count"]) for f in failed] == [("b", 1, 2)]


def test_export_filters_as_list_does(tmp_path, results):
    docs, folder = export_store(tmp_path)

    def sessions(*args):
        run = results(folder, "export", *args)
        assert run.returncode == 0, run.stderr
        return [(r["host"], r["program"]) for r in csv.DictReader(io.StringIO(run.stdout))]
    assert sessions("--host", "b") == [("b", "treesearch")] * 2
    assert sessions("--program", "arraysum") == [("a", "arraysum")] * 2
    assert sessions("--since", (NOW - datetime.timedelta(days=2)).date().isoformat()) == \
        [("a", "treesearch")] * 5 + [("a", "arraysum")] * 2
    assert sessions("--host", "nowhere") == []
    listed = results(folder, "list", "--host", "b")
    assert [line.split()[0] for line in listed.stdout.splitlines()[1:]] == [docs[1]["session"]]
    unwritable = results(folder, "export", "--output", str(tmp_path / "no" / "such.csv"))
    assert unwritable.returncode == 2 and "--output: cannot write" in unwritable.stderr
