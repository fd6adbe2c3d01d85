#!/usr/bin/env python3
"""Tests of delayprobe-compare: its statistics against published tables and
computations from scratch, its verdicts on seeded simulations, and its
handling of bad input."""

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
HEADER = runfile.header().decode()


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
    return verdicts.compare(sets_, baseline, alpha, margin)


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
        self.assertEqual(c.test, "U")
        self.assertAlmostEqual(c.ci[0], ratios[2], places=9)
        self.assertAlmostEqual(c.ci[1], ratios[22], places=9)
        self.assertAlmostEqual(c.ratio, ratios[12], places=9)

    def test_session_interval_is_students(self):
        a = [[1000 + d] * 3 for d in (-20, -5, 0, 10, 15)]
        b = [[1100 + d] * 3 for d in (-30, 0, 5, 20, 40)]
        (c,) = run_compare(sets(a, b))
        x = numpy.log([1000 + d for d in (-20, -5, 0, 10, 15)])
        y = numpy.log([1100 + d for d in (-30, 0, 5, 20, 40)])
        se = math.sqrt((x.var(ddof=1) + y.var(ddof=1)) / 5)
        d = y.mean() - x.mean()
        # t(0.975, 8) = 2.306 in the published tables.
        self.assertEqual((c.unit, c.test), ("session", "t"))
        self.assertAlmostEqual(c.ci[0], math.exp(d - 2.306 * se), places=4)
        self.assertAlmostEqual(c.ci[1], math.exp(d + 2.306 * se), places=4)

    def test_interval_excludes_1_exactly_when_significant(self):
        rng = numpy.random.default_rng(3)
        for trial in range(150):
            groups = []
            for j in range(int(rng.integers(2, 5))):
                coarse = 10 if trial % 2 else 1
                groups.append([numpy.round(100 * numpy.exp(
                    rng.normal(0, 0.05, int(rng.choice([1, 3, 8, 20]))) + 0.05 * (j == 1))
                    / coarse) + 1 for _ in range(int(rng.choice([1, 2, 5])))])
            for baseline in ("first", "pooled"):
                alpha = float(rng.choice([0.01, 0.05, 0.2]))
                for c in run_compare(sets(*groups), baseline, alpha):
                    if c.ci is None:
                        continue
                    lo, hi = c.ci
                    excludes = (lo is not None and lo > 1) or (hi is not None and hi < 1)
                    with self.subTest(trial=trial, baseline=baseline, c=c):
                        self.assertEqual(excludes, c.p_adjusted < alpha)


def simulate(rng, ratio, sessions, session_sd, runs=100, run_sd=0.03):
    return [list(numpy.round(3500 * ratio * numpy.exp(rng.normal(0, session_sd) +
                                                      rng.normal(0, run_sd, runs))))
            for _ in range(sessions)]


def csv_text(groups, binary="probe", host="h"):
    rows = [runfile.header()]
    for session in groups:
        same = {"cpu": "cpu", "host": host, "session": uuid.uuid4().hex}
        rows += [runfile.encode(runfile.row(run=i, binary=binary, figure_us=int(f),
                                            wall_us=f + 900, sha256="ab" * 32, **same))
                 for i, f in enumerate(session)]
        rows += [runfile.encode(runfile.row(run=i, binary=runfile.BASELINE, wall_us=800,
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
        rng = numpy.random.default_rng(13)
        done, result = self.verdicts(simulate(rng, 1, 5, 0.02), simulate(rng, 1.1, 5, 0.02),
                                     simulate(rng, 1, 5, 0.02))
        self.assertEqual([(c["unit"], c["verdict"]) for c in result["comparisons"]],
                         [("session", "slower"), ("session", "inconclusive")])
        self.assertEqual((result["alpha"], result["baseline"]), (0.05, "first"))
        self.assertIn("| slower |", done.stdout.decode())
        self.assertIn("| ~ |", done.stdout.decode())
        _, result = self.verdicts(*(simulate(rng, r, 8, 0.003) for r in (1, 1, 1.05)),
                                  margin=2)
        self.assertEqual([c["verdict"] for c in result["comparisons"]], ["same", "slower"])
        # Against the pool, the two alike are 1.7% faster than the rest.
        _, result = self.verdicts(*(simulate(rng, r, 8, 0.003) for r in (1, 1, 1, 1.1)),
                                  margin=2, baseline="pooled")
        # The slow set lifts the pool, but its spread widens the intervals of
        # the others too much to call them faster.
        self.assertEqual([c["verdict"] for c in result["comparisons"]],
                         ["inconclusive"] * 3 + ["slower"])

    @statistics
    def test_one_session_is_compared_run_by_run_with_a_warning(self):
        rng = numpy.random.default_rng(5)
        done, result = self.verdicts(simulate(rng, 1, 1, 0), simulate(rng, 1, 5, 0.01))
        self.assertEqual(result["comparisons"][0]["unit"], "run")
        self.assertIn("drift between sessions is not accounted for", done.stderr.decode())

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
        ok = HEADER + "0,a,12,1.0,x,c,h,s\n"
        for name, files, args, message in [
            ("empty", [""], [], "empty file"),
            ("header only", [HEADER], [], "no runs"),
            ("baseline only", [HEADER + "0,/bin/true,,5,x,c,h,s\n"], [], "no runs"),
            ("letters", [ok + "1,a,12x,1,x,c,h,s\n"], [], "line 3: figure '12x'"),
            ("other digits", [ok + "1,a,١٢,1,x,c,h,s\n"], [], "line 3: figure"),
            ("plus sign", [ok + "1,a,+12,1,x,c,h,s\n"], [], "line 3: figure"),
            ("space", [ok + "1,a, 12,1,x,c,h,s\n"], [], "line 3: figure"),
            ("400 digits", [ok + "1,a," + "9" * 400 + ",1,x,c,h,s\n"], [], "line 3: figure"),
            ("truncated row", [ok + "1,p,14"], [], "line 3: 3 fields, not 8"),
            ("long row", [ok + "1,a,12,1,x,c,h,s,t\n"], [], "line 3: 9 fields, not 8"),
            ("quoted newline", [HEADER + '0,"a\nb",12,1,x,c,h,s\n1,a,x,1,x,c,h,s\n'], [],
             "line 4: figure 'x'"),
            ("column twice", ["binary,figure_us,figure_us\na,1,2\n"], [], "appears twice"),
            ("no figure column", ["run,binary\n0,a\n"], [], "no column figure_us"),
            ("not UTF-8", [ok.encode() + b"1,\xff,12,1,x,c,h,s\n"], [], "line 3: not UTF-8"),
            ("NUL", [ok + "1,a,1\x002,1,x,c,h,s\n"], [], "line 3:"),
            ("missing file", [], ["nonexistent.csv"], "nonexistent.csv: No such file"),
            ("directory", [], ["."], ".: Is a directory"),
            ("empty --json", [ok], ["--json", ""], "--json: empty file name"),
            ("empty --plot", [ok], ["--plot", ""], "--plot: empty file name"),
            ("--json over an input", [ok], ["--json", "0.csv"], "is an input file"),
            ("--plot as text", [ok], ["--plot", "x.txt"], ".svg or .png"),
            ("--json in no folder", [ok], ["--json", "no/x.json"], "No such file"),
            ("--alpha 1", [ok], ["--alpha", "1"], "--alpha"),
            ("--alpha word", [ok], ["--alpha", "x"], "invalid float value"),
            ("--margin 100", [ok], ["--margin", "100"], "--margin"),
            ("--baseline", [ok], ["--baseline", "last"], "invalid choice"),
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
        done = self.run_tool(files=[HEADER + "0,a,12,1.0,x,c,h,s\n"])
        self.assertEqual(done.returncode, 1)
        self.assertRegex(done.stderr.decode(), r"\Adelayprobe-compare: needs numpy and scipy "
                         r"\(\w+ is missing\): apt-get install [^\n]+\n\Z")

    @statistics
    def test_outputs_are_replaced_whole_or_not_at_all(self):
        old = self.dir / "old.json"
        old.write_text("old")
        done = self.run_tool("--json", str(old), files=[HEADER + "0,a,x,1,x,c,h,s\n"])
        self.assertEqual((done.returncode, old.read_text()), (1, "old"))
        done = self.run_tool("--json", str(old), files=[csv_text([[5, 6, 7]])])
        self.assertEqual(done.returncode, 0)
        self.assertEqual(json.loads(old.read_text())["sets"][0]["median"], 6)
        self.assertEqual(sorted(os.listdir(self.dir)), ["0.csv", "old.json"])

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
