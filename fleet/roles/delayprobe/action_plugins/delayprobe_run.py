"""Make this run's directory on this machine, RESULTS/runs/TIME, named by
the UTC time it starts (a second run in the same second gets -2, -3...), so
that no run writes into another's; set delayprobe_run to its name and
delayprobe_run_dir to its path. In check mode it makes nothing."""

import os
import time

from ansible.plugins.action import ActionBase


def make(runs, now, check):
    """The run's name, and its directory unless in check mode."""
    stamp = time.strftime("%Y-%m-%dT%H%M%SZ", time.gmtime(now))
    if check:
        return stamp
    os.makedirs(runs, exist_ok=True)
    for n in range(1, 1000):
        name = stamp if n == 1 else f"{stamp}-{n}"
        try:
            os.mkdir(os.path.join(runs, name), 0o755)
            return name
        except FileExistsError:
            continue
    raise FileExistsError(f"{runs}: {stamp} and 999 more exist")


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("results",))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        runs = os.path.join(self._task.args["results"], "runs")
        try:
            name = make(runs, time.time(), self._task.check_mode)
        except OSError as e:
            return {**result, "failed": True, "msg": f"{runs}: {e.strerror or e}"}
        return {**result, "changed": True, "ansible_facts": {
            "delayprobe_run": name, "delayprobe_run_dir": os.path.join(runs, name)}}
