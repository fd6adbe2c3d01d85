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

Files are UTF-8, with a byte-order mark or none, and lines that end in LF or
CRLF. A reader needs only binary and figure_us; the other columns may be
missing, as in files written by hand."""

import csv
import dataclasses
import io
import os
import re
import typing

COLUMNS = ("run", "binary", "figure_us", "wall_us", "sha256", "cpu", "host", "session")
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


def name(binary):
    """The binary column for a name given as text or bytes: bytes that are
    not UTF-8 as backslash escapes."""
    return os.fsencode(binary).decode("utf-8", "backslashreplace")


def row(**values):
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


def line_end(path):
    """The line ending of a run file that more rows may be added to: one
    with this header and a whole last line."""
    with open(path, "rb") as f:
        first = f.readline(4096)
        f.seek(-1, os.SEEK_END)
        last = f.read(1)
    if first.lstrip(b"\xef\xbb\xbf").rstrip(b"\r\n") != header().rstrip(b"\n"):
        raise BadFile(f"line 1 is not the header {','.join(COLUMNS)}; "
                      "--append adds only to such a file")
    if last != b"\n":
        raise BadFile("its last line lacks a newline, so it may have been cut short")
    return "\r\n" if first.endswith(b"\r\n") else "\n"


def read(path, warn):
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
    for s in sets.values():
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
    """The RunSets of the rows, by binary, each with its figures by session."""
    line = 1
    try:
        index = columns(next(reader, None))
        width = len(index)
        meta = [index.get(c) for c in ("sha256", "cpu", "host")]
        fi, bi, si = index["figure_us"], index["binary"], index.get("session")
        sets = {}
        line = reader.line_num + 1
        for row in reader:
            if len(row) == width:
                s = sets.get(row[bi])
                if s is None:
                    s = sets[row[bi]] = RunSet(path, row[bi], *(
                        row[i] if i is not None and row[i] else "?" for i in meta), {})
                if row[fi]:
                    figure = parse_figure(row[fi], line)
                    s.sessions.setdefault(row[si] if si is not None else "", []).append(figure)
            elif row:
                raise BadFile(f"line {line}: {len(row)} fields, not {width}")
            line = reader.line_num + 1
    except csv.Error as e:
        raise BadFile(f"line {line}: {e}") from None
    return sets


def parse_figure(text, line):
    figure = int(text) if FIGURE.fullmatch(text) else None
    if figure is None or not -1 << 63 <= figure < 1 << 63:
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
