"""Start a host's measurement, detached from this machine, in two commands.

The first learns the host's architecture (as ansible_architecture names it,
unless that is known already) and a Python 3.8 or later there (the one
ansible_python_interpreter names, if set). A host with no probe for its
architecture, or no such Python, is refused by name before anything is
sent to it. The archive for its probe (files/job.py as its __main__, the
probe, delayprobe-bench and its modules) is made once on this machine and
goes on the second command's stdin: no temporary directory of Ansible's,
no file transfer, no module. The host answers at once with the directory
it measures in and the earlier measurements that ended there unfetched,
for delayprobe_collect. In check mode it looks at the host and sends
nothing."""

import contextlib
import fcntl
import hashlib
import json
import os
import re
import shlex
import tempfile
import zipfile

from ansible.plugins.action import ActionBase

# The first Python found that is 3.8 or later, as each prints itself.
PYTHONS = ("python3", "python3.13", "python3.12", "python3.11", "python3.10", "python3.9",
           "python3.8")
SAY = ("import sys; print(sys.executable, *sys.version_info[:3]); "
       "sys.exit(sys.version_info < (3, 8))")
LOOK = """uname -m
say=$1
shift
for p in "$@"; do
  command -v "$p" >/dev/null 2>&1 && "$p" -c "$say" && break
done
true"""
# On the host: write stdin to job.pyz in a directory of its own, and run it.
BOOT = """import os,shutil,sys,tempfile
d=tempfile.mkdtemp(prefix="delayprobe.",dir=sys.argv[1] or None)
try:
    with open(os.path.join(d,"job.pyz"),"wb") as f:shutil.copyfileobj(sys.stdin.buffer,f)
except BaseException:
    shutil.rmtree(d);raise
os.execv(sys.executable,[sys.executable,os.path.join(d,"job.pyz"),"start",d]+sys.argv[2:])"""


class Refused(Exception):
    """Why this host is not measured, as one line."""


def refusal(host, arch, probes, presets):
    """Why the host cannot have a probe, or None."""
    probe = probes.get(arch)
    if probe and os.path.isfile(probe):
        return None
    where = f" ({probe}: no such file)" if probe else ""
    hint = f"; build the {presets[arch]} preset" if arch in presets else \
        "; name one in delayprobe_probes"
    return f"{host}: {arch}: no probe for this architecture{where}{hint}"


@contextlib.contextmanager
def locked(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def archive(where, job, probe, bench, modules):
    """The archive's path, made once for every host that takes this probe;
    the workers that want it at the same time wait for the first."""
    key = hashlib.sha256("\0".join((job, probe, bench, modules)).encode()).hexdigest()[:16]
    path = os.path.join(where, f"{key}.pyz")
    os.makedirs(where, exist_ok=True)
    with locked(where):
        if os.path.exists(path):
            return path
        fd, temp = tempfile.mkstemp(dir=where, prefix=".pyz.")
        try:
            with os.fdopen(fd, "wb") as out, zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
                z.write(job, "__main__.py")
                z.write(probe, "delayprobe")
                z.write(bench, "delayprobe-bench")
                # The name the bench imports them by, whatever the directory's.
                for top, dirs, files in os.walk(modules):
                    dirs[:] = sorted(d for d in dirs if d != "__pycache__")
                    for name in sorted(files):
                        full = os.path.join(top, name)
                        z.write(full, os.path.join("delayprobe_tools",
                                                   os.path.relpath(full, modules)))
            os.replace(temp, path)
        except BaseException:
            os.unlink(temp)
            raise
    return path


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("architecture", "probes", "presets", "bench", "modules", "packs",
                             "tmpdir", "run", "deadline", "options"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        answer = self.start(task_vars)
        # A host that is not to be collected takes no more commands in this
        # run: its master connection goes now, not when ControlPersist ends.
        if "job" not in answer:
            self._connection.reset()
        return {**result, **answer}

    def start(self, task_vars):
        args = self._task.args
        host = task_vars["inventory_hostname"]
        try:
            arch, python = self.look(host, task_vars)
            why = refusal(host, arch, args["probes"], args["presets"])
            if why:
                raise Refused(why)
            if self._task.check_mode:
                return {"msg": f"would measure with {args['probes'][arch]}, run by {python}",
                        "ansible_facts": {"delayprobe_result": {"host": host}}}
            data = self.pack(args, args["probes"][arch])
        except Refused as e:
            return {"failed": True, "msg": str(e)}
        done = self.execute([python, "-c", BOOT, args.get("tmpdir") or "", args["run"],
                             str(args["deadline"]), "--", *map(str, args["options"])], data)
        answer = last_json(done["stdout"])
        if done["rc"] != 0 or answer is None:
            return {"failed": True, "msg": f"{host}: could not start: {last_line(done)}"}
        if "busy" in answer:
            return {"failed": True, "msg": busy(host, answer["busy"])}
        return {"changed": True, "job": answer["job"], "ended": answer["ended"],
                "architecture": arch, "python": python, "probe": args["probes"][arch]}

    def execute(self, argv, data=None):
        # Never through become: the measurement needs no privilege, and sudo
        # may want a terminal, which a command with stdin cannot have.
        return self._low_level_execute_command(shlex.join(argv), sudoable=False, in_data=data)

    def look(self, host, task_vars):
        """The host's architecture and the path of its Python, or Refused."""
        if not self._connection.has_pipelining:
            raise Refused(f"{host}: the {self._connection.transport} connection cannot send "
                          "a file on a command's stdin; use ssh")
        given = str(self._templar.template(task_vars.get("ansible_python_interpreter"))
                    or "auto")
        pythons = PYTHONS if given.startswith("auto") else (given,)
        done = self.execute(["sh", "-c", LOOK, "look", SAY, *pythons])
        lines = done["stdout"].strip().splitlines()
        if done["rc"] != 0 or not lines:
            raise Refused(f"{host}: could not look at the host: {last_line(done)}")
        machine = lines[0]
        found = [m.groups() for m in map(re.compile(r"(.+) ([0-9]+) ([0-9]+) ([0-9]+)").fullmatch,
                                         lines[1:]) if m]
        # Ansible's name for the 32-bit x86 architectures.
        arch = self._task.args.get("architecture") or (
            "i386" if re.fullmatch(r"i([3456]86|86pc)", machine) else machine)
        if not found or [int(n) for n in found[-1][1:3]] < [3, 8]:
            which = f"{found[-1][0]} is {'.'.join(found[-1][1:])}" if found else \
                f"none of {', '.join(pythons)} is there"
            raise Refused(f"{host}: delayprobe-bench needs Python 3.8 or later, and {which}")
        return arch, found[-1][0]

    def pack(self, args, probe):
        job = self._find_needle("files", "job.py")
        try:
            path = archive(args["packs"], job, probe, args["bench"], args["modules"])
            with open(path, "rb") as f:
                return f.read()
        except OSError as e:
            raise Refused(f"{e.filename}: {e.strerror}") from None


def last_line(done):
    return (done["stderr"].strip().splitlines() or [f"exit status {done['rc']}"])[-1]


def last_json(text):
    lines = text.strip().splitlines()
    try:
        return json.loads(lines[-1]) if lines else None
    except ValueError:
        return None


def busy(host, jobs):
    return (f"{host}: measuring already, for the run {jobs[0].get('run')} in {jobs[0]['dir']}, "
            "which ends at its deadline at the latest; not measured again meanwhile, and its "
            "runs are fetched by the first run after it ends")
