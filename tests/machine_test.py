#!/usr/bin/env python3
"""Tests of the machine state reader on made-up /proc and /sys trees, with
contents as the kernel documents them: a physical machine, a KVM guest and
a container."""

import os
import platform
import signal
import sys
import tempfile
import types
import unittest
from unittest import mock

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools")
sys.path.insert(0, TOOLS)
from delayprobe_tools import machine  # noqa: E402

CPU = "sys/devices/system/cpu"
PYTHON = platform.python_version()


def cpufreq(cpus, governor, driver, low, high, current):
    tree = {}
    for n in range(cpus):
        d = f"{CPU}/cpu{n}/cpufreq"
        tree.update({f"{d}/scaling_governor": governor, f"{d}/scaling_driver": driver,
                     f"{d}/scaling_min_freq": low, f"{d}/scaling_max_freq": high,
                     f"{d}/scaling_cur_freq": current + n})
    return tree


def cpuinfo(flags, microcode):
    block = ("processor\t: {n}\nvendor_id\t: GenuineIntel\nmodel name\t: Made-up CPU\n"
             f"microcode\t: {microcode}\nflags\t\t: fpu vme de pse tsc msr {flags}\n\n")
    return "".join(block.format(n=n) for n in range(2))


PHYSICAL = {
    "proc/sys/kernel/osrelease": "6.1.0-18-amd64\n",
    "etc/os-release": 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nNAME="Debian GNU/Linux"\n',
    "proc/cpuinfo": cpuinfo("sse sse2 ht", "0xf4"),
    "proc/stat": "cpu  10132153 290696 3084719 46828483 16683 0 25195 0 0 0\n"
                 "cpu0 1393280 32966 572056 13343292 6130 0 17875 0 0 0\nctxt 115315\n",
    "proc/loadavg": "0.52 0.58 0.59 1/467 12345\n",
    "proc/self/cgroup": "0::/user.slice/user-1000.slice/session-3.scope\n",
    "sys/fs/cgroup/user.slice/cpu.max": "max 100000\n",
    "sys/fs/cgroup/user.slice/user-1000.slice/session-3.scope/cpu.max": "max 100000\n",
    "sys/fs/cgroup/user.slice/user-1000.slice/session-3.scope/cpu.stat":
        "usage_usec 912\nuser_usec 500\nsystem_usec 412\nnr_periods 0\n"
        "nr_throttled 0\nthrottled_usec 0\n",
    f"{CPU}/online": "0-3\n",
    **cpufreq(4, "powersave\n", "intel_pstate\n", "800000\n", "4200000\n", 3900123),
    f"{CPU}/intel_pstate/no_turbo": "0\n",
    f"{CPU}/isolated": "\n",
    f"{CPU}/nohz_full": "(null)\n",
    f"{CPU}/smt/control": "on\n",
    f"{CPU}/vulnerabilities/meltdown": "Not affected\n",
    f"{CPU}/vulnerabilities/spectre_v1":
        "Mitigation: usercopy/swapgs barriers and __user pointer sanitization\n",
    f"{CPU}/vulnerabilities/spectre_v2": "Mitigation: Enhanced IBRS, IBPB: conditional\n",
    f"{CPU}/vulnerabilities/gather_data_sampling": "Vulnerable: No microcode\n",
    f"{CPU}/vulnerabilities/srbds": "Vulnerable\n",
    "sys/class/dmi/id/sys_vendor": "Dell Inc.\n",
    "sys/class/dmi/id/product_name": "OptiPlex 7070\n",
    "sys/devices/system/clocksource/clocksource0/available_clocksource": "tsc hpet acpi_pm \n",
    "sys/class/thermal/thermal_zone0/type": "acpitz\n",
    "sys/class/thermal/thermal_zone0/temp": "27800\n",
    "sys/class/thermal/thermal_zone1/type": "x86_pkg_temp\n",
    "sys/class/thermal/thermal_zone1/temp": "86000\n",
    "etc/default/grub": 'GRUB_DEFAULT=0\nGRUB_CMDLINE_LINUX=""\n',
    "usr/sbin/update-grub": "#!/bin/sh\n",
}

KVM_GUEST = {
    "proc/sys/kernel/osrelease": "5.15.0-91-generic\n",
    "etc/os-release": "NAME=Ubuntu\nPRETTY_NAME='Ubuntu 22.04.3 LTS'\n",
    "proc/cpuinfo": cpuinfo("sse sse2 hypervisor", "0x1"),
    "proc/stat": "cpu  4705 356 584 3699 23 23 0 1994 0 0\n"
                 "cpu0 2352 178 292 1849 11 11 0 1000 0 0\n"
                 "cpu1 2353 178 292 1850 12 12 0 994 0 0\nintr 1462898\n",
    "proc/loadavg": "1.70 0.90 0.40 3/120 999\n",
    "proc/self/cgroup": "0::/system.slice/ssh.service\n",
    "sys/fs/cgroup/system.slice/ssh.service/cpu.max": "max 100000\n",
    "sys/fs/cgroup/system.slice/ssh.service/cpu.stat": "usage_usec 7\nnr_throttled 0\n",
    f"{CPU}/online": "0-1\n",
    f"{CPU}/cpu0/topology/core_id": "0\n",
    f"{CPU}/cpu1/topology/core_id": "1\n",
    f"{CPU}/isolated": "\n",
    f"{CPU}/nohz_full": "\n",
    f"{CPU}/smt/control": "notsupported\n",
    f"{CPU}/vulnerabilities/l1tf": "Mitigation: PTE Inversion\n",
    f"{CPU}/vulnerabilities/mds":
        "Vulnerable: Clear CPU buffers attempted, no microcode; SMT Host state unknown\n",
    f"{CPU}/vulnerabilities/mmio_stale_data": "Unknown: No mitigations\n",
    "sys/class/dmi/id/sys_vendor": "QEMU\n",
    "sys/class/dmi/id/product_name": "Standard PC (i440FX + PIIX, 1996)\n",
    "sys/devices/system/clocksource/clocksource0/available_clocksource": "kvm-clock tsc acpi_pm\n",
}

SCOPE = "sys/fs/cgroup/system.slice/docker-3f2a.scope"
CONTAINER = {
    ".dockerenv": "",
    "proc/sys/kernel/osrelease": "6.5.0-1014-aws\n",
    "etc/os-release": 'PRETTY_NAME="Alpine Linux v3.19"\n',
    "proc/cpuinfo": cpuinfo("sse sse2", "0xd0003a5"),
    "proc/loadavg": "0.10 0.20 0.30 1/80 42\n",
    "proc/self/cgroup": "0::/system.slice/docker-3f2a.scope/app\n",
    "sys/fs/cgroup/system.slice/cpu.max": "max 100000\n",
    f"{SCOPE}/cpu.max": "50000 100000\n",
    f"{SCOPE}/cpu.stat": "usage_usec 81234\nnr_periods 120\nnr_throttled 7\n"
                         "throttled_usec 41234\n",
    f"{SCOPE}/app/cpu.max": "max 100000\n",
    f"{SCOPE}/app/cpu.stat": "usage_usec 81234\nnr_periods 0\nnr_throttled 0\n",
    f"{CPU}/online": "0-7\n",
    **cpufreq(8, "performance\n", "acpi-cpufreq\n", "1500000\n", "3500000\n", 3499000),
    f"{CPU}/cpufreq/boost": "0\n",
    f"{CPU}/isolated": "6-7\n",
    f"{CPU}/nohz_full": "6-7\n",
    f"{CPU}/smt/control": "off\n",
}


# What stands in a tree where a file is expected.
FIFO = object()
ZERO = object()  # a link to /dev/zero, which reads without end


def hung(signum, frame):
    raise AssertionError("the reading blocked or spun for 5 s")


class Tree(unittest.TestCase):
    """Each test reads a made-up tree, never this machine's, and fails
    rather than hangs when a reading blocks."""

    def setUp(self):
        signal.signal(signal.SIGALRM, hung)
        signal.alarm(5)
        self.addCleanup(signal.alarm, 0)

    def use(self, files):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        for name, text in files.items():
            full = os.path.join(tmp.name, name)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            if text is FIFO:
                os.mkfifo(full)
            elif text is ZERO:
                os.symlink("/dev/zero", full)
            else:
                with open(full, "w") as f:
                    f.write(str(text))
        patch = mock.patch.dict(os.environ, {"DELAYPROBE_SYSROOT": tmp.name})
        patch.start()
        self.addCleanup(patch.stop)
        return tmp.name

    def names(self, found):
        return [f.name for f in found]


class Physical(Tree):
    def test_state_and_findings(self):
        self.use(PHYSICAL)
        state = machine.state()
        self.assertEqual(state, machine.State(
            kernel="6.1.0-18-amd64", os="Debian GNU/Linux 12 (bookworm)", python=PYTHON,
            virtualization="none", cpus=4, governor="powersave", driver="intel_pstate",
            boost="on", scaling_min_mhz=800, scaling_max_mhz=4200, isolated="",
            nohz_full="", smt="on", cgroup="/user.slice/user-1000.slice/session-3.scope",
            cpu_max="max 100000", nr_throttled=0, throttled_us=0, load_start=0.52,
            microcode="0xf4",
            mitigations="2 vulnerable (gather_data_sampling srbds), 2 mitigated, 1 not affected"))
        found = machine.findings(state, 0, machine.thermal())
        self.assertEqual(self.names(found), [
            "CPU frequency governor powersave", "turbo boost on", "no isolated CPU", "SMT on",
            "thermal zone x86_pkg_temp (thermal_zone1) at 86 °C, above 80 °C"])
        self.assertEqual(found[1].fix, "echo 1 > /sys/devices/system/cpu/intel_pstate/no_turbo")
        self.assertIn("isolcpus=3 nohz_full=3", found[2].fix)

    def test_steal_and_mhz(self):
        self.use({**KVM_GUEST, **cpufreq(2, "", "", "", "", 2194843)})
        with mock.patch.object(machine.os, "sysconf", return_value=250):
            self.assertEqual(machine.steal(), 1994 * 4000)
            self.assertEqual(machine.steal(1), 994 * 4000)
            self.assertIsNone(machine.steal(2))
        self.assertEqual((machine.mhz(0), machine.mhz(1), machine.mhz(2)), (2195, 2195, None))

    def test_usage(self):
        rusage = types.SimpleNamespace(ru_utime=0.0031, ru_stime=0.0004, ru_nivcsw=3)
        self.assertEqual(machine.usage(rusage, 5000), machine.Usage(3500, 3, 0.7))


class Guest(Tree):
    def test_state_and_findings(self):
        root = self.use(KVM_GUEST)
        state = machine.state()
        self.assertEqual(state, machine.State(
            kernel="5.15.0-91-generic", os="Ubuntu 22.04.3 LTS", python=PYTHON,
            virtualization="kvm", cpus=2, isolated="", nohz_full="", smt="notsupported",
            cgroup="/system.slice/ssh.service", cpu_max="max 100000", nr_throttled=0,
            load_start=1.7, microcode="0x1",
            mitigations="1 vulnerable (mds), 1 mitigated, 1 unknown"))
        found = machine.findings(state, 19400, machine.thermal())
        self.assertEqual(self.names(found), [
            "no isolated CPU", "load average 1.7, above 1 (half the 2 CPUs)",
            "steal 19.4 ms a second", "virtual machine (kvm)"])
        # Without a paravirtual clock, DMI names the hypervisor; without
        # either, the CPU's hypervisor flag still tells a guest.
        os.remove(os.path.join(root, "sys/devices/system/clocksource/clocksource0/"
                                     "available_clocksource"))
        self.assertEqual(machine.virtualization(), "qemu")
        os.remove(os.path.join(root, "sys/class/dmi/id/sys_vendor"))
        self.assertEqual(machine.virtualization(), "vm")


class Container(Tree):
    def test_state_and_findings(self):
        self.use(CONTAINER)
        state = machine.state(cpu=7)
        self.assertEqual(state, machine.State(
            kernel="6.5.0-1014-aws", os="Alpine Linux v3.19", python=PYTHON,
            virtualization="docker", cpus=8, governor="performance", driver="acpi-cpufreq",
            boost="off", scaling_min_mhz=1500, scaling_max_mhz=3500, isolated="6-7",
            nohz_full="6-7", smt="off", cgroup="/system.slice/docker-3f2a.scope",
            cpu_max="50000 100000", nr_throttled=7, throttled_us=41234, load_start=0.1,
            microcode="0xd0003a5"))
        found = machine.findings(state, None, {}, cpu=7)
        self.assertEqual(self.names(found), [
            "CPU quota 50000 100000 in cgroup /system.slice/docker-3f2a.scope, "
            "throttled 7 times"])
        self.assertEqual(found[0].fix, "echo max > /sys/fs/cgroup/system.slice/docker-3f2a.scope/"
                                       "cpu.max (from the host, for a container)")
        fields = machine.fields(state)
        self.assertEqual((fields["cpu_max"], fields["load_start"], fields["load_end"]),
                         ("50000 100000", "0.1", ""))

    def test_quotas_bind_at_the_tightest_in_either_version(self):
        v1 = "sys/fs/cgroup/cpu,cpuacct"
        for name, files, cgroup, cpu_max, throttled, fix in [
            ("a child looser than its parent",
             {"proc/self/cgroup": "0::/a/b\n", "sys/fs/cgroup/a/cpu.max": "20000 100000\n",
              "sys/fs/cgroup/a/b/cpu.max": "80000 100000\n",
              "sys/fs/cgroup/a/cpu.stat": "nr_throttled 3\nthrottled_usec 900\n"},
             "/a", "20000 100000", (3, 900), "echo max > /sys/fs/cgroup/a/cpu.max"),
            ("cgroup v1",
             {"proc/self/cgroup": "4:cpu,cpuacct:/docker/f00\n1:name=systemd:/docker/f00\n",
              f"{v1}/docker/f00/cpu.cfs_quota_us": "5000\n",
              f"{v1}/docker/f00/cpu.cfs_period_us": "100000\n",
              f"{v1}/docker/f00/cpu.stat": "nr_periods 700\nnr_throttled 638\n"
                                           "throttled_time 61234567890\n",
              f"{v1}/docker/cpu.cfs_quota_us": "-1\n",
              f"{v1}/docker/cpu.cfs_period_us": "100000\n"},
             "/docker/f00", "5000 100000", (638, 61234567),
             f"echo -1 > /{v1}/docker/f00/cpu.cfs_quota_us"),
            ("a path of //",
             {"proc/self/cgroup": "0:://\n", "sys/fs/cgroup/cpu.max": "max 100000\n"},
             "/", "max 100000", (None, None), None),
        ]:
            with self.subTest(name):
                self.use({**files, f"{CPU}/online": "0-1\n", f"{CPU}/isolated": "1\n"})
                state = machine.state(cpu=1)
                self.assertEqual((state.cgroup, state.cpu_max, state.nr_throttled,
                                  state.throttled_us), (cgroup, cpu_max, *throttled))
                found = machine.findings(state, cpu=1)
                self.assertEqual([f.fix.split(" (")[0] for f in found], [fix] if fix else [])

    def test_nothing_readable(self):
        self.use({})
        state = machine.state()
        self.assertEqual(state, machine.State(python=PYTHON))
        self.assertEqual((machine.steal(), machine.mhz(0), machine.thermal()), (None, None, {}))
        self.assertEqual(machine.findings(state, None, machine.thermal()), [])


class Hostile(Tree):
    """What no real machine shows: the reading says unknown, at once."""

    def test_odd_files_read_as_unknown(self):
        freq = f"{CPU}/cpu0/cpufreq"
        huge = "9" * 30
        for files, value, expected in [
            ({"proc/stat": FIFO}, machine.steal, None),
            ({f"{freq}/scaling_cur_freq": ZERO}, lambda: machine.mhz(0), None),
            ({f"{freq}/scaling_cur_freq": "1e308\n"}, lambda: machine.mhz(0), None),
            ({f"{freq}/scaling_cur_freq": "٣٠٠٠٠٠٠\n"}, lambda: machine.mhz(0), None),
            ({f"{freq}/scaling_max_freq": huge}, lambda: machine.state().scaling_max_mhz, None),
            ({f"{CPU}/online": f"0-{huge}\n"}, lambda: machine.state().cpus, None),
            ({"proc/loadavg": "inf 0 0\n"}, machine.load, None),
            ({"sys/class/thermal/thermal_zone0/temp": huge}, machine.thermal, {}),
            ({"proc/self/cgroup": "0::/\n", "sys/fs/cgroup/cpu.max": f"{huge} 100000\n"},
             lambda: machine.findings(machine.state()), []),
            ({"proc/self/cgroup": "0::/../../x\n"}, lambda: machine.state().cgroup, "/x"),
            ({f"{CPU}/vulnerabilities/spectre_v1²": "Vulnerable\n",
              f"{CPU}/vulnerabilities/spectre_v10": "Not affected\n"}, machine.mitigations,
             "1 vulnerable (spectre_v1²), 1 not affected"),
        ]:
            with self.subTest(files=list(files)):
                self.use(files)
                self.assertEqual(value(), expected)

    def test_isolation_is_told_for_the_cpu_measured_with_the_machine_s_own_fix(self):
        grub = {"etc/default/grub": "", "usr/sbin/update-grub": ""}
        for files, cpu, name, fix in [
            (grub, None, "no isolated CPU", "add isolcpus=1 nohz_full=1 to GRUB_CMDLINE_LINUX "
             "in /etc/default/grub, run update-grub and reboot, then measure with --cpu 1"),
            ({f"{CPU}/isolated": "1\n"}, 0, "CPU 0 not isolated (isolated: 1)",
             "whoever boots this machine"),
            ({f"{CPU}/isolated": "1\n"}, None, "runs not pinned to an isolated CPU (isolated: 1)",
             "measure with --cpu 1"),
            ({f"{CPU}/isolated": "1\n"}, 1, None, None),
            ({"usr/sbin/grubby": ""}, 0, "no isolated CPU",
             "grubby --update-kernel=ALL --args='isolcpus=0 nohz_full=0' and reboot"),
            ({"etc/kernel/cmdline": ""}, 0, "no isolated CPU", "to /etc/kernel/cmdline"),
            ({"boot/firmware/cmdline.txt": ""}, 0, "no isolated CPU",
             "to the one line of /boot/firmware/cmdline.txt"),
            ({**grub, ".dockerenv": ""}, 0, "no isolated CPU", "no command inside a container"),
        ]:
            with self.subTest(files=list(files), cpu=cpu):
                self.use({f"{CPU}/online": "0-1\n", f"{CPU}/isolated": "\n", "proc/cpuinfo": "",
                          **files})
                found = [f for f in machine.findings(machine.state(cpu), cpu=cpu)
                         if "isol" in f.name]
                self.assertEqual([f.name for f in found], [name] if name else [])
                if fix:
                    self.assertIn(fix, found[0].fix)


if __name__ == "__main__":
    unittest.main()
