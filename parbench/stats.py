"""The statistics of a group's runs."""

import collections
import functools
import math
import statistics


def median(values):
    """The median of the values that are numbers; nan when there are none."""
    values = [v for v in values if not math.isnan(v)]
    return statistics.median(values) if values else math.nan


def spread(values):
    """(median, min, max, coefficient of variation in percent) of the finite
    values, or None; the coefficient needs two values and a mean above zero."""
    finite = [v for v in values if math.isfinite(v)]
    if not finite:
        return None
    mean = statistics.fmean(finite)
    cv = 100.0 * statistics.stdev(finite) / mean if len(finite) >= 2 and mean > 0 else None
    return {"median": statistics.median(finite), "min": min(finite), "max": max(finite), "cv_pct": cv}


# Up to this many runs on both sides together the rank test is counted out
# exactly; beyond, SciPy's normal approximation is close enough.
EXACT_RUNS = 30


def scipy_stats():
    try:
        import scipy.stats
        return scipy.stats
    except ImportError:
        return None


def mann_whitney(x, y):
    """The two-sided p-value of the Mann-Whitney U test of x against y: exact
    up to EXACT_RUNS runs in all, SciPy's beyond; None beyond without SciPy."""
    if len(x) + len(y) <= EXACT_RUNS:
        return mann_whitney_exact(x, y)
    found = scipy_stats()
    if found is None:
        return None
    p = found.mannwhitneyu(x, y, alternative="two-sided").pvalue
    return 1.0 if math.isnan(p) else float(p)


def smallest_p(n1, n2):
    """The smallest two-sided p-value an exact Mann-Whitney U test can give for
    samples of these sizes: both orders of complete separation."""
    try:
        return min(1.0, 2.0 / math.comb(n1 + n2, n1))
    except OverflowError:   # some 500 runs a side: more orders than a double counts
        return 0.0


def runs_for_a_test(level):
    """Runs on each side that let the test reach `level`."""
    n = 2
    while smallest_p(n, n) > level:
        n += 1
    return n


def holm(pvalues):
    """Holm's step-down adjustment of p-values (each compared with alpha)."""
    order = sorted(range(len(pvalues)), key=lambda i: pvalues[i])
    adjusted, running = [0.0] * len(pvalues), 0.0
    for rank, i in enumerate(order):
        running = max(running, min(1.0, (len(pvalues) - rank) * pvalues[i]))
        adjusted[i] = running
    return adjusted


def mann_whitney_exact(x, y):
    """The two-sided p-value of the Mann-Whitney U test, exact even with tied
    values (a millisecond clock makes many): the share of all ways to deal the
    pooled runs into sides of len(x) and len(y) whose rank sum of the first
    side lies at least as far from its mean as x's does."""
    pooled = sorted(list(x) + list(y))
    doubled = {}     # value -> twice its mid-rank, a whole number
    i = 0
    while i < len(pooled):
        j = i
        while j < len(pooled) and pooled[j] == pooled[i]:
            j += 1
        doubled[pooled[i]] = i + 1 + j
        i = j
    return _rank_sum_p(tuple(doubled[v] for v in pooled), len(x), sum(doubled[v] for v in x))


@functools.lru_cache(maxsize=4096)
def _rank_sum_p(ranks, n, observed):
    ways = [collections.Counter() for _ in range(n + 1)]   # ways[k][s]: k ranks chosen, summing to s
    ways[0][0] = 1
    for r in ranks:
        for k in range(n, 0, -1):
            for s, count in ways[k - 1].items():
                ways[k][s + r] += count
    middle = n * (len(ranks) + 1)   # the mean of the doubled rank sum
    far = abs(observed - middle)
    return sum(c for s, c in ways[n].items() if abs(s - middle) >= far) / math.comb(len(ranks), n)


# Iglewicz and Hoaglin's cut: a value whose modified z-score is beyond it is an outlier.
OUTLIER_Z = 3.5


def mad(values):
    """The median absolute deviation from the median (unscaled)."""
    centre = median(values)
    return median([abs(v - centre) for v in values])


def modified_z(values):
    """Each value's modified z-score, 0.6745 (x - median) / MAD. Where more than
    half the values are equal the MAD is 0: those values score 0 and any other
    scores +-inf, the limit of the formula, since it stands apart from a
    majority that agree exactly. The usual fallback to the mean absolute
    deviation cannot reach 3.5 with fewer than five values, so it would hide
    one odd value among three or four."""
    centre, scale = median(values), mad(values)
    if scale > 0:
        return [0.6745 * (v - centre) / scale for v in values]
    return [0.0 if v == centre else math.copysign(math.inf, v - centre) for v in values]
