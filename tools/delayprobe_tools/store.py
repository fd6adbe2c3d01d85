"""delayprobe-history's store: one SQLite file that keeps, for every session
of every run file added to it, what the change points and their causes need,
and nothing of the runs themselves (the run files are the record).

A session's row holds its host, binary and the binary's SHA-256, the
bench's id for the session, when its first run started and its last one
ended, its count of runs, the median of their figures and how many of them
were 0 or less, its evidence as delayprobe-compare computes it (CPU share,
steal share, MHz, involuntary context switches) and the readings its state
took at the time (load, throttling). What the machine was (CPU model,
kernel, governor and the rest of the state but those readings and the
cgroup's name) is kept once for all the sessions that share it, in a table
of its own.

A store is an SQLite database whose application_id is APPLICATION_ID and
whose user_version is the version of its layout. Nothing else is ever
written to: a file is checked by its first 100 bytes before SQLite opens it.
Writers take SQLite's own lock, and wait for each other up to WAIT seconds."""

import dataclasses
import errno
import json
import os
import sqlite3
import statistics
import stat
import typing
import urllib.parse

from . import machine

# "DPRH": what tells a store from any other SQLite database.
APPLICATION_ID = 0x44505248
# The layout this version writes; it reads every earlier one.
VERSION = 2
HEADER = b"SQLite format 3\x00"
# Seconds a writer waits for another to finish before it gives up.
WAIT = 600
# State readings that belong to the moment, kept with each session; the
# cgroup's name changes with every login and is not kept (its quota is).
READINGS = ("load_start", "load_end", "nr_throttled", "throttled_us")
# What the machine was: kept once for every session that shares it.
STATE = ("cpu",) + tuple(f for f in machine.FIELDS if f not in READINGS + ("cgroup",))

# The layout: a series (a host and a binary) and a build (a SHA-256) are
# kept once and named by number, and the sessions are kept in the order
# show reads them, by series and time, with no index beside them.
LAYOUT = """
CREATE TABLE series (
    id INTEGER PRIMARY KEY,
    host TEXT NOT NULL,
    binary TEXT NOT NULL,
    UNIQUE (host, binary)
);
CREATE TABLE builds (
    id INTEGER PRIMARY KEY,
    sha256 TEXT NOT NULL UNIQUE
);
CREATE TABLE states (
    id INTEGER PRIMARY KEY,
    fields TEXT NOT NULL UNIQUE
);
CREATE TABLE sessions (
    series INTEGER NOT NULL REFERENCES series (id),
    start_us INTEGER NOT NULL,
    session TEXT NOT NULL,
    length_us INTEGER NOT NULL,
    build INTEGER NOT NULL REFERENCES builds (id),
    runs INTEGER NOT NULL,
    median REAL NOT NULL,
    nonpositive INTEGER NOT NULL,
    cpu_share REAL,
    steal_share REAL,
    mhz REAL,
    nivcsw REAL,
    load_start REAL,
    load_end REAL,
    nr_throttled INTEGER,
    throttled_us INTEGER,
    state INTEGER NOT NULL REFERENCES states (id),
    PRIMARY KEY (series, start_us, session)
) WITHOUT ROWID
"""
# From each earlier layout to the next. The first kept host, binary and
# SHA-256 in every row, indexed twice: 322 bytes a session.
UPGRADE = {1: """
CREATE TABLE series (
    id INTEGER PRIMARY KEY,
    host TEXT NOT NULL,
    binary TEXT NOT NULL,
    UNIQUE (host, binary)
);
CREATE TABLE builds (
    id INTEGER PRIMARY KEY,
    sha256 TEXT NOT NULL UNIQUE
);
INSERT INTO series (host, binary) SELECT DISTINCT host, binary FROM sessions
    ORDER BY host, binary;
INSERT INTO builds (sha256) SELECT DISTINCT sha256 FROM sessions;
ALTER TABLE sessions RENAME TO sessions_1;
CREATE TABLE sessions (
    series INTEGER NOT NULL REFERENCES series (id),
    start_us INTEGER NOT NULL,
    session TEXT NOT NULL,
    length_us INTEGER NOT NULL,
    build INTEGER NOT NULL REFERENCES builds (id),
    runs INTEGER NOT NULL,
    median REAL NOT NULL,
    nonpositive INTEGER NOT NULL,
    cpu_share REAL,
    steal_share REAL,
    mhz REAL,
    nivcsw REAL,
    load_start REAL,
    load_end REAL,
    nr_throttled INTEGER,
    throttled_us INTEGER,
    state INTEGER NOT NULL REFERENCES states (id),
    PRIMARY KEY (series, start_us, session)
) WITHOUT ROWID;
INSERT INTO sessions
    SELECT series.id, start_us, session, end_us - start_us, builds.id, runs, median,
           nonpositive, cpu_share, steal_share, mhz, nivcsw, load_start, load_end,
           nr_throttled, throttled_us, state
    FROM sessions_1 JOIN series USING (host, binary) JOIN builds USING (sha256);
DROP TABLE sessions_1
"""}


class NotAStore(Exception):
    """Why a file is not a store this version may use, in a few words."""


@dataclasses.dataclass
class Session:
    """One session of one binary, as the store keeps it."""
    host: str
    binary: str
    sha256: str
    session: str  # the bench's id for it
    start_us: int  # its first run's start
    end_us: int  # its last run's end
    runs: int
    median: float  # of its figures
    nonpositive: int  # figures of 0 or less
    cpu_share: typing.Optional[float]
    steal_share: typing.Optional[float]
    mhz: typing.Optional[float]
    nivcsw: typing.Optional[float]
    readings: typing.Dict[str, typing.Optional[float]]  # READINGS
    state: typing.Dict[str, str]  # STATE, the fields recorded


def default_path():
    """One user's store, where the XDG base directories put data."""
    base = os.environ.get("XDG_DATA_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(base, "delayprobe", "history.sqlite")


def header(path):
    """The first 100 bytes of the SQLite database at path, b"" for an empty
    file, None for none; NotAStore for anything else. Read without SQLite,
    which might write."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except FileNotFoundError:
        return None
    except OSError as e:
        raise NotAStore(e.strerror) from None
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise NotAStore("is a directory" if stat.S_ISDIR(mode) else "not a regular file")
        head = os.read(fd, 100)
    finally:
        os.close(fd)
    if head and (len(head) < 100 or not head.startswith(HEADER)):
        raise NotAStore("not a delayprobe-history store: not an SQLite database")
    return head


def ours(head):
    return int.from_bytes(head[68:72], "big") == APPLICATION_ID


def version_of(path):
    """The layout of the store at path; None for no file, 0 for an empty one,
    which a writer may make a store of. NotAStore for anything else."""
    head = header(path)
    if not head:
        return None if head is None else 0
    if not ours(head):
        raise NotAStore("not a delayprobe-history store: another program's SQLite database")
    version = int.from_bytes(head[60:64], "big")
    if version > VERSION:
        raise NotAStore(f"a store of layout {version}, from a later delayprobe-history; "
                        f"this one reads layouts 1 to {VERSION}")
    return version


def holds_store(path):
    """Whether path is a store, of any layout: what no output may replace."""
    try:
        head = header(path)
    except NotAStore:
        return False
    return bool(head) and ours(head)


def connect(path):
    db = sqlite3.connect(path, timeout=WAIT, isolation_level=None)
    db.execute("PRAGMA foreign_keys = ON")
    return db


def for_writing(path):
    """A connection to the store at path, made or brought up to this layout,
    inside a write transaction that the caller commits."""
    version_of(path)
    db = connect(path)
    try:
        db.execute("BEGIN IMMEDIATE")
        # Checked again under the lock: another writer may have made it.
        app, version = (db.execute(f"PRAGMA {p}").fetchone()[0]
                        for p in ("application_id", "user_version"))
        if app == 0 and not db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]:
            make(db)
        elif app != APPLICATION_ID or version > VERSION:
            raise NotAStore("not a delayprobe-history store")
        elif version < VERSION:
            upgrade(db, version)
    except BaseException:
        db.close()
        raise
    return db


def for_reading(path):
    """A connection that reads the store at path and never writes it: a
    store of an earlier layout is brought up to this one in memory."""
    version = version_of(path)
    if version is None:
        raise NotAStore(os.strerror(errno.ENOENT))
    if version == 0:
        raise NotAStore("empty: no sessions added")
    db = sqlite3.connect(f"file:{quoted(path)}?mode=ro", uri=True, timeout=WAIT,
                         isolation_level=None)
    if version < VERSION:
        memory = sqlite3.connect(":memory:", isolation_level=None)
        db.backup(memory)
        db.close()
        db = memory
        db.execute("BEGIN")
        upgrade(db, version)
        db.execute("COMMIT")
    return db


def quoted(path):
    """path as a URI's path: ? and # are not its end."""
    return urllib.parse.quote(os.path.abspath(path))


def make(db):
    run(db, LAYOUT)
    db.execute(f"PRAGMA application_id = {APPLICATION_ID}")
    db.execute(f"PRAGMA user_version = {VERSION}")


def run(db, script):
    # One statement at a time: executescript would commit the caller's
    # transaction first, and with it the lock.
    for statement in script.split(";"):
        if statement.strip():
            db.execute(statement)


def upgrade(db, version):
    """Bring a store of an earlier layout up to this one, in the caller's
    transaction."""
    for step in range(version, VERSION):
        run(db, UPGRADE[step])
    db.execute(f"PRAGMA user_version = {VERSION}")


def number(text):
    try:
        return float(text) if text else None
    except ValueError:
        return None


def sessions_of(runset):
    """The sessions of one binary in a run file, and how many were left out
    for want of a start time (files of an earlier delayprobe-bench)."""
    from . import evidence
    found, untimed = [], 0
    for k, figures in enumerate(runset.sessions):
        rows = runset.evidence[k]
        starts = [int(r[1]) for r in rows if r[1].isdigit()]
        if not starts:
            untimed += 1
            continue
        ends = [int(r[1]) + float(r[0]) for r in rows if r[1].isdigit() and number(r[0])]
        one = dataclasses.replace(runset, sessions=[figures], evidence=[rows],
                                  states=[runset.states[k]])
        e = evidence.set_evidence(one, figures)
        state = {f: v for f, v in runset.states[k].items() if f in STATE and v}
        if runset.cpu != "?":
            state["cpu"] = runset.cpu
        found.append(Session(
            runset.host, runset.binary, runset.sha256, runset.session_ids[k], min(starts),
            round(max(ends, default=max(starts))), len(figures), statistics.median(figures),
            sum(f <= 0 for f in figures), e.cpu_share, e.steal_share, e.mhz, e.nivcsw,
            {f: number(runset.states[k].get(f)) for f in READINGS}, state))
    return found, untimed


def id_of(db, table, values, known):
    """The id of a row of series, builds or states with these values, added
    once; known caches them."""
    key = (table,) + values
    if key not in known:
        columns = {"series": ("host", "binary"), "builds": ("sha256",),
                   "states": ("fields",)}[table]
        db.execute(f"INSERT OR IGNORE INTO {table} ({', '.join(columns)}) VALUES "
                   f"({', '.join('?' * len(columns))})", values)
        known[key] = db.execute(f"SELECT id FROM {table} WHERE " + " AND ".join(
            f"{c} = ?" for c in columns), values).fetchone()[0]
    return known[key]


def add(db, sessions):
    """Add sessions that the store lacks; how many were new."""
    known = {}
    rows = [(id_of(db, "series", (s.host, s.binary), known), s.start_us, s.session,
             s.end_us - s.start_us, id_of(db, "builds", (s.sha256,), known), s.runs, s.median,
             s.nonpositive, s.cpu_share, s.steal_share, s.mhz, s.nivcsw,
             *(s.readings[f] for f in READINGS),
             id_of(db, "states", (json.dumps(s.state, sort_keys=True, separators=(",", ":"),
                                             ensure_ascii=False),), known))
            for s in sessions]
    before = db.total_changes
    db.executemany(f"INSERT OR IGNORE INTO sessions VALUES ({', '.join('?' * 17)})", rows)
    return db.total_changes - before


@dataclasses.dataclass
class Series:
    """A host's sessions of one binary, in time order: as the change
    points take them, with each session's build and state by reference."""
    host: str
    binary: str
    start_us: typing.List[int]
    end_us: typing.List[int]
    median: typing.List[float]
    nonpositive: typing.List[int]
    session: typing.List[str]
    sha256: typing.List[str]
    state: typing.List[int]


def series(db, host=None, binary=None):
    """Every series the store holds, or those of host and binary, one at a
    time, in order of host and binary."""
    builds = dict(db.execute("SELECT id, sha256 FROM builds"))
    where = " AND ".join(f"{c} = ?" for c, v in (("host", host), ("binary", binary))
                         if v is not None)
    query = ("SELECT series.id, host, binary, start_us, start_us + length_us, median, "
             "nonpositive, session, build, state FROM series JOIN sessions "
             "ON sessions.series = series.id" + (f" WHERE {where}" if where else "") +
             " ORDER BY host, binary, start_us, session")
    current, at = None, None
    for row in db.execute(query, [v for v in (host, binary) if v is not None]):
        if row[0] != at:
            if current is not None:
                yield current
            current, at = Series(*row[1:3], *([] for _ in range(7))), row[0]
        for values, value in zip((current.start_us, current.end_us, current.median,
                                  current.nonpositive, current.session, current.sha256,
                                  current.state), row[3:]):
            values.append(value)
        current.sha256[-1] = builds[current.sha256[-1]]
    if current is not None:
        yield current


def state(db, state_id):
    """A state by its id: field -> value."""
    return json.loads(db.execute("SELECT fields FROM states WHERE id = ?",
                                 (state_id,)).fetchone()[0])
