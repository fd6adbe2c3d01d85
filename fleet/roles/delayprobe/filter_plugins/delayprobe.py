"""On the control machine: the file name a host's results go under, the
probe each architecture gets, and what became of each host in a run."""

import dataclasses
import hashlib
import re
import typing


def delayprobe_file_name(name):
    """An inventory name may hold anything, a slash or a semicolon among them;
    the name of its file keeps only what no shell, no option parser and no
    path can misread, and says by a hash of the whole name when it had to
    change it, so that two hosts never share a file. Long names are cut, as
    a file name has at most 255 bytes."""
    safe = re.sub(r"[^A-Za-z0-9._-]", "_", name)
    safe = re.sub(r"\A[.-]", "_", safe)[:100]
    if safe != name:
        safe += "-" + hashlib.sha256(name.encode("utf-8", "surrogateescape")).hexdigest()[:8]
    return safe


def delayprobe_probe_paths(presets, build):
    """The probe each preset of presets (architecture -> preset) builds,
    in its directory under build, by architecture."""
    return {arch: f"{build}/{preset}/delayprobe" for arch, preset in presets.items()}


# Where a host that could not be reached was lost, by the step's result.
LOST = (("delayprobe_started", "unreachable"),
        ("delayprobe_collected", "unreachable while its runs were collected; they stay on it, "
                                 "for the next run to fetch"))


@dataclasses.dataclass
class Outcome:
    """What became of one host in a run."""
    host: str
    csv: typing.Optional[str] = None  # its runs' file in the run's directory
    partial: bool = False  # the bench stopped early, and csv holds what it kept
    why: typing.Optional[str] = None  # why it was not measured whole
    # The files of runs recovered from stopped runs, beside csv.
    recovered: typing.List[str] = dataclasses.field(default_factory=list)
    unreachable: bool = False


def delayprobe_outcome(host):
    """One host's Outcome, from its variables, as a dict."""
    name = host["inventory_hostname"]
    result = host.get("delayprobe_result")
    if result:
        return dataclasses.asdict(Outcome(**{"host": name, **result}))
    why = next((what for step, what in LOST if (host.get(step) or {}).get("unreachable")),
               "not measured")
    return dataclasses.asdict(Outcome(name, why=f"{name}: {why}", unreachable=True))


class FilterModule:
    def filters(self):
        return {"delayprobe_file_name": delayprobe_file_name,
                "delayprobe_probe_paths": delayprobe_probe_paths,
                "delayprobe_outcome": delayprobe_outcome}
