"""The tests behind delayprobe-compare's verdicts, on the log scale of the
figures: trimmed t tests of session medians (Yuen's of two sets, the
one-sample test of paired sessions, the moderated test of a pool), the
Mann-Whitney U test of runs with its exact null distribution, Holm's
correction, the intervals that invert them, the distribution-free interval
of a median, a test of a common spread, and a test of whether a pool falls
into two groups."""

import dataclasses
import functools
import math
import typing

import numpy as np
from scipy import special

# The share of sessions cut from each end of a set before its level is
# taken: one disturbed session in five or more then moves it little.
TRIM = 0.2


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
    name: str  # "Yuen t", "paired t" or "moderated t"
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
    # Two order statistics, without sorting a fleet's million runs.
    xs = np.partition(xs, (lo - 1, n - lo))
    return float(xs[lo - 1]), float(xs[n - lo])


def trimmed(x, trim=TRIM):
    """The trimmed mean of x, g values cut from each end where g is trim
    times the count rounded down (none below 5 at 20%); the winsorized sum
    of squares over h - 1, the scale its standard error takes; and h, the
    count kept (Yuen 1974, as scipy.stats.ttest_ind takes trim)."""
    x = np.sort(np.asarray(x, dtype=float))
    n = len(x)
    g = int(n * trim)
    h = n - 2 * g
    w = np.clip(x, x[g], x[n - g - 1])
    s2 = float(((w - w.mean()) ** 2).sum() / (h - 1)) if h > 1 else 0.0
    return float(x[g:n - g].mean()), s2, h


def trimmed_t(d, trim=TRIM, name="paired t"):
    """The one-sample trimmed t test of d, such as the log ratios of paired
    sessions: Tukey and McLaughlin's, the winsorized variance with h - 1
    degrees of freedom; with trim 0, Student's."""
    mean, s2, h = trimmed(d, trim)
    return T(name, mean, math.sqrt(s2 / h), float(h - 1), (len(d), len(d)))


def yuen(x, y, trim=TRIM):
    """Yuen's test of the trimmed mean of y less that of x, two or more a
    side: Welch's t on trimmed means with winsorized variances, so that a
    disturbed session barely moves it and each side keeps its own
    variance, as machines and counts differ; with trim 0, Welch's."""
    (mx, sx, hx), (my, sy, hy) = trimmed(x, trim), trimmed(y, trim)
    a, b = sx / hx, sy / hy
    df = (a + b) ** 2 / (a * a / (hx - 1) + b * b / (hy - 1)) if a + b > 0 else math.nan
    return T("Yuen t" if trim else "Welch t", my - mx, math.sqrt(a + b), float(df),
             (len(x), len(y)))


def centre(xs, alpha, trim=TRIM):
    """The level of positive xs: exp of the trimmed mean of their logarithms,
    and the interval of the one-sample trimmed t test, which always holds
    it; no interval below 2 of them or without spread."""
    logs = np.log(np.asarray(xs, dtype=float))
    t = trimmed_t(logs, trim)
    if len(xs) < 2 or not t.usable:
        return math.exp(t.estimate), None
    return t.ratio, t.interval(alpha, 1)


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


@dataclasses.dataclass
class Pool:
    """What the tests of a pool take from each set: its level, the trimmed
    mean of its log session medians, and that level's variance with its
    degrees of freedom, drawn toward the pool's or its own."""
    levels: np.ndarray
    tau2: np.ndarray
    own: np.ndarray  # the degrees of freedom of tau2
    d: np.ndarray  # those of the set's own variance, n - 1
    d0: float  # the prior's; 0 where the variances are not drawn toward it
    n: np.ndarray  # sessions
    spread_p: float  # the test of one common spread; nan where untested
    alone: np.ndarray  # the sets that keep their own variance

    @property
    def name(self):
        return "moderated t" if self.d0 else "trimmed t"


def pool(logs):
    """The Pool of sets of log session medians, three or more sets, two or
    more of them of two or more sessions. Each set's level is the trimmed
    mean of its logs. Its variance is drawn toward the pool's by an
    empirical Bayes prior (Smyth 2004, as limma moderates the variances of
    genes), up but never down, and only where the sets share one spread: a
    set far noisier than the others keeps its own variance, and where
    Bartlett's test rejects one spread among the rest, every set does.
    None when no set's sessions vary.

    The prior takes sample variances, whose law it knows: a winsorized
    variance varies more than its h - 1 degrees of freedom say (on 5
    sessions, as if it had 1.8), and fitted to those the prior shrinks
    the variances of equal machines by a fifth. The variance of a trimmed
    mean is then the sample variance times trim_factor."""
    levels = np.array([trimmed(x)[0] for x in logs])
    n = np.array([len(x) for x in logs])
    s2 = np.array([float(x.var(ddof=1)) if len(x) > 1 else 0.0 for x in logs])
    d = n - 1
    has = d > 0
    if not (s2[has] > 0).any():
        return None
    sv, dh = s2[has], d[has].astype(float)
    out = outlying(sv, dh)
    keep = ~out if (~out).sum() >= 2 else np.ones(len(sv), dtype=bool)
    p = common_spread(sv[keep], dh[keep])
    d0, s02 = fit_prior(sv[keep], dh[keep])
    total = float(d.sum())
    post = np.full(len(logs), s02)
    same = not p < SPREAD
    if same and not math.isinf(d0):
        post[has] = (d0 * s02 + dh * sv) / (d0 + dh)
    # Up, never down: a noisier machine that the tests above miss would be
    # drawn toward the quiet ones and called different (5 of 20 machines at
    # 3 times the spread: any called so in 10% of trials, not 5%).
    post[has] = np.maximum(post[has], sv)
    alone = np.zeros(len(logs), dtype=bool)
    alone[has] = out if same else True
    d0 = d0 if same else 0.0
    # A noisy machine keeps its own variance, and only its own degrees of
    # freedom; and, as in limma, no set has more than the whole fleet's.
    # One of no spread at all is kept a little above 0, as in fit_prior.
    post[alone] = np.maximum(s2[alone], 1e-5 * s02)
    own = np.where(alone, d, np.minimum(d + d0, total))
    return Pool(levels, post * [trim_factor(k) for k in n] / n, own, d, d0, n, p, alone)


@functools.lru_cache(maxsize=None)
def trim_factor(n, trim=TRIM):
    """n times the variance of the trimmed mean of n standard normal draws:
    1 where nothing is trimmed; from a seeded simulation up to 30, beyond
    from the winsorized variance of the normal over (1 - 2 trim)^2, which
    the trimmed mean's variance nears as n grows."""
    g = int(n * trim)
    if g == 0:
        return 1.0
    if n > 30:
        z = float(special.ndtri(1 - trim))
        inner = 1 - 2 * trim - 2 * z * math.exp(-z * z / 2) / math.sqrt(2 * math.pi)
        return (inner + 2 * trim * z * z) / (1 - 2 * trim) ** 2
    x = np.sort(np.random.default_rng(n).standard_normal((50000, n)), axis=1)
    return n * float(x[:, g:n - g].mean(axis=1).var())


# The level below which the sets' spreads are taken to differ: a test that
# rejects one spread among equal machines costs the moderation's power.
SPREAD = 0.01


def common_spread(s2, d):
    """The p of Bartlett's test that sample variances s2, of d degrees of
    freedom, share one variance: the likelihood ratio, most powerful on
    normal sessions. A disturbed session makes it reject, and the sets then
    keep their own variances: less power, never more false alarms. nan
    below 2 variances."""
    if len(s2) < 2:
        return math.nan
    if not (s2 > 0).all():
        return 0.0 if (s2 > 0).any() else 1.0
    total = float(d.sum())
    pooled = float((d * s2).sum()) / total
    m = total * math.log(pooled) - float((d * np.log(s2)).sum())
    c = 1 + (float((1 / d).sum()) - 1 / total) / (3 * (len(s2) - 1))
    return float(special.chdtrc(len(s2) - 1, m / c))


def against(p, members):
    """The t test of each of members, the indices of sets of the Pool p,
    against the median of the other members' levels."""
    members = np.asarray(members)
    tests = against_the_rest(p.levels[members], p.tau2[members], p.own[members],
                             p.d[members], p.d0, p.n[members], p.alone[members])
    for t in tests:
        t.name = p.name
    return tests


def against_the_rest(means, tau2, own, d, d0, n, alone=None):
    """The moderated t test of each set against the median of the other
    sets' means, given the variances of the means tau2. A set alone, of
    its own variance, takes the fewer of its and the reference's degrees
    of freedom (Hsu's rule), not Satterthwaite's: a variance of a handful
    of sessions that comes out small would make both its standard error
    and Satterthwaite's degrees of freedom too small and too many."""
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
    ref_df = np.maximum(1.0, np.minimum(total - d + d0, total))
    # Satterthwaite takes the two variances as independent; drawn from one
    # prior they are not, so the total is capped as limma caps each.
    df = np.minimum(max(total, 1.0),
                    (tau2 + b) ** 2 / (tau2 ** 2 / np.maximum(own, 1e-9) + b ** 2 / ref_df))
    if alone is not None:
        df = np.where(alone, np.minimum(own, ref_df), df)
    return [T("moderated t", float(means[i] - reference[i]), math.sqrt(tau2[i] + b[i]),
              float(df[i]), (int(n.sum() - n[i]), int(n[i]))) for i in range(k)]


def two_groups(levels, se, smallest, draws=999, seed=25):
    """Whether levels, of standard errors se, fall into two groups: the split
    of the sorted levels, smallest or more on each side, whose gap is
    largest against the spread within its groups (Ashman's D, each level's
    own variance counted in its group's spread), and the p of that gap
    against one population of the same standard errors and the spread
    between the levels that they leave, from draws seeded samples of it.
    The lower group's indices, the upper's, D and p."""
    order = np.argsort(levels, kind="stable")
    x = levels[order] - levels.mean()
    v = se[order] ** 2
    found, at = best_gap(x[None], v[None], smallest)
    between = max(0.0, float(levels.var(ddof=1)) - float(v.mean()))
    rng = np.random.default_rng(seed)
    sim = rng.standard_normal((draws, len(x))) * np.sqrt(between + se ** 2)
    rank = np.argsort(sim, axis=1)
    null, _ = best_gap(np.take_along_axis(sim, rank, 1), (se ** 2)[rank], smallest)
    p = (1 + int((null >= found[0]).sum())) / (draws + 1)
    k = int(at[0])
    return order[:k], order[k:], float(found[0]), p


def best_gap(x, v, smallest):
    """For each row of sorted levels x and their variances v, the largest
    standardized gap between the first k and the rest, and that k."""
    n = x.shape[1]
    k = np.arange(smallest, n - smallest + 1)
    sums = [np.cumsum(a, axis=1) for a in (x, x * x, v)]
    lower = [s[:, k - 1] / k for s in sums]
    upper = [(s[:, -1:] - s[:, k - 1]) / (n - k) for s in sums]
    spread = [m2 - m * m + w for m, m2, w in (lower, upper)]
    with np.errstate(divide="ignore", invalid="ignore"):
        gap = (upper[0] - lower[0]) / np.sqrt((spread[0] + spread[1]) / 2)
    gap = np.nan_to_num(gap, nan=0.0, posinf=np.inf)
    best = np.argmax(gap, axis=1)
    return gap[np.arange(len(x)), best], k[best]
