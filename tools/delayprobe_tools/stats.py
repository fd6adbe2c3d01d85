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
class Ranks:
    """The U test of a set's runs against its baseline's, on the log ratio of
    their figures."""
    p_at: typing.Callable[[float], float]  # the two-sided p at a log ratio
    estimate: float  # the log ratio
    # Log ratios far beyond the data, between which the interval is sought;
    # None where no ratio is defined (a figure of 0 or less).
    span: typing.Optional[typing.Tuple[float, float]]
    name: str = "U"
    usable: bool = True

    @property
    def ratio(self):
        return math.exp(self.estimate) if self.span else None

    def p(self, logr=0.0):
        return self.p_at(logr)

    def interval(self, alpha, factor):
        return interval(self.p_at, self.estimate, self.span, alpha, factor) if self.span \
            else None

    def tost(self, margin):
        """No test of equivalence on runs, which drift together."""
        return None


@dataclasses.dataclass
class T:
    """A t test of a log ratio from its estimate, standard error and degrees
    of freedom. se 0 means no spread at all: no p then means anything."""
    name: str  # "Welch t" or "moderated t"
    estimate: float
    se: float
    df: float
    sizes: typing.Tuple[int, int]  # sessions of the baseline and of the set

    @property
    def usable(self):
        return self.se > 0

    @property
    def ratio(self):
        return math.exp(self.estimate)

    def p(self, logr=0.0):
        return min(1.0, 2 * float(special.stdtr(self.df, -abs(self.estimate - logr) / self.se)))

    def above(self, logr):
        """p against the log ratio being logr or less."""
        return float(special.stdtr(self.df, (logr - self.estimate) / self.se))

    def below(self, logr):
        """p against the log ratio being logr or more."""
        return float(special.stdtr(self.df, (self.estimate - logr) / self.se))

    def interval(self, alpha, factor):
        """The ratios that the test does not reject at alpha / factor: they
        exclude 1 exactly when p times factor is below alpha."""
        half = -float(special.stdtrit(self.df, alpha / factor / 2)) * self.se
        return math.exp(self.estimate - half), math.exp(self.estimate + half)

    def tost(self, margin):
        """The p of two one-sided tests that the ratio lies within 1 +- margin
        (a share): below alpha exactly when the 1 - 2 alpha interval does."""
        if margin <= 0:
            return 1.0
        return max(self.above(math.log(1 - margin)), self.below(math.log(1 + margin)))


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


def log_interval(xs, alpha):
    """The interval of the median of positive xs from Student's t on their
    logarithms, as the verdicts take them (the median of a symmetric
    distribution of logarithms is its mean), or None below 2 of them."""
    if len(xs) < 2 or min(xs) <= 0:
        return None
    logs = np.log(xs)
    half = float(special.stdtrit(len(xs) - 1, 1 - alpha / 2)) * logs.std(ddof=1) \
        / math.sqrt(len(xs))
    return math.exp(logs.mean() - half), math.exp(logs.mean() + half)


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
    """The U test, given u, 2U at a log ratio: the p at each log ratio and
    the Hodges-Lehmann estimate, the median of the ratios of each
    observation to each of the baseline's."""
    mn = null[0] * null[1]
    estimate = (bisect(lambda r: u(r) >= mn, span[0], span[1]) +
                bisect(lambda r: u(r) <= mn, span[1], span[0])) / 2 if span else 0.0
    return Ranks(lambda logr: pvalue(u(logr), *null), estimate, span)


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


def welch(x, y):
    """Welch's t test of the log ratio mean(y) - mean(x), two or more a side:
    each side keeps its own variance, as machines and counts differ."""
    m, n = len(x), len(y)
    a, b = x.var(ddof=1) / m, y.var(ddof=1) / n
    df = (a + b) ** 2 / (a * a / (m - 1) + b * b / (n - 1)) if a + b > 0 else math.nan
    return T("Welch t", float(y.mean() - x.mean()), math.sqrt(a + b), float(df), (m, n))


def trigamma_inverse(x):
    """y with trigamma(y) = x, by Newton's method on 1/trigamma, which is
    nearly linear, from y = 0.5 + 1/x (Smyth 2004)."""
    if x > 1e7:
        return 1 / math.sqrt(x)
    if x < 1e-6:
        return 1 / x
    y = 0.5 + 1 / x
    for _ in range(50):
        tri = float(special.polygamma(1, y))
        step = tri * (1 - tri / x) / float(special.polygamma(2, y))
        y += step
        if -step / y < 1e-8:
            break
    return y


def fit_prior(s2, d):
    """d0 and s0^2 of the scaled inverse chi-square prior that the sample
    variances s2 of d degrees of freedom are drawn from, by the moments of
    their logarithms (Smyth 2004). d0 is infinite when the variances vary
    no more than sampling alone explains."""
    positive = s2[s2 > 0]
    # A variance of 0 has no logarithm: as limma does, keep it a little
    # above 0, relative to the others.
    s2 = np.maximum(s2, 1e-5 * float(np.median(positive))) if len(positive) else s2
    e = np.log(s2) - special.digamma(d / 2) + np.log(d / 2)
    excess = float(e.var(ddof=1) - special.polygamma(1, d / 2).mean())
    if not excess > 0:
        return math.inf, math.exp(float(e.mean()))
    d0 = 2 * trigamma_inverse(excess)
    return d0, math.exp(float(e.mean()) + float(special.digamma(d0 / 2)) - math.log(d0 / 2))


def outlying(s2, d):
    """Which variances are implausibly large under the prior fitted to the
    others: s^2 / s0^2 follows F(d, d0) there. Left in, a noisy machine
    would widen the prior and be drawn toward the quiet ones, and look
    different when it is only noisy. The level 0.05 is shared among the
    sets, so that a fleet of equal spreads rarely loses any's moderation."""
    k = len(s2)
    out = np.zeros(k, dtype=bool)
    for i in range(k if k >= 3 else 0):
        rest = np.arange(k) != i
        d0, s02 = fit_prior(s2[rest], d[rest])
        x = s2[i] / s02
        p = special.chdtrc(d[i], d[i] * x) if math.isinf(d0) else special.fdtrc(d[i], d0, x)
        out[i] = p < 0.05 / k
    return out


@functools.lru_cache(maxsize=None)
def median_factor(n):
    """n times the variance of the median of n standard normal draws: 1 for
    n <= 2, rising to pi/2; from the density of the order statistics on a
    grid, as pi/2 overstates it by up to 17% for a handful of machines."""
    if n <= 2:
        return 1.0
    if n > 200:
        return math.pi / 2
    x = np.linspace(-1, 1, 801) * min(7.0, 14 / math.sqrt(n))
    h = x[1] - x[0]
    logcdf, logsf = special.log_ndtr(x), special.log_ndtr(-x)
    logpdf = -x * x / 2 - 0.5 * math.log(2 * math.pi)
    r = n // 2
    if n % 2:
        logc = special.gammaln(n + 1) - 2 * special.gammaln(r + 1)
        dens = np.exp(logc + r * (logcdf + logsf) + logpdf)
        return n * float(np.sum(x * x * dens) * h)
    # The mean of the middle two, X(r) < X(r+1), whose joint density is cut
    # by the diagonal: half weight there, as the trapezoidal rule gives.
    logc = special.gammaln(n + 1) - 2 * special.gammaln(r)
    dens = np.exp(logc + ((r - 1) * logcdf + logpdf)[:, None] + ((r - 1) * logsf + logpdf))
    dens *= np.triu(np.ones_like(dens), 1) + np.eye(len(x)) / 2
    mid = (x[:, None] + x) / 2
    return n * float(np.sum(mid * mid * dens) * h * h)


def moderated(logs):
    """A t test of each set of log session medians against the median of the
    other sets' means, for a fleet of three or more sets, two or more of
    them of two or more sessions. Each set keeps its own variance, drawn
    toward the fleet's by an empirical Bayes prior (Smyth 2004, as limma
    moderates the variances of genes), and the reference's own spread
    counts in its standard error. None when no set's sessions vary."""
    n = np.array([len(x) for x in logs])
    means = np.array([float(x.mean()) for x in logs])
    var = np.array([float(x.var(ddof=1)) if len(x) > 1 else 0.0 for x in logs])
    d = n - 1
    has = d > 0
    if not (var[has] > 0).any():
        return None
    s2, dh = var[has], d[has].astype(float)
    out = outlying(s2, dh)
    keep = ~out if (~out).sum() >= 2 else np.ones(len(s2), dtype=bool)
    d0, s02 = fit_prior(s2[keep], dh[keep])
    total = float(d.sum())
    post = np.full(len(logs), s02)
    if not math.isinf(d0):
        post[has] = (d0 * s02 + dh * s2) / (d0 + dh)
    # A noisy machine keeps its own variance, and only its own degrees of
    # freedom; and, as in limma, no set has more than the whole fleet's.
    alone = np.zeros(len(logs), dtype=bool)
    alone[has] = out
    post[alone] = var[alone]
    own = np.where(alone, d, np.minimum(d + d0, total))
    return against_the_rest(means, post / n, own, d, d0, n)


def against_the_rest(means, tau2, own, d, d0, n):
    """The moderated t test of each set against the median of the other
    sets' means, given the variances of the means tau2."""
    k, total = len(means), float(d.sum())
    # Without set i, the median of the others is the middle of all the
    # means with one copy of set i's taken out.
    order = np.sort(means)
    at = np.searchsorted(order, means)

    def without(j):
        return order[j + (j >= at)]

    reference = (without((k - 2) // 2) + without((k - 1) // 2)) / 2
    inverse = float(np.sum(1 / np.sqrt(tau2))) - 1 / np.sqrt(tau2)
    squares = float(np.sum(tau2)) - tau2
    # The variance of the reference, the median of k - 1 normal means: from
    # three on, that of the harmonic mean of their standard errors, so that
    # one noisy machine does not swamp it.
    b = squares / (k - 1) ** 2 if k <= 3 else \
        median_factor(k - 1) / (k - 1) * ((k - 1) / inverse) ** 2
    ref_df = np.minimum(total - d + d0, total)
    # Satterthwaite takes the two variances as independent; drawn from one
    # prior they are not, so the total is capped as limma caps each.
    df = np.minimum(total, (tau2 + b) ** 2 / (tau2 ** 2 / own + b ** 2 / ref_df))
    return [T("moderated t", float(means[i] - reference[i]), math.sqrt(tau2[i] + b[i]),
              float(df[i]), (int(n.sum() - n[i]), int(n[i]))) for i in range(k)]
