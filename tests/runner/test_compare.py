"""Comparisons on small hand-made sessions: when a change counts, how it was
judged, and the exit statuses it leads to."""

import itertools
import json
import math
import random
import statistics

import pytest

from parbench.analysis import comparison as compare, stats
from parbench.commands import exits
from parbench.model import document, programs

pytestmark = pytest.mark.unit

MACHINE = {"host": "vm", "cpu_model": "Xeon", "compiler": {"id": "GNU", "version": "12.2.0"}}
QUIET = [1.00, 1.02, 1.04, 1.06, 1.08]


def raw_session(*groups, machine=MACHINE):
    """A document of groups given as (program, count, main times of its runs)."""
    runs, summary = [], []
    for program, count, times in groups:
        info = programs.get(program)
        key = {"program": program, "procs": count if info.mpi else None, "threads": None if info.mpi else count}
        runs += [dict(key, run=i, **{info.main_time: "%f" % t, "problem": None}) for i, t in enumerate(times, 1)]
        median = sorted(times)[len(times) // 2] if times else None
        median = {"median": median, "min": min(times), "max": max(times), "cv_pct": None} if times else None
        summary.append(dict(key, runs=len(times), failed=0, **{info.main_time: median}))
    return {"format": 2, "session": "20261201T000000.000Z-vm-%06x" % (hash(str(groups)) % 2 ** 24),
            "provenance": dict(machine), "runs": runs, "summary": summary, "scaling": []}


def session(*groups, machine=MACHINE):
    return document.from_json(raw_session(*groups, machine=machine), "test")


def verdicts(base, new, tolerance=0.10, alpha=0.05):
    result = compare.compare("base", base, new, tolerance, alpha)
    return {v.group.describe(): v for v in result.verdicts}, result


def judge(old, new, **kw):
    found, _ = verdicts(session(("treesearch", 2, old)), session(("treesearch", 2, new)), **kw)
    return found["treesearch with 2 processes"]


def test_one_run_a_side_is_too_few_to_tell_and_a_comparison_of_nothing_else_cannot_pass():
    assert judge([1.0], [1.1]).column() == "+10.0 %"
    beyond = judge([1.0], [1.102])
    assert (beyond.verdict, beyond.column()) == (compare.TOO_FEW, "+10.2 % too few runs to tell")
    assert beyond.how == "too few runs to tell: one run a side says nothing of how much the runs vary (1 and 1 runs)"
    assert judge([1.0], [1.3], tolerance=0.5).verdict == compare.NO_CHANGE
    tick = judge([0.001], [0.002])
    assert (tick.verdict, tick.column()) == (compare.NO_CHANGE, "+100.0 % (one clock tick)")
    # A hundred times slower is still no verdict from one run a side, and says so last.
    _, result = verdicts(session(("arraysum", 4, [0.001])), session(("arraysum", 4, [0.1])))
    assert result.verdicts[0].verdict == compare.TOO_FEW
    assert result.lines()[-1] == "baseline: could not tell: no test could reach alpha 0.05 with these runs: " \
                                 "too few runs to tell: one run a side says nothing of how much the runs vary"
    assert exits.of_comparison(0, result) == exits.NOT_TOLD
    # One group that a test could judge is enough to see.
    _, result = verdicts(session(("arraysum", 4, [0.01]), ("treesearch", 2, QUIET)),
                         session(("arraysum", 4, [0.01]), ("treesearch", 2, QUIET)))
    assert result.blind is None and exits.of_comparison(0, result) == 0


def test_few_runs_see_a_change_far_beyond_their_spread_by_a_t_test_on_log_times():
    # Two and three runs a side twice as slow, the runs varying by a few per cent; with four
    # the rank test can reach alpha for one group and decides.
    for old, new, test in (([1.00, 1.04], [2.00, 2.06], stats.T_TEST),
                           ([1.00, 1.03, 0.98], [2.01, 1.96, 2.05], stats.T_TEST),
                           ([0.98, 1.00, 1.02, 1.04], [1.30, 1.33, 1.35, 1.31], stats.RANKS)):
        v = judge(old, new)
        assert v.verdict == compare.SLOWER and v.test == test, (old, new, v.how)
        assert v.how.startswith(test + " p = ")
    # A single new run against the baseline's spread, and the other way round.
    single = judge(QUIET, [2.0])
    assert (single.verdict, single.test) == (compare.SLOWER, stats.T_TEST)
    assert single.how.startswith("t-test on log times p = ") and single.how.endswith("(5 and 1 runs)")
    assert judge([2.0], QUIET).verdict == compare.FASTER
    # Far apart but just as far spread: no verdict.
    spread = judge([1.0, 1.5, 0.7], [1.9, 1.2, 2.6])
    assert spread.verdict == compare.NOISE and spread.p > 0.05
    # One run that met a busy moment does not make a slowdown.
    assert judge([1.00, 1.01, 1.02], [1.00, 3.00, 1.01]).verdict != compare.SLOWER
    # Four runs that all read 2 ms against four that read 4 ms: the clock's rounding is their spread.
    ticks = judge([0.002] * 4, [0.004] * 4, alpha=0.01)
    assert ticks.test == stats.T_TEST and 1e-4 < ticks.p < 0.05


def test_the_t_test_on_log_times_matches_a_hand_computation():
    scipy_stats = pytest.importorskip("scipy.stats")
    old, new = [1.00, 1.05, 0.97], [1.30, 1.41, 1.36, 1.33]
    lx, ly = [math.log(t) for t in new], [math.log(t) for t in old]
    assert stats.log_t_test(new, old, 0.001) == pytest.approx(
        scipy_stats.ttest_ind(lx, ly, equal_var=True).pvalue, rel=1e-9)
    # One run: the prediction t = (x - mean) / (s * sqrt(1 + 1/n)) with n - 1 degrees of freedom.
    base = [1.00, 1.05, 0.97, 1.02]
    logs = [math.log(t) for t in base]
    t = (math.log(1.4) - statistics.fmean(logs)) / (statistics.stdev(logs) * math.sqrt(1 + 1 / 4))
    assert stats.log_t_test([1.4], base, 0.001) == pytest.approx(2 * scipy_stats.t.sf(t, 3), rel=1e-9)
    # Equal runs still vary by the clock's tick: log variance (tick / time)^2 / 12, the larger of the two.
    variance = (0.001 / 0.002) ** 2 / 12
    t = math.log(2.0) / math.sqrt(variance * (1 / 4 + 1 / 4))
    assert stats.log_t_test([0.004] * 4, [0.002] * 4, 0.001) == pytest.approx(2 * scipy_stats.t.sf(t, 6))
    # One run a side: nothing to tell the spread by.
    assert stats.log_t_test([2.0], [1.0], 0.001) is None


def test_five_runs_a_side_are_judged_by_the_test():
    same = judge(QUIET, [1.01, 1.03, 1.05, 1.07, 1.09])
    assert same.verdict == compare.NO_CHANGE
    slower = judge(QUIET, [1.55, 1.56, 1.57, 1.58, 1.59])
    assert (slower.verdict, round(slower.p, 4)) == (compare.SLOWER, 0.0079)
    assert slower.how == "Mann-Whitney p = 0.00794 <= 0.05 (5 and 5 runs)"
    # Beyond the tolerance, but two of the new runs are as fast as the old ones.
    noisy = judge(QUIET, [1.01, 1.03, 1.25, 1.27, 1.29])
    assert (noisy.verdict, round(noisy.p, 3)) == (compare.NOISE, 0.31)
    # Significant, but smaller than the tolerance.
    small = judge(QUIET, [1.09, 1.10, 1.11, 1.12, 1.13])
    assert small.verdict == compare.NO_CHANGE and small.p < 0.05 and "within the tolerance" in small.how
    # Millisecond clocks give ties; the test takes them.
    tied = judge([0.020] * 5, [0.030] * 5)
    assert tied.verdict == compare.SLOWER and tied.p < 0.01


def test_many_groups_at_once_hold_the_chance_of_any_false_alarm_to_alpha():
    mild = [1.20, 1.25, 1.32, 1.35, 1.40]      # p = 0.032 against the baseline below
    base_times = [1.00, 1.02, 1.04, 1.06, 1.30]
    alone, _ = verdicts(session(("arraysum", 4, base_times)), session(("arraysum", 4, mild)))
    assert alone["arraysum with 4 threads"].verdict == compare.SLOWER
    found, _ = verdicts(session(("arraysum", 4, base_times), ("queuedrain", 1, base_times), ("splitwork", 4, QUIET)),
                        session(("arraysum", 4, mild), ("queuedrain", 1, mild), ("splitwork", 4, [2.0] * 5)))
    assert found["splitwork with 4 threads"].verdict == compare.SLOWER
    assert [found[g].verdict for g in ("arraysum with 4 threads", "queuedrain with 1 thread")] == [compare.NOISE] * 2
    assert "Holm-adjusted over 3 groups" in found["arraysum with 4 threads"].how
    # A group that moved by less than a clock tick was still one more chance of a false alarm.
    found, _ = verdicts(session(("arraysum", 4, base_times), ("queuedrain", 1, [0.002] * 5)),
                        session(("arraysum", 4, mild), ("queuedrain", 1, [0.002, 0.003, 0.002, 0.002, 0.003])))
    assert found["queuedrain with 1 thread"].how == compare.CLOCK
    assert found["arraysum with 4 threads"].verdict == compare.NOISE
    assert "Holm-adjusted over 2 groups" in found["arraysum with 4 threads"].how
    # So many groups that five runs cannot reach the corrected level by ranks: the t-test judges.
    many = [("treesearch", n, QUIET) for n in range(1, 8)]
    found, _ = verdicts(session(*many), session(*[(p, n, [t + 1 for t in times]) for p, n, times in many]))
    assert all(v.test == stats.T_TEST and v.verdict == compare.SLOWER for v in found.values())
    # The whole suite of five groups, four runs each and twice as slow: seen, where ranks alone were blind.
    five = [(p, n, QUIET[:4]) for p, n in (("treesearch", 2), ("arraysum", 4), ("splitwork", 4), ("queuedrain", 1),
                                            ("dynamicwork", 4))]
    found, result = verdicts(session(*five), session(*[(p, n, [2 * t for t in times]) for p, n, times in five]))
    assert [v.verdict for v in found.values()] == [compare.SLOWER] * 5
    assert exits.of_comparison(0, result) == exits.SLOWER


def test_groups_missing_on_either_side_are_listed_not_compared():
    now = session(("treesearch", 2, [1.0]), ("dynamicwork", 4, [10.0]), ("arraysum", 4, []))
    before = session(("treesearch", 4, [0.5]), ("dynamicwork", 4, [10.0]), ("arraysum", 4, [0.005]))
    found, result = verdicts(before, now)
    assert sorted(result.not_compared) == ["arraysum with 4 threads: no valid runs in this run",
                                      "treesearch with 2 processes: not in the baseline",
                                      "treesearch with 4 processes: only in the baseline"]
    assert list(found) == ["dynamicwork with 4 threads"]


def test_another_machine_or_compiler_is_named_first():
    other = dict(MACHINE, host="node7", compiler={"id": "Clang", "version": "14.0.6"})
    result = compare.compare("b", session(("queuedrain", 1, [1.0]), machine=other),
                             session(("queuedrain", 1, [1.0])), 0.1)
    assert result.notes == ["host node7 (this run: vm)", "compiler Clang 14.0.6 (this run: GNU 12.2.0)"]
    assert result.lines()[1].startswith("baseline: it comes from another machine or build")


# Through the runner: a regression exits 3, never hiding a failed run.

def baseline(tmp_path, dynamicwork_s, runs=5):
    path = tmp_path / "baseline.json"
    path.write_text(json.dumps(raw_session(("dynamicwork", 3, [dynamicwork_s] * runs))))
    return str(path)


def test_regression_exits_3_and_is_named(stand_ins, tmp_path):
    # The stand-in dynamicwork takes 20.917 s.
    run = stand_ins.suite("--only", "dynamicwork", "--threads", "3", "--repeat", "5",
                          "--baseline", baseline(tmp_path, 15.0))
    assert run.returncode == 3, run.stdout + run.stderr
    assert "regressed: dynamicwork with 3 threads: time 20.917 s, baseline 15.000 s (+39.4 %); " \
        "Mann-Whitney p = " in run.stderr
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
    assert "baseline: no change: dynamicwork with 3 threads" in run.stdout


def test_a_session_half_again_as_slow_is_slower_and_one_like_itself_is_not(stand_ins, tmp_path):
    # A stand-in whose time wobbles by a few percent from run to run, five runs a side.
    stand_ins.program("queuedrain", 'n=$(ls %s | wc -l); touch %s/$$\n'
                                    'echo "Time:   $(( ${SCALE:-100} * (100 + n %% 5) / 100 ))0.000000 s"\n'
                      % (tmp_path, tmp_path))
    store = ["--results", str(tmp_path / "store"), "--only", "queuedrain", "--repeat", "5"]
    assert stand_ins.suite(*store).returncode == 0
    same = stand_ins.suite(*store, "--baseline", "latest")
    assert same.returncode == 0, same.stdout
    slower = stand_ins.suite(*store, "--baseline", "latest", SCALE="150")
    assert slower.returncode == 3, slower.stdout
    assert "baseline: SLOWER: queuedrain with 1 thread" in slower.stdout


def test_two_runs_against_a_baseline_a_hundred_times_faster_exit_3_and_one_run_a_side_exits_4(stand_ins, tmp_path):
    path = tmp_path / "fast.json"
    path.write_text(json.dumps(raw_session(("dynamicwork", 3, [0.208, 0.211]))))
    run = stand_ins.suite("--only", "dynamicwork", "--threads", "3", "--repeat", "2", "--baseline", str(path))
    assert run.returncode == 3, run.stdout + run.stderr
    assert "regressed: dynamicwork with 3 threads: time 20.917 s, baseline 0.209 s (+9884.2 %); " \
        "t-test on log times p = " in run.stderr
    path.write_text(json.dumps(raw_session(("dynamicwork", 3, [0.209]))))
    run = stand_ins.suite("--only", "dynamicwork", "--threads", "3", "--baseline", str(path))
    assert run.returncode == 4, run.stdout + run.stderr
    assert "+9908.1 % too few runs to tell" in run.stdout
    assert run.stderr.splitlines()[-1] == "run-suite: could not tell: no test could reach alpha 0.05 with these " \
        "runs: too few runs to tell: one run a side says nothing of how much the runs vary"


# A comparison that compared nothing is no pass.

def write(tmp_path, name, doc):
    path = tmp_path / name
    path.write_text(json.dumps(doc))
    return str(path)


def test_a_baseline_that_shares_no_valid_group_exits_4_and_says_why(stand_ins, tmp_path):
    other = write(tmp_path, "other.json", raw_session(("arraysum", 4, [0.01] * 5)))
    empty = write(tmp_path, "empty.json", raw_session())
    cut = raw_session(("dynamicwork", 3, []))
    cut.update(format=3, interrupted={"signal": "SIGTERM", "planned_runs": 5})
    interrupted = write(tmp_path, "cut.json", cut)
    nan = raw_session(("dynamicwork", 3, [15.0] * 5))
    for run in nan["runs"]:
        run["time_s"] = "nan"
    not_a_time = write(tmp_path, "nan.json", nan)
    for base in (other, empty, interrupted, not_a_time):
        run = stand_ins.suite("--only", "dynamicwork", "--threads", "3", "--baseline", base)
        assert run.returncode == 4, (base, run.stdout, run.stderr)
        assert run.stderr.splitlines()[-1].startswith("run-suite: nothing compared: the baseline %s" % base)
    cut_short = stand_ins.suite("--only", "dynamicwork", "--threads", "3", "--baseline", interrupted)
    assert "baseline: the baseline was interrupted by SIGTERM after 0 of 5 runs" in cut_short.stdout
    assert "%s (interrupted by SIGTERM after 0 of 5 runs) shares no group" % interrupted in cut_short.stderr
    # Failed runs still come first.
    stand_ins.program("dynamicwork", "exit 1\n")
    assert stand_ins.suite("--only", "dynamicwork", "--threads", "3", "--baseline", other).returncode == 1


def test_times_that_are_no_times_are_never_compared(stand_ins, tmp_path):
    negative = raw_session(("dynamicwork", 3, [15.0] * 5))
    negative["summary"][0]["time_s"]["min"] = -1.0
    run = stand_ins.suite("--only", "dynamicwork", "--threads", "3", "--baseline",
                          write(tmp_path, "negative.json", negative))
    assert run.returncode == 2 and "below 0" in run.stderr and len(run.stderr.splitlines()) == 1
    # A program that prints such a time has a failed run.
    for printed in ("nan", "-0.500000", "inf"):
        stand_ins.program("queuedrain", "echo 'Time:   %s s'\n" % printed)
        run = stand_ins.suite("--only", "queuedrain")
        assert run.returncode == 1, printed
        assert "queuedrain run 1 printed a time of %s s, which is no time" % printed in run.stderr


def test_the_exact_rank_test_agrees_with_scipy_and_counts_ties_exactly():
    scipy_stats = pytest.importorskip("scipy.stats")
    draw = __import__("random").Random(7)
    for n1, n2 in ((1, 1), (3, 5), (5, 5), (7, 4), (15, 15)):
        x, y = [draw.random() for _ in range(n1)], [draw.random() for _ in range(n2)]
        assert stats.mann_whitney_exact(x, y) == pytest.approx(
            scipy_stats.mannwhitneyu(x, y, method="exact").pvalue), (n1, n2)
    # Complete separation on a millisecond clock: the exact 2 / C(10, 5), not an approximation below it.
    assert stats.mann_whitney_exact([0.020] * 5, [0.030] * 5) == pytest.approx(2 / 252)
    assert stats.mann_whitney_exact([0.020, 0.021, 0.020], [0.020, 0.021, 0.020]) == pytest.approx(1.0)


def brute_force_p(x, y):
    """The two-sided rank-sum p-value by dealing the pooled runs every way."""
    pooled = sorted(x + y)
    rank = {v: (pooled.index(v) + 1 + len(pooled) - pooled[::-1].index(v)) / 2 for v in pooled}
    ranks, n = [rank[v] for v in x + y], len(x)
    middle = n * (len(pooled) + 1) / 2
    far = abs(sum(rank[v] for v in x) - middle)
    ways = list(itertools.combinations(ranks, n))
    return sum(abs(sum(w) - middle) >= far - 1e-9 for w in ways) / len(ways)


def test_beyond_thirty_runs_the_approximation_holds_the_middle_and_the_far_tail_is_counted_out(monkeypatch):
    scipy_stats = pytest.importorskip("scipy.stats")
    draw = random.Random(11)
    for _ in range(20):
        x = [round(draw.gauss(1.0, 0.1), 3) for _ in range(20)]
        y = [round(draw.gauss(1.02, 0.1), 3) for _ in range(25)]
        assert stats.mann_whitney(x, y) == pytest.approx(
            scipy_stats.mannwhitneyu(x, y, method="asymptotic").pvalue, rel=1e-9)
    # Three runs against forty, ties of a millisecond clock among them: where the
    # count decides (here at any p), it is that of every dealing.
    monkeypatch.setattr(stats, "FAR_TAIL", 1.0)
    for shift in (0.0, 0.02, 0.08, 0.2, 1.0):
        others = [round(draw.gauss(1.0, 0.03), 2) for _ in range(40)]
        host = [round(draw.gauss(1.0 + shift, 0.03), 2) for _ in range(3)]
        assert stats.mann_whitney(host, others) == pytest.approx(brute_force_p(host, others), rel=1e-9), shift
    # Five runs above 4995: 2 / C(5000, 5), where the approximation cannot go below 1e-4.
    assert stats.mann_whitney([2.0 + k for k in range(5)], [k / 5000 for k in range(4995)]) == \
        pytest.approx(2 / math.comb(5000, 5))
