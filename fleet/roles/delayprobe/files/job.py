"""A host's measurement, shipped by the playbook as one archive: this file as
its __main__.py, the probe, delayprobe-bench and its modules. The archive
arrives on the stdin of one command, which writes it to a directory of its
own (JOB, under the host's temporary directory) and runs it:

  job.pyz start JOB RUN SECONDS -- BENCH-OPTIONS
      refuse when an earlier measurement still runs here; else start this
      one detached from the connection and print at once, as JSON, its
      directory and the earlier ones that ended without being fetched
  job.pyz run JOB
      the measurement: unpack, run the bench until it ends or SECONDS have
      passed since the start, when SIGTERM stops it keeping its runs;
      remove what was unpacked, and say how the bench ended
  job.pyz collect JOB [EARLIER...]
      wait until JOB's measurement ends, then print each directory's runs
      and how its bench ended, as JSON

Each JOB holds job.json (what started it), lock (held while it runs),
runs.csv, bench.err and, once it has ended, status.json; the playbook
removes JOB once it has the runs. A later version of this file collects
what an earlier one left: the JSON files carry a version, and a reader
takes the fields it knows. Python 3.8 or later, standard library only, as
on every measured host."""

import contextlib
import dataclasses
import fcntl
import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import typing
import zipfile

# From the archive, which Python puts first on sys.path.
try:
    from delayprobe_tools import runfile
except ImportError as e:
    sys.exit(f"delayprobe job: {e.name}: not found; it runs from the archive the playbook makes")

VERSION = 1
# How long the bench may take to stop after SIGTERM before it is killed:
# it ends the run under way at once, so this is only a bound.
GRACE = 30
PROBE = "delayprobe"
BENCH = "delayprobe-bench"
UNPACKED = (PROBE, BENCH, "delayprobe_tools")


@dataclasses.dataclass
class Job:
    """job.json: what started a measurement, in seconds since 1970."""
    run: str
    started: float
    deadline: float
    options: typing.List[str]
    version: int = VERSION


@dataclasses.dataclass
class Status:
    """status.json: how the bench ended; rc None when it is not known."""
    rc: typing.Optional[int]
    why: str
    version: int = VERSION


@dataclasses.dataclass
class Found:
    """A measurement as collect answers for it: its run file's text, and
    how many figures of the probe that holds."""
    dir: str
    run: typing.Optional[str]
    rc: typing.Optional[int]
    why: str
    csv: str
    figures: int


def fail(message):
    sys.stderr.write(f"delayprobe job: {message}\n")
    sys.exit(1)


def save(path, record):
    """Written whole or not at all."""
    with open(path + ".part", "w", encoding="utf-8") as f:
        json.dump(dataclasses.asdict(record), f)
    os.replace(path + ".part", path)


def load(kind, path):
    """The record of kind in path, or None when it cannot be read."""
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        return kind(**{f.name: data[f.name] for f in dataclasses.fields(kind) if f.name in data})
    except (OSError, ValueError, TypeError):
        return None


@contextlib.contextmanager
def locked(path):
    """An exclusive lock on a directory, which leaves no file behind."""
    fd = os.open(path, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def running(job):
    """Whether a measurement holds job's lock now."""
    try:
        fd = os.open(os.path.join(job, "lock"), os.O_RDONLY)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    finally:
        os.close(fd)


def earlier(job):
    """This user's other measurements beside job, as the playbook names
    them: those still running, and those that ended."""
    busy, ended = [], []
    for other in sorted(glob.glob(os.path.join(os.path.dirname(job), "delayprobe.*"))):
        started = load(Job, os.path.join(other, "job.json"))
        if other == job or started is None or os.stat(other).st_uid != os.getuid():
            continue
        (busy if running(other) else ended).append({"dir": other, "run": started.run})
    return busy, ended


def start(job, run, seconds, options):
    """Start the measurement detached, unless another runs here; the lock
    is taken before it starts, so that a collect that comes at once waits."""
    with locked(os.path.dirname(job)):
        busy, ended = earlier(job)
        if busy:
            shutil.rmtree(job)
            print(json.dumps({"version": VERSION, "busy": busy}))
            return
        now = time.time()
        save(os.path.join(job, "job.json"), Job(run, now, now + float(seconds), options))
        lock = os.open(os.path.join(job, "lock"), os.O_CREAT | os.O_RDWR, 0o600)
        fcntl.flock(lock, fcntl.LOCK_EX)
        # A session of its own: no signal of the connection reaches it.
        with open(os.path.join(job, "job.err"), "wb") as err:
            subprocess.Popen([sys.executable, os.path.join(job, "job.pyz"), "run", job], cwd=job,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                             pass_fds=(lock,), start_new_session=True)
    print(json.dumps({"version": VERSION, "job": job, "ended": ended}))


def unpack(job):
    with zipfile.ZipFile(os.path.join(job, "job.pyz")) as archive:
        archive.extractall(job, [m for m in archive.namelist() if m.split("/")[0] in UNPACKED])
    for name in (PROBE, BENCH):
        os.chmod(os.path.join(job, name), 0o755)


def measure(job, options, deadline):
    """Run the bench until it ends, or stop it at the deadline: its exit
    status, and whether the deadline stopped it. A signal to this process
    stops the bench too, which keeps its runs."""
    bench = []

    def forward(signum, frame):
        for process in bench:
            process.terminate()

    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, forward)
    with open(os.path.join(job, "bench.err"), "wb") as err:
        bench.append(subprocess.Popen(
            [sys.executable, BENCH, *options, "--csv", "runs.csv", "./" + PROBE], cwd=job,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err))
    try:
        return bench[0].wait(max(0, deadline - time.time())), False
    except subprocess.TimeoutExpired:
        bench[0].terminate()
    try:
        bench[0].wait(GRACE)
    except subprocess.TimeoutExpired:
        bench[0].kill()
        bench[0].wait()
    return bench[0].returncode, True


def last_line(path):
    try:
        with open(path, "rb") as f:
            lines = f.read().decode("utf-8", "replace").strip().splitlines()
    except OSError:
        return ""
    return lines[-1] if lines else ""


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


def run(job):
    started = load(Job, os.path.join(job, "job.json"))
    rc, why, overran = 1, "", False
    try:
        unpack(job)
        rc, overran = measure(job, started.options, started.deadline)
        why = last_line(os.path.join(job, "bench.err"))
    except Exception as e:  # said in status.json, for the playbook to show
        why = f"{type(e).__name__}: {e}"
    finally:
        for name in UNPACKED:
            remove(os.path.join(job, name))
        if overran:
            why = f"stopped at its deadline, {started.deadline - started.started:.0f} s " \
                  f"after it started: {why}"
        save(os.path.join(job, "status.json"), Status(rc, why))


def wait(job):
    """Until job's measurement has ended, or its deadline and grace have
    passed."""
    started = load(Job, os.path.join(job, "job.json"))
    left = (started.deadline if started else 0) + GRACE + 5 - time.time()
    signal.signal(signal.SIGALRM, lambda signum, frame: None)
    signal.alarm(max(1, int(left) + 1))
    try:
        fd = os.open(os.path.join(job, "lock"), os.O_RDONLY)
        try:
            fcntl.flock(fd, fcntl.LOCK_SH)
        finally:
            os.close(fd)
    except (OSError, InterruptedError):
        pass
    finally:
        signal.alarm(0)


def runs(job):
    """The run file's text and how many figures of the probe it holds. A
    line cut short, by a bench killed while it wrote, is no run: it goes."""
    path = os.path.join(job, "runs.csv")
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return "", 0
    if not data.endswith(b"\n"):
        data = data[:data.rfind(b"\n") + 1]
        with open(path, "wb") as f:
            f.write(data)
    try:
        sets = runfile.read_sets(path, lambda message: None)
    except runfile.BadFile:
        return "", 0
    figures = sum(len(s) for r in sets if r.binary == "./" + PROBE for s in r.sessions)
    return data.decode("utf-8", "replace"), figures


def found(job):
    started = load(Job, os.path.join(job, "job.json"))
    ended = load(Status, os.path.join(job, "status.json")) or Status(
        None, "still measuring at its deadline" if running(job)
        else f"ended without a word: {last_line(os.path.join(job, 'job.err'))}")
    return Found(job, started and started.run, ended.rc, ended.why, *runs(job))


def collect(jobs):
    wait(jobs[0])
    print(json.dumps({"version": VERSION,
                      "jobs": [dataclasses.asdict(found(job)) for job in jobs]}))


def main():
    if sys.version_info < (3, 8):
        fail("needs Python 3.8 or later, not " + sys.version.split()[0])
    command, *rest = sys.argv[1:] or [""]
    if command == "start" and rest[3:4] == ["--"]:
        job, run_id, seconds, dash, *options = rest
        start(job, run_id, seconds, options)
    elif command == "run" and len(rest) == 1:
        run(rest[0])
    elif command == "collect" and rest:
        collect(rest)
    else:
        fail("usage: job.pyz start JOB RUN SECONDS -- OPTIONS | run JOB | collect JOB [EARLIER...]")


if __name__ == "__main__":
    main()
