"""Comparison with a baseline, on small hand-made documents, and the exit
statuses it leads to."""

import json

import pytest

from parbench import compare, programs
from parbench.programs import Group

pytestmark = pytest.mark.unit

MACHINE = {"host": "vm", "cpu_model": "Xeon", "compiler": {"id": "GNU", "version": "12.2.0"}}


def group(program, median, procs=None, threads=None, runs=3):
    return {"program": program, "procs": procs, "threads": threads, "runs": runs,
            programs.get(program).main_time: {"median": median, "min": median, "max": median, "cv_pct": 0.0}}


def doc(*groups, machine=MACHINE):
    return {"provenance": dict(machine), "summary": list(groups)}


def judge(old, new, tolerance=0.10):
    result = compare.compare([group("treesearch", new, procs=2)], doc(group("treesearch", old, procs=2)),
                             tolerance, MACHINE)
    return bool(result.regressed), bool(result.faster), result.changes[Group("treesearch", 2, None)]


def test_tolerance_edges():
    assert judge(1.0, 1.1) == (False, False, "+10.0 %")
    assert judge(1.0, 1.102) == (True, False, "+10.2 % slower")
    assert judge(1.0, 0.9) == (False, False, "-10.0 %")
    assert judge(1.0, 0.898) == (False, True, "-10.2 % faster")
    assert judge(1.0, 1.3, tolerance=0.5)[:2] == (False, False)


def test_one_clock_tick_is_no_change():
    regressed, faster, text = judge(0.001, 0.002)
    assert not (regressed or faster)
    assert "one clock tick" in text
    assert judge(0.001, 0.003)[0]


def test_groups_missing_on_either_side_are_listed_not_compared():
    now = [group("treesearch", 1.0, procs=2), group("dynamicwork", 10.0, threads=4),
           group("arraysum", 0.5, threads=4, runs=0)]
    before = doc(group("treesearch", 0.5, procs=4), group("dynamicwork", 10.0, threads=4),
                 group("arraysum", 0.005, threads=4))
    result = compare.compare(now, before, 0.1, MACHINE)
    assert sorted(result.missing) == ["arraysum with 4 threads: no valid runs in this run",
                                      "treesearch with 2 processes: not in the baseline",
                                      "treesearch with 4 processes: only in the baseline"]
    assert list(result.changes) == [Group("dynamicwork", None, 4)]
    assert result.regressed == []


def test_another_machine_or_compiler_is_named():
    other = dict(MACHINE, host="node7", compiler={"id": "Clang", "version": "14.0.6"})
    result = compare.compare([group("queuedrain", 1.0, threads=1)],
                             doc(group("queuedrain", 1.0, threads=1), machine=other), 0.1, MACHINE)
    assert result.notes == ["host node7 (this run: vm)", "compiler Clang 14.0.6 (this run: GNU 12.2.0)"]
    assert compare.compare([], doc(machine=MACHINE), 0.1, MACHINE).notes == []


def test_a_file_that_is_no_baseline_is_refused(tmp_path):
    with pytest.raises(compare.BaselineError):
        compare.load("/dev/null")


# Through the runner: a regression exits 3, never hiding a failed run.

def baseline(tmp_path, dynamicwork_s):
    path = tmp_path / "baseline.json"
    path.write_text(json.dumps(doc(group("dynamicwork", dynamicwork_s, threads=3))))
    return str(path)


def test_regression_exits_3_and_is_named(stand_ins, tmp_path):
    # The stand-in dynamicwork takes 20.917 s.
    run = stand_ins.suite("--only", "dynamicwork", "--threads", "3", "--baseline", baseline(tmp_path, 15.0))
    assert run.returncode == 3, run.stdout + run.stderr
    assert "regressed: dynamicwork with 3 threads: time 20.917 s, baseline 15.000 s (+39.4 %)" in run.stderr
    assert any(line.startswith("dynamicwork  3") and line.endswith("+39.4 % slower")
               for line in run.stdout.splitlines())


def test_an_invalid_run_takes_precedence_over_a_regression(stand_ins, tmp_path):
    stand_ins.program("treesearch", "echo 'Solution: Invalid'\nexit 2\n")
    run = stand_ins.suite("--only", "dynamicwork,treesearch", "--threads", "3", "--procs", "1",
                          "--baseline", baseline(tmp_path, 15.0))
    assert run.returncode == 1
    assert "treesearch run 1 (1 process) reported an invalid solution" in run.stderr


def test_within_tolerance_exits_0(stand_ins, tmp_path):
    run = stand_ins.suite("--only", "dynamicwork", "--threads", "3", "--baseline", baseline(tmp_path, 20.0))
    assert run.returncode == 0, run.stderr
