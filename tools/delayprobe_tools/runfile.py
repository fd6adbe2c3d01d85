"""The run file: one CSV row per run, as delayprobe-bench writes it and
delayprobe-compare reads it.

Columns, in order:
  run        the round, from 0 in each session
  binary     the probe as it was named, or /bin/true
  figure_us  the figure the probe printed; empty for /bin/true
  wall_us    the whole run of the process, as the bench timed it
  sha256     of the binary
  cpu        the CPU model
  host       the host name
  session    a random id, new for each session
  order      the binary's place among the probes the bench was given, from
             1; 0 for /bin/true
  start_us   when the run started, in microseconds since 1970 (UTC)
  cpu_us     the CPU time, user and system, the process took
  nivcsw     how often the kernel took the CPU from it (involuntary context
             switches)
  steal_us   the time the hypervisor gave the CPU to others meanwhile (steal)
  mhz        the pinned CPU's clock at the run's end, where the system
             tells it (--cpu)

then the machine's state, written once a session, in its first row (and
load_end in its last): kernel, os, python, virtualization, cpus, governor,
driver, boost, scaling_min_mhz, scaling_max_mhz, isolated, nohz_full, smt,
cgroup, cpu_max, nr_throttled, throttled_us, load_start, load_end,
microcode, mitigations and arch, as delayprobe-bench(1) tells; then

  known_ratio  for a twin of the probe that delayprobe-bench --calibrate
             runs, how much longer its loop is than the probe's (1.01);
             1 for the probe it is measured against; empty otherwise

A value that could not be read is left empty. Files are UTF-8, with a
byte-order mark or none, and lines that end in LF or CRLF. A reader needs
only binary and figure_us; the other columns may be missing, as in files
written by hand or by earlier versions, which had the first eight alone;
--append adds to such a file in its own columns."""

import csv
import dataclasses
import errno
import fcntl
import io
import os
import re
import stat
import tempfile
import typing

from . import machine, output, text

# Every column, in order. A new column goes at the end, so that the header
# of every earlier version is the start of this one.
COLUMNS = ("run", "binary", "figure_us", "wall_us", "sha256", "cpu", "host", "session",
           "order", "start_us", "cpu_us", "nivcsw", "steal_us", "mhz",
           "kernel", "os", "python", "virtualization", "cpus", "governor", "driver", "boost",
           "scaling_min_mhz", "scaling_max_mhz", "isolated", "nohz_full", "smt", "cgroup",
           "cpu_max", "nr_throttled", "throttled_us", "load_start", "load_end", "microcode",
           "mitigations", "arch", "known_ratio")
# The columns of the first version, which every file holds.
FIRST = 8
# What a run file may hold of each run beside its figure.
EVIDENCE = ("wall_us", "start_us", "cpu_us", "nivcsw", "steal_us", "mhz")
# The process that does nothing: its wall time is what starting one costs.
BASELINE = "/bin/true"
FIGURE = re.compile(r"-?[0-9]{1,19}")


class BadFile(Exception):
    """What is wrong with a file, as one line that names it."""


@dataclasses.dataclass
class RunSet:
    """The runs of one binary in one file."""
    file: str
    binary: str
    sha256: str
    cpu: str
    host: str
    sessions: typing.List[typing.List[int]]
    order: typing.Optional[int] = None  # among the probes the bench was given
    # For each session, each run's EVIDENCE as text, as the file has it
    # (empty where it has none), and the machine's state: field -> value.
    evidence: typing.List[typing.List[typing.Tuple[str, ...]]] = None
    states: typing.List[typing.Dict[str, str]] = None
    # For a twin of a calibration, how much longer its loop is than the
    # probe's, and 1 for that probe; None for any other binary.
    known_ratio: typing.Optional[float] = None
    # Each session's id, in the order of sessions: sets that share one were
    # measured side by side in it.
    session_ids: typing.List[str] = None


def name(binary):
    """The binary column for a name given as text or bytes: bytes that are
    not UTF-8 as backslash escapes, and a backslash doubled, so that two
    names never share a column value."""
    return text.raw(binary).replace(b"\\", b"\\\\").decode("utf-8", "backslashreplace")


def row_values(**values):
    """A row's values in the order of the columns: a column not named is
    left empty."""
    unknown = values.keys() - set(COLUMNS)
    if unknown:
        raise TypeError(f"no column {', '.join(sorted(unknown))}")
    return [values.get(c, "") for c in COLUMNS]


def encode(values, end="\n"):
    """One row, as bytes."""
    line = io.StringIO()
    csv.writer(line, lineterminator=end).writerow(values)
    return line.getvalue().encode("utf-8", "backslashreplace")


def header(end="\n"):
    return encode(COLUMNS, end)


def holds_runs(path):
    """Whether path is a regular file whose first line is a run file's
    header, of this version or any other: what no output may replace,
    whatever its name. Reads at most a line, and never blocks."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError:
        return False
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return False
        first = os.read(fd, 4096).lstrip(b"\xef\xbb\xbf").split(b"\n", 1)[0].rstrip(b"\r")
    finally:
        os.close(fd)
    names = next(csv.reader([first.decode("utf-8", "replace")]), [])
    return {"binary", "figure_us"} <= set(names)


def line_end(path):
    """The line ending and the columns of a run file that more rows may be
    added to: one with this header, or the first part of it that an earlier
    version wrote, and a whole last line."""
    with open(path, "rb") as f:
        first = f.readline(4096)
        f.seek(-1, os.SEEK_END)
        last = f.read(1)
    names = tuple(first.lstrip(b"\xef\xbb\xbf").rstrip(b"\r\n").decode("utf-8", "replace")
                  .split(","))
    if not (FIRST <= len(names) <= len(COLUMNS) and names == COLUMNS[:len(names)]):
        raise BadFile(f"line 1 is not the header {','.join(COLUMNS)}; "
                      "--append adds only to such a file")
    if last != b"\n":
        raise BadFile("its last line lacks a newline, so it may have been cut short")
    return "\r\n" if first.endswith(b"\r\n") else "\n", len(names)


def read_sets(path, warn):
    """The sets of one file, in the order of their first row; warn(message)
    is told of a binary without figures."""
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            sets = rows(csv.reader(f, strict=True), path)
    except UnicodeDecodeError:
        raise BadFile(f"line {bad_line(path)}: not UTF-8 text") from None
    except OSError as e:
        raise BadFile(e.strerror) from None
    found = []
    # In the order the bench was given the binaries, where it says so; else
    # in that of their first rows.
    for s in sorted(sets.values(), key=lambda s: s.order if s.order is not None else 1 << 62):
        if s.sessions:
            s.sessions = list(s.sessions.values())
            found.append(s)
        elif s.binary != BASELINE:
            warn(f"{s.file}: {s.binary!r} has no figures; left out")
    if not found:
        raise BadFile("no runs")
    return found


def columns(names):
    """The index of each column by name."""
    if names is None:
        raise BadFile("empty file")
    index = {}
    for i, column in enumerate(names):
        if column in index:
            raise BadFile(f"line 1: column {column!r} appears twice")
        index[column] = i
    for column in ("binary", "figure_us"):
        if column not in index:
            raise BadFile(f"no column {column}")
    return index


def rows(reader, path):
    """The RunSets of the rows, by binary, each with its figures, evidence
    and state by session."""
    line = 1
    try:
        index = columns(next(reader, None))
        width = len(index)
        meta = [index.get(c) for c in ("sha256", "cpu", "host")]
        fi, bi, si, oi, ki = (index.get(c) for c in (
            "figure_us", "binary", "session", "order", "known_ratio"))
        evidence = [index.get(c) for c in EVIDENCE]
        state = [(c, index[c]) for c in machine.FIELDS if c in index]
        sets, states = {}, {}
        line = reader.line_num + 1
        for row in reader:
            if len(row) != width:
                if row:
                    raise BadFile(f"line {line}: {len(row)} fields, not {width}")
                line = reader.line_num + 1
                continue
            s = sets.get(row[bi])
            if s is None:
                s = sets[row[bi]] = RunSet(path, row[bi], *(
                    row[i] if i is not None and row[i] else "?" for i in meta), {}, None, {})
                if oi is not None and re.fullmatch(r"[0-9]{1,18}", row[oi]):
                    s.order = int(row[oi])
                if ki is not None and re.fullmatch(r"[0-9]{1,3}(\.[0-9]{1,6})?", row[ki]):
                    s.known_ratio = float(row[ki])
            session = row[si] if si is not None else ""
            if state:
                known = states.setdefault(session, {})
                known.update((c, row[i]) for c, i in state if row[i])
            if row[fi]:
                s.sessions.setdefault(session, []).append(parse_figure(row[fi], line))
                s.evidence.setdefault(session, []).append(
                    tuple(row[i] if i is not None else "" for i in evidence))
            line = reader.line_num + 1
    except csv.Error as e:
        raise BadFile(f"line {line}: {e}") from None
    for s in sets.values():
        s.states = [states.get(session, {}) for session in s.sessions]
        s.session_ids = list(s.sessions)
        s.evidence = list(s.evidence.values())
    return sets


def fits(figure):
    """Whether a figure fits in 64 bits, as every reader can hold it."""
    return -1 << 63 <= figure < 1 << 63


def parse_figure(text, line):
    figure = int(text) if FIGURE.fullmatch(text) else None
    if figure is None or not fits(figure):
        raise BadFile(f"line {line}: figure {text[:40]!r} is not a whole number of "
                      "microseconds that fits in 64 bits")
    return figure


def bad_line(path):
    """The line of the first byte that is not UTF-8: the reader decodes in
    blocks, so its own count may lie further on."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as e:
        return data.count(b"\n", 0, e.start) + 1
    return "?"


class Writer:
    """A run file written a whole row at a time as each run finishes, and
    locked against a second writer. A file being replaced keeps its old
    contents until the first row is ready to take their place; a device or
    a pipe is written in place. OSError says what went wrong, BadFile what
    is wrong with the file."""

    def __init__(self, path, append):
        self.rows, self.temp, self.old, self.end, self.created = 0, None, None, "\n", False
        self.width = len(COLUMNS)
        self.target, in_place = output.target(path)
        self.regular = not in_place
        st = stat_of(self.target)
        if st and stat.S_ISDIR(st.st_mode):
            raise OSError(errno.EISDIR, os.strerror(errno.EISDIR))
        if in_place:
            self.fd = output.open_in_place(self.target)
            output.write_all(self.fd, header())
            self.pending = b""
            return
        if st is None:
            try:
                self.fd = os.open(self.target, os.O_WRONLY | os.O_CREAT | os.O_EXCL,
                                  output.new_mode(None))
                self.created = True
                self.pending = header()
                lock(self.fd)
                return
            except FileExistsError:  # another writer made it just now
                st = os.stat(self.target)
        self.fd = self.open_existing(st, append)

    def open_existing(self, st, append):
        if append and st.st_size:
            fd = os.open(self.target, os.O_WRONLY | os.O_APPEND)
            lock(fd)
            (self.end, self.width), self.pending = line_end(self.target), b""
            return fd
        if not os.access(self.target, os.W_OK):
            raise OSError(errno.EACCES, os.strerror(errno.EACCES))
        # The old file stays locked until the new one takes its name.
        self.old = os.open(self.target, os.O_RDONLY)
        lock(self.old)
        fd, self.temp = tempfile.mkstemp(dir=os.path.dirname(self.target),
                                         prefix=f".{os.path.basename(self.target)}.")
        lock(fd)
        os.fchmod(fd, output.new_mode(st))
        self.pending = header()
        return fd

    def write(self, values):
        """Write a row whole, or leave the file as it was."""
        data = self.pending + encode(values[:self.width], self.end)
        pos = os.lseek(self.fd, 0, os.SEEK_END) if self.regular else 0
        try:
            output.write_all(self.fd, data)
            if self.temp:
                os.fsync(self.fd)
                os.rename(self.temp, self.target)
                self.temp = None
                os.close(self.old)
        except OSError:
            if self.regular:
                os.ftruncate(self.fd, pos)
            raise
        self.pending = b""
        self.rows += 1
        if not self.named():
            raise OSError(errno.ESTALE, "replaced or removed by another program")

    def named(self):
        """Whether the rows written are in the file that the name now names."""
        if not self.regular or self.temp:
            return True
        try:
            st, mine = os.stat(self.target), os.fstat(self.fd)
        except OSError:
            return False
        return (st.st_dev, st.st_ino) == (mine.st_dev, mine.st_ino)

    def kept(self):
        """The rows that the file named holds."""
        if self.fd is None:
            return self.final
        return self.rows if self.named() else 0

    def close(self):
        self.final = self.kept()
        if self.temp:
            os.unlink(self.temp)
            os.close(self.old)
        elif self.created and not self.rows and self.named():
            os.unlink(self.target)  # made for rows that never came
        elif self.regular:
            os.fsync(self.fd)
        fd, self.fd = self.fd, None
        os.close(fd)


def stat_of(path):
    try:
        return os.stat(path)
    except FileNotFoundError:
        return None


def lock(fd):
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise BadFile("another program is writing it; name another file, or wait") from None
