"""The rules that comparing two sessions and comparing hosts share: the
tolerance and the clock's resolution, the words of a verdict, which test
judges samples of which sizes and its p-value, Holm's family, and why a
sample has no test at all.

A group is judged by its main time, lower being better. A difference counts
only beyond the tolerance (a fraction of what it is compared with) and beyond
one tick of the programs' millisecond clock, and then only where a test of
the runs, Holm-adjusted over everything tested at once, says it is no
accident."""

from . import stats
from ..base import optional
from ..model.printouts import CLOCK_RESOLUTION_S

TOLERANCE, ALPHA = 0.10, 0.05
CLOCK = "within the clock's resolution (%g ms)" % (1000 * CLOCK_RESOLUTION_S)
SLOWER, FASTER, NOISE, TOO_FEW = "slower", "faster", "within noise", "too few runs to tell"


def within_clock(a, b):
    return abs(a - b) <= CLOCK_RESOLUTION_S


def beyond(value, reference, tolerance):
    """Whether `value` lies beyond the tolerance band around `reference`."""
    return value > reference * (1 + tolerance) or value < reference * (1 - tolerance)


def test_for(n_x, n_y, family, alpha):
    """The test that judges samples of these sizes among `family` tests at
    `alpha` (stats.test_for at Holm's first level), or None."""
    return stats.test_for(n_x, n_y, alpha / max(1, family))


def p_value(test, x, y):
    """The unadjusted two-sided p-value of `test` (a stats test name) of x against y."""
    if test == stats.RANKS:
        return stats.mann_whitney(x, y)
    return stats.log_t_test(x, y, CLOCK_RESOLUTION_S)


def adjusted(pvalues, family):
    """Holm's adjustment of the p-values of the tests made, in a family of
    `family`: the members left untested (a tick's difference, too few runs,
    not standing apart) count as p = 1, or Holm would be told of fewer chances
    of a false alarm than were taken."""
    return stats.holm(list(pvalues) + [1.0] * (family - len(pvalues)))[:len(pvalues)]


def untestable(n_x, n_y, family, alpha):
    """Why no test can judge samples of these sizes among `family` at `alpha`."""
    if max(n_x, n_y) < 2:
        return "%s: one run a side says nothing of how much the runs vary" % TOO_FEW
    # Only the t-test on log times, which needs SciPy, could have.
    return "%s without SciPy: the rank test needs %d on each side, and the t-test for fewer needs SciPy (%s)" % (
        TOO_FEW, stats.runs_for_a_test(alpha / max(1, family)), optional.hint(optional.SCIPY))


def p_words(test, p, alpha):
    """"Mann-Whitney p = 0.00794 <= 0.05"."""
    return "%s p = %.3g %s %g" % (test, p, "<=" if p <= alpha else ">", alpha)
