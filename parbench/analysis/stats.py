"""Every statistical routine of the runner, in one place for the commands
that judge: a group's spread; the Mann-Whitney test, the t-test on log times
and Holm's adjustment (comparison, nodes); the modified z-score (nodes); the
energy statistic and its permutation test (changes). Each section says what
it computes, why, and where it comes from; the rules that decide with them
are in judging.py, comparison.py, nodes.py and changes.py."""

import collections
import functools
import math
import statistics
from dataclasses import dataclass

from ..base import optional


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


# The Mann-Whitney U test: do the runs of one side tend to lie above those of
# the other? Its statistic is the sum of one side's ranks among all the runs
# pooled (ties share the mean of their ranks; twice that, a whole number, is
# what is counted here). Under the null hypothesis that both sides come from
# one distribution, every way of dealing the pooled ranks into the two sides
# is equally likely, so a p-value is the share of those ways whose rank sum
# lies at least as far from its mean as the one observed.

# Up to this many runs on both sides together every way is counted out.
EXACT_RUNS = 30
# Beyond, the normal approximation of the rank sum, with the tie correction
# and a continuity correction, holds in the middle of the distribution; in its
# far tail it overstates the p-value of a few runs against many by orders of
# magnitude (five runs above 995 others: 1e-4 where the count gives 2e-15).
# There the tail is counted out exactly for a side of up to EXACT_SIDE runs,
# within a budget of work (cells of the count, a count and all the counts of
# one call); past it the approximation stands, which errs on the safe side.
EXACT_SIDE = 10
FAR_TAIL = 1e-3
TAIL_WORK = 50000000
TOTAL_TAIL_WORK = 300000000


def scipy_stats():
    """SciPy's stats module, or None without SciPy."""
    return optional.load(optional.SCIPY)


def _doubled_ranks(values):
    """{value: twice its mid-rank among `values`}, and the sizes of the ties."""
    pooled = sorted(values)
    doubled, ties = {}, []
    i = 0
    while i < len(pooled):
        j = i
        while j < len(pooled) and pooled[j] == pooled[i]:
            j += 1
        doubled[pooled[i]] = i + 1 + j
        ties.append(j - i)
        i = j
    return doubled, ties


def mann_whitney(x, y):
    """The two-sided p-value of the Mann-Whitney U test of x against y."""
    return against_the_rest([x, y])[0]


def against_the_rest(samples, far_tail=None):
    """The two-sided Mann-Whitney p-value of each sample (a list of values)
    against the values of all the other samples pooled. All of them share one
    ranking, so a thousand hosts cost one sort. `far_tail`: the indices of the
    samples whose far tail is worth counting out (default: all)."""
    pooled = [v for s in samples for v in s]
    doubled, ties = _doubled_ranks(pooled)
    total = len(pooled)
    sums = [sum(doubled[v] for v in s) for s in samples]
    if total <= EXACT_RUNS:
        ranks = tuple(sorted(doubled[v] for v in pooled))
        return [_rank_sum_p(ranks, len(s), w) if s and len(s) < total else 1.0 for s, w in zip(samples, sums)]
    tie_term = sum(t ** 3 - t for t in ties)
    found = [_normal_p(len(s), total - len(s), w, tie_term) for s, w in zip(samples, sums)]
    # The most extreme first: where many samples stand out at once, the work
    # allowed goes to those whose count can matter most.
    budget = [TOTAL_TAIL_WORK]
    for i in sorted(range(len(samples)), key=found.__getitem__):
        n, rest, w = len(samples[i]), total - len(samples[i]), sums[i]
        if found[i] <= FAR_TAIL and min(n, rest) <= EXACT_SIDE and (far_tail is None or i in far_tail) and \
                budget[0] > 0:
            # The smaller side's rank sum tells the same; its tail is the one counted.
            side, observed = (n, w) if n <= rest else (rest, total * (total + 1) - w)
            exact = _far_tail_p(doubled, ties, side, observed, budget)
            if exact is not None:
                found[i] = exact
    return found


def _normal_p(n, rest, doubled_sum, tie_term):
    """The two-sided p-value of the normal approximation: the U statistic
    against its mean n * rest / 2, its variance corrected for ties, less half a
    step for continuity."""
    total = n + rest
    u = doubled_sum / 2 - n * (n + 1) / 2
    variance = n * rest / 12 * ((total + 1) - tie_term / (total * (total - 1)))
    if n == 0 or rest == 0 or variance <= 0:
        return 1.0
    z = (abs(u - n * rest / 2) - 0.5) / math.sqrt(variance)
    return 1.0 if z <= 0 else min(1.0, math.erfc(z / math.sqrt(2)))


def _far_tail_p(doubled, ties, n, observed, budget=None):
    """The exact two-sided p-value of a doubled rank sum `observed` of n runs
    among the pooled runs (`doubled` their doubled mid-ranks, `ties` the sizes
    of their ties), or None where counting it would take too long."""
    groups = sorted(zip(sorted(doubled.values()), ties))     # (doubled rank, how many share it), ascending
    total = sum(ties)
    middle = n * (total + 1)
    far = abs(observed - middle)
    if far == 0:
        return 1.0
    budget = budget if budget is not None else [TOTAL_TAIL_WORK]
    ranks = [r for r, m in groups for _ in range(m)]
    above = _count_at_least(ranks[::-1], n, middle + far, budget)
    below = _count_at_least([-r for r in ranks], n, -(middle - far), budget)
    if above is None or below is None:
        return None
    return min(1.0, (above + below) / math.comb(total, n))


def _count_at_least(ranks, n, target, budget):
    """How many ways of choosing n of the `ranks` (largest first, ties
    repeated) sum to `target` or more. Choosing positions i_1 < ... < i_n of
    the sorted ranks falls short of the n largest by the sum of
    r_j - r_{i_j}, each term 0 or more, so the ways to stay within the
    shortfall D = (the n largest) - target are counted position by position,
    a count for each (items chosen, shortfall so far): the far tail holds few
    shortfalls, and past the first position whose rank lies more than D below
    the n-th largest nothing more can be chosen. `budget` (a one-item list)
    is the work left; None where the count would exceed it."""
    shortfall = sum(ranks[:n]) - target
    if shortfall < 0:
        return 0
    reach = sum(1 for r in ranks if ranks[n - 1] - r <= shortfall)
    work = reach * n * (shortfall + 1)
    if work > min(budget[0], TAIL_WORK):
        return None
    budget[0] -= work
    np = numpy()
    if np is None:
        ways = [[0] * (shortfall + 1) for _ in range(n + 1)]
        ways[0][0] = 1
        for i in range(reach):
            for k in range(min(n - 1, i), -1, -1):
                c = ranks[k] - ranks[i]
                if c <= shortfall:
                    row, nxt = ways[k], ways[k + 1]
                    for d in range(shortfall + 1 - c):
                        nxt[d + c] += row[d]
        return sum(ways[n])
    # In floating point: the counts run past 2**53, their sum needs only its leading digits.
    ways = np.zeros((n + 1, shortfall + 1))
    ways[0, 0] = 1.0
    for i in range(reach):
        for k in range(min(n - 1, i), -1, -1):
            c = ranks[k] - ranks[i]
            if c <= shortfall:
                ways[k + 1, c:] += ways[k, :shortfall + 1 - c]
    return float(ways[n].sum())


def smallest_p(n1, n2):
    """The smallest two-sided p-value the Mann-Whitney test can give for
    samples of these sizes: both orders of complete separation, counted out,
    or where the approximation decides (both sides beyond EXACT_SIDE), its
    value at complete separation."""
    total = n1 + n2
    if n1 == 0 or n2 == 0:
        return 1.0
    if total > EXACT_RUNS and min(n1, n2) > EXACT_SIDE:
        return _normal_p(n1, n2, n1 * (n1 + 1) + 2 * n1 * n2, 0)
    try:
        return min(1.0, 2.0 / math.comb(total, n1))
    except OverflowError:
        return 0.0


def runs_for_a_test(level):
    """Runs on each side that let the rank test reach `level`."""
    n = 2
    while smallest_p(n, n) > level:
        n += 1
    return n


def holm(pvalues):
    """Holm's step-down adjustment of p-values (each then compared with alpha):
    sorted from the smallest, the k-th of m is multiplied by m - k + 1 and none
    may fall below the one before. Rejecting where the adjusted p-value is at
    most alpha holds the family-wise error rate, the chance of any false
    rejection among all m, at alpha, whatever the dependence between the tests
    (Holm, "A simple sequentially rejective multiple test procedure", 1979:
    the smallest true-null p-value must pass alpha / (number of true nulls),
    which Bonferroni's bound holds). It rejects all that Bonferroni's m * p
    would, and often more. Benjamini and Hochberg's rule would hold the share
    of false rejections instead, which a gate that takes one node out of
    service should not trade for; with one real finding in m both ask alpha / m
    of it, so what keeps the sight at scale is a p-value precise that far out."""
    order = sorted(range(len(pvalues)), key=lambda i: pvalues[i])
    adjusted, running = [0.0] * len(pvalues), 0.0
    for rank, i in enumerate(order):
        running = max(running, min(1.0, (len(pvalues) - rank) * pvalues[i]))
        adjusted[i] = running
    return adjusted


def mann_whitney_exact(x, y):
    """The two-sided p-value of the Mann-Whitney U test, exact even with tied
    values (a millisecond clock makes many), for any number of runs."""
    doubled, _ = _doubled_ranks(list(x) + list(y))
    ranks = tuple(sorted(doubled[v] for v in list(x) + list(y)))
    return _rank_sum_p(ranks, len(x), sum(doubled[v] for v in x))


@functools.lru_cache(maxsize=4096)
def _rank_sum_p(ranks, n, observed):
    return _rank_sum_tail(_rank_sum_counts(ranks, n), n * (len(ranks) + 1), abs(observed - n * (len(ranks) + 1)),
                          math.comb(len(ranks), n))


@functools.lru_cache(maxsize=256)
def _rank_sum_counts(ranks, n):
    """{doubled rank sum: ways} of every way to choose n of `ranks`."""
    ways = [collections.Counter() for _ in range(n + 1)]   # ways[k][s]: k ranks chosen, summing to s
    ways[0][0] = 1
    for r in ranks:
        for k in range(n, 0, -1):
            for s, count in ways[k - 1].items():
                ways[k][s + r] += count
    return tuple(ways[n].items())


def _rank_sum_tail(counts, middle, far, all_ways):
    return sum(c for s, c in counts if abs(s - middle) >= far) / all_ways


# Small samples. With two to four runs a side the rank test cannot reach a
# level of a few per cent at all, though a slowdown far beyond the runs'
# spread is plain to see. Times of one program vary by a factor, so their
# logarithms are near normal, and a t-test on them compares the ratio of
# geometric means (Kalibera and Jones, "Rigorous benchmarking in reasonable
# time", 2013). Under the hypothesis tested both sides come from one
# distribution, so they share one variance: Student's pooled test is exact
# there, with n1 + n2 - 2 degrees of freedom, where Welch's estimate of them
# falls towards 1 with two runs a side and halves the power. For a single run
# against several it is the prediction interval of the others' mean and
# spread. A run read off a millisecond clock varies at least by its rounding
# (a uniform error of one tick: variance tick^2 / 12, relative to the time on
# the log scale), so no spread is taken as less: four runs that all read 2 ms
# are not infinitely sure.

T_TEST, RANKS = "t-test on log times", "Mann-Whitney"


def log_t_test(x, y, resolution):
    """The two-sided p-value of Student's t-test of log x against log y, the
    pooled variance no less than what rounding to a clock of `resolution`
    seconds adds; None for one run a side (nothing tells the spread), or
    without SciPy."""
    found = _t_sides([(_log_sums(x, resolution), statistics.median(x))],
                     _log_sums(y, resolution), statistics.median(y), resolution)
    return found[0]


def log_t_against_the_rest(samples, resolution):
    """log_t_test of each sample against the values of all the others pooled,
    from sums over the whole pool: a thousand hosts cost one pass."""
    sides = [_log_sums(s, resolution) for s in samples]
    total = tuple(map(sum, zip(*sides))) if sides else (0, 0.0, 0.0)
    typical = statistics.median([v for s in samples for v in s]) if samples else 0.0
    rest = [tuple(t - v for t, v in zip(total, side)) for side in sides]
    return [_t_sides([(side, statistics.median(s))], other, typical, resolution)[0]
            for s, side, other in zip(samples, sides, rest)]


def _log_sums(values, resolution):
    """(count, sum, sum of squares) of the logarithms of `values`, each at least half a tick."""
    logs = [math.log(max(v, resolution / 2)) for v in values]
    return len(logs), math.fsum(logs), math.fsum(v * v for v in logs)


def _t_sides(xs, y, typical_y, resolution):
    """The p-values of each side of `xs` ((sums, typical time)) against the sums `y`."""
    found = scipy_stats()
    out = []
    for (nx, sx, qx), typical_x in xs:
        ny, sy, qy = y
        if found is None or min(nx, ny) < 1 or nx + ny < 3:
            out.append(None)
            continue
        mx, my = sx / nx, sy / ny
        # Squares about each side's own mean; never below 0 for rounding's sake.
        squares = max(qx - nx * mx * mx, 0.0) + max(qy - ny * my * my, 0.0)
        df = nx + ny - 2
        floor = resolution / 2
        rounding = max((resolution / max(t, floor)) ** 2 / 12 for t in (typical_x, typical_y))
        variance = max(squares / df, rounding)
        t = (mx - my) / math.sqrt(variance * (1 / nx + 1 / ny))
        out.append(min(1.0, float(2 * found.t.sf(abs(t), df))))
    return out


def test_for(n_x, n_y, level):
    """The test that judges samples of these sizes at `level` (alpha over the
    family, Holm's first step): the rank test where it can reach the level,
    else the t-test on log times (SciPy), else None: nothing could."""
    if smallest_p(n_x, n_y) <= level:
        return RANKS
    if n_x + n_y >= 3 and min(n_x, n_y) >= 1 and scipy_stats():
        return T_TEST
    return None


# Which host stands apart from its peers: the modified z-score (Iglewicz and
# Hoaglin, "How to Detect and Handle Outliers", 1993). A z-score measures a
# value's distance from the centre in standard deviations, but a mean and a
# standard deviation are pulled along by the very outlier looked for; the
# median and the median absolute deviation (MAD) are not: half the values
# could be wild before either moved. For normal data the MAD is 0.6745
# standard deviations (the normal distribution's third quartile, so that half
# the values lie within it of the median), so 0.6745 (x - median) / MAD reads
# on the scale of an ordinary z-score. Iglewicz and Hoaglin found 3.5 the cut
# beyond which a value is an outlier, from simulations of normal samples: few
# ordinary values reach it, and a real outlier seldom hides below it.
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


# Where a series of values steps: E-Divisive with means (Matteson and James,
# "A nonparametric approach for multiple change point analysis of
# multivariate data", 2014). For a cut of a series into a left part L and a
# right part R, the energy statistic with exponent 1 compares the distances
# across the cut with those within each side:
#     Q = |L||R| / n * (2 E|l - r| - E|l - l'| - E|r - r'|).
# E|X - Y| twice over a cross minus both within-sample means is Szekely and
# Rizzo's energy distance, zero exactly when the two parts come from one
# distribution, and larger the further apart they are, in location or in
# shape alike; the factor |L||R| / n weighs a cut by how much each side holds.
# The best cut is the one of largest Q. How large a largest Q arises by chance
# no formula says (the maximum is over every cut, and Q's distribution depends
# on the values'), but under the hypothesis of no change every order of the
# series is equally likely, so shuffling the series and finding each
# shuffle's best Q samples exactly the distribution of the statistic under
# that hypothesis: the share of shuffles that reach the observed Q is the
# p-value, whatever the values' distribution. NumPy does the counting.

def numpy():
    """NumPy, or None without it."""
    return optional.load(optional.NUMPY)


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
# own best cut: Besag and Clifford's sequential p-value ("Sequential Monte
# Carlo p-values", 1991), matches / shuffles drawn, is then exact and plainly
# large, and a flat series costs a few dozen shuffles instead of thousands.
# Its p-value cannot go below 1 / (shuffles + 1), which is why the shuffles
# grow with the number of series sharing alpha (changes.py).
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
