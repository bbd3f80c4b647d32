"""The fast OpenMP programs, run as they are: their fixed reports."""

import re

import pytest

from parbench.model import programs

pytestmark = pytest.mark.program


def expect_lines(lines, patterns):
    assert len(lines) == len(patterns), lines
    for i, (line, pattern) in enumerate(zip(lines, patterns)):
        assert re.fullmatch(pattern, line), "line %d: %r" % (i, line)


ARRAYSUM = ["Starting Parallel Operation", "Sum Completed", "Generating Solution for Verification",
            "Verifying Solution", "", "Solution Valid", "", r"Parallel:   \d+\.\d{6} s", r"Sequential: \d+\.\d{6} s",
            r"Speedup: (\d+\.\d\d|inf|-?nan) %", "Cores: %d" % programs.get("arraysum").team]


@pytest.mark.parametrize("env", [{}, {"OMP_NUM_THREADS": "1", "OMP_DYNAMIC": "true"},
                                 {"OMP_NUM_THREADS": "7", "OMP_THREAD_LIMIT": "2"}], ids=["as-is", "one", "limited"])
def test_arraysum_reports_a_valid_sum_and_its_own_team_whatever_the_environment(run_alone, program, tmp_path, env):
    expect_lines(run_alone(program("arraysum"), tmp_path, **env), ARRAYSUM)


def test_queuedrain_prints_only_the_time_line(run_alone, program, tmp_path):
    # No error line from filling or draining the stack.
    expect_lines(run_alone(program("queuedrain"), tmp_path), [r"Time:   \d+\.\d{6} s"])
