"""An SSH server on the loopback, started for a test or a benchmark, and
inventory entries that reach this machine through it as many hosts: each
alias its own SSH connection, from an address of its own, so that the
server's log tells the hosts' commands apart."""

import collections
import getpass
import os
import pathlib
import re
import socket
import subprocess
import time

# sshd wants to be started by its absolute path.
SSHD = "/usr/sbin/sshd"
# One command, subsystem or shell a session; at LogLevel VERBOSE.
SESSION = re.compile(r"Starting session: .* from (\S+) port")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """sshd for this user, with a key of its own, logging each session."""

    def __init__(self, tmp):
        self.tmp = pathlib.Path(tmp)
        self.key = self.tmp / "client"
        for name in ("host", "client"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f",
                            self.tmp / name], check=True)
        self.log = self.tmp / "sshd.log"
        # A home of its own for each session, so that the user's shell does
        # not run their start-up files for every command, as a bare host's
        # would not (a pyenv set-up there takes most of a second).
        (self.tmp / "home").mkdir()
        # Another program may take the free port before sshd does.
        for attempt in range(3):
            self.port = free_port()
            try:
                self.process = self.start()
                break
            except RuntimeError:
                if attempt == 2:
                    raise

    def start(self):
        config = self.tmp / "sshd_config"
        config.write_text(f"""ListenAddress 127.0.0.1
Port {self.port}
HostKey {self.tmp / "host"}
AuthorizedKeysFile {self.tmp / "client.pub"}
PidFile {self.tmp / "sshd.pid"}
Subsystem sftp internal-sftp
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
StrictModes no
UsePAM no
UseDNS no
SetEnv HOME={self.tmp / "home"}
LogLevel VERBOSE
MaxStartups 200
MaxSessions 50
""")
        # As root, sshd needs the directory its service would make at start.
        if os.geteuid() == 0 and not os.path.isdir("/run/sshd"):
            os.mkdir("/run/sshd", 0o755)
        with open(self.log, "w", encoding="utf-8") as out:
            sshd = subprocess.Popen([SSHD, "-D", "-e", "-f", config], stdout=out, stderr=out)
        deadline = time.monotonic() + 10
        while "Server listening" not in self.log.read_text(encoding="utf-8"):
            if sshd.poll() is not None or time.monotonic() > deadline:
                stop(sshd)
                raise RuntimeError("sshd did not start: " + self.log.read_text(encoding="utf-8"))
            time.sleep(0.05)
        return sshd

    def host(self, n, port=None):
        """Inventory variables for alias n (0 to 250): from 127.0.0.(n + 2),
        with a master connection of its own."""
        return {"ansible_host": "127.0.0.1", "ansible_port": port or self.port,
                "ansible_user": getpass.getuser(),
                "ansible_ssh_private_key_file": str(self.key),
                "ansible_control_path": f"%(directory)s/h{n}",
                "ansible_ssh_common_args":
                    f"-o BindAddress=127.0.0.{n + 2} -o StrictHostKeyChecking=no "
                    "-o UserKnownHostsFile=/dev/null"}

    def mark(self):
        """Where the log is now, for sessions() to count from."""
        return self.log.stat().st_size

    def sessions(self, since=0):
        """The sessions started since mark, by alias number."""
        with open(self.log, encoding="utf-8", errors="replace") as f:
            f.seek(since)
            found = SESSION.findall(f.read())
        return collections.Counter(int(a.rsplit(".", 1)[1]) - 2 for a in found)

    def stop(self):
        stop(self.process)


def stop(process):
    process.terminate()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
