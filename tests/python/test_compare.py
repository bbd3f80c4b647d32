"""Comparison with a baseline, on small hand-made documents, and the exit
statuses it leads to."""

import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

import compare  # noqa: E402
from test_runner import StandInBuild, write_script  # noqa: E402

MACHINE = {"host": "vm", "cpu_model": "Xeon", "compiler": {"id": "GNU", "version": "12.2.0"}}


def group(program, median, procs=None, threads=None, runs=3):
    time_name = "parallel_s" if program in ("treesearch", "arraysum", "splitwork") else "time_s"
    return {"program": program, "procs": procs, "threads": threads, "runs": runs,
            time_name: {"median": median, "min": median, "max": median, "cv_pct": 0.0}}


def doc(*groups, machine=MACHINE):
    return {"provenance": dict(machine), "summary": list(groups)}


class Compare(unittest.TestCase):
    def judge(self, old, new, tolerance=0.10):
        result = compare.compare([group("treesearch", new, procs=2)], doc(group("treesearch", old, procs=2)),
                                 tolerance, MACHINE)
        return bool(result.regressed), bool(result.faster), result.changes[("treesearch", 2, None)]

    def test_tolerance_edges(self):
        self.assertEqual(self.judge(1.0, 1.1), (False, False, "+10.0 %"))
        self.assertEqual(self.judge(1.0, 1.102), (True, False, "+10.2 % slower"))
        self.assertEqual(self.judge(1.0, 0.9), (False, False, "-10.0 %"))
        self.assertEqual(self.judge(1.0, 0.898), (False, True, "-10.2 % faster"))
        self.assertEqual(self.judge(1.0, 1.3, tolerance=0.5)[:2], (False, False))

    def test_one_clock_tick_is_no_change(self):
        regressed, faster, text = self.judge(0.001, 0.002)
        self.assertFalse(regressed or faster)
        self.assertIn("one clock tick", text)
        self.assertTrue(self.judge(0.001, 0.003)[0])

    def test_groups_missing_on_either_side_are_listed_not_compared(self):
        now = [group("treesearch", 1.0, procs=2), group("dynamicwork", 10.0, threads=4),
               group("arraysum", 0.5, threads=4, runs=0)]
        before = doc(group("treesearch", 0.5, procs=4), group("dynamicwork", 10.0, threads=4),
                     group("arraysum", 0.005, threads=4))
        result = compare.compare(now, before, 0.1, MACHINE)
        self.assertEqual(sorted(result.missing), [
            "arraysum with 4 threads: no valid runs in this run",
            "treesearch with 2 processes: not in the baseline",
            "treesearch with 4 processes: only in the baseline"])
        self.assertEqual(list(result.changes), [("dynamicwork", None, 4)])
        self.assertEqual(result.regressed, [])

    def test_another_machine_or_compiler_is_named(self):
        other = dict(MACHINE, host="node7", compiler={"id": "Clang", "version": "14.0.6"})
        result = compare.compare([group("queuedrain", 1.0, threads=1)], doc(group("queuedrain", 1.0, threads=1),
                                                                             machine=other), 0.1, MACHINE)
        self.assertEqual(result.notes, ["host node7 (this run: vm)", "compiler Clang 14.0.6 (this run: GNU 12.2.0)"])
        self.assertEqual(compare.compare([], doc(machine=MACHINE), 0.1, MACHINE).notes, [])

    def test_a_file_that_is_no_baseline_is_refused(self):
        with self.assertRaises(compare.BaselineError):
            compare.load(os.devnull)


class ExitStatus(StandInBuild):
    """Through the runner: a regression exits 3, never hiding a failed run."""

    def baseline(self, dynamicwork_s):
        path = os.path.join(self.dir, "baseline.json")
        with open(path, "w") as f:
            json.dump(doc(group("dynamicwork", dynamicwork_s, threads=3)), f)
        return path

    def test_regression_exits_3_and_is_named(self):
        # The stand-in dynamicwork takes 20.917 s.
        run = self.suite("--only", "dynamicwork", "--threads", "3", "--baseline", self.baseline(15.0))
        self.assertEqual(run.returncode, 3, run.stdout + run.stderr)
        self.assertIn("regressed: dynamicwork with 3 threads: time 20.917 s, baseline 15.000 s (+39.4 %)",
                      run.stderr)
        self.assertRegex(run.stdout, r"dynamicwork +3 .* \+39\.4 % slower")

    def test_an_invalid_run_takes_precedence_over_a_regression(self):
        write_script(os.path.join(self.build, "treesearch/treesearch"), "echo 'Solution: Invalid'\nexit 2\n")
        run = self.suite("--only", "dynamicwork,treesearch", "--threads", "3", "--procs", "1",
                         "--baseline", self.baseline(15.0))
        self.assertEqual(run.returncode, 1)
        self.assertIn("treesearch run 1 (1 process) reported an invalid solution", run.stderr)

    def test_within_tolerance_exits_0(self):
        run = self.suite("--only", "dynamicwork", "--threads", "3", "--baseline", self.baseline(20.0))
        self.assertEqual(run.returncode, 0, run.stderr)


if __name__ == "__main__":
    unittest.main()
