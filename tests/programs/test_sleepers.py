"""Full-size runs of the sleeping work-item programs, traced: about 80 s
together. The tracing library is preloaded, so these check both that a traced
program still prints its report and that what the trace says holds against
what is known of the work in advance."""

import re

import pytest

from parbench.model import programs
from parbench.run import tracing as trace

pytestmark = [pytest.mark.program, pytest.mark.slow]


def number(line):
    return float(re.search(r"-?[\d.]+", line).group())


@pytest.fixture
def traced_run(run_alone, program, build, tmp_path):
    """(lines printed, Balance) of one traced run alone."""
    def run(name, **env):
        p = programs.get(name)
        if trace.unavailable(build, p):
            pytest.skip(trace.unavailable(build, p))
        folder = tmp_path / "trace"
        folder.mkdir()
        lines = run_alone(program(name), tmp_path, **env, **trace.variables(build, p, str(folder), {}))
        phase = number(lines[0])
        balance, why = trace.read(str(folder), p, None, phase)
        assert balance is not None, why
        return lines, balance
    return run


def test_splitwork_prints_both_times_and_its_quarters_carry_unequal_work(traced_run):
    lines, balance = traced_run("splitwork")
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

    # Quarters of about 3, 8, 13 and 18 s of sleep: (3 + 8 + 13 + 18) / 4 / 18 = 0.58
    # on average. Each run draws its own items, and 1.4 % of draws lie beyond
    # 0.58 +- 0.06 (0.49 to 0.69 held 99.99 % of 400,000 simulated draws): the
    # figure must be that of the sleep this run asked for, and that near 0.58.
    assert balance.lanes == "thread" and len(balance.useful_s) == 4
    assert balance.items == (100, 100, 100, 100)
    assert list(balance.useful_s) == sorted(balance.useful_s)
    drawn = sum(balance.work_s) / 4 / max(balance.work_s)
    assert balance.load_balance == pytest.approx(drawn, abs=0.02)
    assert 0.45 < drawn < 0.75
    # Every item is counted once: the asked sleep adds up to the sequential run's.
    assert sum(balance.work_s) == pytest.approx(sequential, rel=0.05)
    assert max(balance.useful_s) == pytest.approx(parallel, rel=0.03)
    # The speed-up of four threads is four times their parallel efficiency.
    assert speedup / 100 == pytest.approx(4 * balance.parallel_efficiency, rel=0.05)
    # The three that finish early wait for the last at the region's end.
    assert min(balance.waiting_s[:3]) > 1.0 and balance.waiting_s[3] < 0.1


def test_dynamicwork_prints_one_time_line_and_two_threads_share_it_evenly(traced_run):
    # A team of 2 whatever the machine: about half of the 42 s of sleep.
    lines, balance = traced_run("dynamicwork", OMP_NUM_THREADS="2")
    assert len(lines) == 1 and re.fullmatch(r"Time:   \d+\.\d{6} s", lines[0]), lines
    assert 15.0 < number(lines[0]) < 35.0
    assert len(balance.useful_s) == 2 and sum(balance.items) == 400
    assert balance.load_balance > 0.97
    assert balance.parallel_efficiency > 0.9
