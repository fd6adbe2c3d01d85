#!/usr/bin/env python3
"""End-to-end test of fleet/probe.yml: three hosts reached over a real SSH
server on the loopback, started for the test, and a fourth that cannot be
reached.

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

ROOT = pathlib.Path(__file__).resolve().parent.parent
# sshd wants to be started by its absolute path.
SSHD = "/usr/sbin/sshd"
HOSTS = ["left", "middle", "right"]
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
        hosts = {name: {**ssh, "ansible_port": port} for name in HOSTS}
        hosts["gone"] = {**ssh, "ansible_port": closed.getsockname()[1]}
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
        cls.done = subprocess.run(["ansible-playbook", "-i", inventory, playbook],
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
            with self.subTest(host=host), open(self.results / f"{host}.csv", newline="",
                                                 encoding="utf-8") as f:
                rows = list(csv.reader(f))
                self.assertEqual(rows[0], ["run", "binary", "figure_us", "wall_us", "sha256",
                                           "cpu", "host", "session"])
                runs = {}
                for row in rows[1:]:
                    self.assertEqual(len(row), 8, row)
                    run, binary, figure, wall, _, _, _, session = row
                    # The figure is an integer; /bin/true prints none.
                    self.assertRegex(figure, r"\A-?[0-9]+\Z" if binary == "./delayprobe"
                                     else r"\A\Z")
                    self.assertGreater(float(wall), 0)
                    runs.setdefault((session, binary), []).append(int(run))
                self.assertEqual(len({s for s, _ in runs}), SESSIONS, runs)
                self.assertEqual({b for _, b in runs}, {"./delayprobe", "/bin/true"})
                for numbers in runs.values():
                    self.assertEqual(numbers, list(range(RUNS)))

    def test_the_three_hosts_are_compared_against_their_pool_and_drawn(self):
        self.assertEqual(sorted(p.name for p in self.results.iterdir()),
                         ["compare.json", "compare.md", "compare.svg"] +
                         [f"{host}.csv" for host in HOSTS], self.done.stdout)
        with open(self.results / "compare.json", encoding="utf-8") as f:
            report = json.load(f)
        self.assertEqual([s["file"] for s in report["sets"]], [f"{host}.csv" for host in HOSTS])
        self.assertEqual([c["baseline"] for c in report["comparisons"]], ["pooled"] * 3)
        table = (self.results / "compare.md").read_text(encoding="utf-8")
        self.assertEqual(re.findall(r"^\| (#\d+) \| (\w+)\.csv \|", table, re.M),
                         [(f"#{i}", host) for i, host in enumerate(HOSTS, 1)])
        self.assertIn("<svg", (self.results / "compare.svg").read_text(encoding="utf-8"))

    def test_nothing_is_left_on_the_hosts(self):
        # Ansible's own directory may stay, empty.
        left = [str(p.relative_to(self.remote)) for p in self.remote.rglob("*")
                if p != self.remote / "ansible"]
        self.assertEqual(left, [], self.done.stdout)

    def test_the_unreachable_host_is_named_and_fails_the_run(self):
        # ansible-playbook's status for unreachable hosts, and no failed one.
        self.assertEqual(self.done.returncode, 4, self.done.stdout)
        self.assertRegex(self.done.stdout, r"Not measured \(.*\): gone\b")
        self.assertRegex(self.done.stdout, r"\ngone +: ok=0 .* unreachable=1 ")


if __name__ == "__main__":
    PROBE = os.path.abspath(sys.argv.pop(1))
    ctest.main()
