"""The tests behind delayprobe-compare's verdicts, on the log scale of the
figures: Student's t test of session medians, the Mann-Whitney U test of
runs with its exact null distribution, Holm's correction, the intervals
that invert them, and the distribution-free interval of a median."""

import dataclasses
import functools
import math
import typing

import numpy as np
from scipy import special


@dataclasses.dataclass
class Test:
    """One test of a set against its baseline, on the log ratio of their
    figures."""
    name: str  # "t" or "U"
    p_at: typing.Callable[[float], float]  # the two-sided p at a log ratio
    estimate: float  # the log ratio
    slower: bool  # whether the set lies above its baseline
    best: float  # the smallest p that these counts of observations can give
    # Log ratios far beyond the data, between which the interval is sought;
    # None where no ratio is defined (a figure of 0 or less).
    span: typing.Optional[typing.Tuple[float, float]]


def median_ci(xs, alpha):
    """The distribution-free interval [x(l), x(n+1-l)] that holds the median
    with probability at least 1 - alpha, or None when n is too small."""
    n = len(xs)
    # l is the number of ranks k whose binomial tail P(B <= k) stays within
    # alpha / 2; the tail grows with k, so bisect.
    lo, hi = 0, n // 2 + 1
    while lo < hi:
        mid = (lo + hi) // 2
        if special.bdtr(mid, n, 0.5) <= alpha / 2:
            lo = mid + 1
        else:
            hi = mid
    if lo < 1:
        return None
    xs = np.sort(xs)
    return float(xs[lo - 1]), float(xs[n - lo])


@functools.lru_cache(maxsize=None)
def exact_cdf(m, n):
    """P(U <= u) for u = 0 .. mn, with no ties: the coefficients of the
    Gaussian binomial [m+n, m], counted exactly in integers."""
    m, n = min(m, n), max(m, n)
    ways = np.zeros(m * n + 1, dtype=object)
    ways[0] = 1
    for i in range(1, m + 1):
        # times (1 - q^(n+i)), then divided by (1 - q^i)
        ways[n + i:] = ways[n + i:] - ways[:len(ways) - n - i]
        for r in range(i):
            ways[r::i] = np.cumsum(ways[r::i])
    cum = np.cumsum(ways)
    total = math.comb(m + n, m)
    return [c / total for c in cum]


def pvalue(twice_u, m, n, spread, cdf):
    """Two-sided p of U, given as 2U for exactness: from the exact null
    distribution cdf when there is one, else normal with continuity and tie
    corrections (spread is the standard deviation of U)."""
    if cdf is not None:
        return min(1.0, 2 * cdf[int(min(twice_u, 2 * m * n - twice_u)) // 2])
    if spread == 0:
        return 1.0
    z = (abs(twice_u - m * n) / 2 - 0.5) / spread
    return min(1.0, 2 * float(special.ndtr(-z)))


def tally(values):
    """Sorted distinct values, and the cumulative count below each."""
    u, counts = np.unique(values, return_counts=True)
    return u, np.concatenate(([0], np.cumsum(counts))), counts


def twice_u(x, y, r):
    """2U of y against x when y is divided by r: twice the pairs with y/r > x,
    plus the ties. x and y are tallies."""
    ux, cx, _ = x
    uy, _, ny = y
    t = uy / r
    below = cx[np.searchsorted(ux, t, "left")]
    upto = cx[np.searchsorted(ux, t, "right")]
    return int(ny @ (below + upto))


def bisect(accept, good, bad):
    """The last accepted point between good (accepted) and bad (not), on the
    log scale: 48 halvings from a bracket a few units wide leave less than
    1e-13, far below the three decimals shown."""
    for _ in range(48):
        mid = (good + bad) / 2
        if accept(mid):
            good = mid
        else:
            bad = mid
    return good


def interval(p_at, estimate, span, alpha, factor):
    """Every ratio whose p, times Holm's factor, is at least alpha: an
    interval between span, log ratios far beyond the data, or None for an
    end that is not reached there."""
    def accept(logr):
        return p_at(logr) * factor >= alpha

    # Start from 1 when it is accepted, so that the interval holds 1 exactly
    # when the test does not reject it, and from the estimate otherwise.
    start = 0.0 if accept(0.0) else estimate
    if not accept(start):
        return None
    lo = None if accept(span[0]) else math.exp(bisect(accept, start, span[0]))
    hi = None if accept(span[1]) else math.exp(bisect(accept, start, span[1]))
    return lo, hi


def ranks(u, null, span):
    """The U test, given u, 2U at a log ratio: the p at each log ratio, the
    Hodges-Lehmann estimate (the median of the ratios of each observation to
    each of the baseline's) and the smallest p these counts can give."""
    mn = null[0] * null[1]
    estimate = (bisect(lambda r: u(r) >= mn, span[0], span[1]) +
                bisect(lambda r: u(r) <= mn, span[1], span[0])) / 2 if span else 0.0
    return Test("U", lambda logr: pvalue(u(logr), *null), estimate, u(0.0) > mn,
                pvalue(0, *null), span)


def means(base, obs):
    """Student's t test of the log session medians: any count of sessions
    from two a side can reach any level, where the U test of five sessions
    against five cannot go below p = 0.008."""
    x, y = np.log(base), np.log(obs)
    m, n = len(x), len(y)
    d = float(y.mean() - x.mean())
    df = m + n - 2
    se = math.sqrt((((x - x.mean()) ** 2).sum() + ((y - y.mean()) ** 2).sum()) / df *
                   (1 / m + 1 / n))

    def p_at(logr):
        if se == 0:
            return 1.0 if d == logr else 0.0
        return min(1.0, 2 * float(special.stdtr(df, -abs(d - logr) / se)))

    return Test("t", p_at, d, d > 0, 0.0, (d - 1e6 * se - 1, d + 1e6 * se + 1))


def holm(ps):
    """Holm's factor for each p-value: p times it is the adjusted p."""
    ps = np.asarray(ps, dtype=float)
    k = len(ps)
    order = np.argsort(ps, kind="stable")
    steps = (k - np.arange(k)) * ps[order]
    adjusted = np.maximum.accumulate(steps)
    factor = np.empty(k)
    with np.errstate(divide="ignore", invalid="ignore"):
        factor[order] = np.where(ps[order] > 0, adjusted / ps[order], k - np.arange(k))
    return factor


def null(counts, m, n):
    """What the p-value of U needs, from the counts of each distinct value in
    both samples together: scipy's rule for when the test is exact, and the
    tie-corrected standard deviation of U."""
    cdf = exact_cdf(m, n) if min(m, n) <= 8 and not (counts > 1).any() else None
    big = m + n
    term = float((counts.astype(float) ** 3 - counts).sum())
    spread = math.sqrt(m * n / 12 * ((big + 1) - term / (big * (big - 1)))) if big > 1 else 0.0
    return m, n, spread, cdf
