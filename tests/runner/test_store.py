"""The results store and the results command: many writers at once, files that
cannot be read, a store that cannot be written, and finding sessions again."""

import json
import os
import subprocess

import pytest

from parbench.model import store

pytestmark = pytest.mark.unit


def test_eight_runners_at_once_keep_eight_readable_sessions(stand_ins, tmp_path):
    folder = tmp_path / "store"
    runners = [subprocess.Popen(stand_ins.command("--only", "treesearch,queuedrain", "--procs", "2",
                                                  "--results", str(folder)),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=stand_ins.environment()) for _ in range(8)]
    outputs = [r.communicate(timeout=120) for r in runners]
    assert [r.returncode for r in runners] == [0] * 8, outputs
    sessions = store.Store(folder).entries(warn=pytest.fail)
    assert len({e.session for e in sessions}) == 8
    assert all(e.groups == (("treesearch", 2, None, None, None), ("queuedrain", None, 1, None, None)) for e in sessions)
    # Each kept its own log, document and folder to run in, and left no folder behind.
    assert len(stand_ins.logs()) == 8
    assert sorted(os.listdir(os.path.join(stand_ins.build, "run"))) == \
        sorted(["suite-%s.%s" % (e.session, ext) for e in sessions for ext in ("json", "log")])
    assert not [name for name in os.listdir(folder) if name.endswith(".tmp")]


def test_what_cannot_be_read_is_named_and_skipped(stand_ins, tmp_path, results):
    folder = tmp_path / "store"
    assert stand_ins.suite("--only", "queuedrain", "--results", str(folder)).returncode == 0
    [good] = os.listdir(folder)
    text = (folder / good).read_text()
    # What a runner killed while writing leaves: a temporary file, never a session.
    (folder / (".%s.4242.tmp" % good)).write_text(text[:100])
    (folder / "20260101T000000.000Z-vm-aaaaaa.json").write_text(text[:100])
    (folder / "20260102T000000.000Z-vm-bbbbbb.json").write_text(json.dumps(dict(json.loads(text), format=99)))
    listing = results(folder, "list")
    assert listing.returncode == 0, listing.stderr
    assert [line.split()[0] for line in listing.stdout.splitlines()[1:]] == [good[:-5]]
    skipped = listing.stderr.splitlines()
    assert len(skipped) == 2
    assert "20260101T000000.000Z-vm-aaaaaa.json" in skipped[0]
    assert "format 99, newer than this runner reads" in skipped[1]
    assert results(folder, "show", "latest").returncode == 0


def test_a_store_that_cannot_be_written_costs_the_run_nothing(stand_ins, tmp_path):
    blocker = tmp_path / "a-file"
    blocker.write_text("")
    run = stand_ins.suite("--only", "queuedrain", "--results", str(blocker / "store"))
    assert run.returncode == 0, run.stderr
    [line] = run.stderr.splitlines()
    assert line.startswith("run-suite: the session was not stored in %s (Not a directory); its document is " % (
        blocker / "store"))
    assert os.path.isfile(line.rsplit(" ", 1)[1])
    assert "(not stored)" in run.stdout


def test_documents_written_before_the_store_are_imported_once_and_compared(stand_ins, tmp_path, results):
    folder = tmp_path / "store"
    old = tmp_path / "old.json"
    run = stand_ins.suite("--only", "queuedrain", "--repeat", "5", "--no-store", "--json", str(old))
    assert run.returncode == 0 and not folder.exists()
    doc = json.loads(old.read_text())
    del doc["session"]
    doc["format"] = 1
    old.write_text(json.dumps(doc))
    first, again = results(folder, "import", str(old)), results(folder, "import", str(old))
    assert "added as" in first.stdout and "already there" in again.stdout
    assert len([n for n in os.listdir(folder) if not n.startswith(".")]) == 1
    stand_ins.program("queuedrain", "echo 'Time:   0.009000 s'\n")
    assert stand_ins.suite("--only", "queuedrain", "--repeat", "5", "--results", str(folder)).returncode == 0
    # BASE by default: the newest earlier session of the host that shares a group.
    compared = results(folder, "compare")
    assert compared.returncode == 3, compared.stdout + compared.stderr
    assert "baseline: SLOWER: queuedrain with 1 thread: time 0.009 s, baseline 0.002 s (+350.0 %)" in compared.stdout
    by_file = results(folder, "compare", str(old), "latest")
    assert by_file.returncode == 3 and "compare: " in by_file.stdout


def test_list_filters_and_names_sessions_by_the_start_of_their_id(stand_ins, tmp_path, results):
    folder = tmp_path / "store"
    for only in ("queuedrain", "arraysum"):
        assert stand_ins.suite("--only", only, "--results", str(folder)).returncode == 0
    entries = store.Store(folder).entries()
    host = entries[0].host
    assert len(results(folder, "list", "--program", "arraysum").stdout.splitlines()) == 2
    assert len(results(folder, "list", "--host", host, "--since", "2000-01-01").stdout.splitlines()) == 3
    assert "no sessions" in results(folder, "list", "--host", "elsewhere").stdout
    drained = [e for e in entries if "queuedrain" in e.programs()][0]
    shown = results(folder, "show", drained.session[:-3])
    assert shown.returncode == 0 and "queuedrain  1" in shown.stdout
    ambiguous = results(folder, "show", "2")
    assert ambiguous.returncode == 2 and "names 2 sessions" in ambiguous.stderr
