"""The results store: a folder with one JSON document per suite session.

A document is written to a hidden temporary name in the store's own folder and
then renamed, so a reader never sees half of one, and any number of runners
(a job array on shared storage, several users) can write at once with no lock:
each session has a name of its own. Copying the files of one store into
another merges them.

Every document is read through the document module, which checks it whole;
one that cannot be used is named once and skipped, and the rest of the store
stays usable. Readers keep an index of what they have read (`.index.json`, keyed by file
name, size and time of change), so that listing a large store opens only the
documents it has not seen; the index is only a cache, written by rename too, and
any reader may rebuild it.
"""

import datetime
import json
import math
import os
import secrets
import socket
import sys
from dataclasses import asdict, dataclass, replace
from typing import Optional

from . import document, programs
from ..base import files
from .document import DocumentError, host_part, stamp, valid_id
from ..base.text import shown as text_shown

INDEX = ".index.json"
INDEX_VERSION = 3   # what an index entry holds; an index of another version is read again


class StoreError(Exception):
    """A session that cannot be found or read; `document` the DocumentError
    behind it, where a document could not be used."""

    def __init__(self, text, document=None):
        super().__init__(text)
        self.document = document

    def named(self):
        """As a skipped file is named."""
        return self.document.named() if self.document else str(self)


def default_folder(environ):
    if environ.get("PARBENCH_RESULTS"):
        return environ["PARBENCH_RESULTS"]
    data = environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(data, "parbench", "results")


def new_session_id(now=None, host=None):
    """Sortable by time (UTC, to the millisecond), naming the host, unique by a random tail."""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    return "%s-%s-%s" % (stamp(now), host_part(host or socket.gethostname()), secrets.token_hex(3))


def read_document(path):
    """The Session of the file `path`; StoreError says why it cannot be had."""
    try:
        return document.load(path)
    except DocumentError as e:
        raise StoreError(str(e), e)


@dataclass(frozen=True)
class Entry:
    """What listing and choosing sessions need of a document, kept in the index."""
    session: str
    path: str
    date: str
    host: str
    mpi: str
    commit: str
    groups: tuple        # (program, procs, threads)
    failed: int
    times: tuple = ()    # per group: (median, min, max) of its main time, or None
    interrupted: Optional[str] = None   # the signal's name

    @classmethod
    def of(cls, session, path):
        prov = session.provenance
        times = tuple((s.main_spread.median, s.main_spread.min, s.main_spread.max) if s.runs and s.main_spread
                      else None for s in session.summary)
        return cls(session.id, path, prov.date or "", prov.host or "", prov.mpi() or "", prov.commit(),
                   tuple((g.program, g.procs, g.threads) for g in session.groups()), session.problems(), times,
                   session.interrupted.signal if session.interrupted else None)

    @classmethod
    def from_index(cls, fields, path):
        """The entry an index holds, or None where any of it is not as written."""
        try:
            entry = cls(**dict(fields, path=path))
        except TypeError:
            return None
        count = (type(None), int)
        fine = (valid_id(entry.session) and all(isinstance(v, str) for v in
                                                (entry.date, entry.host, entry.mpi, entry.commit))
                and isinstance(entry.failed, int) and isinstance(entry.interrupted, (str, type(None)))
                and isinstance(entry.groups, list) and isinstance(entry.times, list)
                and len(entry.times) == len(entry.groups)
                and all(isinstance(g, list) and len(g) == 3 and isinstance(g[0], str) and g[0] in programs.BY_NAME
                        and isinstance(g[1], count) and isinstance(g[2], count) for g in entry.groups)
                and all(t is None or (isinstance(t, list) and len(t) == 3 and
                                      all(_finite(v) for v in t)
                                      and 0 <= t[1] <= t[0] <= t[2])   # min <= median <= max
                        for t in entry.times))
        if not fine:
            return None
        return replace(entry, groups=tuple(tuple(g) for g in entry.groups),
                       times=tuple(tuple(t) if t else None for t in entry.times))

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


def _finite(value):
    """A number a float holds (math.isfinite would overflow on a huge integer)."""
    if isinstance(value, float):
        return math.isfinite(value)
    return isinstance(value, int) and not isinstance(value, bool) and abs(value) <= document.MAX_INTEGER


class Store:
    def __init__(self, folder):
        self.folder = os.path.abspath(folder)

    def path(self, session_id):
        return os.path.join(self.folder, session_id + ".json")

    def save(self, session):
        """Writes the Session as its own file; returns the path. OSError when the
        store cannot be written; nothing is left half-written."""
        os.makedirs(self.folder, exist_ok=True)
        final = self.path(session.id)
        document.save(session, final)
        return final

    def contains(self, session):
        return os.path.exists(self.path(session.id))

    def entries(self, warn=None):
        """Every readable session, oldest first. A file that cannot be read is
        named through `warn` and skipped; temporary files are never sessions."""
        warn = warn or (lambda line: print(line, file=sys.stderr))
        try:
            names = sorted(e.name for e in os.scandir(self.folder)
                           if e.name.endswith(".json") and not e.name.startswith("."))
        except (FileNotFoundError, NotADirectoryError):
            return []
        except OSError as e:
            raise StoreError("cannot list the store %s: %s" % (self.folder, e.strerror or e))
        index = self._read_index()
        fresh, changed = {}, False
        for name in names:
            path = os.path.join(self.folder, name)
            try:
                st = os.stat(path)
                stamp_ = [st.st_size, st.st_mtime_ns]
            except OSError:
                stamp_ = None   # a link to nowhere: reading it says why
            known = index.get(name)
            if isinstance(known, dict) and stamp_ and known.get("stamp") == stamp_ and \
                    known.get("version") == INDEX_VERSION and isinstance(known.get("entry"), dict):
                entry = Entry.from_index(known["entry"], path)
                if entry:
                    fresh[name] = (known, entry)
                    continue
            try:
                entry = Entry.of(read_document(path), path)
            except StoreError as e:
                warn("results: skipped %s" % text_shown(e.named()))
                continue
            fields = asdict(entry)
            del fields["path"]
            fresh[name] = ({"stamp": stamp_, "version": INDEX_VERSION, "entry": fields}, entry)
            changed = True
        if changed or set(fresh) != set(index):
            self._write_index({name: known for name, (known, _) in fresh.items()})
        # The same session twice (a copy under another name) is listed once: by its own name if it has it.
        chosen = {}
        for name, (_, entry) in sorted(fresh.items(), key=lambda item: item[0] != item[1][1].session + ".json"):
            chosen.setdefault(entry.session, entry)
        return sorted(chosen.values(), key=lambda e: e.session)

    def _read_index(self):
        try:
            index = json.loads(files.read(os.path.join(self.folder, INDEX)).decode("utf-8"))
            return index if isinstance(index, dict) else {}
        except (files.ReadError, ValueError, RecursionError):
            return {}

    def _write_index(self, index):
        # A reader that cannot write the index (a read-only store) just reads again next time.
        try:
            files.write(os.path.join(self.folder, INDEX), json.dumps(index))
        except OSError:
            pass

    def find(self, name, entries=None):
        """The entry a session id, a unique beginning of one, or `latest` names."""
        if not name:
            raise StoreError("an empty name names no session")
        entries = self.entries() if entries is None else entries
        if name == "latest":
            if not entries:
                raise StoreError("the store %s holds no sessions" % self.folder)
            return entries[-1]
        matches = [e for e in entries if e.session == name] or [e for e in entries if e.session.startswith(name)]
        if len(matches) == 1:
            return matches[0]
        if not matches:
            raise StoreError("no session %s in %s" % (text_shown(name), self.folder))
        raise StoreError("%s names %d sessions (%s, ...); give more of the id" % (text_shown(name), len(matches),
                                                                                matches[0].session))

    def load(self, entry):
        return read_document(entry.path)

    def resolve(self, name, entries=None):
        """(what to call it, Session) of a session named by its id, a unique
        beginning of one, `latest`, or the path of a JSON document."""
        if name and name != "latest" and not valid_id(name) and os.path.lexists(name):
            return name, read_document(name)
        entry = self.find(name, entries)
        return entry.session, self.load(entry)

    def baseline_for(self, session, name=None, entries=None):
        """(name, Session) to compare `session` with: the one `name` names,
        else the newest earlier session of its host that shares a group with it."""
        if name:
            return self.resolve(name, entries)
        entry = default_base(self.entries() if entries is None else entries, session)
        return entry.session, self.load(entry)


def default_base(entries, session):
    """The entry of the newest session before `session` on its host that shares a group with it."""
    host = session.provenance.host or ""
    groups = {(g.program, g.procs, g.threads) for g in session.groups()}
    earlier = [e for e in entries if e.session < session.id and e.host == host and groups & set(e.groups)]
    if not earlier:
        raise StoreError("no earlier session of %s shares a group with %s; name a BASE" % (
            text_shown(host) or "this host", session.id))
    return earlier[-1]
