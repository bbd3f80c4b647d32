"""The report parser and the runner's summary, on reports the programs print."""

import json
import math

import pytest

from parbench.analysis import stats, summary
from parbench.model import document, programs, printouts
from parbench.report import export
from parbench.run import outputs as output
from parbench.run.plan import Run
from parbench.run.runs import Result

pytestmark = pytest.mark.unit


def test_valid_tree_search_with_rows_among_the_root_lines(sample):
    text = sample("treesearch-valid")
    f = printouts.parse(text)
    assert (f["parallel_s"], f["sequential_s"], f["speedup_pct"], f["workers"], f["verdict"]) == \
        ("0.491000", "0.991000", "201.83", "2", "valid")
    assert printouts.absent(programs.get("treesearch"), f) == []
    assert printouts.tree_rows(text) == ({0: (0, 16567494, 230882), 1: (16567495, 33134989, 230679)}, [])


def test_invalid_verdicts_of_both_spellings(sample):
    for name in ("treesearch", "arraysum"):
        f = printouts.parse(sample(name + "-invalid"))
        assert f["verdict"] == "invalid", name
        assert f.get("parallel_s") is None
        assert printouts.absent(programs.get(name), f) == [], "an invalid run has no times to miss"


def test_infinite_and_undefined_speedups(sample):
    f = printouts.parse(sample("arraysum-valid"))
    assert (f["verdict"], f["workers"]) == ("valid", "4")
    assert math.isinf(printouts.parse_number(f["speedup_pct"]))
    g = printouts.parse(sample("splitwork-both-zero"))
    assert math.isnan(printouts.parse_number(g["speedup_pct"]))
    assert g["verdict"] is None


def test_single_time_and_truncated_reports(sample):
    f = printouts.parse(sample("dynamicwork"))
    assert f["time_s"] == "20.917000"
    assert printouts.absent(programs.get("dynamicwork"), f) == []
    cut = printouts.parse(sample("treesearch-valid").split("Solution: Valid")[0])
    assert printouts.absent(programs.get("treesearch"), cut) == ["parallel_s", "sequential_s", "speedup_pct",
                                                                "verdict"]
    assert printouts.absent(programs.get("queuedrain"), printouts.parse("")) == ["time_s"]


def test_a_process_count_that_is_not_the_one_asked_for_is_named(sample):
    one = sample("treesearch-valid")
    assert printouts.process_count_problem(one, 2) is None
    assert printouts.process_count_problem(one, 4) == "ran with 2 processes, not the 4 asked for"
    assert printouts.process_count_problem(one + one, 2).startswith("printed 2 reports (Threads: 2, Threads: 2)")


def test_median_ignores_nan_and_handles_even_counts():
    assert stats.median([3.0, 1.0, 2.0]) == 2.0
    assert stats.median([4.0, 1.0, 2.0, 3.0]) == 2.5
    assert stats.median([math.nan, 5.0]) == 5.0
    assert math.isnan(stats.median([]))


def result(name, procs, text, index=1, problem=None, threads=None):
    return Result(Run(programs.get(name), procs, threads, index, 1), printouts.parse(text), 0, 1.0, problem)


def test_tree_search_rows_carry_median_spread_and_efficiency(sample):
    text = sample("treesearch-valid")
    runs = [result("treesearch", 2, text.replace("201.83", s).replace("0.491000", t), index=i)
            for i, (s, t) in enumerate((("150.00", "0.400000"), ("201.83", "0.500000"), ("180.00", "0.600000")), 1)]
    [row] = summary.summarise(runs)
    assert (row.group.procs, row.runs, row.failed) == (2, 3, 0)
    assert row.speedup_pct == 180.0
    assert (row.parallel_s.median, row.parallel_s.min) == (0.5, 0.4)
    assert row.parallel_s.cv_pct == pytest.approx(20.0)  # sample deviation 0.1 over mean 0.5
    assert row.efficiency_pct == pytest.approx(90.0)
    assert row.time_s is None
    assert summary.noisy(row) == row.parallel_s.cv_pct
    table = summary.format_table([row])
    assert "180.00" in table and "90.0" in table
    assert "20.0  180.00" in table


def test_failed_runs_are_counted_but_not_summarised(sample):
    text = sample("treesearch-valid")
    [row] = summary.summarise([result("treesearch", 2, text),
                               result("treesearch", 2, text.replace("0.491000", "9.0"), problem="printed 2 reports")])
    assert (row.runs, row.failed, row.parallel_s.max) == (1, 1, 0.491)
    assert summary.noisy(row) is None, "no spread to speak of with fewer than three runs"


def csv_row(found):
    """run-suite --csv's row of one Result, through the document it is written from."""
    session = output.session_document("20261201T000000.000Z-vm-abcdef", {}, [found], summary.summarise([found]))
    [row] = export.suite_rows(session)
    return row


def test_csv_rows_leave_absent_figures_empty(sample):
    row = csv_row(result("queuedrain", None, "Time:   0.002000 s\n", threads=1))
    assert row == {"program": "queuedrain", "run": 1, "procs": "", "parallel_s": "", "sequential_s": "",
                   "time_s": "0.002000", "speedup_pct": "", "verdict": "", "threads": 1, "environment": "", "bind": ""}
    row = csv_row(result("arraysum", None, sample("arraysum-valid"), threads=4))
    assert (row["speedup_pct"], row["verdict"]) == ("inf", "valid")


def test_infinite_speedup_does_not_break_the_table_or_the_json(sample):
    runs = [result("arraysum", None, sample("arraysum-valid"), threads=4)]
    rows = summary.summarise(runs)
    assert "inf" in summary.format_table(rows)
    session = output.session_document("20261201T000000.000Z-vm-abcdef", {}, runs, rows)
    doc = json.loads(document.dumps(session))
    assert doc["runs"][0]["speedup_pct"] == "inf"
    assert doc["summary"][0]["speedup_pct"] is None
    assert document.conformity(doc) is None
