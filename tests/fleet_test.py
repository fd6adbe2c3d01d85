#!/usr/bin/env python3
"""End-to-end test of fleet/probe.yml, with the ansible.cfg beside it, over
a real SSH server on the loopback started for the test. The hosts are
names for this machine, each with a connection and a directory of its own:
three plain ones, one whose inventory name is no file name, one whose probe
fails on its third run, one whose deadline stops it, two without a probe for their architecture (one
names only a made-up architecture, one a probe never built), one whose
only Python is too old, and one that cannot be reached.

Five runs of the playbook: one with a setting of the wrong type on one
host; one in check mode, of two hosts; one stopped by SIGINT to
ansible-playbook alone while every host measures; one with fewer forks
than hosts, which fetches the runs the stopped one left; one under
ANSIBLE_STRATEGY=free, of three hosts and two forks.

usage: fleet_test.py PROBE
"""

import csv
import json
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import ctest
import loopback

ROOT = pathlib.Path(__file__).resolve().parent.parent
HOSTS = ["left", "middle", "right"]
# A name with a path, a space and a shell's separator in it.
UNSAFE = "../x;touch y"
# Its probe fails on its third run, so that the bench stops with two kept.
BROKEN = "broken"
# Its probe takes a second a run, and its deadline stops it after a few.
SLOW, DEADLINE = "slow", 5
# No probe for this machine's architecture: the mapping names another, or
# a file that is not there.
FOREIGN, UNBUILT = "foreign", "unbuilt"
# Its only Python is 3.6.
OLD = "old"
GONE = "gone"
WHOLE = HOSTS + [UNSAFE]
MEASURING = WHOLE + [BROKEN, SLOW]
REFUSED = [FOREIGN, UNBUILT, OLD]
ALL = MEASURING + REFUSED + [GONE]
# Long enough a pause that every host is still measuring when the last one
# starts, with two forks for eight hosts.
RUNS, SESSIONS, PAUSE = 3, 2, 3
PROBE = ""


@unittest.skipUnless(shutil.which("ansible-playbook"), "needs ansible-playbook")
@unittest.skipUnless(os.access(loopback.SSHD, os.X_OK), "needs sshd (openssh-server)")
class Playbook(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = pathlib.Path(tempfile.mkdtemp(prefix="fleet_test."))
        cls.addClassCleanup(shutil.rmtree, cls.tmp)
        cls.sshd = loopback.Server(cls.tmp)
        cls.addClassCleanup(cls.sshd.stop)
        cls.addClassCleanup(cls.close_masters)
        cls.results = cls.tmp / "results"
        cls.remote = {host: cls.tmp / "remote" / str(n) for n, host in enumerate(ALL)}
        for path in cls.remote.values():
            path.mkdir(parents=True)
        # This machine's temporary directory, for the playbook to leave empty.
        cls.local = cls.tmp / "local-tmp"
        cls.local.mkdir()

        cls.wrong = cls.play(cls.inventory(middle={"delayprobe_sessions": "three"}))
        cls.checked = cls.play(cls.inventory(), "--check", "--limit", f"left,{FOREIGN}")
        cls.runs_before = cls.run_dirs()
        cls.stopped = cls.play_stopped()
        cls.done = cls.play(cls.inventory(), "-f", "2")
        cls.free = cls.play(cls.inventory(), "-f", "2", "--limit", ",".join(HOSTS),
                            env={"ANSIBLE_STRATEGY": "free"})

    @classmethod
    def close_masters(cls):
        """Any master connection left, which would outlive the test."""
        for path in (cls.tmp / "cp").glob("*"):
            subprocess.run(["ssh", "-o", f"ControlPath={path}", "-O", "exit", "x"],
                           capture_output=True, check=False)

    @classmethod
    def fake(cls, name, text):
        path = cls.tmp / name
        path.write_text(text)
        path.chmod(0o755)
        return str(path)

    @classmethod
    def inventory(cls, **more):
        """An inventory file of every host, with more variables for some."""
        closed = socket.socket()  # bound and never listened on: refused
        cls.addClassCleanup(closed.close)
        closed.bind(("127.0.0.1", 0))
        probes = {
            BROKEN: {"x86_64": cls.fake("broken-probe", f"""#!/bin/sh
n=$(cat "$(dirname "$0")/runs" 2>/dev/null || echo 0)
echo $((n + 1)) >"$(dirname "$0")/runs"
[ "$n" -lt 2 ] || exit 1
exec '{PROBE}'
""")},
            SLOW: {"x86_64": cls.fake("slow-probe", f"#!/bin/sh\nsleep 1\nexec '{PROBE}'\n")},
            FOREIGN: {"sparc99": PROBE},
            UNBUILT: {"x86_64": str(cls.tmp / "build" / "portable" / "delayprobe")}}
        more.setdefault(OLD, {})["ansible_python_interpreter"] = cls.fake(
            "python3.6", '#!/bin/sh\necho "$0 3 6 8"\nexit 1\n')
        more.setdefault(SLOW, {})["delayprobe_deadline"] = DEADLINE
        hosts = {}
        for n, host in enumerate(ALL):
            hosts[host] = {**cls.sshd.host(n, closed.getsockname()[1] if host == GONE else None),
                           "delayprobe_tmpdir": str(cls.remote[host]),
                           "delayprobe_probes": probes.get(host, {"x86_64": PROBE}),
                           **more.get(host, {})}
        path = cls.tmp / f"inventory{len(list(cls.tmp.glob('inventory*')))}.yml"
        path.write_text(json.dumps({"all": {"hosts": hosts, "vars": {
            "delayprobe_runs": RUNS, "delayprobe_sessions": SESSIONS, "delayprobe_pause": PAUSE,
            "delayprobe_results": str(cls.results)}}}))
        return path

    @classmethod
    def command(cls, inventory, *options, env=None):
        return (["ansible-playbook", "-i", inventory, ROOT / "fleet" / "probe.yml", *options],
                {**os.environ, "ANSIBLE_CONFIG": str(ROOT / "fleet" / "ansible.cfg"),
                 "ANSIBLE_NOCOLOR": "1", "ANSIBLE_SSH_CONTROL_PATH_DIR": str(cls.tmp / "cp"),
                 "ANSIBLE_LOCAL_TEMP": str(cls.tmp / "ansible"), "TMPDIR": str(cls.local),
                 **(env or {})})

    @classmethod
    def play(cls, inventory, *options, env=None):
        """A run of the playbook, with the SSH sessions each host had."""
        argv, env = cls.command(inventory, *options, env=env)
        mark = cls.sshd.mark()
        # A guard against a hang (a prompt, say), far above a normal run.
        done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              env=env, cwd=cls.tmp, check=False, timeout=600)
        done.sessions = {ALL[n]: count for n, count in cls.sshd.sessions(mark).items()}
        return done

    @classmethod
    def play_stopped(cls):
        """A run stopped by SIGINT to ansible-playbook alone once it waits
        for the hosts, as a CI runner stops it."""
        argv, env = cls.command(cls.inventory())
        # A test run in the background of a shell inherits SIGINT ignored,
        # and would pass it on: the playbook would not stop at all.
        with subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              env=env, cwd=cls.tmp, preexec_fn=default_sigint) as playbook:
            output = ""
            while "TASK [delayprobe : Wait for the runs" not in output and playbook.poll() is None:
                output += playbook.stdout.readline()
            # Ansible drops a SIGINT that lands while it forks a worker for
            # the task ("Exception ignored in ..."): once they are forked,
            # and again while it runs on, as a user presses Ctrl-C again.
            for wait in (2, 2, 2, 2, 120):
                time.sleep(0.5)
                playbook.send_signal(signal.SIGINT)
                try:
                    output += playbook.communicate(timeout=wait)[0]
                    break
                except subprocess.TimeoutExpired:
                    pass
            else:
                playbook.kill()
        if playbook.returncode != 99 or "User interrupted execution" not in output:
            raise RuntimeError("SIGINT did not stop the playbook:\n" + output)
        # Until their measurements have ended on their own.
        deadline = time.monotonic() + 120
        while left := [h for h in MEASURING
                       if not list(cls.remote[h].glob("delayprobe.*/status.json"))]:
            if time.monotonic() > deadline:
                raise RuntimeError(f"the measurement the stopped run left on {left} did not "
                                   "end:\n" + output)
            time.sleep(0.1)
        return output

    @classmethod
    def run_dirs(cls):
        runs = cls.results / "runs"
        return sorted(p.name for p in runs.iterdir()) if runs.is_dir() else []

    def run_dir(self, which):
        """A run's directory: 0 for the stopped run, 1 for the next, 2 for
        the last (the run with a wrong type made none)."""
        return self.results / "runs" / self.run_dirs()[which]

    def rows(self, path):
        with open(path, newline="", encoding="utf-8") as f:
            return list(csv.DictReader(f))

    def test_a_wrong_type_on_one_host_stops_the_run_before_any_host_is_contacted(self):
        self.assertEqual(self.wrong.returncode, 2, self.wrong.stdout)
        self.assertIn("delayprobe_sessions must be of type int, not 'three' (middle)",
                      self.wrong.stdout)
        self.assertEqual(self.wrong.sessions, {}, self.wrong.stdout)

    def test_check_mode_looks_at_each_host_and_measures_and_writes_nothing(self):
        self.assertEqual(self.checked.returncode, 2, self.checked.stdout)
        self.assertIn(f'"msg": "{FOREIGN}: x86_64: no probe', self.checked.stdout)
        self.assertEqual(self.checked.sessions, {"left": 1, FOREIGN: 1}, self.checked.stdout)
        self.assertEqual(self.runs_before, [])

    def test_each_host_measured_every_run_of_every_session_all_at_once(self):
        """With two forks for more hosts, every host still measured at the
        same time as every other: none held a fork while it measured, under
        either strategy."""
        for run, hosts in [(1, WHOLE), (2, HOSTS)]:
            spans = []
            for host in hosts:
                rows = self.rows(self.run_dir(run) / name_of(host))
                with self.subTest(run=run, host=host):
                    for binary in ("./delayprobe", "/bin/true"):
                        runs = sorted((r["session"], int(r["run"])) for r in rows
                                      if r["binary"] == binary)
                        sessions = sorted({s for s, _ in runs})
                        self.assertEqual(len(sessions), SESSIONS)
                        self.assertEqual(runs, [(s, n) for s in sessions for n in range(RUNS)])
                    self.assertTrue(all(re.fullmatch(r"-?[0-9]+", r["figure_us"]) for r in rows
                                        if r["binary"] == "./delayprobe"))
                starts = [int(r["start_us"]) for r in rows]
                spans.append((min(starts), max(starts)))
            with self.subTest(run=run):
                self.assertLess(max(a for a, _ in spans), min(b for _, b in spans), spans)

    def test_each_host_takes_a_few_ssh_commands_and_a_refused_one_is_sent_nothing(self):
        for host, most in [*((h, 10) for h in MEASURING), *((h, 1) for h in REFUSED)]:
            with self.subTest(host=host):
                self.assertIn(self.done.sessions.get(host, 0), range(1, most + 1),
                              self.done.sessions)

    def test_a_host_without_a_probe_for_its_architecture_or_a_python_is_refused_by_name(self):
        missing = self.tmp / "build" / "portable" / "delayprobe"
        for host, why in [
                (FOREIGN, "x86_64: no probe for this architecture; build the portable preset"),
                (UNBUILT, f"x86_64: no probe for this architecture ({missing}: no such file); "
                          "build the portable preset"),
                (OLD, "delayprobe-bench needs Python 3.8 or later, and "
                      f"{self.tmp / 'python3.6'} is 3.6.8")]:
            with self.subTest(host=host):
                self.assertIn(f'"msg": "{host}: {why}"', self.done.stdout)
                self.assertIn(f"\n- {host}: {why}\n",
                              (self.run_dir(1) / "compare.md").read_text())

    def test_the_hosts_are_compared_against_their_pool_and_drawn(self):
        where = self.run_dir(1)
        files = [name_of(h) for h in MEASURING]
        recovered = sorted(p.name for p in where.glob("*.recovered-*.csv"))
        self.assertEqual(sorted(p.name for p in where.iterdir()),
                         sorted(["compare.json", "compare.md", "compare.svg", "history.json"]
                                + files + recovered), self.done.stdout)
        with open(where / "compare.json", encoding="utf-8") as f:
            report = json.load(f)
        self.assertEqual([s["file"] for s in report["sets"]], files)
        self.assertEqual([c["baseline"] for c in report["comparisons"]], ["pooled"] * len(files))
        table = (where / "compare.md").read_text(encoding="utf-8")
        self.assertEqual(re.findall(r"^\| (#\d+) \| (\S+) \|", table, re.M),
                         [(f"#{i}", name) for i, name in enumerate(files, 1)])
        self.assertIn(f"\nRenamed for their files: {UNSAFE} as {name_of(UNSAFE)}\n", table)
        self.assertIn("<svg", (where / "compare.svg").read_text(encoding="utf-8"))

    def test_a_bench_that_stopped_early_is_compared_with_the_runs_it_kept_and_says_why(self):
        rows = self.rows(self.run_dir(1) / name_of(BROKEN))
        self.assertEqual(len([r for r in rows if r["binary"] == "./delayprobe"]), 2)
        # Its last line: the runs kept hold /bin/true's of the third round, or not.
        why = (rf"{BROKEN}: delayprobe-bench: \./delayprobe: session 1 of {SESSIONS}, "
               rf"round 3 of {RUNS}: exit status 1; kept [45] runs in runs\.csv")
        self.assertRegex((self.run_dir(1) / "compare.md").read_text(encoding="utf-8"),
                         rf"\nPartial \(the bench stopped early\):\n- {why}\n")
        self.assertRegex(self.done.stdout, rf'fatal: \[{BROKEN}\]: FAILED! => .*"msg": "{why}"')
        self.assertRegex(self.done.stdout, rf"\n{BROKEN} +: .* failed=1 ")

    def test_a_host_still_measuring_at_its_deadline_is_stopped_keeping_its_runs(self):
        rows = self.rows(self.run_dir(1) / name_of(SLOW))
        self.assertIn(len([r for r in rows if r["binary"] == "./delayprobe"]), range(1, RUNS * 2))
        self.assertRegex((self.run_dir(1) / "compare.md").read_text(encoding="utf-8"),
                         rf"\n- {SLOW}: stopped at its deadline, {DEADLINE} s after it started: "
                         r"delayprobe-bench: stopped by SIGTERM .*; kept [0-9]+ runs in "
                         r"runs\.csv\n")

    def test_the_unreachable_host_is_named_and_fails_the_run(self):
        # ansible-playbook's status for unreachable hosts, before that for failed ones.
        self.assertEqual(self.done.returncode, 4, self.done.stdout)
        self.assertIn(f"\n- {GONE}: unreachable\n",
                      (self.run_dir(1) / "compare.md").read_text(encoding="utf-8"))
        self.assertRegex(self.done.stdout, rf"\n{GONE} +: .* unreachable=1 ")

    def test_runs_that_a_stopped_run_left_are_fetched_by_the_next(self):
        stopped, done = self.run_dirs()[:2]
        where = self.results / "runs" / done
        for host in MEASURING:
            with self.subTest(host=host):
                name = name_of(host).replace(".csv", f".recovered-{stopped}.csv")
                self.assertTrue([r for r in self.rows(where / name)
                                 if r["binary"] == "./delayprobe"], self.stopped)
        self.assertIn("\nRecovered from runs stopped before they were collected",
                      (where / "compare.md").read_text(encoding="utf-8"))

    def test_every_run_keeps_its_own_directory_and_latest_is_the_newest(self):
        runs = self.run_dirs()
        self.assertEqual(len(runs), 3, runs)
        for name in runs:  # their UTC times
            self.assertRegex(name, r"\A20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9][0-5][0-9]{3}Z\Z")
        # The stopped run compared nothing, and was never the latest.
        self.assertEqual(sorted(p.name for p in (self.results / "runs" / runs[0]).iterdir()), [])
        self.assertEqual(os.readlink(self.results / "latest"), f"runs/{runs[2]}")
        self.assertEqual(sorted(p.name for p in (self.results / "runs" / runs[2]).iterdir()),
                         ["compare.json", "compare.md", "compare.svg", "history.json"]
                         + sorted(name_of(h) for h in HOSTS))
        # Every run's sessions, and those recovered, in the history, whose
        # change points follow the comparison.
        with open(self.results / "runs" / runs[2] / "history.json", encoding="utf-8") as f:
            (series,) = json.load(f)["series"]
        self.assertGreater(series["sessions"], 2 * SESSIONS * len(HOSTS))
        self.assertIn("\n\nChange points of each host (delayprobe-history):\n",
                      (self.results / "runs" / runs[2] / "compare.md").read_text())

    def test_under_strategy_free_the_hosts_are_compared_once_and_nothing_is_left(self):
        """Nothing on the hosts, in this machine's temporary directory, or
        in ssh's master connections, after all the runs."""
        self.assertEqual(self.free.returncode, 0, self.free.stdout)
        self.assertEqual(self.free.stdout.count('"| #1 | '), 1, self.free.stdout)
        self.assertEqual(list(self.local.iterdir()), [])
        # Every host's master connection ended with its last command.
        self.assertEqual(list((self.tmp / "cp").iterdir()), [])
        for host, path in self.remote.items():
            with self.subTest(host=host):
                self.assertEqual(list(path.iterdir()), [])


def default_sigint():
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def name_of(host):
    """The file of a host's runs: its name, or for a name that is no file
    name, the name made safe with a hash of it."""
    if host == UNSAFE:
        return "_._x_touch_y-c76edae9.csv"
    return f"{host}.csv"


if __name__ == "__main__":
    PROBE = os.path.abspath(sys.argv.pop(1))
    ctest.main()
