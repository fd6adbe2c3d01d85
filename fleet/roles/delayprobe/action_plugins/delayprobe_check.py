"""Check every host's settings on this machine, once for all of them and
before any host is contacted: their types against the role's
meta/argument_specs.yml, the bounds that a type cannot say, and that no
two hosts share a results file. Any error fails the task, and with it the
whole run, naming each setting wrong and the hosts it is wrong for. Also
warn when the ansible.cfg beside the playbook was not read."""

import collections
import math
import os
import re

from ansible import constants
from ansible.module_utils.common import arg_spec
from ansible.plugins.action import ActionBase
from ansible.template import Templar
from ansible.utils.vars import combine_vars

# Hosts named in a message before the rest are counted.
SHOWN = 5


def bounds(v):
    """What is wrong with a host's settings, already of their types, that
    their types do not say: (name, rule) pairs."""
    checks = [
        ("delayprobe_sessions", "at least 1", v["delayprobe_sessions"] >= 1),
        ("delayprobe_runs", "at least 1", v["delayprobe_runs"] >= 1),
        ("delayprobe_pause", "a finite number of seconds from 0",
         0 <= v["delayprobe_pause"] < math.inf),
        ("delayprobe_timeout", "more than 0 seconds", v["delayprobe_timeout"] > 0),
        ("delayprobe_cpu", "null or a CPU number from 0",
         v["delayprobe_cpu"] is None or v["delayprobe_cpu"] >= 0),
        ("delayprobe_deadline", "finite, and more than the pauses between sessions "
         f"({(v['delayprobe_sessions'] - 1) * v['delayprobe_pause']:g} s)",
         (v["delayprobe_sessions"] - 1) * v["delayprobe_pause"] < v["delayprobe_deadline"]
         < math.inf),
        ("delayprobe_plot", "a file name (no directory) ending in .svg or .png",
         re.fullmatch(r"(?i)[^/]+\.(svg|png)", v["delayprobe_plot"])),
    ]
    return [(name, rule) for name, rule, ok in checks if not ok]


def problems(declared, values):
    """One line for each setting wrong in values."""
    if "delayprobe_probe" in values:
        return ["delayprobe_probe must be unset: each architecture has its probe in "
                "delayprobe_probes, as {x86_64: PATH}"]
    valid, wrong = {}, []
    for name, value in values.items():
        if name not in declared:
            continue
        result = arg_spec.ArgumentSpecValidator({name: declared[name]}).validate(
            {name: value}, validate_role_argument_spec=True)
        if result.error_messages:
            kind = declared[name]["type"] + (
                f" of {declared[name]['elements']}" if "elements" in declared[name] else "")
            wrong.append(f"{name} must be of type {kind}, not {value!r}")
        valid.update(result.validated_parameters)
    if wrong:
        return wrong
    return [f"{name} must be {rule}, not {valid[name]}" for name, rule in bounds(valid)]


def named(hosts):
    more = len(hosts) - SHOWN
    return ", ".join(hosts[:SHOWN]) + (f" and {more} more" if more > 0 else "")


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("hosts", "files"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        declared = self._loader.load_from_file(os.path.join(
            self._task._role._role_path, "meta", "argument_specs.yml"))
        declared = declared["argument_specs"]["main"]["options"]
        found = collections.defaultdict(list)
        defaults = self._task._role.get_default_vars()
        for host in self._task.args["hosts"]:
            for line in self.host_problems(declared, task_vars["hostvars"], host, defaults):
                found[line].append(host)
        files = collections.defaultdict(list)
        for host, name in zip(self._task.args["hosts"], self._task.args["files"]):
            files[name.lower()].append(host)
        found.update({f"they would share the results file {name}.csv; rename them in the "
                      "inventory": hosts for name, hosts in files.items() if len(hosts) > 1})
        if found:
            return {**result, "failed": True, "msg": "; ".join(
                f"{line} ({named(hosts)})" for line, hosts in found.items())}
        return {**result, "warnings": self.config_warning(task_vars)}

    def host_problems(self, declared, hostvars, host, defaults):
        """A host's variables as its tasks see them, less what those tasks
        set: hostvars lacks the defaults of a role imported by a task."""
        variables = combine_vars(defaults, hostvars.raw_get(host))
        templar = Templar(loader=self._loader, variables=variables)
        values = {}
        for name in [*declared, "delayprobe_probe"]:
            try:
                if name in variables:
                    values[name] = templar.template(variables[name])
            except Exception as e:  # a template that fails for this host
                return [f"{name}: {e}".splitlines()[0]]
        return problems(declared, values)

    def config_warning(self, task_vars):
        """ansible-playbook reads ansible.cfg from the current directory (or
        ANSIBLE_CONFIG), not the playbook's: run elsewhere, the playbook
        works, with several times the SSH commands and connections."""
        mine = os.path.join(task_vars["playbook_dir"], "ansible.cfg")
        read = constants.CONFIG_FILE
        if read and os.path.exists(mine) and os.path.samefile(read, mine):
            return []
        return [f"{mine} was not read ({read or 'no ansible.cfg'} was), so pipelining and "
                f"ControlPersist may be off: run from {os.path.dirname(mine)}, or with "
                f"ANSIBLE_CONFIG={mine}"]
