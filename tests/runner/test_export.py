"""results export: every run of the chosen sessions, one row each, as CSV
and as JSON lines, read back; the filters it shares with list; CSV cells a
spreadsheet would run made inert; --output checked by writing where it goes,
and a file written over keeping its mode."""

import csv
import datetime
import glob
import io
import json
import os
import stat

import pytest

from conftest import NOW, host_document as raw, stored
from parbench.model import document
from parbench.report import export

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


# What a document may hold that a spreadsheet would run, and the cell it must become.
FORMULAS = [
    ("host", '=HYPERLINK("http://x","y")', '\'=HYPERLINK("http://x","y")'),
    ("mpi", "@SUM(A1:A9)", "'@SUM(A1:A9)"),
    ("commit", "+cmd|' /C ", "'+cmd|' /C "),
    ("parallel_s", "-0.5", "-0.5"),
    ("sequential_s", "1e-3", "1e-3"),
    ("time_s", "-inf", "'-inf"),
    ("speedup_pct", "-nan", "'-nan"),
    ("problem", "-2+3 exit status 1", "'-2+3 exit status 1"),
]


def formula_store(tmp_path):
    doc = raw("a", [("treesearch", 2, [0.5])], run_problem="placeholder")
    values = {field: value for field, value, _ in FORMULAS}
    doc["provenance"].update(host=values["host"], mpi={"implementation": values["mpi"]},
                             git={"commit": values["commit"]})
    doc["runs"][0].update({name: values[name] for name in document.FIGURES}, problem=values["problem"])
    # Control characters are shown escaped first: a tab or carriage return never starts a cell.
    other = raw("b", [("arraysum", 4, [0.1])], run_problem="\t=1+2")
    other["provenance"]["host"] = "\r@x"
    return doc, stored(tmp_path, doc, other).folder


def test_export_csv_makes_every_cell_a_spreadsheet_would_run_inert_and_keeps_numbers(tmp_path, results):
    doc, folder = formula_store(tmp_path)
    run = results(folder, "export")
    assert run.returncode == 0, run.stderr
    rows = {r["program"]: r for r in csv.DictReader(io.StringIO(run.stdout))}
    assert [(field, rows["treesearch"][field]) for field, _, _ in FORMULAS] == \
        [(field, cell) for field, _, cell in FORMULAS]
    assert (rows["arraysum"]["host"], rows["arraysum"]["problem"]) == ("\\x0d@x", "\\x09=1+2")
    assert not [c for r in rows.values() for c in r.values() if c[:1] in ("=", "+", "@", "\t", "\r")]
    # JSON lines are for programs, not spreadsheets: the document's text, exactly.
    [line] = [json.loads(line) for line in results(folder, "export", "--format", "jsonl", "--program",
                                                   "treesearch").stdout.splitlines()]
    assert [line[field] for field, _, _ in FORMULAS[3:]] == [value for _, value, _ in FORMULAS[3:]]
    assert line["host"] == doc["provenance"]["host"]


def test_export_over_an_existing_file_keeps_its_mode(tmp_path, results):
    docs, folder = export_store(tmp_path)
    out = tmp_path / "runs.csv"
    # Root may write over a read-only file, as its shell would; a user is refused it (test_files).
    for bits in (0o640, 0o444) if os.geteuid() == 0 else (0o640,):
        out.write_text("old")
        os.chmod(out, bits)
        run = results(folder, "export", "--output", str(out))
        assert run.returncode == 0, run.stderr
        assert out.read_text().startswith("session,") and stat.S_IMODE(out.stat().st_mode) == bits


@pytest.mark.parametrize("command, option", [("export", "--output"), ("report", "--out")])
@pytest.mark.parametrize("folder", ["/proc", "/sys"])
def test_an_output_in_a_folder_that_refuses_new_files_is_refused_before_any_work(tmp_path, results, command,
                                                                                  option, folder):
    docs, store = export_store(tmp_path)
    target = os.path.join(folder, "parbench-runs.csv")
    run = results(store, command, option, target)
    assert (run.returncode, run.stdout) == (2, "")
    assert run.stderr.splitlines() == ["results: error: %s: cannot write %s: the folder %s cannot be written: %s" % (
        option, target, folder, "it takes no new files" if folder == "/proc" else "Permission denied")]
    assert not os.path.exists(target)


@pytest.mark.parametrize("form", export.FORMATS)
def test_export_of_many_documents_read_in_processes_keeps_their_order(tmp_path, form, monkeypatch):
    docs = [raw("h%03d" % i, [("arraysum", 4, [0.001 * (i + 1)])], when=NOW - datetime.timedelta(minutes=i))
            for i in range(12)]
    paths = [str(p) for p in sorted(glob.glob(os.path.join(stored(tmp_path, *docs).folder, "*.json")))]
    alone = io.StringIO()
    assert export.write(alone, export.rows(document.load(p) for p in paths), form) == 12
    # Chunks of five in a pool: the order of the chunks is the order of the rows.
    monkeypatch.setattr(export.parallel, "CHUNK", 5)
    monkeypatch.setattr(export.parallel, "FEW", 0)
    pooled = io.StringIO()
    assert export.write_files(pooled, paths, form) == 12
    assert pooled.getvalue() == alone.getvalue()
    assert export.write_files(io.StringIO(), paths, form, program="treesearch") == 0


def test_export_stops_at_a_document_gone_with_the_rows_before_it_out(tmp_path):
    docs = [raw("h%d" % i, [("arraysum", 4, [0.001])], when=NOW - datetime.timedelta(minutes=i)) for i in range(3)]
    paths = [str(p) for p in sorted(glob.glob(os.path.join(stored(tmp_path, *docs).folder, "*.json")))]
    os.unlink(paths[1])
    out = io.StringIO()
    with pytest.raises(export.StoreError, match="cannot|no such"):
        export.write_files(out, paths, "csv")
    assert [r["session"] for r in csv.DictReader(io.StringIO(out.getvalue()))] == [docs[2]["session"]]
