#!/usr/bin/env python3
"""Tests of delayprobe-compare: its statistics against published tables and
computations from scratch, its verdicts on seeded simulations, and its
handling of bad input."""

import importlib.util
import itertools
import json
import math
import os
import pathlib
import random
import subprocess
import sys
import tempfile
import unittest
import uuid

TOOLS = pathlib.Path(__file__).resolve().parent.parent / "tools"
COMPARE = TOOLS / "delayprobe-compare"
sys.path.insert(0, str(TOOLS))
from delayprobe_tools import runfile  # noqa: E402
try:
    import numpy
    from delayprobe_tools import stats, verdicts
except ImportError:
    # Reading and checking input need neither; those tests still run.
    numpy = None

statistics = unittest.skipUnless(numpy, "needs numpy and scipy")
# A run file as delayprobe-bench writes it, literally: its header and a row
# with every column.
LITERAL = ("run,binary,figure_us,wall_us,sha256,cpu,host,session,order,start_us,cpu_us,nivcsw,"
           "steal_us,mhz,kernel,os,python,virtualization,cpus,governor,driver,boost,"
           "scaling_min_mhz,scaling_max_mhz,isolated,nohz_full,smt,cgroup,cpu_max,nr_throttled,"
           "throttled_us,load_start,load_end,microcode,mitigations,arch,known_ratio\n")
LITERAL_ROW = ("{run},./probe,{figure},2400.5,2b" + "0" * 62 + ",Made-up CPU,web01,{session},1,"
               "1796794949000000,2100,3,10000,2800,6.1.0-18-amd64,Debian GNU/Linux 12 (bookworm),"
               "3.11.2,kvm,2,performance,acpi-cpufreq,off,800,3500,1,1,off,/,max 100000,0,0,"
               "0.25,,0x1,2 mitigated,x86_64,\n")
HEADER = runfile.header().decode()
# The header of the first version, which files written then still have.
OLD = ",".join(runfile.COLUMNS[:runfile.FIRST]) + "\n"


def p_of(x, y):
    u2 = stats.twice_u(stats.tally(x), stats.tally(y), 1.0)
    counts = numpy.unique(numpy.concatenate((x, y)), return_counts=True)[1]
    return stats.pvalue(u2, *stats.null(counts, len(x), len(y)))


def normal_tail(m, n):
    """Two-sided p of fully separated samples without ties, from scratch."""
    z = (m * n / 2 - 0.5) / math.sqrt(m * n * (m + n + 1) / 12)
    return math.erfc(z / math.sqrt(2))


def sets(*groups):
    """Sets of sessions, each session a list of figures."""
    return [verdicts.Sample(g) for g in groups]


def run_compare(sets_, baseline="first", alpha=0.05, margin=0.0):
    return verdicts.compare(sets_, baseline, alpha, margin)[0]


@statistics
class Statistics(unittest.TestCase):
    def test_median_interval_has_the_published_ranks(self):
        # Ranks of the 95% interval from the binomial tables.
        for n, ranks in [(5, None), (6, (1, 6)), (10, (2, 9)), (20, (6, 15)), (50, (18, 33)),
                         (100, (40, 61))]:
            with self.subTest(n=n):
                self.assertEqual(stats.median_ci(numpy.arange(1, n + 1), 0.05), ranks)

    def test_u_test_p_values(self):
        # Two-sided p-values of scipy.stats.mannwhitneyu 1.10.1: exact for
        # 8 or fewer a side without ties, else normal with ties corrected.
        for x, y, p in [
            ([1, 2, 3], [4, 5, 6], 0.1),
            ([1, 2, 3, 4, 5], [6, 7, 8, 9, 10, 11], 0.004329004329004329),
            ([19, 22, 16, 29, 24], [20, 11, 17, 12], 0.1111111111111111),
            ([3, 1, 4, 1, 5], [9, 2, 6, 5, 3, 5], 0.13862587987892763),
            ([1, 1, 2, 2, 3, 3, 4], [2, 3, 3, 4, 4, 5, 5, 6], 0.029239238256098945),
            (list(range(10, 30)), list(range(20, 40)), 5.2125496206037515e-05),
            (list(range(8)), list(range(4, 34)), 6.518357849032852e-05),
        ]:
            with self.subTest(x=x, y=y):
                self.assertAlmostEqual(p_of(numpy.array(x), numpy.array(y)) / p, 1, places=10)

    def test_exact_test_meets_the_published_critical_values(self):
        # Two-sided 5% critical values of U: 2 for 5 against 5, 13 for 8
        # against 8, where the normal approximation gives 0.052 at U = 13.
        for m, critical in [(5, 2), (8, 13)]:
            for y in itertools.combinations(range(2 * m), m):
                x = sorted(set(range(2 * m)) - set(y))
                u = sum(a > b for a in x for b in y)
                if u in (critical, critical + 1):
                    p = p_of(numpy.array(x), numpy.array(y))
                    with self.subTest(m=m, u=u, p=p):
                        self.assertEqual(p <= 0.05, u == critical)

    def test_tiny_p_values_do_not_underflow(self):
        for m in (46, 400, 900):
            with self.subTest(m=m):
                p = p_of(numpy.arange(m), numpy.arange(m) + m)
                self.assertGreater(p, 0)
                self.assertAlmostEqual(p / normal_tail(m, m), 1, delta=1e-6)

    def test_holm_matches_the_textbook(self):
        ps = numpy.array([0.01, 0.04, 0.03, 0.005])
        numpy.testing.assert_allclose(ps * stats.holm(ps), [0.03, 0.06, 0.06, 0.02])

    def test_ratio_interval_is_the_published_rank_of_the_pairwise_ratios(self):
        rng = random.Random(4)
        x = rng.sample(range(900, 1100), 5)
        y = rng.sample(range(950, 1150), 5)
        (c,) = run_compare(sets([x], [y]))
        ratios = sorted(b / a for a in x for b in y)
        # 5 against 5: the interval runs from the 3rd to the 23rd of the 25
        # ratios, as the critical value 2 leaves two outside at each end.
        self.assertEqual((c.test, c.verdict), ("U", "inconclusive"))
        self.assertAlmostEqual(c.ci[0], ratios[2], places=9)
        self.assertAlmostEqual(c.ci[1], ratios[22], places=9)
        self.assertAlmostEqual(c.ratio, ratios[12], places=9)

    def test_welch_matches_the_textbook(self):
        # R's t.test(extra ~ group, data = sleep): t = -1.8608, df = 17.776,
        # p = 0.07939, 95% interval of group 1 less group 2 -3.3654832 to
        # 0.2054832.
        g1 = numpy.array([0.7, -1.6, -0.2, -1.2, -0.1, 3.4, 3.7, 0.8, 0.0, 2.0])
        g2 = numpy.array([1.9, 0.8, 1.1, 0.1, -0.1, 4.4, 5.5, 1.6, 4.6, 3.4])
        t = stats.yuen(g2, g1, trim=0)
        self.assertAlmostEqual(t.estimate / t.se, -1.8608, places=4)
        self.assertAlmostEqual(t.df, 17.776, places=3)
        self.assertAlmostEqual(t.p(), 0.07939, places=5)
        lo, hi = t.interval(0.05, 1)
        self.assertAlmostEqual(math.log(lo), -3.3654832, places=6)
        self.assertAlmostEqual(math.log(hi), 0.2054832, places=6)

    def test_paired_t_matches_the_textbook(self):
        # R's t.test(extra ~ group, data = sleep, paired = TRUE): t = -4.0621,
        # df = 9, p = 0.002833, 95% interval -2.4598858 to -0.7001142; the
        # trimmed test with nothing trimmed is Student's.
        d = numpy.array([0.7, -1.6, -0.2, -1.2, -0.1, 3.4, 3.7, 0.8, 0.0, 2.0]) - \
            numpy.array([1.9, 0.8, 1.1, 0.1, -0.1, 4.4, 5.5, 1.6, 4.6, 3.4])
        t = stats.trimmed_t(d, trim=0)
        self.assertAlmostEqual(t.estimate / t.se, -4.0621, places=4)
        self.assertEqual(t.df, 9)
        self.assertAlmostEqual(t.p(), 0.002833, places=6)
        lo, hi = t.interval(0.05, 1)
        self.assertAlmostEqual(math.log(lo), -2.4598858, places=6)
        self.assertAlmostEqual(math.log(hi), -0.7001142, places=6)

    def test_yuen_matches_scipy(self):
        # scipy.stats's documented samples, one with an extreme tail. 20% of
        # 7 trims one from each end: (56 + 64.34 + 78 + 123.8 + 128.6) / 5;
        # of 3, none. scipy.stats.ttest_ind(a, b, equal_var=False, trim=0.2)
        # 1.10.1: statistic 4.591598691181999, p 0.00998909252078421.
        a = numpy.array([56, 128.6, 12, 123.8, 64.34, 78, 763.3])
        b = numpy.array([1.1, 2.9, 4.2])
        self.assertAlmostEqual(stats.trimmed(a)[0], 90.148, places=10)
        t = stats.yuen(b, a)
        self.assertAlmostEqual(t.estimate / t.se, 4.591598691181999, places=10)
        self.assertAlmostEqual(t.p(), 0.00998909252078421, places=12)

    def test_equivalence_matches_a_published_example(self):
        # NCSS's two-sample equivalence example, which the TOSTER R package
        # checks: yields of two processes, bounds +-110, unequal variances:
        # difference -8.1153846, SE 53.618547, df 19.169, p of the lower test
        # 0.03628, of the upper 0.02002.
        a = numpy.array([452, 874, 554, 447, 356, 754, 558, 574, 664, 682, 547, 435, 245])
        b = numpy.array([546, 547, 774, 465, 459, 665, 467, 365, 589, 534, 456, 651, 654,
                         665, 546, 537])
        t = stats.yuen(b, a, trim=0)
        self.assertAlmostEqual(t.se, 53.618547, places=5)
        self.assertAlmostEqual(t.df, 19.169, places=3)
        # The same test on a scale where the bounds are those of a 2% margin
        # on the log ratio: the TOST p is the larger of the two.
        low, high = math.log(0.98), math.log(1.02)
        k = (high - low) / 220
        moved = stats.T("t", low + (t.estimate + 110) * k, t.se * k, t.df, (13, 16))
        self.assertAlmostEqual(moved.tost(0.02), 0.03628, places=5)
        self.assertAlmostEqual(moved.below(high), 0.02002, places=5)

    def test_moderated_variances_by_hand(self):
        # trigamma(1) = pi^2/6 and trigamma(1/2) = pi^2/2; the median of
        # three standard normals has variance 1 - sqrt(3)/pi.
        self.assertAlmostEqual(stats.trigamma_inverse(math.pi ** 2 / 6), 1.0, places=7)
        self.assertAlmostEqual(stats.trigamma_inverse(math.pi ** 2 / 2), 0.5, places=7)
        self.assertAlmostEqual(stats.median_factor(3), 3 * (1 - math.sqrt(3) / math.pi),
                               places=6)
        # Sessions m - h, m + h have variance 2h^2. With 2h^2 = 1, e, e^2 the
        # log variances are 0, 1, 2; with 1 df each, digamma(1/2) = -gamma -
        # 2 ln 2, so the corrected logs are z + gamma + ln 2, of variance 1,
        # below trigamma(1/2) = pi^2/2: no more spread than sampling gives, so
        # every set takes s0^2 = 2 exp(1 + gamma), with the fleet's 3 df. Set
        # 1 against the median of the other two, their mean: the variance of
        # its mean s0^2/2, plus (s0^2/2 + s0^2/2)/4.
        logs = [numpy.array([-1, 1]) * math.sqrt(v / 2) + m
                for v, m in ((1, 0.0), (math.e, 1.0), (math.e ** 2, 3.0))]
        t = stats.against(stats.pool(logs), [0, 1, 2])[0]
        self.assertAlmostEqual(t.estimate, -2.0)
        self.assertAlmostEqual(t.se, math.sqrt(1.5 * math.exp(1.5772156649015329)), places=10)
        self.assertEqual((t.df, t.name), (3, "moderated t"))

    def test_odd_values_get_a_warning_and_no_verdict(self):
        told = []
        clock = sets([[1000, 1010, 990]] * 3, [[1000, -5, 1020]] * 3)
        flat = sets([[1000] * 3] * 3, [[1001] * 3] * 3)
        for groups, baseline, warning in [(clock, "first", "clock went back"),
                                          (flat, "first", "no spread"),
                                          (flat[:1], "pooled", "three or more sets")]:
            with self.subTest(warning):
                (c,), _ = verdicts.compare(groups, baseline, 0.05, 2.0, told.append)
                self.assertEqual((c.verdict, c.p), ("inconclusive", None))
                self.assertIn(warning, told.pop())


def simulate(rng, ratio, sessions, session_sd, runs=100, run_sd=0.03):
    return [list(numpy.round(3500 * ratio * numpy.exp(rng.normal(0, session_sd) +
                                                      rng.normal(0, run_sd, runs))))
            for _ in range(sessions)]


def shares(cpu=0.95, steal=0.0, mhz=""):
    """A run's CPU time and steal as these shares of its wall time."""
    return lambda f: {"cpu_us": round((f + 900) * cpu), "steal_us": round((f + 900) * steal),
                      "mhz": mhz}


def csv_text(groups, binary="probe", host="h", evidence=None, state=None, cpu="cpu",
             sha256="ab" * 32):
    """evidence(figure) gives a run's other columns, and state those of
    each session's first row."""
    rows = [runfile.header()]
    for session in groups:
        same = {"cpu": cpu, "host": host, "session": uuid.uuid4().hex}
        rows += [runfile.encode(runfile.row_values(**{
            "run": i, "binary": binary, "figure_us": int(f), "wall_us": f + 900,
            "sha256": sha256, **same, **(evidence(f) if evidence else {}),
            **(state if state and not i else {})}))
                 for i, f in enumerate(session)]
        rows += [runfile.encode(runfile.row_values(run=i, binary=runfile.BASELINE, wall_us=800,
                                                   sha256="00" * 32, **same))
                 for i in range(len(session))]
    return b"".join(rows)


class Run(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = pathlib.Path(self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def run_tool(self, *args, files=(), **kwargs):
        paths = []
        for i, text in enumerate(files):
            paths.append(self.dir / f"{i}.csv")
            data = text if isinstance(text, bytes) else text.encode()
            paths[-1].write_bytes(data)
        kwargs.setdefault("stdout", subprocess.PIPE)
        return subprocess.run([sys.executable, str(COMPARE), *map(str, paths), *args],
                              stderr=subprocess.PIPE, check=False, cwd=self.dir, **kwargs)

    def verdicts(self, *groups, **options):
        out = self.dir / "out.json"
        args = [f"--{k}={v}" for k, v in options.items()]
        done = self.run_tool("--json", str(out), *args,
                             files=[csv_text(g, host=f"h{i}") for i, g in enumerate(groups)])
        self.assertEqual(done.returncode, 0, done.stderr)
        return done, json.loads(out.read_text())

    @statistics
    def test_seeded_verdicts(self):
        rng = numpy.random.default_rng(4)
        groups = [simulate(rng, r, k, 0.003) for r, k in
                  [(1, 8), (1.05, 8), (1, 8), (1.018, 8), (1, 2), (1, 1)]]
        done, result = self.verdicts(*groups, margin=2)
        self.assertEqual([(c["test"], c["verdict"]) for c in result["comparisons"]],
                         [("Yuen t", "slower"), ("Yuen t", "same"),
                          ("Yuen t", "within margin"), ("Yuen t", "~"), ("U", "~")])
        # The JSON names sets as the table does, and says its shape.
        self.assertEqual((result["version"], result["baseline"]), (3, "#1"))
        self.assertEqual([(c["set"], c["baseline"], c["significant"])
                          for c in result["comparisons"][:2]],
                         [("#2", "#1", True), ("#3", "#1", False)])
        same = result["comparisons"][1]
        self.assertLess(same["tost_p_adjusted"], 0.05)
        self.assertIn("| within margin |", done.stdout.decode())
        self.assertIn("#5: no verdict: fewer than 3 sessions on a side", done.stdout.decode())
        self.assertIn("#6: one session on a side", done.stderr.decode())
        # Against the median of the others, the 1.8% between the two alike and
        # the third is shown, but within the margin.
        _, result = self.verdicts(*groups[:4], margin=2, baseline="pooled")
        self.assertEqual([(c["test"], c["verdict"]) for c in result["comparisons"]],
                         [("moderated t", v) for v in
                          ("within margin", "slower", "within margin", "within margin")])

    @statistics
    def test_why_names_the_evidence_that_differs(self):
        rng = numpy.random.default_rng(8)
        fast, slow = (simulate(rng, r, 5, 0.003, runs=20) for r in (1, 1.1))
        quiet = {"evidence": shares(), "state": {"governor": "performance"}}
        stolen = {"evidence": shares(cpu=0.8, steal=0.15)}
        for name, a, b, why in [
            # What steal took is no CPU time either, and is not named twice.
            ("steal", (fast, quiet), (slow, stolen), r"steal 15\.0% against 0\.0%"),
            # A faster set's cause is its baseline's.
            ("against the slower baseline", (slow, stolen), (fast, quiet),
             r"the baseline lost 15\.0% of its time to steal, 0\.0% here"),
            ("preempted", (fast, quiet), (slow, {"evidence": shares(cpu=0.6)}),
             r"CPU share 60\.0% against 95\.0% \(preempted\)"),
            ("clock", (fast, {"evidence": shares(mhz=3000)}),
             (slow, {"evidence": shares(mhz=2000)}), "clock 2000 MHz against 3000 MHz"),
            # 3500 µs prove at least 5000 / 3500 GHz.
            ("the clock proven", (fast, quiet), (slow, {"evidence": shares(mhz=1000)}),
             "clock 1000 MHz against 14[0-9][0-9] MHz at 1 cycle"),
            ("build and state", (fast, quiet),
             (slow, {"sha256": "cd" * 32, "state": {"governor": "powersave"}}),
             "different binary; governor powersave against performance"),
            ("too little steal", (fast, quiet), (slow, {"evidence": shares(steal=0.03)}),
             "nothing recorded explains it"),
            # What no run records is no evidence.
            ("a CPU time below 0", (fast, quiet), (slow, {"evidence": shares(cpu=-0.5)}),
             "nothing recorded explains it"),
            ("a clock of 1e308 MHz", (fast, {"evidence": shares(mhz="1e308")}),
             (slow, {"evidence": shares(mhz="1e308")}), "nothing recorded explains it"),
            # 3 ticks of 10 ms in 100 runs make 6.3% steal, but so few could
            # as well have made half as much: not shown to reach 5%.
            ("steal in a few ticks", (fast, quiet),
             (slow, {"evidence": lambda f: {"steal_us": 10000 if f % 33 == 0 else 0,
                                            "cpu_us": round((f + 900) * 0.95)}}),
             r"nothing shown to explain it; steal [0-9.]+% against 0\.0%: could, but too few "
             "runs to be sure"),
        ]:
            with self.subTest(name):
                done = self.run_tool("--json", "out.json",
                                     files=[csv_text(a[0], **a[1]), csv_text(b[0], **b[1])])
                self.assertEqual(done.returncode, 0, done.stderr)
                (c,) = json.loads((self.dir / "out.json").read_text(),
                                  parse_constant=self.fail)["comparisons"]
                self.assertIn(c["verdict"], ("slower", "faster"))
                self.assertRegex(c["why"], f"^{why}$")
                self.assertRegex(done.stdout.decode(), f"\\| {c['verdict']} \\| {why} \\|")
                if name == "build and state":
                    self.assertIn("governor differs: #1 performance; #2 powersave",
                                  done.stderr.decode())

    @statistics
    def test_files_without_evidence_compare_with_it_empty(self):
        old = [OLD + "".join(f"{i},a,{f + i % 7},{f + 900},x,c,h,s{i // 10}\n"
                             for i in range(30)) for f in (1000, 1250)]
        done = self.run_tool("--json", "out.json", files=old)
        self.assertEqual(done.returncode, 0, done.stderr)
        result = json.loads((self.dir / "out.json").read_text())
        first = result["sets"][0]
        self.assertAlmostEqual(first["evidence"].pop("ghz"), 5000 / 1003)
        self.assertEqual(set(first["evidence"].values()) | set(first["state"].values()), {None})
        self.assertEqual(result["comparisons"][0]["why"], "nothing recorded explains it")
        self.assertIn("\n#1 | 4.99 | – | – | – | –\n", done.stdout.decode())

    @statistics
    def test_groups_are_compared_within_and_a_mixed_pool_is_told(self):
        rng = numpy.random.default_rng(9)
        files = [csv_text(simulate(rng, r, 4, 0.003, runs=10), state={"governor": g}, cpu=cpu)
                 for r, g, cpu in [(1, "performance", "A"), (1.2, "powersave", "A"),
                                   (1, "performance", "B"), (1.2, "powersave", "A")]]
        done = self.run_tool("--group-by", "governor", "--json", "out.json", files=files)
        self.assertEqual(done.returncode, 0, done.stderr)
        result = json.loads((self.dir / "out.json").read_text())
        self.assertEqual([(c["set"], c["baseline"], c["group"]) for c in result["comparisons"]],
                         [("#3", "#1", "performance"), ("#4", "#2", "powersave")])
        self.assertEqual((result["baseline"], result["group_by"]), ("first", "governor"))
        self.assertIn("| #2 | powersave | ", done.stdout.decode())
        self.assertIn("CPU model differs in governor performance: #1 A; #3 B",
                      done.stderr.decode())
        # Across the groups, the comparisons are one family.
        first = min(result["comparisons"], key=lambda c: c["p"])
        self.assertAlmostEqual(first["p_adjusted"], 2 * first["p"])
        done = self.run_tool("--baseline", "pooled", files=files)
        self.assertIn("the pool mixes CPU models: most sets A; #3 B", done.stderr.decode())
        tied = files[:2] + [csv_text(simulate(rng, 1, 4, 0.003, runs=10), cpu="B")] * 2
        done = self.run_tool("--baseline", "pooled", files=tied)
        self.assertIn("the pool mixes CPU models: #1, #2 A; #3, #4 B", done.stderr.decode())
        done = self.run_tool("--group-by", "governor", "--baseline", "2", files=files)
        self.assertEqual(done.returncode, 1)
        self.assertIn("--group-by takes --baseline first or pooled", done.stderr.decode())

    @statistics
    def test_a_fleet_of_two_kinds_is_split_and_judged_within_each(self):
        # 4 hosts at 1000 µs on one kernel, 4 at 1100 on another, each of 5
        # sessions a few µs apart.
        files = [csv_text([[base + (3 * i + 7 * j) % 11 - 5 + k for k in (-1, 0, 1)]
                           for j in range(5)], host=f"h{i}", state={"kernel": kernel})
                 for i, (base, kernel) in enumerate([(1000, "6.1.0-18")] * 4 +
                                                    [(1100, "6.1.0-21")] * 4)]
        done = self.run_tool("--baseline", "pooled", "--json", "out.json", files=files)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertRegex(done.stdout.decode(), r"\nthe pool falls into two groups \(p = 0\.001\): "
                         r"the slower 4 at 1100 µs \(#5, #6, #7, #8\), the faster 4 at 1000\.5 µs "
                         r"\(#1, #2, #3, #4\), ratio 1\.099; kernel: the slower 4 run 6\.1\.0-21, "
                         r"the faster 4 run 6\.1\.0-18; each set judged against the others of "
                         r"its group\n")
        result = json.loads((self.dir / "out.json").read_text())
        self.assertEqual({c["verdict"] for c in result["comparisons"]}, {"~"})
        self.assertEqual([c["pool"] for c in result["comparisons"]],
                         ["faster"] * 4 + ["slower"] * 4)
        split = result["sets"][7]["split"]
        self.assertEqual((split["group"], split["sets"], split["within"], split["separated_by"]),
                         ("slower", 4, True, {"kernel": ["6.1.0-21"]}))

    @statistics
    def test_builds_measured_in_the_same_sessions_are_paired(self):
        # One bench run of two builds in 5 sessions whose load moves both by
        # up to half: b is 5% slower in every one, which the load would hide
        # between unrelated sets.
        rows = [runfile.header()]
        for k, load in enumerate((1.0, 1.5, 0.8, 1.3, 1.1)):
            for binary, ratio in (("a", 1.0), ("b", 1.05)):
                rows += [runfile.encode(runfile.row_values(
                    run=i, binary=binary, session=f"s{k}",
                    figure_us=round(1000 * load * ratio) + i))
                         for i in range(3)]
        done = self.run_tool("--json", "out.json", files=[b"".join(rows)])
        self.assertEqual(done.returncode, 0, done.stderr)
        result = json.loads((self.dir / "out.json").read_text())
        # a's session medians 1001, 1501, 801, 1301, 1101: the centre leaves
        # out the highest and the lowest.
        a = result["sets"][0]
        self.assertEqual(a["median"], 1101)
        self.assertAlmostEqual(a["centre"], (1001 * 1101 * 1301) ** (1 / 3), places=9)
        self.assertLess(a["centre_ci"][0], a["centre"])
        (c,) = result["comparisons"]
        self.assertEqual((c["test"], c["verdict"]), ("paired t", "slower"))
        self.assertAlmostEqual(c["ratio"], 1.05, places=3)
        self.assertIn("| slower | nothing recorded explains it | paired t |", done.stdout.decode())

    @unittest.skipUnless(numpy and importlib.util.find_spec("matplotlib"), "needs matplotlib")
    def test_the_time_plot_leaves_out_sets_without_start_times(self):
        rng = numpy.random.default_rng(3)
        start = itertools.count(1796794949000000, 3000)
        timed = csv_text(simulate(rng, 1, 3, 0.01, runs=10),
                         evidence=lambda f: {"start_us": next(start)})
        done = self.run_tool("--plot-time", "t.png",
                             files=[timed, OLD + "0,a,12,900,x,c,h,s\n"])
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("--plot-time: #2: no start times", done.stderr.decode())
        self.assertEqual((self.dir / "t.png").read_bytes()[:4], b"\x89PNG")

    @statistics
    def test_a_literal_file_reads_by_its_columns(self):
        done = self.run_tool("--json", "out.json", files=[LITERAL + "".join(LITERAL_ROW.format(
            run=i % 4, session=f"s{i // 4}", figure=1500 + i % 5) for i in range(12))])
        self.assertEqual(done.returncode, 0, done.stderr)
        (found,) = json.loads((self.dir / "out.json").read_text())["sets"]
        self.assertEqual((found["binary"], found["host"], found["sessions"], found["runs"]),
                         ("./probe", "web01", 3, 12))
        evidence = found["evidence"]
        self.assertAlmostEqual(evidence["cpu_share"], 2100 / 2400.5)
        self.assertAlmostEqual(evidence["steal_share"], 10000 / 2400.5)
        self.assertEqual((evidence["mhz"], evidence["nivcsw"]), (2800, 3))
        state = found["state"]
        self.assertEqual((state["kernel"], state["cpu_max"], state["arch"], state["load_end"]),
                         ("6.1.0-18-amd64", "max 100000", "x86_64", None))

    @statistics
    def test_the_baseline_named_and_the_verdicts_that_set_the_status(self):
        def rows(binary, order, ratio, sessions):
            return "".join(LITERAL_ROW.format(run=i, session=f"s{k}", figure=round(
                (1000 + 7 * k + i % 3) * ratio)).replace("./probe,", f"{binary},").replace(
                    ",web01,s", f",web01-{binary},s").replace(",1,1796", f",{order},1796")
                for k in range(sessions) for i in range(5))
        # b's rows come first, but the bench was given a first.
        files = [LITERAL + rows("b", 2, 1.2, 3) + rows("a", 1, 1, 3), LITERAL + rows("a", 1, 1, 3),
                 LITERAL + rows("c", 1, 1, 1)]
        for args, status, shown in [
            ((), 0, "ratio to #1"), (("--baseline", "2"), 0, "ratio to #2"),
            (("--baseline", "#3"), 0, "ratio to #3"), (("--baseline", "0.csv:b"), 0, "ratio to #2"),
            (("--baseline", "1.csv"), 0, "ratio to #3"), (("--baseline", "pooled"), 0, "to pool"),
            (("--fail-on", "slower"), 3, "| slower |"), (("--fail-on", "~"), 3, "| ~ |"),
            (("--fail-on", "inconclusive"), 3, "| ~ |"), (("--fail-on", "faster,same"), 0, ""),
            (("--fail-on", "within margin"), 0, ""),
        ]:
            with self.subTest(args=args):
                done = self.run_tool(*args, files=files)
                self.assertEqual(done.returncode, status, done.stderr)
                lines = done.stdout.decode().splitlines()
                self.assertEqual([line.split(" | ")[2] for line in lines[2:6]],
                                 ["`a`", "`b`", "`a`", "`c`"])
                self.assertIn(shown, lines[0] if "ratio" in shown else done.stdout.decode())
                self.assertEqual(done.stderr.decode().count("--fail-on"), status == 3)

    @statistics
    def test_architectures_are_never_compared_with_each_other(self):
        def run_file(arch, level, k):
            return LITERAL + "".join(LITERAL_ROW.format(
                run=i, session=f"s{j}", figure=level + (7 * j + 3 * i + k * j) % 13).replace(
                    ",x86_64,", f",{arch},") for j in range(3) for i in range(4))
        files = [run_file(arch, level, k) for k in range(3)
                 for arch, level in (("x86_64", 1000), ("aarch64", 2000))]
        for args, pairs in [((), [("#3", "#1"), ("#5", "#1"), ("#4", "#2"), ("#6", "#2")]),
                            (("--baseline", "pooled"), [(f"#{i}", "pooled") for i in
                                                        (1, 3, 5, 2, 4, 6)])]:
            with self.subTest(args=args):
                done = self.run_tool("--json", "out.json", *args, files=files)
                result = json.loads((self.dir / "out.json").read_text())
                self.assertEqual([(c["set"], c["baseline"]) for c in result["comparisons"]],
                                 pairs)
                self.assertEqual(result["group_by"], "arch")
                self.assertNotIn("slower", [c["verdict"] for c in result["comparisons"]])
                self.assertIn("\narchitectures differ: each set is compared only with sets "
                              "of its own", done.stdout.decode())

    @statistics
    def test_a_calibration_says_what_this_machine_resolves(self):
        def rows(binary, known, noise):
            # Sessions of 1000 to 1185 µs, the twin's off by up to noise %.
            return "".join(LITERAL_ROW.format(run=i, session=f"s{j}", figure=round(
                (1000 + 37 * j + i) * known * (1 + noise * ((7 * j) % 5 - 2) / 200)))
                .replace("./probe,", f"{binary},").replace(",x86_64,\n", f",x86_64,{known}\n")
                for j in range(6) for i in range(5))
        for noise, line in [
            (0, "calibration: the twin 1.0% longer (#2) was found at 1.010 [1.0"),
            (3, "calibration: the twin 1.0% longer (#2) was not found (1.0"),
        ]:
            with self.subTest(noise=noise):
                done = self.run_tool("--json", "out.json", files=[
                    LITERAL + rows("p", 1, 0) + rows("t", 1.01, noise)])
                self.assertIn(line, done.stdout.decode())
                (found,) = json.loads((self.dir / "out.json").read_text())["calibration"]
                self.assertEqual((found["twin"], found["known_ratio"], found["found"]),
                                 ("#2", 1.01, not noise))

    @statistics
    def test_the_table_gives_the_adjusted_p(self):
        rng = numpy.random.default_rng(12)
        done = self.run_tool("--json", "out.json", files=[
            csv_text(simulate(rng, r, 4, 0.01, runs=10)) for r in (1, 1.02, 1.03, 1)])
        found = json.loads((self.dir / "out.json").read_text())["comparisons"]
        table = [line.split(" | ")[-1].rstrip(" |") for line in
                 done.stdout.decode().splitlines()[3:6]]
        self.assertEqual(table, [f"{c['p_adjusted']:.3g}" for c in found])
        self.assertTrue(any(c["p_adjusted"] > c["p"] for c in found))

    @statistics
    def test_figures_p_values_and_names_print_in_full(self):
        big = [[1000000 + i for i in range(1000)]]
        done = self.run_tool(files=[csv_text(big, binary="a|b\nc`d"),
                                    csv_text([[f + 2000000 for f in big[0]]])])
        self.assertEqual(done.returncode, 0, done.stderr)
        rows = done.stdout.decode().splitlines()
        self.assertIn("1000499.5", rows[2])
        self.assertIn("``a\\|b\\nc`d``", rows[2])
        self.assertEqual(rows[2].replace("\\|", "").count("|"), rows[0].count("|"))
        self.assertTrue(rows[3].endswith("| <1e-300 |"), rows[3])
        self.assertNotIn("e+", done.stdout.decode())

    @statistics
    def test_one_slow_run_does_not_squash_the_text_plot(self):
        figures = [[1000 + i % 20 for i in range(60)] + [9000]]
        done = self.run_tool(files=[csv_text(figures)])
        plot = [line for line in done.stdout.decode().splitlines() if line.startswith("   #1")]
        self.assertRegex(plot[0], r"\|.{20,}\|\s*>$")

    def test_bad_input_gets_one_line_and_status_1(self):
        ok = OLD + "0,a,12,1.0,x,c,h,s\n"
        for name, files, args, message in [
            ("empty", [""], [], "empty file"),
            ("header only", [OLD], [], "no runs"),
            ("baseline only", [OLD + "0,/bin/true,,5,x,c,h,s\n"], [], "no runs"),
            ("letters", [ok + "1,a,12x,1,x,c,h,s\n"], [], "line 3: figure '12x'"),
            ("other digits", [ok + "1,a,١٢,1,x,c,h,s\n"], [], "line 3: figure"),
            ("plus sign", [ok + "1,a,+12,1,x,c,h,s\n"], [], "line 3: figure"),
            ("space", [ok + "1,a, 12,1,x,c,h,s\n"], [], "line 3: figure"),
            ("400 digits", [ok + "1,a," + "9" * 400 + ",1,x,c,h,s\n"], [], "line 3: figure"),
            ("truncated row", [ok + "1,p,14"], [], "line 3: 3 fields, not 8"),
            ("long row", [ok + "1,a,12,1,x,c,h,s,t\n"], [], "line 3: 9 fields, not 8"),
            ("quoted newline", [OLD + '0,"a\nb",12,1,x,c,h,s\n1,a,x,1,x,c,h,s\n'], [],
             "line 4: figure 'x'"),
            ("column twice", ["binary,figure_us,figure_us\na,1,2\n"], [], "appears twice"),
            ("no figure column", ["run,binary\n0,a\n"], [], "no column figure_us"),
            ("not UTF-8", [ok.encode() + b"1,\xff,12,1,x,c,h,s\n"], [], "line 3: not UTF-8"),
            ("NUL", [ok + "1,a,1\x002,1,x,c,h,s\n"], [], "line 3:"),
            ("missing file", [], ["nonexistent.csv"], "nonexistent.csv: No such file"),
            ("name on two lines", [], ["no\nsuch.csv"], "no\\nsuch.csv: No such file"),
            ("directory", [], ["."], ".: Is a directory"),
            ("empty --json", [ok], ["--json", ""], "--json: empty file name"),
            ("empty --plot", [ok], ["--plot", ""], "--plot: empty file name"),
            ("--json over an input", [ok], ["--json", "0.csv"], "is an input file"),
            ("--plot as text", [ok], ["--plot", "x.txt"], ".svg or .png"),
            ("--plot-time as text", [ok], ["--plot-time", "x.txt"], ".svg or .png"),
            ("--plot-time over an input", [ok], ["--plot-time", "0.csv"], "is an input file"),
            ("--plot-time as --plot", [ok], ["--plot", "x.svg", "--plot-time", "x.svg"],
             "--plot and --plot-time name the same file"),
            ("--group-by word", [ok], ["--group-by", "colour"], "invalid choice"),
            ("--json in no folder", [ok], ["--json", "no/x.json"], "No such file"),
            ("--alpha 1", [ok], ["--alpha", "1"], "--alpha"),
            ("--alpha word", [ok], ["--alpha", "x"], "invalid float value"),
            ("--margin 100", [ok], ["--margin", "100"], "--margin"),
            ("--baseline", [ok], ["--baseline", "last"], "names no set"),
        ]:
            with self.subTest(name):
                done = self.run_tool(*args, files=files)
                self.assertEqual(done.returncode, 1, done.stdout)
                self.assertRegex(done.stderr.decode(), r"\Adelayprobe-compare: [^\n]+\n\Z")
                self.assertIn(message, done.stderr.decode())
                self.assertEqual(done.stdout, b"")
                if "0.csv" in args:
                    self.assertEqual((self.dir / "0.csv").read_text(), files[0])

    @unittest.skipIf(numpy, "numpy and scipy are here")
    def test_without_numpy_one_line_says_what_to_install(self):
        done = self.run_tool(files=[OLD + "0,a,12,1.0,x,c,h,s\n"])
        self.assertEqual(done.returncode, 1)
        self.assertRegex(done.stderr.decode(), r"\Adelayprobe-compare: needs numpy and scipy "
                         r"\(\w+ is missing\): apt-get install [^\n]+\n\Z")

    @statistics
    def test_outputs_are_replaced_whole_or_not_at_all(self):
        old = self.dir / "old.json"
        old.write_text("old")
        done = self.run_tool("--json", str(old), files=[OLD + "0,a,x,1,x,c,h,s\n"])
        self.assertEqual((done.returncode, old.read_text()), (1, "old"))
        done = self.run_tool("--json", str(old), files=[csv_text([[5, 6, 7]])])
        self.assertEqual(done.returncode, 0)
        self.assertEqual(json.loads(old.read_text())["sets"][0]["median"], 6)
        self.assertEqual(sorted(os.listdir(self.dir)), ["0.csv", "old.json"])
        # Through a link, to what it names; in place to a device.
        (self.dir / "link.json").symlink_to("old.json")
        done = self.run_tool("--json", "link.json", files=[csv_text([[5, 6, 7, 8]])])
        self.assertEqual(json.loads(old.read_text())["sets"][0]["median"], 6.5)
        self.assertTrue((self.dir / "link.json").is_symlink())
        done = self.run_tool("--json", "/dev/stdout", files=[csv_text([[5, 6, 7]])])
        self.assertTrue(done.stdout.startswith(b"{"), done.stdout[:80])
        # A new file takes the name; another name of the old file keeps it.
        os.link(old, self.dir / "other.json")
        self.run_tool("--json", "old.json", files=[csv_text([[5, 6, 7]])])
        self.assertEqual(json.loads((self.dir / "other.json").read_text())["sets"][0]["median"],
                         6.5)
        # A run file is no output, whatever its name, as when --json takes
        # the first of the files for its own.
        runs = csv_text([[5, 6, 7]])
        (self.dir / "a.csv").write_bytes(runs)
        done = subprocess.run([sys.executable, str(COMPARE), "--json", "a.csv", "0.csv"],
                              cwd=self.dir, capture_output=True, check=False)
        self.assertEqual((done.returncode, done.stderr), (
            1, b"delayprobe-compare: --json a.csv: holds runs; name another file\n"))
        self.assertEqual((self.dir / "a.csv").read_bytes(), runs)

    @statistics
    def test_names_stay_apart_and_print_in_any_encoding(self):
        raw, text = runfile.name(b"\xff"), runfile.name("\\xff")
        self.assertNotEqual(raw, text)
        rng = numpy.random.default_rng(2)
        done = self.run_tool(files=[csv_text(simulate(rng, 1, 3, 0.01, 5), binary=raw) +
                                    csv_text(simulate(rng, 1, 3, 0.01, 5), binary=text)[
                                        len(HEADER):]],
                             env={**os.environ, "PYTHONIOENCODING": "ascii"})
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout.decode("ascii").count("| #"), 2)
        self.assertIn("centre \\xb5s", done.stdout.decode("ascii"))
        # Under a locale whose file names are ASCII, names that are not.
        (self.dir / "café.csv").write_bytes(csv_text(simulate(rng, 1, 3, 0.01, 5)))
        plot = ["--plot", "é.svg"] if importlib.util.find_spec("matplotlib") else []
        os.rename(self.dir / "0.csv", os.path.join(os.fsencode(self.dir), b"x\xff.csv"))
        done = subprocess.run([sys.executable, str(COMPARE), "--json", "é.json", *plot,
                               "café.csv", b"x\xff.csv"], cwd=self.dir, capture_output=True,
                              check=False, env={**os.environ, "LC_ALL": "C", "PYTHONUTF8": "0"})
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual([s["file"] for s in json.loads((self.dir / "é.json").read_text(
            encoding="utf-8"))["sets"]], ["café.csv", "x\\xff.csv", "x\\xff.csv"])

    @statistics
    def test_standard_output_closed_full_or_gone(self):
        files = [csv_text([[5, 6, 7]])]
        done = self.run_tool(files=files, stdout=subprocess.DEVNULL,
                             preexec_fn=lambda: os.close(1))
        self.assertEqual((done.returncode, done.stderr),
                         (1, b"delayprobe-compare: stdout: Bad file descriptor\n"))
        with open("/dev/full", "wb") as full:
            done = self.run_tool(files=files, stdout=full)
        self.assertEqual((done.returncode, done.stderr), (
            1, b"delayprobe-compare: stdout: No space left on device\n"))
        reader, writer = os.pipe()
        os.close(reader)
        done = self.run_tool(files=files, stdout=writer)
        os.close(writer)
        self.assertEqual((done.returncode, done.stderr), (-13, b""))


if __name__ == "__main__":
    unittest.main()
