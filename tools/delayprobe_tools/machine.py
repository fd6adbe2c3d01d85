"""The machine under the figures: evidence read before and after each run,
its state once a session, and what in that state makes timing noisy. It
reads /proc and /sys and never changes anything.

Every file is read under the root that DELAYPROBE_SYSROOT names (default
/): only regular files, and at most LIMIT bytes of each, so that a FIFO or
a device in their place cannot block or flood the reading. A value that
cannot be read, or that no real machine would show (a clock of 1e308 kHz,
a quota past 64 bits), is None, and an empty field in a file; reading
never fails.

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
import stat
import typing

CPUS = "sys/devices/system/cpu"
# The most of a file that is read: /proc/cpuinfo of 512 CPUs is less.
LIMIT = 1 << 20
# More CPUs than any kernel supports: a CPU list past it is not a machine's.
MOST_CPUS = 1 << 16
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


def file_text(name):
    """The stripped text of a regular file under the root, or None. The
    open does not wait for a FIFO's writer, and what is not a regular file
    is not read at all: /proc and /sys show theirs as regular files."""
    try:
        fd = os.open(path(name), os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    except (OSError, ValueError):
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        chunks, size = [], 0
        while size < LIMIT:
            chunk = os.read(fd, LIMIT - size)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
        return b"".join(chunks).decode("utf-8", "replace").strip()
    except OSError:
        return None
    finally:
        os.close(fd)


def paths(pattern):
    """The names under the root that match pattern, relative to it, in
    numeric order, so that cpu10 comes after cpu9."""
    base = path("")
    found = glob.glob(os.path.join(glob.escape(base), pattern))
    names = [os.path.relpath(p, base) for p in found]
    # Every odd part is a run of ASCII digits; other digits (², ١) are text.
    return sorted(names, key=lambda n: [int(w) if i % 2 else w
                                        for i, w in enumerate(re.split(r"([0-9]+)", n))])


def whole(text, low=-1 << 63, high=(1 << 63) - 1):
    """text as a whole number from low to high, or None: ASCII digits
    alone, as the kernel writes them."""
    if not isinstance(text, str) or not re.fullmatch(r"-?[0-9]{1,19}", text.strip()):
        return None
    value = int(text)
    return value if low <= value <= high else None


def to_mhz(khz):
    # From 1 MHz to 1 THz: a clock outside is no clock.
    khz = whole(khz, 1000, 10 ** 9)
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
    for line in (file_text("proc/stat") or "").splitlines():
        words = line.split()
        if words and words[0] == label:
            value = whole(words[8], 0) if len(words) > 8 else None
            return None if value is None else value * 1000000 // ticks()
    return None


def mhz(cpu):
    """cpu's current frequency in MHz, where cpufreq shows it."""
    return to_mhz(file_text(f"{CPUS}/cpu{cpu}/cpufreq/scaling_cur_freq"))


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
        kernel=file_text("proc/sys/kernel/osrelease"), os=os_release(),
        python=platform.python_version(), virtualization=virtualization(),
        cpus=online(), **cpufreq(cpu), boost=boost(),
        isolated=file_text(f"{CPUS}/isolated"), nohz_full=nohz_full(),
        smt=file_text(f"{CPUS}/smt/control"), **quota(), load_start=load(),
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
    return file_text("proc/sys/kernel/arch") or (platform.machine() if root() == "/" else None) \
        or None


def os_release():
    for name in ("etc/os-release", "usr/lib/os-release"):
        for line in (file_text(name) or "").splitlines():
            key, _, value = line.partition("=")
            if key == "PRETTY_NAME":
                try:
                    return " ".join(shlex.split(value))
                except ValueError:  # an unbalanced quote
                    return value
    return None


def cpu_ranges(cpulist):
    """The (first, last) ranges of a kernel CPU list such as 0-3,6, or None
    when it is not one."""
    if cpulist is None:
        return None
    ranges = []
    for part in cpulist.split(","):
        first, dash, last = part.strip().partition("-")
        if not part.strip():
            continue
        low, high = whole(first, 0, MOST_CPUS), whole(last if dash else first, 0, MOST_CPUS)
        if low is None or high is None or high < low:
            return None
        ranges.append((low, high))
    return ranges


def cpu_count(cpulist):
    """The CPUs in a kernel CPU list, or None when it is not one."""
    ranges = cpu_ranges(cpulist)
    return None if ranges is None else sum(high - low + 1 for low, high in ranges)


def listed_cpu(cpu, cpulist):
    """Whether CPU cpu is in a kernel CPU list; None when the list is unknown."""
    ranges = cpu_ranges(cpulist)
    return None if ranges is None else any(low <= cpu <= high for low, high in ranges)


def online_list():
    """The online CPUs, as a kernel CPU list."""
    return file_text(f"{CPUS}/online")


def online():
    return cpu_count(online_list())


def cpufreq(cpu):
    """The governor, the driver and the scaling limits: the pinned CPU's,
    or across all CPUs."""
    cpu = "[0-9]*" if cpu is None else cpu
    dirs = paths(f"{CPUS}/cpu{cpu}/cpufreq")
    values = {key: [file_text(f"{d}/{key}") for d in dirs]
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
    on = {"1": "on", "0": "off"}.get(file_text(f"{CPUS}/cpufreq/boost"))
    if on is None:
        on = {"0": "on", "1": "off"}.get(file_text(f"{CPUS}/intel_pstate/no_turbo"))
    return on


def nohz_full():
    cpus = file_text(f"{CPUS}/nohz_full")
    # Kernels without the option print an unset mask as (null).
    return "" if cpus == "(null)" else cpus


def load():
    """The 1-minute load average now."""
    try:
        value = float(file_text("proc/loadavg").split()[0])
    except (AttributeError, IndexError, ValueError):
        return None
    return value if 0 <= value < 1e9 else None


def microcode():
    lines = (file_text("proc/cpuinfo") or "").splitlines()
    return joined(value.strip() for key, _, value in (line.partition(":") for line in lines)
                  if key.strip() == "microcode")


def mitigations():
    """How many vulnerabilities are in each state, naming the vulnerable."""
    counts = {"vulnerable": [], "mitigated": [], "not affected": [], "unknown": []}
    for name in paths(f"{CPUS}/vulnerabilities/*"):
        said = (file_text(name) or "").lower()
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
    return "none" if file_text("proc/cpuinfo") is not None else None


def hypervisor():
    """The hypervisor this machine runs under, as /sys and /proc show it."""
    kind = file_text("sys/hypervisor/type")
    if kind:
        return kind.lower()
    clocks = file_text("sys/devices/system/clocksource/clocksource0/available_clocksource")
    if "kvm-clock" in (clocks or "").split():
        return "kvm"
    vendor = file_text("sys/class/dmi/id/sys_vendor") or ""
    product = file_text("sys/class/dmi/id/product_name")
    for prefix, model, name in HYPERVISORS:
        if vendor.startswith(prefix) and model in (None, product):
            return name
    flags = [line for line in (file_text("proc/cpuinfo") or "").splitlines()
             if line.split(":")[0].strip() == "flags"]
    return "vm" if any("hypervisor" in line.split() for line in flags) else None


def container():
    """The container this process runs in, as its files show it."""
    if os.path.exists(path(".dockerenv")):
        return "docker"
    if os.path.exists(path("run/.containerenv")):
        return "podman"
    for variable in (file_text("proc/1/environ") or "").split("\0"):
        if variable.startswith("container="):
            kind = variable[len("container="):]
            return kind if kind in CONTAINERS else "container"
    init = file_text("proc/1/cgroup") or ""
    for mark, kind in (("/docker", "docker"), ("/kubepods", "kubernetes"), ("/lxc", "lxc")):
        if mark in init:
            return kind
    return None


def quota():
    """The cgroup whose CPU quota binds this process: the tightest of its
    own and its ancestors', in cgroup v2 and in v1's cpu controller, as the
    kernel enforces each of them; without any, its own."""
    chosen, limit = None, None
    for base, cgroup, version in cgroups():
        node = cgroup
        while True:
            share = ratio(cpu_max(base, node, version))
            if chosen is None or share is not None and (limit is None or share < limit):
                chosen, limit = (base, node, version), share
            if node == "/":
                break
            node = posixpath.dirname(node)
    if chosen is None:
        return {}
    base, node, version = chosen
    stat = dict(line.split(None, 1) for line in
                (file_text(cgroup_file(base, node, "cpu.stat")) or "").splitlines() if " " in line)
    # v1 counts the time throttled in ns, v2 in µs.
    throttled = whole(stat.get("throttled_usec"), 0) if version == 2 else \
        whole(stat.get("throttled_time"), 0)
    return dict(cgroup=node, cpu_max=cpu_max(base, node, version),
                nr_throttled=whole(stat.get("nr_throttled"), 0),
                throttled_us=throttled if version == 2 or throttled is None else throttled // 1000)


def cgroups():
    """(base, cgroup, version) of this process's cgroups that may hold a CPU
    quota: its cgroup v2, and its v1 cgroup of the cpu controller, where
    that controller is mounted; base is their directory under the root."""
    found = []
    for line in (file_text("proc/self/cgroup") or "").splitlines():
        number, _, rest = line.partition(":")
        controllers, _, where = rest.partition(":")
        if not where.startswith("/"):
            continue
        # As written: "//" or "/a/../.." would otherwise walk without end,
        # or out of the root.
        where = posixpath.normpath("/" + where.lstrip("/"))
        if number == "0" and not controllers:
            found.append(("sys/fs/cgroup", where, 2))
        elif "cpu" in controllers.split(","):
            for base in (f"sys/fs/cgroup/{controllers}", "sys/fs/cgroup/cpu,cpuacct",
                         "sys/fs/cgroup/cpu"):
                if "/" not in controllers and os.path.isdir(path(base)):
                    found.append((base, where, 1))
                    break
    return found


def cgroup_file(base, cgroup, name):
    return posixpath.join(base, cgroup.lstrip("/"), name)


def cpu_max(base, cgroup, version):
    """A cgroup's CPU quota as cgroup v2 writes it: "50000 100000" for 50 ms
    of CPU time in every 100 ms, "max 100000" for none; None for no file."""
    if version == 2:
        return file_text(cgroup_file(base, cgroup, "cpu.max"))
    quota = whole(file_text(cgroup_file(base, cgroup, "cpu.cfs_quota_us")), -1)
    period = whole(file_text(cgroup_file(base, cgroup, "cpu.cfs_period_us")), 1)
    if quota is None or period is None:
        return None
    return f"{'max' if quota < 0 else quota} {period}"


def quota_file(cgroup):
    """The file that sets the CPU quota of a cgroup that quota() named."""
    for base, _, version in cgroups():
        name = cgroup_file(base, cgroup, "cpu.max" if version == 2 else "cpu.cfs_quota_us")
        if os.path.exists(path(name)):
            return "/" + name, version
    return "/" + cgroup_file("sys/fs/cgroup", cgroup, "cpu.max"), 2


def ratio(cpu_max):
    """The share of one CPU that a quota allows; None for none."""
    try:
        quota, period = cpu_max.split()
    except (AttributeError, ValueError):
        return None  # no file
    quota, period = whole(quota, 1), whole(period, 1)
    return None if quota is None or period is None else quota / period  # "max 100000"


def thermal():
    """The temperature of each thermal zone, in °C, by its type and name."""
    zones = {}
    for zone in paths("sys/class/thermal/thermal_zone*"):
        # Below absolute zero or past 500 °C is no reading.
        millidegrees = whole(file_text(f"{zone}/temp"), -273150, 500000)
        if millidegrees is not None:
            name = posixpath.basename(zone)
            kind = file_text(f"{zone}/type")
            zones[f"{kind} ({name})" if kind else name] = millidegrees / 1000
    return zones


@dataclasses.dataclass
class Finding:
    name: str  # what was found
    effect: str  # what it does to the figures
    fix: str  # the command that would fix it; nothing here runs it

    def __str__(self):
        return f"{self.name}: {self.effect}. Fix: {self.fix}"


def findings(state, steal_per_s=None, thermal=None, cpu=None):
    """What would make timing noisy on this machine for runs pinned to cpu
    (None: not pinned): steal_per_s is steal() differenced over a second,
    and thermal what thermal() returned."""
    found = [governed(state), boosted(state), shared(state, cpu), threaded(state),
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


def shared(state, cpu=None):
    """The finding for runs whose CPU (cpu, or any when not pinned) other
    work may take."""
    if state.isolated is None or state.cpus == 1:
        return None  # unknown, or nothing to isolate
    effect = ("the scheduler puts other tasks, interrupts and timer ticks on every "
              "CPU that is not isolated, so they preempt runs now and then and "
              "lengthen those figures")
    if cpu is None and state.isolated:
        first = cpu_ranges(state.isolated)[0][0] if cpu_ranges(state.isolated) else None
        return Finding(f"runs not pinned to an isolated CPU (isolated: {state.isolated})",
                       effect, f"measure with --cpu {first}") if first is not None else None
    if cpu is not None and listed_cpu(cpu, state.isolated):
        return None
    # The last CPU: the first takes more of the machine's housekeeping.
    k = cpu if cpu is not None else state.cpus - 1 if state.cpus else 1
    name = "no isolated CPU" if not state.isolated else \
        f"CPU {k} not isolated (isolated: {state.isolated})"
    return Finding(name, effect, f"{kernel_arguments(f'isolcpus={k} nohz_full={k}', state)}, "
                   f"then measure with --cpu {k}")


def kernel_arguments(words, state):
    """How to boot this machine with words on the kernel's command line, by
    the boot loader it has, or who else sets that line."""
    kinds = set((state.virtualization or "").split("+"))
    if kinds & CONTAINERS:
        return (f"no command inside a container, whose kernel is the host's: ask its owner "
                f"to boot the host with {words} and give this container that CPU")
    if os.path.exists(path("etc/default/grub")):
        for tool, run in (("update-grub", "update-grub"),
                          ("grub2-mkconfig", "grub2-mkconfig -o /boot/grub2/grub.cfg"),
                          ("grub-mkconfig", "grub-mkconfig -o /boot/grub/grub.cfg")):
            if any(os.path.exists(path(f"{d}/{tool}")) for d in ("usr/sbin", "sbin", "usr/bin")):
                return f"add {words} to GRUB_CMDLINE_LINUX in /etc/default/grub, run {run} " \
                       "and reboot"
    if os.path.exists(path("usr/sbin/grubby")) or os.path.exists(path("sbin/grubby")):
        return f"grubby --update-kernel=ALL --args='{words}' and reboot"
    if os.path.exists(path("etc/kernel/cmdline")):
        return (f"add {words} to /etc/kernel/cmdline, reinstall the boot entry "
                "(kernel-install add $(uname -r) /boot/vmlinuz-$(uname -r)) and reboot")
    for name in ("boot/firmware/cmdline.txt", "boot/cmdline.txt"):
        if os.path.exists(path(name)):
            return f"add {words} to the one line of /{name} and reboot"
    return (f"no boot loader's settings here: whoever boots this machine (its provider, "
            f"or the host of this guest) sets the kernel's command line; ask for {words}")


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
    name, version = quota_file(state.cgroup or "/")
    return Finding(
        f"CPU quota {state.cpu_max} in cgroup {state.cgroup}{throttled}",
        f"the cgroup may use only {quota} µs of CPU time in every {period} µs; "
        f"once it has, a run waits for the next period, so some figures grow "
        f"by up to {period} µs",
        f"echo {'max' if version == 2 else -1} > {name} (from the host, for a container)")


def hot(zone, celsius):
    if celsius <= HOT_C:
        return None
    return Finding(
        f"thermal zone {zone} at {celsius:.0f} °C, above {HOT_C} °C",
        "a hot chip lowers its clock to cool down, so the figures grow as it "
        "heats during a session",
        "no command: let it cool, improve its cooling, or pause between sessions (--pause 60)")
