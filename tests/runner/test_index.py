"""The store's index, a cache of what listing needs of each document: where
it lives, what it reads again, and readers and writers at once on one store,
with the index deleted or cut short under them."""

import json
import os
import sqlite3
import subprocess
import sys
import threading
import time

import pytest

from conftest import ROOT, host_document, stored
from parbench.base import files
from parbench.model import document, index, store

pytestmark = pytest.mark.unit

MOUNTS = """22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw
40 22 0:39 / /home rw,relatime - nfs4 server:/home rw
41 22 0:40 / /scratch rw - lustre 10.0.0.1@tcp:/scratch rw
42 40 8:2 / /home/local\\040disk rw - ext4 /dev/sdb1 rw
"""


def test_the_index_lives_on_local_storage_per_host_keyed_by_the_store(tmp_path, monkeypatch):
    assert index.filesystem("/home/ann/.cache", MOUNTS) == "nfs4"
    assert index.filesystem("/scratch/x/y", MOUNTS) == "lustre"
    assert index.filesystem("/home/local disk/x", MOUNTS) == "ext4"
    assert index.filesystem("/var/tmp", MOUNTS) == "ext4"
    env = {"XDG_CACHE_HOME": str(tmp_path / "cache"), "XDG_RUNTIME_DIR": str(tmp_path / "run")}
    here = index.location(str(tmp_path / "store"), env)
    assert os.path.dirname(here) == str(tmp_path / "cache" / "parbench" / "index")
    # Another store, or the same store seen from another host, never shares an index file.
    assert index.location(str(tmp_path / "other"), env) != here
    monkeypatch.setattr(index.socket, "gethostname", lambda: "node17")
    assert index.location(str(tmp_path / "store"), env) != here
    # A cache folder on a network file system: the index moves to local storage.
    monkeypatch.setattr(index, "filesystem", lambda path, mounts=None: "nfs")
    assert os.path.dirname(index.location(str(tmp_path / "store"), env)) == str(tmp_path / "run" / "parbench-index")
    assert index.location(str(tmp_path / "store"), dict(env, PARBENCH_INDEX=str(tmp_path / "mine"))).startswith(
        str(tmp_path / "mine"))


def test_a_store_on_a_read_only_file_system_is_listed_with_its_index_elsewhere(tmp_path, results):
    folder = tmp_path / "store"
    stored(folder, host_document("vm", [("queuedrain", 1, [0.002])]))
    os.chmod(folder, 0o555)
    try:
        listing = results(folder, "list")
    finally:
        os.chmod(folder, 0o755)
    assert listing.returncode == 0 and listing.stderr == ""
    assert sorted(os.listdir(folder)) == [p for p in sorted(os.listdir(folder)) if p.endswith(".json")]
    # No cache at all that can be written: the index is kept in memory for the call.
    unwritable = tmp_path / "a-file"
    unwritable.write_text("")
    run = subprocess.run([sys.executable, "-m", "parbench.history", "list", "--results", str(folder)],
                         capture_output=True, text=True, cwd=ROOT, timeout=60,
                         env=dict(os.environ, PARBENCH_INDEX=str(unwritable / "index")))
    assert run.returncode == 0 and run.stdout == listing.stdout and run.stderr == ""


def test_only_new_and_changed_documents_are_read(tmp_path, monkeypatch):
    docs = [host_document("vm", [("queuedrain", 1, [0.001 * (k + 1)])]) for k in range(30)]
    folder = stored(tmp_path / "store", *docs).folder
    assert len(store.Store(folder).entries(warn=pytest.fail)) == 30
    read = []
    real = index.read_entry
    monkeypatch.setattr(index, "read_entry", lambda path: read.append(os.path.basename(path)) or real(path))
    assert len(store.Store(folder).entries(warn=pytest.fail)) == 30 and read == []
    # A new document, and one replaced as the runner replaces them (renamed
    # in over it), are read; the others are not even asked their size.
    one = host_document("vm", [("queuedrain", 1, [0.5])])
    stored(folder, one)
    first = os.path.join(folder, docs[0]["session"] + ".json")
    again = json.loads(open(first).read())
    again["summary"][0]["time_s"] = {"median": 0.009, "min": 0.009, "max": 0.009, "cv_pct": None}
    files.write(first, json.dumps(again))
    entries = store.Store(folder).entries(warn=pytest.fail)
    assert sorted(read) == sorted([one["session"] + ".json", docs[0]["session"] + ".json"])
    assert len(entries) == 31 and [e.times[0][0] for e in entries if e.session == docs[0]["session"]] == [0.009]
    # One cut short in place keeps its inode: it is seen at the first change of
    # the folder once an hour has passed since every file was last asked.
    read.clear()
    os.truncate(os.path.join(folder, docs[1]["session"] + ".json"), 20)
    stored(folder, host_document("vm", [("queuedrain", 1, [0.6])]))
    assert len(store.Store(folder).entries(warn=pytest.fail)) == 32 and len(read) == 1
    monkeypatch.setattr(index, "VERIFY_EVERY_S", 0.0)
    stored(folder, host_document("vm", [("queuedrain", 1, [0.7])]))
    skipped = []
    entries = store.Store(folder).entries(warn=skipped.append)
    assert len(read) == 3 and docs[1]["session"] + ".json" in read
    assert len(entries) == 32 and len(skipped) == 1 and docs[1]["session"] in skipped[0]


def test_the_newest_and_the_filters_are_asked_of_the_index(tmp_path):
    docs = [host_document("h%d" % (k % 3), [("queuedrain" if k % 2 else "arraysum", 1 if k % 2 else 4, [1.0])])
            for k in range(12)]
    found = stored(tmp_path / "store", *docs)
    every = found.entries()
    assert [e.session for e in every] == sorted(d["session"] for d in docs)
    assert [e.session for e in found.entries(newest=3)] == [e.session for e in every[-3:]]
    assert {e.host for e in found.entries(host="h1")} == {"h1"} and len(found.entries(host="h1")) == 4
    assert all("arraysum" in e.programs() for e in found.entries(program="arraysum"))
    assert found.find(every[4].session[:-2]).session == every[4].session
    assert found.find("latest").session == every[-1].session


def reader(folder, stop, seen, errors):
    """`results list --all` again and again: what it lists only grows, and it never fails."""
    last = 0
    while not stop.is_set():
        run = subprocess.run([sys.executable, "-m", "parbench.history", "list", "--all", "--results", str(folder)],
                             capture_output=True, text=True, cwd=ROOT, timeout=120)
        count = len([line for line in run.stdout.splitlines()[1:] if line[:1].isdigit()])
        if run.returncode != 0 or run.stderr or count < last:
            errors.append((run.returncode, run.stderr, count, last))
        last = count
        seen.append(count)


def writer(folder, count, tag):
    for k in range(count):
        doc = host_document("w%s" % tag, [("queuedrain", 1, [0.001 * (k + 1)])])
        store.Store(folder).save(document.from_json(doc, "test"))


@pytest.mark.slow
def test_readers_and_writers_at_once_lose_nothing_with_the_index_cut_and_deleted_under_them(tmp_path):
    folder = tmp_path / "store"
    folder.mkdir()
    stop, seen, errors = threading.Event(), [], []
    readers = [threading.Thread(target=reader, args=(folder, stop, seen, errors)) for _ in range(3)]
    writers = [threading.Thread(target=writer, args=(folder, 40, t)) for t in range(4)]
    for t in readers + writers:
        t.start()
    path = index.location(str(folder), os.environ)
    # While they run, the index is cut short and deleted from under them.
    for k in range(6):
        time.sleep(0.5)
        if os.path.exists(path):
            if k % 2:
                os.truncate(path, os.path.getsize(path) // 2)
            else:
                os.unlink(path)
    for t in writers:
        t.join(timeout=120)
    time.sleep(1)
    stop.set()
    for t in readers:
        t.join(timeout=180)
    assert not errors, errors[:3]
    assert seen and max(seen) <= 160
    final = store.Store(folder).entries(warn=pytest.fail)
    assert len(final) == 160 and len({e.session for e in final}) == 160
    with sqlite3.connect(path) as db:
        assert db.execute("SELECT COUNT(*) FROM sessions").fetchone()[0] == 160


def test_many_documents_are_read_in_processes_of_their_own_with_a_progress_line(tmp_path, monkeypatch):
    monkeypatch.setattr(index, "MANY", 10)
    docs = [host_document("vm", [("queuedrain", 1, [0.001])]) for _ in range(25)]
    folder = stored(tmp_path / "store", *docs).folder
    said = []
    found = store.Store(folder)
    found.index.refresh(warn=pytest.fail, progress=said.append)
    assert said and said[0].startswith("results: indexing 25 documents of ")
    assert len(found.entries(warn=pytest.fail)) == 25
    assert json.loads(open(os.path.join(folder, docs[0]["session"] + ".json")).read())["session"] == docs[0]["session"]


def test_a_folder_unchanged_since_the_last_look_is_not_looked_through_again(tmp_path, monkeypatch):
    docs = [host_document("vm", [("queuedrain", 1, [0.001 * (k + 1)])]) for k in range(5)]
    folder = stored(tmp_path / "store", *docs).folder
    old = time.time() - 3600
    os.utime(folder, (old, old))
    assert len(store.Store(folder).entries(warn=pytest.fail)) == 5
    looked = []
    real = index.scan
    monkeypatch.setattr(index, "scan", lambda f, known=None: looked.append(f) or real(f, known))
    assert len(store.Store(folder).entries(warn=pytest.fail)) == 5 and looked == []
    # A document changed in place is seen at the folder's next change (once
    # every file is due to be asked again), not before.
    os.truncate(os.path.join(folder, docs[0]["session"] + ".json"), 20)
    os.utime(folder, (old, old))
    assert len(store.Store(folder).entries(warn=pytest.fail)) == 5 and looked == []
    monkeypatch.setattr(index, "VERIFY_EVERY_S", 0.0)
    stored(folder, host_document("vm", [("queuedrain", 1, [0.5])]))
    skipped = []
    assert len(store.Store(folder).entries(warn=skipped.append)) == 5 and looked
    assert len(skipped) == 1 and docs[0]["session"] in skipped[0]
    # A folder changed just now may change again unseen within its clock's tick: it is looked through.
    looked.clear()
    assert len(store.Store(folder).entries(warn=lambda line: None)) == 5 and looked
