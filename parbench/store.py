"""The results store: a folder with one JSON document per suite session.

A document is written to a hidden temporary name in the store's own folder and
then renamed, so a reader never sees half of one, and any number of runners
(a job array on shared storage, several users) can write at once with no lock:
each session has a name of its own. Copying the files of one store into
another merges them.

Readers keep an index of what they have read (`.index.json`, keyed by file
name, size and time of change), so that listing a large store opens only the
documents it has not seen; the index is only a cache, written by rename too, and
any reader may rebuild it.
"""

import datetime
import hashlib
import json
import os
import re
import secrets
import socket
import sys
from dataclasses import dataclass

from .summary import main_spread

# Each stored document says which format it is in; this reader takes this
# format and every earlier one. 1: run-suite --json before the store (no session
# id); 2: with the session id, the slots and the scaling analysis.
FORMAT = 2
INDEX = ".index.json"
INDEX_VERSION = 2   # what an index entry holds; an index of another version is read again
_ID = re.compile(r"^\d{8}T\d{6}\.\d{3}Z-[A-Za-z0-9.-]+-[0-9a-f]{6}$")


class StoreError(Exception):
    """A session that cannot be found or read."""


def default_folder(environ):
    if environ.get("PARBENCH_RESULTS"):
        return environ["PARBENCH_RESULTS"]
    data = environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(data, "parbench", "results")


def _host_part(host):
    return re.sub(r"[^A-Za-z0-9.-]", "-", host or "unknown").strip(".-") or "unknown"


def _stamp(when):
    return when.strftime("%Y%m%dT%H%M%S") + ".%03dZ" % (when.microsecond // 1000)


def new_session_id(now=None, host=None):
    """Sortable by time (UTC, to the millisecond), naming the host, unique by a random tail."""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    return "%s-%s-%s" % (_stamp(now), _host_part(host or socket.gethostname()), secrets.token_hex(3))


def session_of(doc):
    """The session id of a document; a document written before the store gets
    one made from its date, host and content, the same every time it is read."""
    if isinstance(doc.get("session"), str) and _ID.match(doc["session"]):
        return doc["session"]
    prov = doc.get("provenance") or {}
    try:
        when = datetime.datetime.fromisoformat(prov["date"]).astimezone(datetime.timezone.utc)
    except (KeyError, TypeError, ValueError):
        when = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
    digest = hashlib.sha256(json.dumps(doc, sort_keys=True).encode()).hexdigest()[:6]
    return "%s-%s-%s" % (_stamp(when), _host_part(prov.get("host")), digest)


def check(doc, where):
    """The document, if this reader can read it; else StoreError saying why."""
    if not isinstance(doc, dict) or not isinstance(doc.get("summary"), list):
        raise StoreError("%s is not a document written by run-suite" % where)
    version = doc.get("format", 1)
    if not isinstance(version, int) or version > FORMAT:
        raise StoreError("%s is in format %s, newer than this runner reads (%d); update the runner"
                         % (where, version, FORMAT))
    return doc


def read_document(path):
    try:
        with open(path) as f:
            doc = json.load(f)
    except (OSError, ValueError) as e:
        raise StoreError("cannot read %s: %s" % (path, e))
    return check(doc, path)


def groups_of(doc):
    return [(g.get("program"), g.get("procs"), g.get("threads")) for g in doc.get("summary", [])]


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

    @classmethod
    def of(cls, doc, path):
        prov = doc.get("provenance") or {}
        mpi = prov.get("mpi") or {}
        git = prov.get("git") or {}
        times = []
        for g in doc.get("summary", []):
            spread = main_spread(g)
            times.append((spread["median"], spread["min"], spread["max"])
                         if spread and g.get("runs") and spread.get("median") is not None else None)
        return cls(session_of(doc), path, prov.get("date") or "", prov.get("host") or "",
                   " ".join(str(v) for v in (mpi.get("implementation") or mpi.get("family"), mpi.get("version"))
                            if v) or "",
                   (git.get("commit") or "")[:10] + ("+" if git.get("uncommitted_changes") else ""),
                   tuple(tuple(g) for g in groups_of(doc)),
                   sum(1 for r in doc.get("runs", []) if r.get("problem")), tuple(times))

    def programs(self):
        return {g[0] for g in self.groups}


class Store:
    def __init__(self, folder):
        self.folder = os.path.abspath(folder)

    def path(self, session):
        return os.path.join(self.folder, session + ".json")

    def save(self, doc):
        """Writes `doc` as its session's file; returns the path. OSError when the
        store cannot be written; nothing is left half-written."""
        os.makedirs(self.folder, exist_ok=True)
        final = self.path(session_of(doc))
        temporary = os.path.join(self.folder, ".%s.%d.tmp" % (os.path.basename(final), os.getpid()))
        try:
            with open(temporary, "w") as f:
                json.dump(doc, f, indent=2, allow_nan=False)
                f.write("\n")
                f.flush()
                os.fsync(f.fileno())
            os.replace(temporary, final)
        except BaseException:
            try:
                os.unlink(temporary)
            except OSError:
                pass
            raise
        return final

    def contains(self, doc):
        return os.path.exists(self.path(session_of(doc)))

    def entries(self, warn=None):
        """Every readable session, oldest first. A file that cannot be read is
        named through `warn` and skipped; temporary files are never sessions."""
        warn = warn or (lambda line: print(line, file=sys.stderr))
        try:
            names = sorted(e.name for e in os.scandir(self.folder)
                           if e.name.endswith(".json") and not e.name.startswith(".") and e.is_file())
        except FileNotFoundError:
            return []
        index = self._read_index()
        fresh, changed = {}, False
        for name in names:
            path = os.path.join(self.folder, name)
            try:
                st = os.stat(path)
            except OSError:
                continue
            stamp = [st.st_size, st.st_mtime_ns]
            known = index.get(name)
            if known and known.get("stamp") == stamp and known.get("version") == INDEX_VERSION:
                fresh[name] = known
                continue
            try:
                entry = Entry.of(read_document(path), path)
            except StoreError as e:
                warn("results: skipped %s" % str(e).replace("cannot read ", ""))
                continue
            fresh[name] = {"stamp": stamp, "version": INDEX_VERSION, "entry": entry.__dict__}
            changed = True
        if changed or set(fresh) != set(index):
            self._write_index(fresh)
        entries = []
        for name, known in fresh.items():
            fields = dict(known["entry"], path=os.path.join(self.folder, name))
            fields["groups"] = tuple(tuple(g) for g in fields["groups"])
            fields["times"] = tuple(tuple(t) if t else None for t in fields["times"])
            entries.append(Entry(**fields))
        return sorted(entries, key=lambda e: e.session)

    def _read_index(self):
        try:
            with open(os.path.join(self.folder, INDEX)) as f:
                index = json.load(f)
            return index if isinstance(index, dict) else {}
        except (OSError, ValueError):
            return {}

    def _write_index(self, index):
        # A reader that cannot write the index (a read-only store) just reads again next time.
        temporary = os.path.join(self.folder, ".index.%d.tmp" % os.getpid())
        try:
            with open(temporary, "w") as f:
                json.dump(index, f)
            os.replace(temporary, os.path.join(self.folder, INDEX))
        except OSError:
            try:
                os.unlink(temporary)
            except OSError:
                pass

    def find(self, name, entries=None):
        """The entry a session id, a unique beginning of one, or `latest` names."""
        entries = self.entries() if entries is None else entries
        if name == "latest":
            if not entries:
                raise StoreError("the store %s holds no sessions" % self.folder)
            return entries[-1]
        matches = [e for e in entries if e.session == name] or [e for e in entries if e.session.startswith(name)]
        if len(matches) == 1:
            return matches[0]
        if not matches:
            raise StoreError("no session %s in %s" % (name, self.folder))
        raise StoreError("%s names %d sessions (%s, ...); give more of the id" % (name, len(matches),
                                                                                matches[0].session))

    def load(self, entry):
        return read_document(entry.path)

    def resolve(self, name, entries=None):
        """(what to call it, document) of a session named by its id, a unique
        beginning of one, `latest`, or the path of a JSON document."""
        if os.path.isfile(name):
            return name, read_document(name)
        entry = self.find(name, entries)
        return entry.session, self.load(entry)


def default_base(entries, doc):
    """The entry of the newest session before `doc` on its host that shares a group with it."""
    host = (doc.get("provenance") or {}).get("host")
    new_id = session_of(doc)
    groups = {(g.get("program"), g.get("procs"), g.get("threads")) for g in doc["summary"]}
    earlier = [e for e in entries if e.session < new_id and e.host == host and groups & set(e.groups)]
    if not earlier:
        raise StoreError("no earlier session of %s shares a group with %s; name a BASE" % (host or "this host",
                                                                                          new_id))
    return earlier[-1]
