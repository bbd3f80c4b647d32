"""Change points in the history of each group on each host: the energy
statistic against a plain count, the test's false alarms and its power on
made-up stores, the significance over many series, and the command."""

import itertools
import random

import pytest

from parbench import stats

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
