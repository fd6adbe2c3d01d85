#!/usr/bin/env python3
"""Tests of delayprobe-compare: its statistics against known answers, and one run
on small CSV files."""

import importlib.machinery
import importlib.util
import json
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import unittest

COMPARE = pathlib.Path(__file__).resolve().parent.parent / "bench" / "delayprobe-compare"
loader = importlib.machinery.SourceFileLoader("compare", str(COMPARE))
compare = importlib.util.module_from_spec(importlib.util.spec_from_loader("compare", loader))
loader.exec_module(compare)


class Statistics(unittest.TestCase):
    def test_median_interval_has_the_published_ranks(self):
        # Ranks of the 95% interval from the binomial tables.
        for n, ranks in [(5, None), (6, (1, 6)), (10, (2, 9)), (20, (6, 15)), (50, (18, 33)),
                         (100, (40, 61))]:
            with self.subTest(n=n):
                self.assertEqual(compare.median_ci(list(range(1, n + 1)), 0.05), ranks)

    def test_mann_whitney_p_values_agree_with_scipy(self):
        # Two-sided p-values from scipy.stats.mannwhitneyu 1.10.1: exact for
        # the small samples without ties, else normal with ties corrected.
        for x, y, p in [
            ([1, 2, 3], [4, 5, 6], 0.1),
            ([1, 2, 3, 4, 5], [6, 7, 8, 9, 10, 11], 0.004329004329004329),
            ([19, 22, 16, 29, 24], [20, 11, 17, 12], 0.1111111111111111),
            ([3, 1, 4, 1, 5], [9, 2, 6, 5, 3, 5], 0.13862587987892763),
            ([1, 1, 2, 2, 3, 3, 4], [2, 3, 3, 4, 4, 5, 5, 6], 0.029239238256098945),
            (list(range(10, 30)), list(range(20, 40)), 5.2125496206037515e-05),
        ]:
            with self.subTest(x=x, y=y):
                self.assertAlmostEqual(compare.mann_whitney(x, y), p, places=12)

    def test_ratio_interval_agrees_with_a_bootstrap_from_scratch(self):
        rng = random.Random(7)
        x = [round(rng.gauss(1000, 50)) for _ in range(30)]
        y = [round(rng.gauss(1100, 80)) for _ in range(30)]
        ratios = sorted(statistics.median(rng.choices(y, k=30)) /
                        statistics.median(rng.choices(x, k=30)) for _ in range(20000))
        lo, hi = compare.ratio_ci(x, y, 0.05)
        self.assertAlmostEqual(lo, ratios[500], delta=0.005)
        self.assertAlmostEqual(hi, ratios[19499], delta=0.005)


class Run(unittest.TestCase):
    def compare(self, *files, ok=True):
        with tempfile.TemporaryDirectory() as tmp:
            paths = []
            for i, text in enumerate(files):
                paths.append(pathlib.Path(tmp) / f"{i}.csv")
                paths[-1].write_text(text, encoding="utf-8")
            out = pathlib.Path(tmp) / "out.json"
            done = subprocess.run([sys.executable, COMPARE, *map(str, paths), "--json", str(out)],
                                  capture_output=True, text=True, check=False)
            self.assertEqual(done.returncode == 0, ok, done.stderr)
            return done, json.loads(out.read_text(encoding="utf-8")) if ok else None

    @staticmethod
    def csv(binary, figures, sha="ab" * 32, host="h"):
        rows = [f"{i},{binary},{f},{f + 700},{sha},cpu,{host}" for i, f in enumerate(figures)]
        rows += [f"{i},/bin/true,,690.0,{'0' * 64},cpu,{host}" for i in range(len(figures))]
        return "run,binary,figure_us,wall_us,sha256,cpu,host\n" + "\n".join(rows) + "\n"

    def test_sets_ratio_significance_and_plot(self):
        base = list(range(1000, 1020))
        done, result = self.compare(self.csv("a", base),
                                    self.csv("a", [f + 200 for f in base], host="g")
                                    + "".join(f"{i},b,{f},0,{'cd' * 32},cpu,h\n"
                                              for i, f in enumerate(base[::-1])))
        sets, comparisons = result["sets"], result["comparisons"]
        self.assertEqual([(s["binary"], s["host"], s["n"], s["median"]) for s in sets],
                         [("a", "h", 20, 1009.5), ("a", "g", 20, 1209.5), ("b", "h", 20, 1009.5)])
        self.assertEqual(sets[0]["ci"], [1005, 1014])  # ranks 6 and 15
        self.assertAlmostEqual(comparisons[0]["ratio"], 1209.5 / 1009.5)
        self.assertEqual([c["significant"] for c in comparisons], [True, False])
        self.assertEqual(comparisons[1]["p"], 1.0)
        rows = done.stdout.splitlines()
        self.assertIn("| ~ |", rows[4])
        self.assertIn("#1, #2: the same binary", done.stdout)
        self.assertEqual(sum(line.count("M") for line in rows if line.startswith("  #")), 3)

    def test_bad_input_gets_one_line(self):
        for name, text in [("empty", ""), ("header only", "run,binary,figure_us,wall_us\n"),
                           ("baseline only", "run,binary,figure_us,wall_us\n0,/bin/true,,5\n"),
                           ("not a number", "run,binary,figure_us,wall_us\n0,a,12x,5\n"),
                           ("no figure column", "run,binary\n0,a\n")]:
            with self.subTest(name):
                done, _ = self.compare(text, ok=False)
                self.assertRegex(done.stderr, r"\Adelayprobe-compare: [^\n]+\n\Z")
        done = subprocess.run([sys.executable, COMPARE, "/nonexistent.csv"], capture_output=True,
                              text=True, check=False)
        self.assertEqual((done.returncode, done.stderr),
                         (1, "delayprobe-compare: /nonexistent.csv: No such file or directory\n"))


if __name__ == "__main__":
    unittest.main()
