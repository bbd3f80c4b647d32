"""Change points in the history of each group on each host: the energy
statistic against a plain count, the test's false alarms and its power on
made-up stores, the significance over many series, and the command."""

import itertools
import os
import random
import re
import sqlite3

import pytest
from conftest import HISTORY_GROUPS, write_history

from parbench.analysis import changes, stats
from parbench.model import index, store
from parbench.model.programs import Group

pytestmark = pytest.mark.unit


def q_by_hand(x, t):
    """Q of the cut before x[t], pair by pair."""
    left, right = x[:t], x[t:]

    def mean_distance(a, b, same):
        pairs = [abs(u - v) for (i, u), (j, v) in itertools.product(enumerate(a), enumerate(b)) if not same or i != j]
        return sum(pairs) / len(pairs)
    m, k = len(left), len(right)
    return m * k / len(x) * (2 * mean_distance(left, right, False) - mean_distance(left, left, True)
                             - mean_distance(right, right, True))


@pytest.mark.parametrize("n", [6, 7, 31, 150])
def test_the_energy_of_every_cut_is_that_of_a_count_by_hand(n):
    rng = random.Random(n)
    # Ties too: a millisecond clock makes many.
    x = [round(rng.gauss(1.0, 0.1), 1 if n % 2 else 3) for _ in range(n)]
    curve = stats.energy_curve([x, list(reversed(x))], 3)
    assert curve.shape == (2, n - 5)
    for t in range(3, n - 2):
        assert curve[0][t - 3] == pytest.approx(q_by_hand(x, t), rel=1e-9, abs=1e-12)
        assert curve[1][t - 3] == pytest.approx(q_by_hand(x[::-1], t), rel=1e-9, abs=1e-12)


def test_a_step_is_cut_where_it_is_and_the_same_way_every_time():
    rng = random.Random(2)
    x = [rng.gauss(1.0, 0.03) for _ in range(12)] + [rng.gauss(1.2, 0.03) for _ in range(18)]
    split = stats.energy_split(x, 3)
    assert split.at == 12 and split.p == pytest.approx(1 / 200)
    assert stats.energy_split(x, 3) == split
    assert stats.energy_split(x, 3, permutations=999).p == pytest.approx(1 / 1000)


def test_a_flat_series_or_a_short_one_has_no_cut():
    flat = stats.energy_split([0.5] * 20, 3)
    assert flat.q == 0 and flat.p == 1.0
    assert stats.energy_split([1.0, 2.0, 1.0, 2.0, 1.0], 3) is None
    assert stats.energy_split([1.0, 1.0, 1.0, 2.0, 2.0, 2.0], 3).at == 3


def test_noise_is_cut_by_chance_no_more_often_than_the_level_says():
    rng = random.Random(4)
    p = [stats.energy_split([rng.lognormvariate(0, 0.05) for _ in range(30)], 3).p for _ in range(300)]
    # 300 series at 5 %: 15 expected, 26 or more one time in a thousand.
    assert sum(v <= 0.05 for v in p) <= 25
    # Nor much less often: stopping early leaves the p-values spread evenly.
    assert 40 <= sum(v <= 0.2 for v in p) <= 80


# The command on made-up stores.

def found(folder, alpha=0.05, **chosen):
    return changes.find(changes.series_of(store.Store(folder).entries(warn=pytest.fail), **chosen), alpha)


def where(findings):
    return {(c.series.host, c.series.group.program): c.at for c in findings.changes}


def test_a_20_percent_step_is_found_where_it_was_put_in_19_of_20_series(tmp_path):
    # Four hosts of five groups: 20 series held together by Holm's correction.
    rng = random.Random(7)
    hosts = ("a", "b", "c", "d")
    steps = {(h, g[0]): [(rng.randint(6, 24), 1.2)] for h in hosts for g in HISTORY_GROUPS}
    write_history(tmp_path, hosts=hosts, steps=steps, seed=7)
    findings = found(tmp_path)
    assert len(findings.looked_at) == 20
    at = where(findings)
    near = [key for key, [(put, _)] in steps.items() if key in at and abs(at[key] - put) <= 1]
    assert len(near) >= 19, (at, steps)
    assert all(c.slower and 15 < c.change_pct < 25 for c in findings.changes
               if (c.series.host, c.series.group.program) in near)


@pytest.mark.slow
def test_on_pure_noise_at_most_alpha_of_series_report_a_change(tmp_path):
    hosts = ["h%02d" % i for i in range(40)]
    write_history(tmp_path, hosts=hosts, seed=11)
    every = changes.series_of(store.Store(tmp_path).entries(warn=pytest.fail))
    assert len(every) == 200
    # Each series on its own, as `--host H --program P` looks at it: no correction helps.
    alone = sum(bool(changes.find([s]).changes) for s in every)
    # 200 series at 5 %: 10 expected, 20 or more one time in a thousand.
    assert alone <= 19, alone
    # All together, Holm's correction holds the chance of any change at all at alpha.
    assert not changes.find(every).changes


def test_the_first_step_of_each_series_is_held_to_holm_over_all_the_series():
    rng = random.Random(6)
    # A small step, plain enough in its own series, not among twenty.
    step = changes.Series("vm", Group("treesearch", 2, None), tuple(("s%02d" % i, "", None) for i in range(30)),
                          tuple(rng.gauss(1.0, 0.02) + (0.025 if i >= 15 else 0) for i in range(30)))
    alone = changes.find([step])
    assert [c.at for c in alone.changes] == [15] and 0.001 < alone.changes[0].p <= 0.05
    flat = [changes.Series("vm", Group("arraysum", None, t), step.sessions,
                           tuple(rng.gauss(1.0, 0.02) for _ in range(30))) for t in range(1, 20)]
    among = changes.find([step] + flat)
    assert len(among.looked_at) == 20 and not among.changes


def test_shuffles_grow_with_the_series_without_a_bound_and_long_series_take_the_rank_test():
    assert changes.permutations_for(1, 0.05) == 199
    assert changes.permutations_for(20, 0.05) == 799
    assert changes.permutations_for(500, 0.05) == 19999
    # 500 series at alpha 0.05: 20000 shuffles of 30 sessions, but not of 1000.
    short, long_ = changes.Test(30, 500, 0.05, 3), changes.Test(1000, 500, 0.05, 3)
    assert (short.kind, long_.kind) == (changes.PERMUTATION, changes.RANKS)
    assert long_.words() == "rank test at the cut, Bonferroni over 995 cuts"
    # The least p-value of each: 1 / 20000 shuffles; halves apart by ranks, times the cuts.
    assert short.smallest_p() == pytest.approx(1 / 20000)
    assert long_.smallest_p() == pytest.approx(995 * stats.smallest_p(500, 500)) and long_.smallest_p() < 1e-100
    # Six sessions cut in halves of three: 2 of the C(6, 3) dealings are as far apart as it gets.
    assert changes.Test(6, 1, 0.05, 3).smallest_p() == pytest.approx(0.1)


def series_of_noise(rng, count, length, doubled=None):
    return [changes.Series("h%03d" % k, Group("treesearch", 2, None),
                           tuple(("s%04d" % i, "", None) for i in range(length)),
                           tuple(rng.lognormvariate(0, 0.05) * (2.0 if k == doubled and i >= length // 2 else 1.0)
                                 for i in range(length)))
            for k in range(count)]


@pytest.mark.parametrize("length", [30, 1000])
def test_one_doubling_among_500_series_is_found_and_500_of_noise_stay_quiet(length):
    rng = random.Random(length)
    findings = changes.find(series_of_noise(rng, 500, length, doubled=123))
    assert [(c.series.host, c.at) for c in findings.changes] == [("h123", length // 2)]
    assert findings.changes[0].p <= 0.05 and findings.blind() is None
    assert not changes.find(series_of_noise(rng, 500, length)).changes


def test_a_series_that_stepped_twice_is_cut_twice_and_its_medians_are_its_parts(tmp_path):
    write_history(tmp_path, steps={("vm", "treesearch"): [(10, 1.5), (20, 1.0)]}, groups=HISTORY_GROUPS[:1])
    findings = found(tmp_path)
    assert [(c.at, c.slower) for c in findings.changes] == [(10, True), (20, False)]
    up, down = findings.changes
    assert up.before == pytest.approx(stats.median(up.series.values[:10]))
    assert up.after == down.before == pytest.approx(stats.median(up.series.values[10:20]))
    assert up.change_pct == pytest.approx(50, abs=5) and down.change_pct == pytest.approx(-33, abs=5)
    # Back where it was: no series ends slower.
    assert findings.slower_last() == []


def lines(run):
    return run.stdout.splitlines()


@pytest.mark.parametrize("steps,status", [([(15, 1.3)], 3), ([(15, 0.7)], 0), ([(10, 1.3), (20, 1.0)], 0),
                                          ([(10, 0.7), (20, 1.0)], 3)], ids=["up", "down", "up-down", "down-up"])
def test_the_status_is_3_when_a_series_ends_on_a_step_to_slower(tmp_path, results, steps, status):
    write_history(tmp_path, steps={("vm", "queuedrain"): steps}, groups=HISTORY_GROUPS[3:4], seed=2)
    run = results(tmp_path, "changes")
    assert run.returncode == status, run.stdout + run.stderr
    assert len(lines(run)) == len(steps) + 1
    last = lines(run)[-2]
    assert last.startswith(("slower: " if status else "faster: ") + "queuedrain with 1 thread on vm, from ")
    assert ("queuedrain with 1 thread on vm" in run.stderr) == bool(status)


def test_a_line_says_where_the_step_is_and_how_large(tmp_path, results):
    write_history(tmp_path, steps={("vm", "treesearch"): [(12, 1.2)]}, groups=HISTORY_GROUPS[:2])
    run = results(tmp_path, "changes")
    first, closing = lines(run)
    pattern = (r"slower: treesearch with 2 processes on vm, from 20260113T000000\.000Z-vm-[0-9a-f]{6} "
               r"\(2026-01-13 00:00\): parallel time (\d\.\d{3}) s before, (\d\.\d{3}) s after "
               r"\(\+(\d+\.\d) %\); p = 0\.0(\d+) \(permutation test, 199 shuffles\)")
    before, after, pct, _ = re.fullmatch(pattern, first).groups()
    assert float(pct) == pytest.approx(100 * (float(after) / float(before) - 1), abs=0.2)
    assert closing == "changes: 1 in 1 of 2 series looked at (host and group, 6 sessions or more); alpha 0.05 " \
                      "over them all"
    assert run.returncode == 3


def test_host_program_and_since_choose_the_series(tmp_path, results):
    write_history(tmp_path, hosts=("a", "b"), steps={("a", "treesearch"): [(8, 1.3)], ("b", "arraysum"): [(20, 1.3)]},
                  groups=HISTORY_GROUPS[:2])
    assert results(tmp_path, "changes").stdout.count("slower: ") == 2
    run = results(tmp_path, "changes", "--host", "b")
    assert [line.split(",")[0] for line in lines(run)[:-1]] == ["slower: arraysum with 4 threads on b"]
    assert "of 2 series looked at" in lines(run)[-1]
    run = results(tmp_path, "changes", "--program", "treesearch")
    assert [line.split(",")[0] for line in lines(run)[:-1]] == ["slower: treesearch with 2 processes on a"]
    # From the 12th session on, the step of a at the 9th is out of sight; b's stays.
    run = results(tmp_path, "changes", "--since", "2026-01-12")
    assert [line.split(",")[0] for line in lines(run)[:-1]] == ["slower: arraysum with 4 threads on b"]
    assert "from 20260121T000000.000Z-b-" in run.stdout
    for bad in (["--since", "12.1.2026"], ["--program", "nosuch"], ["--alpha", "0"], ["--alpha", "1.5"]):
        run = results(tmp_path, "changes", *bad)
        assert run.returncode == 2 and len(run.stderr.splitlines()) == 1, bad


def test_too_few_sessions_are_nothing_to_look_at(tmp_path, results):
    # Nothing looked at is not "no change": exit 4, as a comparison that compared nothing.
    run = results(tmp_path / "none", "changes")
    assert (run.returncode, lines(run)) == (4, ["changes: nothing to look at: no group has 6 or more sessions on "
                                                "one host"])
    write_history(tmp_path, sessions=5, steps={("vm", "arraysum"): [(2, 2.0)]})
    run = results(tmp_path, "changes")
    assert (run.returncode, lines(run)) == (4, ["changes: nothing to look at: no group has 6 or more sessions on "
                                                "one host among the 5 series chosen"])


def test_series_too_short_for_any_cut_to_reach_alpha_say_so_and_exit_4(tmp_path, results):
    # Every time doubled from the fourth session on, six and seven sessions long.
    for sessions in (6, 7):
        write_history(tmp_path / str(sessions), sessions=sessions, steps={("vm", "arraysum"): [(3, 2.0)]},
                      groups=HISTORY_GROUPS[1:2])
        run = results(tmp_path / str(sessions), "changes")
        assert run.returncode == 4, run.stdout + run.stderr
        assert lines(run)[-1] == "changes: could not tell: no test could reach alpha 0.05 over 1 series of %d " \
                                 "sessions" % sessions
    write_history(tmp_path / "30", steps={("vm", "arraysum"): [(15, 2.0)]}, groups=HISTORY_GROUPS[1:2])
    assert results(tmp_path / "30", "changes").returncode == 3
    run = results(tmp_path / "30", "changes", "--alpha", "1e-300")
    assert run.returncode == 4 and "could not tell: no test could reach alpha 1e-300" in run.stderr


def test_damaged_documents_and_index_cost_only_themselves(tmp_path, results):
    write_history(tmp_path, steps={("vm", "treesearch"): [(15, 1.3)]}, groups=HISTORY_GROUPS[:1])
    assert results(tmp_path, "changes").returncode == 3
    names = sorted(p.name for p in tmp_path.glob("[0-9]*.json"))
    with sqlite3.connect(index.location(str(tmp_path), os.environ)) as db:
        damaged = db.execute("UPDATE groups SET median = 'a lot' WHERE name = ?", (os.fsencode(names[3]),))
        assert damaged.rowcount == 1
    (tmp_path / "20260201T000000.000Z-vm-ffffff.json").write_text("{ cut short")
    os.truncate(tmp_path / names[5], 10)
    run = results(tmp_path, "changes")
    assert run.returncode == 3, run.stdout + run.stderr
    assert "from 20260116T000000.000Z-vm-" in run.stdout
    assert run.stderr.count("results: skipped ") == 2
    assert "20260201T000000.000Z-vm-ffffff.json" in run.stderr and names[5] in run.stderr
