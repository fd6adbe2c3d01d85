"""Collect a host's measurement: one command waits until it has ended and
answers with its runs, and with those of earlier measurements that ended
there unfetched; they are written to this run's directory, never over a
file, and only then does a second command remove them from the host.

A host whose bench stopped early fails with the bench's last line, and its
runs are kept all the same (delayprobe_result.partial)."""

import json
import os
import posixpath
import shlex
import tempfile

from ansible.plugins.action import ActionBase


def keep(where, name, job):
    """Write a job's runs to where/name, a file that must not exist yet, whole
    or not at all: its name, or None when it kept no run of the probe."""
    if not job["figures"]:
        return None
    fd, temp = tempfile.mkstemp(dir=where, prefix=f".{name}.")
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            f.write(job["csv"])
            f.flush()
            os.fsync(f.fileno())
        os.link(temp, os.path.join(where, name))
    finally:
        os.unlink(temp)
    return name


def sync(where):
    fd = os.open(where, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def removable(path):
    """Whether path names a directory that delayprobe_start made."""
    return posixpath.isabs(path) and posixpath.basename(path).startswith("delayprobe.") \
        and ".." not in path.split("/")


def stopped_run(job):
    """The name a recovered measurement's file takes after its run."""
    return str(job.get("run") or "unknown").replace("/", "_")


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("job", "ended", "python", "run_dir", "name"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        try:
            return {**result, **self.collect(task_vars)}
        finally:
            # The host's last command in this run: its master connection
            # goes now, not when ControlPersist runs out.
            self._connection.reset()

    def collect(self, task_vars):
        args = self._task.args
        host = task_vars["inventory_hostname"]
        dirs = [args["job"]] + [job["dir"] for job in args.get("ended") or []]
        if not all(map(removable, dirs)):
            return {"failed": True, "msg": f"{host}: not a measurement's directory"}
        done = self._low_level_execute_command(shlex.join(
            [args["python"], posixpath.join(dirs[0], "job.pyz"), "collect", *dirs]),
            sudoable=False)
        try:
            answer = json.loads(done["stdout"].strip().splitlines()[-1])
            current, *earlier = answer["jobs"]
        except (ValueError, IndexError, KeyError, TypeError):
            why = (done["stderr"].strip().splitlines() or [f"exit status {done['rc']}"])[-1]
            return {"failed": True,
                    "msg": f"{host}: could not collect: {why}; the runs stay in {dirs[0]}"}
        name, where = args["name"], args["run_dir"]
        try:
            csv = keep(where, f"{name}.csv", current)
            recovered = [r for r in (keep(where, f"{name}.recovered-{stopped_run(job)}.csv", job)
                                     for job in earlier) if r]
            sync(where)
        except OSError as e:
            return {"failed": True,
                    "msg": f"{e.filename2 or e.filename}: {e.strerror}; the runs stay on {host} "
                           f"in {dirs[0]}"}
        self._low_level_execute_command(shlex.join(["rm", "-rf", "--", *dirs]), sudoable=False)
        whole = current["rc"] == 0 and csv is not None
        why = None if whole else f"{host}: {current['why']}" + (
            "" if csv else "; no whole run of the probe to keep")
        outcome = {"host": host, "csv": csv, "partial": not whole and csv is not None,
                   "why": why, "recovered": recovered}
        if whole:
            return {"changed": True, "ansible_facts": {"delayprobe_result": outcome}}
        return {"changed": True, "failed": True, "msg": why, "delayprobe_result": outcome}
