"""Every statistical routine of the runner, in one place for the commands
that judge: a group's spread; the Mann-Whitney test and Holm's adjustment
(compare, nodes); the modified z-score (nodes); the energy statistic and its
permutation test (changes)."""

import collections
import functools
import math
import statistics
from dataclasses import dataclass


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


# Where a series of values steps: E-Divisive with means, the energy statistic
# with exponent 1 (Matteson and James, 2014). NumPy does the counting.

INSTALL_NUMPY = "apt-get install python3-numpy, or pip install --user numpy"


def numpy():
    try:
        import numpy
        return numpy
    except ImportError:
        return None


@dataclass(frozen=True)
class Split:
    at: int        # the first value of the right part
    q: float       # its energy statistic
    p: float       # the permutation test's p-value of a cut this good anywhere


def energy_curve(rows, min_size):
    """The energy statistic Q of every cut of each row of `rows` (series of
    one length n) into left L and right R of min_size values or more:
    Q = |L||R|/n * (2 mean|l - r| - mean|l - l'| - mean|r - r'|), as an array
    of (rows, cuts), the first cut leaving min_size values on the left."""
    np = numpy()
    rows = np.atleast_2d(np.asarray(rows, dtype=float))
    n = rows.shape[1]
    earlier, total = _distance_sums(rows)
    within_left = np.cumsum(earlier, axis=1)                 # [t - 1]: pairs among the first t
    later = total - earlier
    within_right = np.cumsum(later[:, ::-1], axis=1)[:, ::-1]   # [t]: pairs among the values from t on
    all_pairs = within_left[:, -1:]
    t = np.arange(min_size, n - min_size + 1)
    left, right = within_left[:, t - 1], within_right[:, t]
    m, k = t.astype(float), (n - t).astype(float)
    between = (all_pairs - left - right) / (m * k)
    return m * k / n * (2 * between - 2 * left / (m * (m - 1)) - 2 * right / (k * (k - 1)))


def _distance_sums(rows):
    """Per row and position i: the sum of |x_i - x_j| over the j before i, and
    over all j. The earlier values below x_i are counted in blocks of about
    sqrt(n) positions, each against a running tally by rank: some 2 n sqrt(n)
    steps a row instead of n squared."""
    np = numpy()
    count, n = rows.shape
    order = np.argsort(rows, axis=1, kind="stable")
    ranks = np.empty_like(order)
    np.put_along_axis(ranks, order, np.broadcast_to(np.arange(n), rows.shape), axis=1)
    ordered = np.take_along_axis(rows, order, axis=1)
    seen = np.zeros(rows.shape)              # seen[:, k]: 1 once the value of rank k has been passed
    seen_value = np.zeros(rows.shape)        # ... and that value
    passed = np.zeros((count, n + 1))        # [:, k]: how many of the values passed rank below k
    passed_sum = np.zeros((count, n + 1))    # ... and their sum
    below = np.empty(rows.shape)             # how many earlier values lie below x_i
    below_sum = np.empty(rows.shape)         # ... and their sum
    block = max(8, int(2 * math.sqrt(n)))   # the fastest on 1000 values
    before = np.tri(block, block, -1, dtype=bool)   # [i, j]: j comes before i
    small = ranks.astype(np.int16 if n < 2 ** 15 else np.int32)   # compared the faster
    lines = np.arange(count)[:, None]
    for a in range(0, n, block):
        b = min(n, a + block)
        ranked = ranks[:, a:b]
        np.cumsum(seen, axis=1, out=passed[:, 1:])
        np.cumsum(seen_value, axis=1, out=passed_sum[:, 1:])
        lower = np.less(small[:, None, a:b], small[:, a:b, None])
        lower &= before[:b - a, :b - a]
        below[:, a:b] = np.take_along_axis(passed, ranked, axis=1) + np.count_nonzero(lower, axis=2)
        below_sum[:, a:b] = np.take_along_axis(passed_sum, ranked, axis=1) + \
            np.matmul(lower.astype(float), rows[:, a:b, None])[:, :, 0]
        seen[lines, ranked] = 1
        seen_value[lines, ranked] = rows[:, a:b]
    position = np.arange(n)
    earlier_sum = np.cumsum(rows, axis=1) - rows
    earlier = rows * (2 * below - position) - 2 * below_sum + earlier_sum
    # Over all j, from the sorted values: sum |s_k - s_j| = s_k (2k - n + 1) - 2 sum_{j<k} s_j + sum_{j!=k} s_j.
    preceding = np.cumsum(ordered, axis=1) - ordered
    whole = ordered.sum(axis=1, keepdims=True)
    total_sorted = ordered * (2 * position - n + 1) - 2 * preceding + whole - ordered
    return earlier, np.take_along_axis(total_sorted, ranks, axis=1)


# A permutation test stops once this many shuffles have matched the series'
# own best cut (Besag and Clifford, 1991): the p-value is plainly large by then.
ENOUGH_MATCHES = 10


def energy_split(values, min_size, permutations=199, seed=1):
    """The best cut of `values` into two parts of min_size or more, as a Split
    whose p-value is that of a permutation test: how often the values
    shuffled (with a fixed seed, so the answer repeats) can be cut as well
    anywhere. None for a series shorter than two parts."""
    np = numpy()
    x = np.asarray(values, dtype=float)
    n = len(x)
    if n < 2 * min_size:
        return None
    curve = energy_curve(x, min_size)[0]
    best = int(np.argmax(curve))
    q = float(curve[best])
    floor = q - 1e-9 * abs(q)     # a shuffle that cuts as well but for rounding matches
    rng = np.random.default_rng(seed)
    batch = max(1, min(256, 100000 // n))
    drawn = matched = 0
    while drawn < permutations:
        size = min(batch, permutations - drawn)
        tops = energy_curve(rng.permuted(np.broadcast_to(x, (size, n)), axis=1), min_size).max(axis=1)
        hits = np.flatnonzero(tops >= floor)
        if matched + len(hits) >= ENOUGH_MATCHES:
            last = drawn + int(hits[ENOUGH_MATCHES - matched - 1]) + 1
            return Split(min_size + best, q, ENOUGH_MATCHES / last)
        matched += len(hits)
        drawn += size
    return Split(min_size + best, q, (1 + matched) / (1 + permutations))
