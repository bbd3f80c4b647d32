"""The report parser and the runner's summary, on reports the programs print."""

import json
import math
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

import reports  # noqa: E402
import results  # noqa: E402

TREESEARCH_VALID = """\
/////////////////////////////////////////////////////////////////
/////////////////////////////////////////////////////////////////
/////////////////////////////////////////////////////////////////
Generating Tree
Printing Tree to File
Starting Parallel Operation
Characters: 33134990
P # | Start - End | Matches
P 0 | 0 - 16567494 | 230882
Total Matches: 461561
P 1 | 16567495 - 33134989 | 230679
Search Completed
Generating Solution for Verification
Verifying Solution

Results:
Solution: Valid
Sequential Matches: 461561
Parallel Matches:   461561
Parallel:   0.491000 s
Sequential: 0.991000 s
Speedup: 201.83 %
Threads: 2
"""

TREESEARCH_INVALID = """\
Verifying Solution

Results:
Solution: Invalid
Sequential Matches: 461561
Parallel Matches:   461560
"""

ARRAYSUM_VALID = """\
Starting Parallel Operation
Sum Completed
Generating Solution for Verification
Verifying Solution

Solution Valid

Parallel:   0.000000 s
Sequential: 0.007000 s
Speedup: inf %
Cores: 4
"""

ARRAYSUM_INVALID = """\
Starting Parallel Operation
Sum Completed
Generating Solution for Verification
Verifying Solution

Solution Invalid

t:   494990000.000000
sum: 494990001.000000
"""

SPLITWORK_BOTH_ZERO = "Parallel:   0.000000 s\nSequential: 0.000000 s\nSpeedup: -nan %\n"
DYNAMICWORK = "Time:   20.917000 s\n"


class ParseReports(unittest.TestCase):
    def test_valid_tree_search_with_rows_among_the_root_lines(self):
        f = reports.parse("treesearch", TREESEARCH_VALID)
        self.assertEqual(f["parallel_s"], "0.491000")
        self.assertEqual(f["sequential_s"], "0.991000")
        self.assertEqual(f["speedup_pct"], "201.83")
        self.assertEqual(f["workers"], "2")
        self.assertEqual(f["verdict"], "valid")
        self.assertEqual(reports.missing("treesearch", f), [])

    def test_invalid_verdicts_of_both_spellings(self):
        for program, text in (("treesearch", TREESEARCH_INVALID), ("arraysum", ARRAYSUM_INVALID)):
            f = reports.parse(program, text)
            self.assertEqual(f["verdict"], "invalid", program)
            self.assertIsNone(f.get("parallel_s"))
            self.assertEqual(reports.missing(program, f), [], "an invalid run has no times to miss")

    def test_infinite_and_undefined_speedups(self):
        f = reports.parse("arraysum", ARRAYSUM_VALID)
        self.assertEqual(f["verdict"], "valid")
        self.assertEqual(f["workers"], "4")
        self.assertTrue(math.isinf(reports.parse_number(f["speedup_pct"])))
        g = reports.parse("splitwork", SPLITWORK_BOTH_ZERO)
        self.assertTrue(math.isnan(reports.parse_number(g["speedup_pct"])))
        self.assertIsNone(g["verdict"])

    def test_single_time_reports(self):
        f = reports.parse("dynamicwork", DYNAMICWORK)
        self.assertEqual(f["time_s"], "20.917000")
        self.assertEqual(reports.missing("dynamicwork", f), [])

    def test_truncated_report_misses_its_figures(self):
        f = reports.parse("treesearch", TREESEARCH_VALID.split("Solution: Valid")[0])
        self.assertEqual(reports.missing("treesearch", f), ["parallel_s", "sequential_s", "speedup_pct", "verdict"])
        self.assertEqual(reports.missing("queuedrain", reports.parse("queuedrain", "")), ["time_s"])

    def test_median_ignores_nan_and_handles_even_counts(self):
        self.assertEqual(reports.median([3.0, 1.0, 2.0]), 2.0)
        self.assertEqual(reports.median([4.0, 1.0, 2.0, 3.0]), 2.5)
        self.assertEqual(reports.median([math.nan, 5.0]), 5.0)
        self.assertTrue(math.isnan(reports.median([])))


def result(program, procs, text, run=1, status=0, problem=None, threads=None):
    return {"program": program, "run": run, "procs": procs, "threads": threads, "seconds": 1.0,
            "figures": reports.parse(program, text), "status": status, "problem": problem}


class Summary(unittest.TestCase):
    def test_tree_search_rows_carry_median_spread_and_efficiency(self):
        runs = [result("treesearch", 2, TREESEARCH_VALID.replace("201.83", s).replace("0.491000", t), run=i)
                for i, (s, t) in enumerate((("150.00", "0.400000"), ("201.83", "0.500000"),
                                            ("180.00", "0.600000")), 1)]
        rows = results.summarise(runs)
        self.assertEqual(len(rows), 1)
        row = rows[0]
        self.assertEqual((row["procs"], row["runs"], row["failed"]), (2, 3, 0))
        self.assertEqual(row["speedup_pct"], 180.0)
        self.assertEqual((row["parallel_s"]["median"], row["parallel_s"]["min"]), (0.5, 0.4))
        self.assertAlmostEqual(row["parallel_s"]["cv_pct"], 20.0)  # sample deviation 0.1 over mean 0.5
        self.assertAlmostEqual(row["efficiency_pct"], 90.0)
        self.assertIsNone(row["time_s"])
        self.assertEqual(results.noisy(row), row["parallel_s"]["cv_pct"])
        table = results.format_table(rows)
        self.assertIn("180.00", table)
        self.assertIn("90.0", table)
        self.assertRegex(table, r"20\.0 +180\.00")

    def test_failed_runs_are_counted_but_not_summarised(self):
        rows = results.summarise([result("treesearch", 2, TREESEARCH_VALID),
                                  result("treesearch", 2, TREESEARCH_VALID.replace("0.491000", "9.0"),
                                         problem="printed 2 reports")])
        self.assertEqual((rows[0]["runs"], rows[0]["failed"], rows[0]["parallel_s"]["max"]), (1, 1, 0.491))
        self.assertIsNone(results.noisy(rows[0]), "no spread to speak of with fewer than three runs")

    def test_csv_rows_leave_absent_figures_empty(self):
        row = results.csv_row(result("queuedrain", None, "Time:   0.002000 s\n", threads=1))
        self.assertEqual(row, {"program": "queuedrain", "run": 1, "procs": "", "parallel_s": "",
                               "sequential_s": "", "time_s": "0.002000", "speedup_pct": "", "verdict": "",
                               "threads": 1})
        row = results.csv_row(result("arraysum", None, ARRAYSUM_VALID, threads=4))
        self.assertEqual((row["speedup_pct"], row["verdict"]), ("inf", "valid"))

    def test_infinite_speedup_does_not_break_the_table_or_the_json(self):
        runs = [result("arraysum", None, ARRAYSUM_VALID, threads=4)]
        rows = results.summarise(runs)
        self.assertIn("inf", results.format_table(rows))
        doc = results.document({}, runs, rows)
        json.dumps(doc, allow_nan=False)
        self.assertEqual(doc["runs"][0]["speedup_pct"], "inf")
        self.assertIsNone(doc["summary"][0]["speedup_pct"])


if __name__ == "__main__":
    unittest.main()
