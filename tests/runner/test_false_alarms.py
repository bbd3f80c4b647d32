"""The comparison's false alarms and power, by the simulation of
tools/false-alarms with fewer pairs: sessions drawn from one distribution are
seldom called different, whichever test decides, a real 30 % slowdown is
found with five runs a side and twice as slow with two or three."""

import importlib.util
import os
import random
import statistics
from importlib.machinery import SourceFileLoader

import pytest

# Hundreds of generated documents and store files: out of the quick loop (-LE slow).
pytestmark = [pytest.mark.unit, pytest.mark.slow]

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PAIRS = 1000
PAIRS_FIVE_GROUPS = 600      # each costs five tests
ALPHA = 0.05


def load_tool():
    # The tool has no .py name, so it is loaded by path.
    loader = SourceFileLoader("false_alarms", os.path.join(ROOT, "tools", "false-alarms"))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


tool = load_tool()


def test_the_noise_has_the_coefficient_of_variation_asked_for():
    rng = random.Random(3)
    factors = [tool.noise(rng, 0.15) for _ in range(40000)]
    assert statistics.fmean(factors) == pytest.approx(1.0, abs=0.005)
    assert statistics.pstdev(factors) == pytest.approx(0.15, abs=0.005)


# Few runs take the t-test on log times, more the rank test; five groups move the border.
@pytest.mark.parametrize("clock", [False, True], ids=["unrounded", "ms-clock"])
@pytest.mark.parametrize("runs,groups", [((1, 1), 1), ((5, 1), 1), ((1, 5), 1), ((2, 2), 1), ((3, 3), 1),
                                         ((5, 5), 1), ((2, 2), 5), ((4, 4), 5), ((5, 5), 5), ((12, 12), 5)],
                         ids=["1-1", "5-1", "1-5", "2-2", "3-3", "5-5", "2-2-five-groups", "4-4-five-groups",
                              "5-5-five-groups", "12-12-five-groups"])
def test_sessions_alike_are_seldom_called_different(runs, groups, clock):
    pairs = PAIRS if groups == 1 else PAIRS_FIVE_GROUPS
    counts = tool.measure(runs, 0.15, groups=groups, pairs=pairs, seed=5, clock=clock, alpha=ALPHA)
    # Beyond what a true rate of alpha gives by chance, one time in a thousand.
    assert counts.changed <= tool.most_allowed(pairs, ALPHA), counts


def test_a_30_percent_slowdown_with_five_runs_a_side_is_found():
    for clock in (False, True):
        counts = tool.measure((5, 5), 0.05, pairs=200, seed=5, clock=clock, slowdown=0.30, alpha=ALPHA)
        assert counts.rate("found") >= 0.95, (clock, counts)


@pytest.mark.parametrize("runs,groups", [((2, 2), 1), ((3, 3), 5), ((5, 1), 1)], ids=["2-2", "3-3-five-groups", "5-1"])
def test_twice_as_slow_is_found_with_few_runs(runs, groups):
    counts = tool.measure(runs, 0.05, groups=groups, pairs=200, seed=5, slowdown=1.0, alpha=ALPHA)
    assert counts.rate("found") >= 0.95, counts


def test_the_binomial_bound():
    assert tool.binomial_tail(0, 10, 0.3) == 1.0
    assert tool.binomial_tail(10, 10, 0.5) == pytest.approx(2 ** -10)
    assert tool.most_allowed(2000, 0.05) == 131
