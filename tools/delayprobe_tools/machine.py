"""The machine under the figures: evidence read before and after each run,
its state once a session, and what in that state makes timing noisy. It
reads /proc and /sys and never changes anything.

Every file is read under the root that DELAYPROBE_SYSROOT names (default
/). A value that cannot be read is None, and an empty field in a file;
reading never fails.

Per run, read before and after it, and differenced:
  steal(cpu)          the machine's steal time so far, in µs: the pinned
                      CPU's, or all CPUs' together when cpu is None
  mhz(cpu)            that CPU's current frequency, in MHz
  usage(rusage, wall_us)
                      the run's CPU time and involuntary context switches,
                      from os.wait4

Per session, state(cpu) gives a State, and fields(state) its values as text
under these names:
  kernel              the kernel release
  os                  the OS release (PRETTY_NAME)
  python              the Python version
  virtualization      the hypervisor, the container, both joined by "+"
                      (kvm+docker), or none
  cpus                online CPUs
  governor            the pinned CPU's cpufreq governor, or the governors
                      of all CPUs, joined by ","
  driver              the cpufreq driver, likewise
  boost               on or off, from cpufreq/boost or intel_pstate/no_turbo
  scaling_min_mhz     the lowest clock the governor may choose, in MHz
  scaling_max_mhz     the highest, in MHz
  isolated            the CPUs isolated from the scheduler (isolcpus=), as
                      a list such as 2-3; empty for none
  nohz_full           the CPUs without a timer tick when busy, likewise
  smt                 on, off, forceoff, notsupported or notimplemented
  cgroup              the cgroup v2 whose CPU quota binds, or this process's
  cpu_max             its quota: "max 100000" for none, "50000 100000" for
                      50 ms of CPU time in every 100 ms
  nr_throttled        the times that cgroup was throttled so far
  throttled_us        the time it spent throttled so far, in µs
  load_start          the 1-minute load average when the session started
  load_end            and when it ended: set by the caller, with load()
  microcode           the CPUs' microcode revisions, joined by ","
  mitigations         how many CPU vulnerabilities are vulnerable (named),
                      mitigated, not affected or unknown
  arch                the machine's architecture, as uname -m gives it
                      (x86_64, aarch64): figures of two compare only
                      within one

findings(state, steal_per_s, thermal()) says what would make figures noisy
here, each with what it does to them and the command that would fix it."""

import dataclasses
import glob
import os
import platform
import posixpath
import re
import shlex
import typing

CPUS = "sys/devices/system/cpu"
# Above this a chip commonly lowers its clock to cool down.
HOT_C = 80
# The container kinds that container() gives; any other part of
# virtualization names a hypervisor.
CONTAINERS = {"docker", "podman", "kubernetes", "lxc", "lxc-libvirt", "systemd-nspawn",
              "rkt", "wsl", "proot", "pouch", "oci", "container"}
# DMI vendors, and the product where the vendor also makes real machines.
HYPERVISORS = (("QEMU", None, "qemu"), ("VMware", None, "vmware"),
               ("innotek", None, "virtualbox"), ("Xen", None, "xen"),
               ("BHYVE", None, "bhyve"), ("Parallels", None, "parallels"),
               ("Microsoft Corporation", "Virtual Machine", "hyperv"))


def root():
    return os.environ.get("DELAYPROBE_SYSROOT") or "/"


def path(name):
    return os.path.join(root(), name.lstrip("/"))


def read(name):
    """The stripped text of a file under the root, or None."""
    try:
        with open(path(name), encoding="utf-8", errors="replace") as f:
            return f.read().strip()
    except (OSError, ValueError):
        return None


def paths(pattern):
    """The names under the root that match pattern, relative to it, in
    numeric order, so that cpu10 comes after cpu9."""
    base = path("")
    found = glob.glob(os.path.join(glob.escape(base), pattern))
    names = [os.path.relpath(p, base) for p in found]
    return sorted(names, key=lambda n: [int(w) if w.isdigit() else w
                                        for w in re.split(r"([0-9]+)", n)])


def whole(text):
    try:
        return int(text)
    except (TypeError, ValueError):
        return None


def to_mhz(khz):
    khz = whole(khz)
    return None if khz is None else round(khz / 1000)


def ticks():
    """USER_HZ: the unit of /proc/stat's times."""
    try:
        hz = os.sysconf("SC_CLK_TCK")
    except (AttributeError, ValueError, OSError):
        return 100
    return hz if hz > 0 else 100


def steal(cpu=None):
    """Steal time so far in µs, from /proc/stat: cpu's, or the machine's."""
    label = "cpu" if cpu is None else f"cpu{cpu}"
    for line in (read("proc/stat") or "").splitlines():
        words = line.split()
        if words and words[0] == label:
            value = whole(words[8]) if len(words) > 8 else None
            return None if value is None else value * 1000000 // ticks()
    return None


def mhz(cpu):
    """cpu's current frequency in MHz, where cpufreq shows it."""
    return to_mhz(read(f"{CPUS}/cpu{cpu}/cpufreq/scaling_cur_freq"))


@dataclasses.dataclass
class Usage:
    cpu_us: int  # user and system CPU time of the run
    nivcsw: int  # involuntary context switches: times it was preempted
    share: typing.Optional[float]  # cpu_us over the wall time


def usage(rusage, wall_us):
    """A run's use of the CPU, from the rusage that os.wait4 returns."""
    cpu_us = round((rusage.ru_utime + rusage.ru_stime) * 1000000)
    share = cpu_us / wall_us if wall_us > 0 else None
    return Usage(cpu_us, rusage.ru_nivcsw, share)


@dataclasses.dataclass
class State:
    kernel: typing.Optional[str] = None
    os: typing.Optional[str] = None
    python: typing.Optional[str] = None
    virtualization: typing.Optional[str] = None
    cpus: typing.Optional[int] = None
    governor: typing.Optional[str] = None
    driver: typing.Optional[str] = None
    boost: typing.Optional[str] = None
    scaling_min_mhz: typing.Optional[int] = None
    scaling_max_mhz: typing.Optional[int] = None
    isolated: typing.Optional[str] = None
    nohz_full: typing.Optional[str] = None
    smt: typing.Optional[str] = None
    cgroup: typing.Optional[str] = None
    cpu_max: typing.Optional[str] = None
    nr_throttled: typing.Optional[int] = None
    throttled_us: typing.Optional[int] = None
    load_start: typing.Optional[float] = None
    load_end: typing.Optional[float] = None
    microcode: typing.Optional[str] = None
    mitigations: typing.Optional[str] = None
    arch: typing.Optional[str] = None


# The names of the state's fields, in order, as the run file has them.
FIELDS = tuple(f.name for f in dataclasses.fields(State))


def state(cpu=None):
    """The machine's state now; cpu, the CPU runs are pinned to, if any."""
    return State(
        kernel=read("proc/sys/kernel/osrelease"), os=os_release(),
        python=platform.python_version(), virtualization=virtualization(),
        cpus=online(), **cpufreq(cpu), boost=boost(),
        isolated=read(f"{CPUS}/isolated"), nohz_full=nohz_full(),
        smt=read(f"{CPUS}/smt/control"), **quota(), load_start=load(),
        microcode=microcode(), mitigations=mitigations(), arch=architecture())


def fields(state):
    """The state's values as text, by field name; empty where unknown."""
    return {name: text(value) for name, value in dataclasses.asdict(state).items()}


def text(value):
    if value is None:
        return ""
    return f"{value:g}" if isinstance(value, float) else str(value)


def architecture():
    # The kernel says it since 5.17; platform.machine() asks uname(2),
    # which no made-up tree can answer for.
    return read("proc/sys/kernel/arch") or (platform.machine() if root() == "/" else None) \
        or None


def os_release():
    for name in ("etc/os-release", "usr/lib/os-release"):
        for line in (read(name) or "").splitlines():
            key, _, value = line.partition("=")
            if key == "PRETTY_NAME":
                try:
                    return " ".join(shlex.split(value))
                except ValueError:  # an unbalanced quote
                    return value
    return None


def cpu_count(cpulist):
    """The CPUs in a kernel CPU list such as 0-3,6."""
    count = 0
    for part in cpulist.split(","):
        first, _, last = part.partition("-")
        if first.strip():
            count += int(last or first) - int(first) + 1
    return count


def online():
    try:
        return cpu_count(read(f"{CPUS}/online"))
    except (AttributeError, ValueError):
        return None


def cpufreq(cpu):
    """The governor, the driver and the scaling limits: the pinned CPU's,
    or across all CPUs."""
    cpu = "[0-9]*" if cpu is None else cpu
    dirs = paths(f"{CPUS}/cpu{cpu}/cpufreq")
    values = {key: [read(f"{d}/{key}") for d in dirs]
              for key in ("scaling_governor", "scaling_driver",
                          "scaling_min_freq", "scaling_max_freq")}
    low = [m for m in map(to_mhz, values["scaling_min_freq"]) if m is not None]
    high = [m for m in map(to_mhz, values["scaling_max_freq"]) if m is not None]
    return dict(governor=joined(values["scaling_governor"]),
                driver=joined(values["scaling_driver"]),
                scaling_min_mhz=min(low, default=None),
                scaling_max_mhz=max(high, default=None))


def joined(values):
    return ",".join(sorted({v for v in values if v})) or None


def boost():
    on = {"1": "on", "0": "off"}.get(read(f"{CPUS}/cpufreq/boost"))
    if on is None:
        on = {"0": "on", "1": "off"}.get(read(f"{CPUS}/intel_pstate/no_turbo"))
    return on


def nohz_full():
    cpus = read(f"{CPUS}/nohz_full")
    # Kernels without the option print an unset mask as (null).
    return "" if cpus == "(null)" else cpus


def load():
    """The 1-minute load average now."""
    try:
        return float(read("proc/loadavg").split()[0])
    except (AttributeError, IndexError, ValueError):
        return None


def microcode():
    lines = (read("proc/cpuinfo") or "").splitlines()
    return joined(value.strip() for key, _, value in (line.partition(":") for line in lines)
                  if key.strip() == "microcode")


def mitigations():
    """How many vulnerabilities are in each state, naming the vulnerable."""
    counts = {"vulnerable": [], "mitigated": [], "not affected": [], "unknown": []}
    for name in paths(f"{CPUS}/vulnerabilities/*"):
        said = (read(name) or "").lower()
        if said.startswith("not affected"):
            kind = "not affected"
        elif said.startswith("mitigation"):
            kind = "mitigated"  # even "..., SMT vulnerable": a mitigation is on
        elif "vulnerable" in said:
            kind = "vulnerable"
        else:
            kind = "unknown"
        counts[kind].append(posixpath.basename(name))
    parts = [f"{len(names)} {kind}" for kind, names in counts.items() if names]
    if counts["vulnerable"]:
        parts[0] += f" ({' '.join(counts['vulnerable'])})"
    return ", ".join(parts) or None


def virtualization():
    parts = [p for p in (hypervisor(), container()) if p]
    if parts:
        return "+".join(parts)
    return "none" if read("proc/cpuinfo") is not None else None


def hypervisor():
    """The hypervisor this machine runs under, as /sys and /proc show it."""
    kind = read("sys/hypervisor/type")
    if kind:
        return kind.lower()
    clocks = read("sys/devices/system/clocksource/clocksource0/available_clocksource")
    if "kvm-clock" in (clocks or "").split():
        return "kvm"
    vendor = read("sys/class/dmi/id/sys_vendor") or ""
    product = read("sys/class/dmi/id/product_name")
    for prefix, model, name in HYPERVISORS:
        if vendor.startswith(prefix) and model in (None, product):
            return name
    flags = [line for line in (read("proc/cpuinfo") or "").splitlines()
             if line.split(":")[0].strip() == "flags"]
    return "vm" if any("hypervisor" in line.split() for line in flags) else None


def container():
    """The container this process runs in, as its files show it."""
    if os.path.exists(path(".dockerenv")):
        return "docker"
    if os.path.exists(path("run/.containerenv")):
        return "podman"
    for variable in (read("proc/1/environ") or "").split("\0"):
        if variable.startswith("container="):
            kind = variable[len("container="):]
            return kind if kind in CONTAINERS else "container"
    init = read("proc/1/cgroup") or ""
    for mark, kind in (("/docker", "docker"), ("/kubepods", "kubernetes"), ("/lxc", "lxc")):
        if mark in init:
            return kind
    return None


def quota():
    """The cgroup v2 whose CPU quota binds this process: the tightest of
    its own and its ancestors', as the kernel enforces each of them."""
    cgroup = own_cgroup()
    if cgroup is None:
        return {}
    chosen, limit, node = cgroup, None, cgroup
    while True:
        share = ratio(read(cgroup_file(node, "cpu.max")))
        if share is not None and (limit is None or share < limit):
            chosen, limit = node, share
        if node == "/":
            break
        node = posixpath.dirname(node)
    stat = dict(line.split(None, 1) for line in
                (read(cgroup_file(chosen, "cpu.stat")) or "").splitlines() if " " in line)
    return dict(cgroup=chosen, cpu_max=read(cgroup_file(chosen, "cpu.max")),
                nr_throttled=whole(stat.get("nr_throttled")),
                throttled_us=whole(stat.get("throttled_usec")))


def own_cgroup():
    for line in (read("proc/self/cgroup") or "").splitlines():
        if line.startswith("0::/"):
            return line[3:]
    return None


def cgroup_file(cgroup, name):
    return posixpath.join("sys/fs/cgroup", cgroup.lstrip("/"), name)


def ratio(cpu_max):
    """The share of one CPU that a cpu.max allows; None for no quota."""
    try:
        quota, period = cpu_max.split()
        return int(quota) / int(period)
    except (AttributeError, ValueError, ZeroDivisionError):
        return None  # "max 100000", or no file


def thermal():
    """The temperature of each thermal zone, in °C, by its type and name."""
    zones = {}
    for zone in paths("sys/class/thermal/thermal_zone*"):
        millidegrees = whole(read(f"{zone}/temp"))
        if millidegrees is not None:
            name = posixpath.basename(zone)
            kind = read(f"{zone}/type")
            zones[f"{kind} ({name})" if kind else name] = millidegrees / 1000
    return zones


@dataclasses.dataclass
class Finding:
    name: str  # what was found
    effect: str  # what it does to the figures
    fix: str  # the command that would fix it; nothing here runs it

    def __str__(self):
        return f"{self.name}: {self.effect}. Fix: {self.fix}"


def findings(state, steal_per_s=None, thermal=None):
    """What would make timing noisy on this machine: steal_per_s is steal()
    differenced over a second, and thermal what thermal() returned."""
    found = [governed(state), boosted(state), shared(state), threaded(state),
             loaded(state), stolen(steal_per_s), virtual(state), limited(state)]
    found += [hot(zone, celsius) for zone, celsius in (thermal or {}).items()]
    return [f for f in found if f]


def governed(state):
    if state.governor and set(state.governor.split(",")) != {"performance"}:
        return Finding(
            f"CPU frequency governor {state.governor}",
            "the clock follows the load, so the first runs and those after a pause "
            "run at a lower clock, and the figures grow and spread",
            "cpupower frequency-set -g performance")
    return None


def boosted(state):
    if state.boost != "on":
        return None
    intel = (state.driver or "").startswith("intel")
    return Finding(
        "turbo boost on",
        "the clock rises above its base while the chip is cool and its other "
        "cores idle, and falls as it heats or they wake, so the figures follow "
        "the temperature and the other work",
        "echo 1 > /sys/devices/system/cpu/intel_pstate/no_turbo" if intel
        else "echo 0 > /sys/devices/system/cpu/cpufreq/boost")


def shared(state):
    if state.isolated != "" or state.cpus == 1:
        return None  # unknown, isolated already, or nothing to isolate
    # The last CPU: the first takes more of the machine's housekeeping.
    k = state.cpus - 1 if state.cpus else 1
    return Finding(
        "no isolated CPU",
        "the scheduler puts other tasks, interrupts and timer ticks on every "
        "CPU, so they preempt runs now and then and lengthen those figures",
        f"add isolcpus={k} nohz_full={k} to GRUB_CMDLINE_LINUX in /etc/default/grub, "
        f"run update-grub and reboot, then measure with --cpu {k}")


def threaded(state):
    if state.smt != "on":
        return None
    return Finding(
        "SMT on",
        "the sibling hardware thread of a run's core shares its execution units, "
        "so work on the sibling slows the run",
        "echo off > /sys/devices/system/cpu/smt/control "
        "(until reboot; the nosmt kernel parameter keeps it off)")


def loaded(state):
    # At the start only: by the end the bench's own runs add about one.
    if state.load_start is None or not state.cpus:
        return None
    # Above half the CPUs, a run's CPU is more likely busy than idle.
    limit = state.cpus / 2
    if state.load_start <= limit:
        return None
    return Finding(
        f"load average {state.load_start:g}, above {limit:g} (half the {state.cpus} CPUs)",
        "a run's CPU is then more likely busy than idle, so runs wait behind "
        "other work and the figures grow and spread",
        "top -o %CPU shows the busy processes: stop them, or measure when the machine is idle")


def stolen(steal_per_s):
    if not steal_per_s or steal_per_s <= 0:
        return None
    return Finding(
        f"steal {steal_per_s / 1000:.1f} ms a second",
        "the hypervisor ran other work on this machine's physical CPUs; a run "
        "whose CPU is taken so takes longer by the time stolen, at random",
        "no command inside the guest: ask the provider for dedicated CPUs "
        "(a dedicated host or pinned vCPUs), or measure on bare metal")


def virtual(state):
    vms = [p for p in (state.virtualization or "none").split("+")
           if p not in CONTAINERS and p != "none"]
    if not vms:
        return None
    return Finding(
        f"virtual machine ({vms[0]})",
        "the hypervisor shares the physical CPUs and may move the virtual ones "
        "between them, so the figures vary with the host's load and differ "
        "from bare metal",
        "no command inside the guest: ask for dedicated, pinned vCPUs, or measure on bare metal")


def limited(state):
    share = ratio(state.cpu_max)
    if share is None:
        return None
    quota, period = state.cpu_max.split()
    throttled = "" if state.nr_throttled is None else f", throttled {state.nr_throttled} times"
    return Finding(
        f"CPU quota {state.cpu_max} in cgroup {state.cgroup}{throttled}",
        f"the cgroup may use only {quota} µs of CPU time in every {period} µs; "
        f"once it has, a run waits for the next period, so some figures grow "
        f"by up to {period} µs",
        f"echo max > {'/' + cgroup_file(state.cgroup or '/', 'cpu.max')} "
        "(from the host, for a container)")


def hot(zone, celsius):
    if celsius <= HOT_C:
        return None
    return Finding(
        f"thermal zone {zone} at {celsius:.0f} °C, above {HOT_C} °C",
        "a hot chip lowers its clock to cool down, so the figures grow as it "
        "heats during a session",
        "no command: let it cool, improve its cooling, or pause between sessions (--pause 60)")
