"""Full-size runs of the sleeping work-item programs: about 80 s together."""

import re

import pytest


pytestmark = [pytest.mark.program, pytest.mark.slow]


def number(line):
    return float(re.search(r"-?[\d.]+", line).group())


def test_splitwork_prints_both_times_and_a_speedup_below_fourfold(run_alone, program, tmp_path):
    lines = run_alone(program("splitwork"), tmp_path)
    assert len(lines) == 3, lines
    patterns = (r"Parallel:   \d+\.\d{6} s", r"Sequential: \d+\.\d{6} s", r"Speedup: \d+\.\d\d %")
    for line, pattern in zip(lines, patterns):
        assert re.fullmatch(pattern, line), line
    parallel, sequential, speedup = (number(line) for line in lines)
    # The items sleep about 42 s in all; the last quarter sets the parallel time.
    assert sequential > 30.0
    assert parallel > sequential / 4
    assert speedup == pytest.approx(100.0 * sequential / parallel, abs=1.0)
    assert 120.0 < speedup < 400.0


def test_dynamicwork_prints_one_time_line_for_all_items(run_alone, program, tmp_path):
    # A team of 2 whatever the machine: about half of the 42 s of sleep.
    lines = run_alone(program("dynamicwork"), tmp_path, OMP_NUM_THREADS="2")
    assert len(lines) == 1 and re.fullmatch(r"Time:   \d+\.\d{6} s", lines[0]), lines
    assert 15.0 < number(lines[0]) < 35.0
