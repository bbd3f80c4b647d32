"""The results store: a folder with one JSON document per suite session.

A document is written to a hidden temporary name in the store's own folder and
then renamed, so a reader never sees half of one, and any number of runners
(a job array on shared storage, several users) can write at once with no lock:
each session has a name of its own. Copying the files of one store into
another merges them.

Every document is read through the document module, which checks it whole;
one that cannot be used is named and skipped, and the rest of the store stays
usable. What listing and choosing sessions need of the documents is asked of
the index (index.py), a cache that every reader brings up to date from the
documents new since it was written, and rebuilds when it cannot be used.
"""

import datetime
import os
import secrets
import socket
import sqlite3
import sys

from . import document
from .document import DocumentError, host_part, stamp, valid_id
from .index import Damaged, Index, location
from ..base.text import shown as text_shown

# Where an older runner kept its index, in the store itself; no reader asks it now.
OLD_INDEX = ".index.json"


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


class Store:
    def __init__(self, folder, environ=None):
        self.folder = os.path.abspath(folder)
        self.index = Index(self.folder, location(self.folder, os.environ if environ is None else environ))
        self._fresh = False
        self._said = set()   # each skipped file is named once, though the index be made anew

    def close(self):
        self.index.close()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

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

    def entries(self, warn=None, **chosen):
        """The readable sessions the filters `chosen` let through (host, since,
        after, program, prefix, newest: index.Index.entries), oldest first. The
        index is brought up to date once for each Store, and a file that cannot
        be read is named then, through `warn`."""
        if not os.path.isdir(self.folder):
            if os.path.lexists(self.folder):
                raise StoreError("cannot list the store %s: it is not a folder" % self.folder)
            return []
        return self._asked(lambda: self.index.entries(**chosen), warn)

    def paths(self, warn=None, **chosen):
        """The files of the sessions entries(**chosen) would give, without their
        entries: what a reader of every document needs, in little memory."""
        if not os.path.isdir(self.folder):
            return self.entries(warn, **chosen)
        return self._asked(lambda: self.index.paths(**chosen), warn)

    def _asked(self, question, warn):
        warn = warn or (lambda line: print(line, file=sys.stderr))

        def once(line):
            if line not in self._said:
                self._said.add(line)
                warn(line)
        if not self._fresh:
            try:
                self.index.refresh(once)
            except OSError as e:
                raise StoreError("cannot list the store %s: %s" % (self.folder, e.strerror or e))
            self._fresh = True
        try:
            return question()
        except (sqlite3.Error, Damaged):
            # A cache that does not hold what the documents say is made anew from them.
            self.index._discard()
            # Made anew, it asks every file: one changed in place is named now, as any other.
            self.index.refresh(once)
            return question()

    def find(self, name, entries=None):
        """The entry a session id, a unique beginning of one, or `latest` names;
        of `entries` where given, else asked of the index."""
        if not name:
            raise StoreError("an empty name names no session")
        if name == "latest":
            latest = entries[-1:] if entries is not None else self.entries(newest=1)
            if not latest:
                raise StoreError("the store %s holds no sessions" % self.folder)
            return latest[0]
        found = [e for e in entries if e.session.startswith(name)] if entries is not None else \
            self.entries(prefix=name)
        matches = [e for e in found if e.session == name] or found
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
        host = session.provenance.host or ""
        entry = default_base(self.entries(host=host) if entries is None else entries, session)
        return entry.session, self.load(entry)


def default_base(entries, session):
    """The entry of the newest session before `session` on its host that shares a group with it."""
    host = session.provenance.host or ""
    groups = {g.row() for g in session.groups()}
    earlier = [e for e in entries if e.session < session.id and e.host == host and groups & set(e.groups)]
    if not earlier:
        raise StoreError("no earlier session of %s shares a group with %s; name a BASE" % (
            text_shown(host) or "this host", session.id))
    return earlier[-1]
