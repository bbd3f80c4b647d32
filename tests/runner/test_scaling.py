"""The scaling analysis on made-up sweeps with known answers."""

import pytest

from parbench.analysis import scaling
from parbench.model import document, programs
from parbench.model.document import Capacity, Spread, Summary
from parbench.model.programs import Group

pytestmark = pytest.mark.unit

TREE, DYNAMIC = programs.get("treesearch"), programs.get("dynamicwork")


def tree_rows(speedups):
    return [Summary(Group("treesearch", p, None), 3, 0, speedup_pct=100.0 * s) for p, s in speedups.items()]


def dynamic_rows(seconds):
    return [Summary(Group("dynamicwork", None, t), 3, 0, time_s=Spread(s, s, s, 0.0)) for t, s in seconds.items()]


def old_session(rows, cores):
    """A session written before the scaling analysis: it gets one from its summary."""
    return document.from_json({"format": 1, "provenance": {"physical_cores": cores},
                               "summary": [r.to_json() for r in rows]}, "test")


def test_a_perfect_sweep_has_no_serial_fraction():
    section = scaling.analyse(tree_rows({p: p for p in (1, 2, 4, 8)}), TREE, Capacity(8, "cores"))
    assert section.fit.serial_fraction == pytest.approx(0.0, abs=1e-6)
    assert section.fit.limit is None or section.fit.limit > 1e5
    assert [p.efficiency_pct for p in section.points] == pytest.approx([100.0] * 4)
    assert scaling.line(section).startswith("treesearch: serial fraction f = 0.000 (95 % interval")


def test_a_sweep_that_flattens_gives_the_fraction_it_was_made_with():
    wobble = dict(zip((1, 2, 4, 8, 16), (1.0, 1.03, 0.97, 1.02, 0.98)))
    made = {p: scaling.amdahl(p, 0.1) * w for p, w in wobble.items()}
    section = scaling.analyse(tree_rows(made), TREE, Capacity(16, "cores"))
    fit = section.fit
    assert fit.serial_fraction == pytest.approx(0.1, abs=0.01)
    assert fit.ci95[0] < 0.1 < fit.ci95[1]
    assert fit.limit == pytest.approx(1 / fit.serial_fraction)
    # Karp-Flatt: each count's own estimate of the same fraction (noisiest at 2).
    assert section.points[0].karp_flatt is None
    assert [p.karp_flatt for p in section.points[2:]] == pytest.approx([0.1] * 3, abs=0.02)
    assert "speed-up limit 1/f = 10×" in scaling.line(section)


def test_oversubscribed_counts_are_left_out_where_the_program_competes_for_cores():
    made = {p: scaling.amdahl(p, 0.05) for p in (1, 2, 3, 4, 6)}
    section = scaling.analyse(tree_rows(made), TREE, Capacity(3, "this host's cores"))
    assert section.fit.counts == (1, 2, 3) and section.fit.left_out == (4, 6)
    assert [p.oversubscribed for p in section.points] == [False, False, False, True, True]
    assert "4, 6 processes beyond this host's cores (3), left out" in scaling.line(section)
    # Sleeping threads take no core: all of them are fitted.
    section = scaling.analyse(dynamic_rows({1: 40.0, 2: 20.0, 4: 10.0, 8: 5.0}), DYNAMIC, Capacity(2, "hardware threads"))
    assert section.fit.counts == (1, 2, 4, 8) and section.reference == 1
    assert "fitted too: its work sleeps and takes no core" in scaling.line(section)


def test_too_few_counts_give_no_fit_and_say_why():
    assert scaling.analyse(tree_rows({1: 1.0, 2: 1.9}), TREE, Capacity(2, "cores")) is None
    section = scaling.analyse(tree_rows({1: 1.0, 2: 1.9, 3: 2.0, 4: 2.1}), TREE, Capacity(2, "this host's cores"))
    assert section.fit is None
    assert scaling.line(section) == ("treesearch: no Amdahl fit: only 1, 2 processes had cores or slots of their own "
                                     "(this host's cores (2)); a fit needs 3 counts; 3, 4 processes beyond this "
                                     "host's cores (2), left out")


def test_a_sweep_from_another_count_than_one_is_fitted_against_it():
    made = {t: 40.0 * (0.2 + 0.8 / t) for t in (2, 4, 8)}
    section = scaling.analyse(dynamic_rows(made), DYNAMIC, Capacity(8, "hardware threads"))
    assert section.reference == 2
    assert section.fit.serial_fraction == pytest.approx(0.2, abs=1e-3)
    assert all(p.karp_flatt is None for p in section.points), "the metric needs a speed-up against one"


def test_the_serial_fractions_of_two_sessions_are_compared():
    before = old_session(tree_rows({p: scaling.amdahl(p, 0.05) for p in (1, 2, 4)}), 4)
    after = old_session(tree_rows({p: scaling.amdahl(p, 0.2) for p in (1, 2, 4)}), 4)
    [line] = scaling.fit_lines(before, after)
    assert line.startswith("treesearch: serial fraction 0.050 (") and ", 0.200 (" in line
