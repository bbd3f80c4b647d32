"""The store's index: what listing and choosing sessions need of each
document, kept in an SQLite database so that a store of 100,000 sessions is
asked what it holds instead of read whole.

It is a cache. The documents are the truth: any reader brings the index up
to date from the files that are new or changed since it was written (a file
is known by its name, size, time of change and inode, so one replaced by a
rename or cut short in place is read again), rebuilds it when it is missing,
damaged or of another VERSION, and never touches a document. Writers of
documents never open it, so nothing they do waits for it.

It lives apart from the store, per user and per host, keyed by the store's
real path (location()): a read-only store has an index all the same, and
SQLite's locks, unreliable on NFS and Lustre, are only ever asked between the
processes of one host. Where the cache folder itself lies on such a file
system, the index moves to local storage. Readers of one index take turns to
bring it up to date (a lock file beside it); between its updates, which are
transactions, any number of readers query it.
"""

import contextlib
import datetime
import fcntl
import hashlib
import math
import os
import socket
import sqlite3
import sys
import time
from dataclasses import dataclass
from typing import Optional

from . import document, programs
from .document import DocumentError, valid_id
from ..base import parallel
from ..base.text import shown

VERSION = 3
VARIABLE = "PARBENCH_INDEX"       # a folder for the index files, instead of the cache folder
# File systems on which SQLite's locks are not to be trusted.
NETWORK = {"nfs", "nfs4", "lustre", "gpfs", "cifs", "smb3", "smbfs", "beegfs", "ceph", "fuse.ceph", "glusterfs",
           "fuse.glusterfs", "fuse.sshfs", "afs", "panfs", "9p", "ncpfs", "orangefs", "pvfs2"}
# Past this many documents to read, they are read in processes of their own and a line says so.
MANY = 500
PROGRESS_EVERY_S = 5.0


class Damaged(Exception):
    """An index that cannot be used as it is."""


@dataclass(frozen=True)
class Entry:
    """What listing and choosing sessions need of a document, kept in the index."""
    session: str
    path: str
    date: str
    host: str
    mpi: str
    commit: str
    groups: tuple        # (program, procs, threads, environment, bind)
    failed: int
    times: tuple = ()    # per group: (median, min, max) of its main time, or None
    interrupted: Optional[str] = None   # the signal's name

    @classmethod
    def of(cls, session, path):
        prov = session.provenance
        times = tuple((s.main_spread.median, s.main_spread.min, s.main_spread.max) if s.runs and s.main_spread
                      else None for s in session.summary)
        return cls(session.id, path, prov.date or "", prov.host or "", prov.mpi() or "", prov.commit(),
                   tuple(g.row() for g in session.groups()), session.problems(), times,
                   session.interrupted.signal if session.interrupted else None)

    def programs(self):
        return {g[0] for g in self.groups}

    def day(self):
        try:
            return datetime.datetime.fromisoformat(self.date).date()
        except ValueError:
            return None

    def when(self):
        """When the session started, in UTC (a date without an offset taken as
        UTC), or None."""
        try:
            when = datetime.datetime.fromisoformat(self.date)
        except ValueError:
            return None
        if when.tzinfo is None:
            return when.replace(tzinfo=datetime.timezone.utc)
        try:
            return when.astimezone(datetime.timezone.utc)
        except OverflowError:   # year 1 or 9999 moved to UTC
            return None


def utc_text(when):
    """A UTC datetime as text that sorts as the times do."""
    return when.strftime("%Y-%m-%dT%H:%M:%S.%f")


def read_entry(path):
    """(Entry, None) of the document file `path`, or (None, how the skipped file is named)."""
    try:
        return Entry.of(document.load(path), path), None
    except DocumentError as e:
        return None, e.named()


def _read_many(paths):
    return [read_entry(p) for p in paths]


# Where the index lives

def location(folder, environ):
    """The index file of the store `folder`: in $PARBENCH_INDEX, else in the
    user's cache folder, else (where that lies on a network file system) on
    local storage; named by the store's real path and this host's name."""
    named = environ.get(VARIABLE)
    base = named or os.path.join(environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache"),
                                 "parbench", "index")
    if not named and filesystem(base) in NETWORK:
        base = local_folder(environ)
    key = "%s\0%s" % (os.path.realpath(folder), socket.gethostname())
    return os.path.join(base, hashlib.sha256(key.encode("utf-8", "surrogateescape")).hexdigest()[:24] + ".sqlite")


def local_folder(environ):
    """A folder of this user's on local storage: the runtime folder the login
    made, else one of its own in /var/tmp."""
    if environ.get("XDG_RUNTIME_DIR"):
        return os.path.join(environ["XDG_RUNTIME_DIR"], "parbench-index")
    return os.path.join("/var/tmp", "parbench-index-%d" % os.getuid())


def filesystem(path, mounts=None):
    """The type of the file system that `path` (or its nearest existing
    folder) lies on, from /proc/self/mountinfo; "" where it cannot be told."""
    if mounts is None:
        try:
            with open("/proc/self/mountinfo") as f:
                mounts = f.read()
        except OSError:
            return ""
    path = os.path.realpath(path)
    best, kind = "", ""
    for line in mounts.splitlines():
        head, _, tail = line.partition(" - ")
        fields = head.split()
        if len(fields) < 5 or not tail:
            continue
        point = fields[4].replace("\\040", " ")
        inside = path == point or path.startswith(point.rstrip("/") + "/")
        if inside and len(point) >= len(best):
            best, kind = point, tail.split()[0]
    return kind


def _private_folder(path):
    """Makes `path` this user's own folder (mode 0700); False where it is
    someone else's or not a folder, and so no place for the index."""
    try:
        os.makedirs(path, mode=0o700, exist_ok=True)
        info = os.lstat(path)
    except OSError:
        return False
    import stat
    return stat.S_ISDIR(info.st_mode) and info.st_uid == os.getuid()


# The database

SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT);
CREATE TABLE files (name BLOB PRIMARY KEY, size INTEGER, mtime INTEGER, inode INTEGER, problem BLOB);
CREATE TABLE sessions (name BLOB PRIMARY KEY, session TEXT NOT NULL, date BLOB, utc TEXT, day TEXT, host BLOB,
                       mpi BLOB, commit_id BLOB, failed INTEGER, interrupted BLOB, groups INTEGER,
                       listed INTEGER NOT NULL DEFAULT 0);
CREATE TABLE groups (name BLOB NOT NULL, position INTEGER NOT NULL, program TEXT, procs INTEGER, threads INTEGER,
                     environment TEXT, bind TEXT, median REAL, low REAL, high REAL, PRIMARY KEY (name, position));
CREATE INDEX sessions_by_session ON sessions (session);
CREATE INDEX sessions_listed ON sessions (listed, session);
CREATE INDEX sessions_by_host ON sessions (host, utc);
"""
# Each session is listed once, by its own file name where it has one: a copy
# under another name is the same session. Marked anew for the sessions an update touched.
RELIST = """
UPDATE sessions SET listed = (name = (SELECT t.name FROM sessions t WHERE t.session = sessions.session
                                      ORDER BY CAST(t.name AS TEXT) != t.session || '.json', t.name LIMIT 1))
WHERE session IN (SELECT session FROM touched)
"""
# What no document gives: the reader of many rows asks the index, not each row.
UNSOUND = """
SELECT (SELECT COUNT(*) FROM sessions WHERE session NOT GLOB '[0-9]*T*Z-*-*' OR typeof(failed) != 'integer'
            OR typeof(date) NOT IN ('blob', 'text') OR typeof(host) NOT IN ('blob', 'text')
            OR typeof(mpi) NOT IN ('blob', 'text') OR typeof(commit_id) NOT IN ('blob', 'text')
            OR typeof(interrupted) NOT IN ('blob', 'text', 'null') OR typeof(groups) != 'integer'
            OR groups != (SELECT COUNT(*) FROM groups g WHERE g.name = sessions.name))
     + (SELECT COUNT(*) FROM groups WHERE program NOT IN ({programs})
            OR NOT ((program IN ({mpi}) AND typeof(procs) = 'integer' AND procs >= 1 AND threads IS NULL)
                    OR (program NOT IN ({mpi}) AND typeof(threads) = 'integer' AND threads >= 1 AND procs IS NULL))
            OR typeof(environment) NOT IN ('text', 'null') OR NOT (bind IS NULL OR bind IN ({binds}))
            OR NOT ((median IS NULL AND low IS NULL AND high IS NULL)
                    OR (typeof(median) IN ('real', 'integer') AND typeof(low) IN ('real', 'integer')
                        AND typeof(high) IN ('real', 'integer') AND abs(median) < 1e308 AND abs(high) < 1e308
                        AND 0 <= low AND low <= median AND median <= high)))
"""
UNSTAMPED = """
SELECT COUNT(*) FROM files WHERE NOT ((size IS NULL AND mtime IS NULL AND inode IS NULL)
    OR (typeof(size) = 'integer' AND typeof(mtime) = 'integer' AND typeof(inode) = 'integer'))
"""
GROUP_COLUMNS = "program, procs, threads, environment, bind, median, low, high"
# Past this many rows an answer is checked by UNSOUND, below it row by row.
CHECKED_ROWS = 10000
# A folder changed this recently may change again within the same tick of its clock unseen.
RACY_S = 2.0
# How often a look through the folder asks every file, not only the new ones,
# so that a document changed in place (by accident: the runner renames them in) is seen.
VERIFY_EVERY_S = 3600.0


class Index:
    def __init__(self, folder, path):
        self.folder, self.path = folder, path
        self.db = None
        self.memory = False

    def close(self):
        if self.db is not None:
            self.db.close()
            self.db = None

    # A reader that forgets to close its store still leaves no connection for
    # the collector to find open (Python 3.13 warns of each).
    __del__ = close

    # Opening

    def _open(self):
        """A connection to an index of this VERSION and store, made anew where
        the file is none (Damaged when it cannot be used)."""
        try:
            db = sqlite3.connect(self.path, timeout=60, isolation_level=None)
        except sqlite3.Error as e:
            raise Damaged(str(e))
        try:
            db.execute("PRAGMA journal_mode=WAL")
            version = db.execute("PRAGMA user_version").fetchone()[0]
            tables = {r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            if version == 0 and not tables:
                db.executescript("BEGIN;" + SCHEMA + "INSERT INTO meta VALUES ('store', %s); PRAGMA user_version = %d;"
                                 "COMMIT;" % (_quoted(self.folder), VERSION))
            elif version != VERSION or tables != {"meta", "files", "sessions", "groups"}:
                raise Damaged("an index of another version")
            row = db.execute("SELECT value FROM meta WHERE key = 'store'").fetchone()
            if not row or row[0] != self.folder:
                raise Damaged("the index of another store")
        except (sqlite3.Error, Damaged) as e:
            db.close()
            raise Damaged(str(e))
        return db

    def _discard(self):
        self.close()
        for suffix in ("", "-wal", "-shm", "-journal"):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.path + suffix)

    def _memory(self):
        """An index for this process alone, where no file can hold one."""
        self.db = sqlite3.connect(":memory:", isolation_level=None)
        self.db.executescript(SCHEMA)
        self.memory = True

    @contextlib.contextmanager
    def _turn(self):
        """This process's turn to bring the index up to date."""
        fd = os.open(self.path + ".lock", os.O_RDWR | os.O_CREAT | getattr(os, "O_CLOEXEC", 0), 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            yield
        finally:
            os.close(fd)

    # Bringing it up to date

    def refresh(self, warn, progress=None):
        """Brings the index up to date with the documents in the store; the
        files that cannot be used are named through `warn`. While the store's
        folder is as it was at the last full look (no file added, removed or
        renamed in), nothing more is asked of it; once it has changed, only
        the files it lists under an inode the index does not know are asked.
        Documents are written whole and renamed in, so a file is never changed
        in place but by accident, and then it is read again at the first
        change of the folder an hour (VERIFY_EVERY_S) after the last look that
        asked every file."""
        if self.db is None and not self._connect():
            self._memory()
        try:
            # Taken before the look: whatever changes during it is seen next time.
            stamp = self._folder_stamp()
            if not self.memory and stamp and stamp == self._meta("folder"):
                self._name_problems(warn)
                return
            known, verifying = self._known(), self._verifying()
            on_disk = scan(self.folder, None if verifying else known)
            if not self.memory and known == on_disk:
                self._remember_folder(stamp)
                if verifying:
                    self._remember_verified()
                self._name_problems(warn)
                return
            # The look just taken serves the update: a reader that updated
            # while this one waited its turn costs a second reading of the new files, no more.
            looked = (stamp, known, on_disk, verifying)
            if self.memory:
                self._update(progress)
            else:
                with self._turn():
                    self._update(progress, looked)
        except (sqlite3.Error, Damaged):
            # Damaged under us (truncated, replaced): made anew from the documents.
            self._discard()
            if not self._connect():
                self._memory()
            with self._turn() if not self.memory else contextlib.nullcontext():
                self._update(progress)
        self._name_problems(warn)

    def _connect(self):
        """Opens the index file (made anew where damaged); False where no file can be had."""
        folder = os.path.dirname(self.path)
        if not _private_folder(folder):
            return False
        try:
            self.db = self._open()
        except Damaged:
            try:
                with self._turn():
                    self._discard()
                    self.db = self._open()
            except (OSError, Damaged):
                return False
        except OSError:
            return False
        return True

    def _folder_stamp(self):
        """The store folder's time of change and inode, as text; "" where it
        changed too recently to be trusted (RACY_S) or cannot be asked."""
        try:
            info = os.stat(self.folder)
        except OSError:
            return ""
        if time.time() - info.st_mtime < RACY_S:
            return ""
        return "%d %d" % (info.st_mtime_ns, info.st_ino)

    def _meta(self, key):
        row = self.db.execute("SELECT value FROM meta WHERE key = ?", (key,)).fetchone()
        return row[0] if row else None

    def _remember_verified(self):
        self.db.execute("INSERT OR REPLACE INTO meta VALUES ('verified', ?)", (repr(time.time()),))

    def _remember_folder(self, stamp):
        self.db.execute("INSERT OR REPLACE INTO meta VALUES ('folder', ?)", (stamp,))

    def _known(self):
        """{file name: stamp} of the files the index has read; Damaged where
        a readable one lacks its session (rows lost from a table)."""
        readable = self.db.execute("SELECT COUNT(*) FROM files WHERE problem IS NULL").fetchone()[0]
        if readable != self.db.execute("SELECT COUNT(*) FROM sessions").fetchone()[0]:
            raise Damaged("sessions missing from the index")
        # A stamp is trusted by its inode alone: one that is no stamp would stay.
        if self.db.execute(UNSTAMPED).fetchone()[0]:
            raise Damaged("a file's stamp that no file gives")
        return {_name(name): (size, mtime, inode) if size is not None else None
                for name, size, mtime, inode in self.db.execute("SELECT name, size, mtime, inode FROM files")}

    def _verifying(self):
        """Whether this look asks every file: an hour after the last that did."""
        try:
            last = float(self._meta("verified") or 0)
        except ValueError:
            last = 0.0
        return self.memory or not 0 <= time.time() - last < VERIFY_EVERY_S

    def _update(self, progress, looked=None):
        """Reads what is new since the index's last update, from the look
        `looked` ((folder stamp, known, on disk, verifying)) where given."""
        if looked is None:
            before = self._folder_stamp()
            known, verifying = self._known(), self._verifying()
            on_disk = scan(self.folder, None if verifying else known)
        else:
            before, known, on_disk, verifying = looked
        new = sorted(n for n, stamp in on_disk.items() if stamp is None or known.get(n) != stamp)
        gone = [n for n in known if n not in on_disk]
        read = self._read(new, progress)
        db = self.db
        db.execute("BEGIN IMMEDIATE")
        try:
            db.execute("CREATE TEMP TABLE IF NOT EXISTS touched (session TEXT)")
            db.execute("DELETE FROM touched")
            old = [(os.fsencode(n),) for n in gone + new]
            db.executemany("INSERT INTO touched SELECT session FROM sessions WHERE name = ?", old)
            for table in ("files", "sessions", "groups"):
                db.executemany("DELETE FROM %s WHERE name = ?" % table, old)
            db.executemany("INSERT INTO files VALUES (?, ?, ?, ?, ?)",
                           [(os.fsencode(name),) + tuple(on_disk[name] or (None, None, None)) + (_stored(problem),)
                            for name, (_, problem) in zip(new, read)])
            kept = [(name, entry) for name, (entry, _) in zip(new, read) if entry is not None]
            _insert_all(db, kept)
            db.executemany("INSERT INTO touched VALUES (?)", [(entry.session,) for _, entry in kept])
            db.execute(RELIST)
            self._remember_folder(before)
            if verifying:
                self._remember_verified()
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise

    def _read(self, names, progress):
        paths = [os.path.join(self.folder, n) for n in names]
        if len(paths) < MANY:
            return [read_entry(p) for p in paths]
        say = progress or (lambda line: print(line, file=sys.stderr, flush=True))
        say("results: indexing %d documents of %s (once; later calls read only new ones)" % (len(paths),
                                                                                          shown(self.folder)))
        found, started, said = [], time.monotonic(), time.monotonic()
        for part in parallel.chunked(_read_many, paths, few=0):
            found += part
            if time.monotonic() - said >= PROGRESS_EVERY_S:
                said = time.monotonic()
                say("results: indexed %d of %d documents (%.0f s)" % (len(found), len(paths), said - started))
        return found

    def _name_problems(self, warn):
        for (problem,) in self.db.execute("SELECT problem FROM files WHERE problem IS NOT NULL ORDER BY name"):
            warn("results: skipped %s" % shown(_text(problem)))

    # Asking it

    def entries(self, host=None, since=None, after=None, program=None, prefix=None, newest=None,
                newest_of_each_host=False):
        """The Entries the filters let through, each session once, oldest
        first: of `host`, from the day `since` on, from the UTC datetime `after`
        on, that ran `program`, whose id starts with `prefix`; the newest
        `newest` of them where given; only the newest of each host with
        `newest_of_each_host`."""
        where, values = _where(host, since, after, program, prefix, newest_of_each_host)
        query = "SELECT name, session, date, host, mpi, commit_id, failed, interrupted, groups FROM sessions " \
                "WHERE listed = 1 AND %s ORDER BY session %s" % (
                    " AND ".join(where), "DESC LIMIT %d" % newest if newest is not None else "")
        rows = self.db.execute(query, values).fetchall()
        if newest is not None:
            rows.reverse()
        checked = len(rows) <= CHECKED_ROWS
        if not checked:
            self.check()
        groups = {}
        if checked:
            names = [r[0] for r in rows]
            for i in range(0, len(names), 500):
                part = names[i:i + 500]
                for name, *group in self.db.execute(
                        "SELECT name, %s FROM groups WHERE name IN (%s) ORDER BY name, position"
                        % (GROUP_COLUMNS, ",".join("?" * len(part))), part):
                    groups.setdefault(name, []).append(group)
        else:
            for name, *group in self.db.execute(
                    "SELECT g.name, %s FROM groups g JOIN sessions s ON s.name = g.name WHERE s.listed = 1 AND %s "
                    "ORDER BY g.name, g.position"
                    % (GROUP_COLUMNS, " AND ".join(w.replace("sessions.name", "s.name") for w in where)), values):
                groups.setdefault(name, []).append(group)
        return [self._entry(row, groups.get(row[0], ()), checked) for row in rows]

    def check(self):
        """Damaged where any row is one that no document gives."""
        mpi = [p.name for p in programs.PROGRAMS if p.mpi]
        query = UNSOUND.format(programs=",".join("'%s'" % p for p in programs.NAMES),
                               mpi=",".join("'%s'" % p for p in mpi), binds=",".join("'%s'" % b for b in document.BINDS))
        if self.db.execute(query).fetchone()[0]:
            raise Damaged("rows that no document gives")

    def paths(self, host=None, since=None, after=None, program=None):
        """The files of the sessions the filters let through (as entries()
        takes them), oldest first, without reading their entries."""
        where, values = _where(host, since, after, program, None, False)
        return [os.path.join(self.folder, _name(name)) for (name,) in self.db.execute(
            "SELECT name FROM sessions WHERE listed = 1 AND %s ORDER BY session" % " AND ".join(where), values)]

    def _entry(self, row, groups, checked=True):
        name, session, date, host, mpi, commit, failed, interrupted, count = row
        if checked and count != len(groups):
            raise Damaged("a session whose groups are not all there")
        date, host, mpi, commit, interrupted = map(_text, (date, host, mpi, commit, interrupted))
        entry = Entry(session, os.path.join(self.folder, _name(name)), date, host, mpi, commit,
                      tuple(tuple(g[:5]) for g in groups), failed,
                      tuple(None if g[5] is None else tuple(g[5:8]) for g in groups), interrupted)
        if checked and not sound(entry):
            raise Damaged("an entry that no document gives")
        return entry


# Document text may hold lone surrogates and file names undecodable bytes,
# which SQLite's text cannot: both are kept as the bytes they stand for.

def _where(host, since, after, program, prefix, newest_of_each_host):
    """The conditions and their values of Index.entries' filters."""
    where, values = ["1"], []
    if host is not None:
        where.append("host = ?")
        values.append(_stored(host))
    if since is not None:
        where.append("day >= ?")
        values.append(since.isoformat())
    if after is not None:
        where.append("utc >= ?")
        values.append(utc_text(after))
    if program is not None:
        where.append("EXISTS (SELECT 1 FROM groups g WHERE g.name = sessions.name AND g.program = ?)")
        values.append(program)
    if prefix is not None:
        where.append("session >= ? AND session < ?")
        values += [prefix, prefix + "\U0010ffff"]
    if newest_of_each_host:
        where.append("session IN (SELECT MAX(session) FROM sessions WHERE listed = 1 AND %s GROUP BY host)"
                     % " AND ".join(where))
        values = values + values
    return where, values


def _stored(text):
    return None if text is None else text.encode("utf-8", "surrogatepass")


def _text(value):
    return value.decode("utf-8", "surrogatepass") if isinstance(value, bytes) else value


def _name(value):
    return os.fsdecode(value) if isinstance(value, bytes) else value


def _quoted(text):
    return "'" + text.replace("'", "''") + "'"


def _insert_all(db, kept):
    """Inserts the (file name, Entry) pairs `kept`."""
    sessions, groups = [], []
    for name, entry in kept:
        when, day, key = entry.when(), entry.day(), os.fsencode(name)
        sessions.append((key, entry.session, _stored(entry.date), utc_text(when) if when else None,
                         day.isoformat() if day else None, _stored(entry.host), _stored(entry.mpi),
                         _stored(entry.commit), entry.failed, _stored(entry.interrupted), len(entry.groups)))
        groups += [(key, i) + tuple(group) + (tuple(times) if times else (None, None, None))
                   for i, (group, times) in enumerate(zip(entry.groups, entry.times))]
    db.executemany("INSERT INTO sessions VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0)", sessions)
    db.executemany("INSERT INTO groups VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", groups)


def _insert(db, name, entry):
    when = entry.when()
    day = entry.day()
    db.execute("INSERT INTO sessions VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 1)",
               (os.fsencode(name), entry.session, _stored(entry.date), utc_text(when) if when else None,
                day.isoformat() if day else None, _stored(entry.host), _stored(entry.mpi), _stored(entry.commit),
                entry.failed, _stored(entry.interrupted), len(entry.groups)))
    for i, (group, times) in enumerate(zip(entry.groups, entry.times)):
        db.execute("INSERT INTO groups VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                   (os.fsencode(name), i) + tuple(group) + (tuple(times) if times else (None, None, None)))


def scan(folder, known=None):
    """{file name: (size, time of change, inode), or None where it cannot be
    asked} of every document file in `folder`; temporary files are never
    documents. A file that `known` ({name: stamp}) gives with the inode the
    folder lists it under is taken as known, unasked: documents are renamed
    in, so a document written since is another inode, and asking 100,000
    files their size and time costs half a second."""
    found = {}
    try:
        entries = list(os.scandir(folder))
    except (FileNotFoundError, NotADirectoryError):
        return found
    known = known or {}
    for e in entries:
        if e.name.endswith(".json") and not e.name.startswith("."):
            old = known.get(e.name)
            # A link's own inode says nothing of what it leads to.
            if old is not None and old[2] == e.inode() and not e.is_symlink():
                found[e.name] = old
                continue
            try:
                info = e.stat()
                found[e.name] = (info.st_size, info.st_mtime_ns, info.st_ino)
            except OSError:
                found[e.name] = None   # a link to nowhere: reading it says why
    return found


def _finite(value):
    """A number a float holds (math.isfinite would overflow on a huge integer)."""
    if isinstance(value, float):
        return math.isfinite(value)
    return isinstance(value, int) and not isinstance(value, bool) and abs(value) <= document.MAX_INTEGER


def _counted(program, procs, threads):
    """Whether a group gives its program's count, and only that."""
    mine, other = (procs, threads) if program.mpi else (threads, procs)
    return isinstance(mine, int) and not isinstance(mine, bool) and mine >= 1 and other is None


def sound(entry):
    """Whether an Entry read from the index is one a document could give."""
    return (valid_id(entry.session) and all(isinstance(v, str) for v in (entry.date, entry.host, entry.mpi,
                                                                           entry.commit))
            and isinstance(entry.failed, int) and isinstance(entry.interrupted, (str, type(None)))
            and len(entry.times) == len(entry.groups)
            and all(len(g) == 5 and isinstance(g[0], str) and g[0] in programs.BY_NAME
                    and _counted(programs.get(g[0]), g[1], g[2]) and isinstance(g[3], (str, type(None)))
                    and g[4] in document.BINDS + (None,) for g in entry.groups)
            and all(t is None or (all(_finite(v) for v in t) and 0 <= t[1] <= t[0] <= t[2]) for t in entry.times))
