#!/usr/bin/env python3
"""End-to-end test of fleet/probe.yml: hosts reached over a real SSH server
on the loopback, started for the test: three plain ones, one whose
inventory name is no file name, one whose probe fails after two runs, and
one that cannot be reached.

usage: fleet_test.py PROBE
"""

import csv
import getpass
import json
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import ctest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tools"))
from delayprobe_tools import runfile  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
# sshd wants to be started by its absolute path.
SSHD = "/usr/sbin/sshd"
HOSTS = ["left", "middle", "right"]
# A name with a path, a space and a shell's separator in it.
UNSAFE = "../x;touch y"
# Its probe fails on its third run, so that the bench stops with two kept.
BROKEN = "broken"
RUNS, SESSIONS = 3, 2
PROBE = ""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@unittest.skipUnless(shutil.which("ansible-playbook"), "needs ansible-playbook")
@unittest.skipUnless(os.access(SSHD, os.X_OK), "needs sshd (openssh-server)")
class Playbook(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = pathlib.Path(tempfile.mkdtemp(prefix="fleet_test."))
        cls.addClassCleanup(shutil.rmtree, cls.tmp)
        key = cls.tmp / "client"
        for name in ("host", "client"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", cls.tmp / name],
                           check=True)
        port = free_port()
        sshd = cls.start_sshd(port)
        cls.addClassCleanup(cls.stop, sshd)

        # A port bound and never listened on: connections to it are refused.
        closed = socket.socket()
        cls.addClassCleanup(closed.close)
        closed.bind(("127.0.0.1", 0))

        # The hosts' temporary directories, Ansible's and the playbook's.
        cls.remote = cls.tmp / "remote"
        cls.results = cls.tmp / "results"
        ssh = {"ansible_host": "127.0.0.1", "ansible_user": getpass.getuser(),
               "ansible_ssh_private_key_file": str(key),
               "ansible_ssh_common_args":
                   "-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null"}
        hosts = {name: {**ssh, "ansible_port": port} for name in HOSTS + [UNSAFE, BROKEN]}
        hosts["gone"] = {**ssh, "ansible_port": closed.getsockname()[1]}
        broken = cls.tmp / "broken-probe"
        broken.write_text(f"""#!/bin/sh
n=$(cat "$(dirname "$0")/runs" 2>/dev/null || echo 0)
echo $((n + 1)) >"$(dirname "$0")/runs"
[ "$n" -lt 2 ] || exit 1
exec '{PROBE}'
""")
        broken.chmod(0o755)
        hosts[BROKEN]["delayprobe_probe"] = str(broken)
        inventory = cls.tmp / "inventory.yml"
        inventory.write_text(json.dumps({"all": {"hosts": hosts, "vars": {
            "ansible_remote_tmp": str(cls.remote / "ansible"),
            "delayprobe_tmpdir": str(cls.remote),
            "delayprobe_probe": PROBE,
            "delayprobe_runs": RUNS, "delayprobe_sessions": SESSIONS, "delayprobe_pause": 0.2,
            "delayprobe_results": str(cls.results)}}}))
        cls.remote.mkdir()

        # No master connection outlives the run: each ssh ends with its
        # command, and with it the server's process for that connection.
        env = {**os.environ, "ANSIBLE_NOCOLOR": "1", "ANSIBLE_PIPELINING": "1",
               "ANSIBLE_SSH_ARGS": "-o ControlMaster=no",
               "ANSIBLE_LOCAL_TEMP": str(cls.tmp / "local")}
        # A guard against a hang (a prompt, say), far above a normal run.
        playbook = ROOT / "fleet" / "probe.yml"
        cls.done = subprocess.run(["ansible-playbook", "-f", "10", "-i", inventory, playbook],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                  env=env, cwd=cls.tmp, check=False, timeout=900)

    @classmethod
    def start_sshd(cls, port):
        config = cls.tmp / "sshd_config"
        config.write_text(f"""ListenAddress 127.0.0.1
Port {port}
HostKey {cls.tmp / "host"}
AuthorizedKeysFile {cls.tmp / "client.pub"}
PidFile {cls.tmp / "sshd.pid"}
Subsystem sftp internal-sftp
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
StrictModes no
UsePAM no
""")
        # As root, sshd needs the directory its service would make at start.
        if os.geteuid() == 0 and not os.path.isdir("/run/sshd"):
            os.mkdir("/run/sshd", 0o755)
            cls.addClassCleanup(os.rmdir, "/run/sshd")
        log = cls.tmp / "sshd.log"
        with open(log, "w", encoding="utf-8") as out:
            sshd = subprocess.Popen([SSHD, "-D", "-e", "-f", config], stdout=out, stderr=out)
        deadline = time.monotonic() + 10
        while "Server listening" not in log.read_text(encoding="utf-8"):
            if sshd.poll() is not None or time.monotonic() > deadline:
                cls.stop(sshd)
                raise RuntimeError("sshd did not start: " + log.read_text(encoding="utf-8"))
            time.sleep(0.05)
        return sshd

    @staticmethod
    def stop(process):
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    def test_each_reachable_host_wrote_every_run_of_every_session(self):
        for host in HOSTS:
            path = self.results / f"{host}.csv"
            with self.subTest(host=host), open(path, newline="", encoding="utf-8") as f:
                rows = list(csv.reader(f))
                self.assertEqual(tuple(rows[0]), runfile.COLUMNS)
                runs = {}
                for row in rows[1:]:
                    self.assertEqual(len(row), len(runfile.COLUMNS), row)
                    row = dict(zip(runfile.COLUMNS, row))
                    run, binary, figure, wall, session = (row[c] for c in (
                        "run", "binary", "figure_us", "wall_us", "session"))
                    # The figure is an integer; /bin/true prints none.
                    self.assertRegex(figure, r"\A-?[0-9]+\Z" if binary == "./delayprobe"
                                     else r"\A\Z")
                    self.assertGreater(float(wall), 0)
                    runs.setdefault((session, binary), []).append(int(run))
                self.assertEqual(len({s for s, _ in runs}), SESSIONS, runs)
                self.assertEqual({b for _, b in runs}, {"./delayprobe", "/bin/true"})
                for numbers in runs.values():
                    self.assertEqual(numbers, list(range(RUNS)))

    def test_the_hosts_are_compared_against_their_pool_and_drawn(self):
        names = sorted(p.name for p in self.results.iterdir())
        # The unsafe name's file, the one name here with a hash.
        unsafe = [n for n in names
                  if re.fullmatch(r"[A-Za-z0-9_][A-Za-z0-9._-]*-[0-9a-f]{8}\.csv", n)]
        self.assertEqual(len(unsafe), 1, self.done.stdout)
        files = [f"{host}.csv" for host in HOSTS] + unsafe + [f"{BROKEN}.csv"]
        self.assertEqual(names, sorted(["compare.json", "compare.md", "compare.svg", "previous"]
                                       + files), self.done.stdout)
        with open(self.results / "compare.json", encoding="utf-8") as f:
            report = json.load(f)
        self.assertEqual([s["file"] for s in report["sets"]], files)
        self.assertEqual([c["baseline"] for c in report["comparisons"]], ["pooled"] * len(files))
        table = (self.results / "compare.md").read_text(encoding="utf-8")
        self.assertEqual(re.findall(r"^\| (#\d+) \| (\S+) \|", table, re.M),
                         [(f"#{i}", name) for i, name in enumerate(files, 1)])
        self.assertIn(f"\nRenamed for their files: {UNSAFE} as {unsafe[0]}\n", table)
        self.assertIn("<svg", (self.results / "compare.svg").read_text(encoding="utf-8"))

    def test_a_bench_that_stopped_early_is_compared_with_the_runs_it_kept(self):
        with open(self.results / f"{BROKEN}.csv", newline="", encoding="utf-8") as f:
            probes = [row for row in csv.reader(f) if row[1] == "./delayprobe"]
        self.assertEqual(len(probes), 2, self.done.stdout)
        line = f"Partial (the bench stopped early, see above): {BROKEN}"
        self.assertIn(line, self.done.stdout)
        self.assertIn(f"\n{line}\n", (self.results / "compare.md").read_text(encoding="utf-8"))
        self.assertRegex(self.done.stdout, rf"\n{BROKEN} +: .* failed=1 ")

    def test_nothing_is_left_on_the_hosts(self):
        # Ansible's own directory may stay, empty.
        left = [str(p.relative_to(self.remote)) for p in self.remote.rglob("*")
                if p != self.remote / "ansible"]
        self.assertEqual(left, [], self.done.stdout)

    def test_the_unreachable_host_is_named_and_fails_the_run(self):
        # ansible-playbook's status for unreachable hosts, before that for failed ones.
        self.assertEqual(self.done.returncode, 4, self.done.stdout)
        self.assertRegex(self.done.stdout, r"Not measured \(.*\): gone\b")
        self.assertRegex(self.done.stdout, r"\ngone +: .* unreachable=1 ")


if __name__ == "__main__":
    PROBE = os.path.abspath(sys.argv.pop(1))
    ctest.main()
