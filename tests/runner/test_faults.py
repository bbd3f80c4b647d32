"""No input crashes the results command. A file in the store, whatever its
bytes, is read or named once and skipped, and every other session stays
usable; import refuses what the store could not use; the index is a cache
that is read again wherever it cannot be used; text from documents reaches
the terminal escaped, and a spreadsheet inert. Generated documents hold the
same: reading one gives a Session or a DocumentError, and every Session can
be compared, shown, scaled, reported, listed and exported."""

import copy
import csv
import io
import json
import math
import os
import sqlite3
import re
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from parbench.analysis import comparison as compare, scaling, summary
from parbench.commands import exits, results as history
from parbench.model import document, index, programs, store
from parbench.report import export, page as report
from parbench.base.text import shown

# Hundreds of generated documents and store files: out of the quick loop (-LE slow).
pytestmark = [pytest.mark.unit, pytest.mark.slow]

# Every command started here has a time limit: a FIFO or /dev/zero must not hang a test.
TIMEOUT = 60
ODD = "20991231T235959.999Z-odd-abcdef"   # later than the good session: `latest` when it is read
ESCAPES = "odd\x1b]0;owned\x07\x1b[2J\r"
RAW = ("\x1b", "\x07", "\r")


def command(capsys, folder, *args):
    """(status, out, err) of a results command run here, faster than a process of its own;
    an exception it lets out fails the test. A warning would be on standard error too."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        status = history.main([*args, "--results", str(folder)], environ={})
    out, err = capsys.readouterr()
    err += "".join(warnings.formatwarning(w.message, w.category, w.filename, w.lineno, "") for w in caught)
    return status, out, err


_GOOD = {}


@pytest.fixture
def good(stand_ins, tmp_path_factory):
    """(text, document) of one good stored session, made once for the module."""
    if not _GOOD:
        folder = tmp_path_factory.mktemp("good")
        run = stand_ins.suite("--only", "queuedrain,arraysum", "--repeat", "3", "--results", str(folder))
        assert run.returncode == 0, run.stdout + run.stderr
        [name] = [n for n in os.listdir(folder) if not n.startswith(".")]
        text = (folder / name).read_text()
        _GOOD.update(text=text, doc=json.loads(text))
    return _GOOD["text"], copy.deepcopy(_GOOD["doc"])


# Each case puts one file beside the good session: (what it is, how it is made, whether the store
# reads it, its name).

def odd(doc, **changes):
    return json.dumps(dict(doc, session=ODD, **changes))


def with_number(doc, where, literal):
    """The document with `literal` written as the number at `where` (a function setting a placeholder)."""
    where(doc, 12345.678)
    return odd(doc).replace("12345.678", literal)


def _set(*path):
    def setter(doc, value):
        target = doc
        for key in path[:-1]:
            target = target[key]
        target[path[-1]] = value
    return setter


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def escaped_sweep(doc):
    doc["scaling"] = [{"program": "dynamicwork", "unit": "thread", "reference": 1, "capacity": 1,
                       "capacity_of": "cores\x1b[2J", "points": [
                           {"count": 1, "speedup": 1.0, "efficiency_pct": 100.0, "karp_flatt": None,
                            "oversubscribed": False, "fitted": True},
                           {"count": 2, "speedup": 1.9, "efficiency_pct": 95.0, "karp_flatt": 0.05,
                            "oversubscribed": True, "fitted": True}],
                       "fit": None, "no_fit": "no fit\x1b]0;owned\x07"}]
    return odd(doc)


def surrogates(doc):
    doc["provenance"].update(host="odd\ud800", cpu_model="\udcff cpu", command="run-suite \ud800")
    return odd(doc)


def ancient(doc):
    doc["provenance"]["date"] = "0001-01-01T00:00:00+01:00"
    return odd(doc)


def huge_times(doc):
    for run in doc["runs"][:3]:
        run["time_s"] = "1e308"
    doc["summary"][0]["time_s"] = {"median": 1.7e308, "min": 1.7e308, "max": 1.7e308, "cv_pct": 0.0}
    return odd(doc)


def unfittable(doc):
    """A document from before the store, of a sweep whose speed-ups no curve of Amdahl's law comes near."""
    rows = [{"program": "treesearch", "procs": n, "threads": None, "runs": 1, "failed": 0, "speedup_pct": pct,
             "parallel_s": {"median": 1.0, "min": 1.0, "max": 1.0, "cv_pct": None}}
            for n, pct in ((1, 1e302), (2, 1e-298), (3, 500.0))]
    return json.dumps({"format": 1, "runs": [], "summary": doc["summary"] + rows, "provenance": dict(
        doc["provenance"], date="2099-12-31T23:59:59.999+00:00", host="odd", physical_cores=None)})


def write(name, data):
    def make(folder, text, doc):
        content = data(doc) if callable(data) else data
        (folder / name).write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
    return make


def special(name, how):
    def make(folder, text, doc):
        how(str(folder / name))
    return make


def sparse(path):
    with open(path, "wb") as f:
        f.truncate(100 * 2 ** 20)


def padded(doc):
    return odd(doc)[:-1] + " " * (50 * 2 ** 20) + "}"


def with_program(doc):
    doc["runs"][0]["program"] = "bogosort"
    return odd(doc)


def edit(change):
    def data(doc):
        change(doc)
        return odd(doc)
    return data


CASES = [
    ("truncated JSON", lambda f, t, d: (f / "cut.json").write_text(t[:len(t) // 2]), False, "cut.json"),
    ("an empty file", write("empty.json", b""), False, "empty.json"),
    ("not UTF-8", write("latin.json", lambda d: odd(d).encode().replace(b'"queuedrain"', b'"queue\xffdrain"', 1)),
     False, "latin.json"),
    ("not JSON", write("prose.json", b"this is no JSON\n"), False, "prose.json"),
    ("a list", write("list.json", lambda d: json.dumps([d])), False, "list.json"),
    ("provenance a string", write("prov.json", lambda d: odd(d, provenance="vm")), False, "prov.json"),
    ("a summary row without its program", write("noprog.json", edit(lambda d: d["summary"][0].pop("program"))),
     False, "noprog.json"),
    ("runs an object", write("runsobj.json", lambda d: odd(d, runs={"1": d["runs"][0]})), False, "runsobj.json"),
    ("a count given as text", write("textcount.json", edit(lambda d: d["summary"][0].update(threads="1"))),
     False, "textcount.json"),
    ("an unknown program", write("unknown.json", with_program), False, "unknown.json"),
    ("a treesearch run with no process count",
     write("tree.json", edit(lambda d: d["runs"][0].update(program="treesearch", procs=None, threads=None))),
     False, "tree.json"),
    ("a NaN literal", write("nan.json", lambda d: with_number(d, _set("runs", 0, "duration_s"), "NaN")), False,
     "nan.json"),
    ("1e999", write("inf.json", lambda d: with_number(d, _set("runs", 0, "duration_s"), "1e999")), False, "inf.json"),
    ("1e999 where the schema says nothing",
     write("infextra.json", lambda d: with_number(d, _set("provenance", "compiler", "path"), "1e999")),
     False, "infextra.json"),
    ("a negative time in the summary",
     write("negative.json", edit(lambda d: d["summary"][0]["time_s"].update(min=-1.0))), False, "negative.json"),
    ("a spread whose fastest run is slower than its median",
     write("spread.json", edit(lambda d: d["summary"][0]["time_s"].update(min=5.0, max=6.0))), False, "spread.json"),
    ("a future format", write("future.json", lambda d: odd(d, format=document.FORMAT + 1)), False, "future.json"),
    ("an id ending in a newline", write("newline.json", lambda d: json.dumps(dict(d, session=ODD + "\n"))),
     False, "newline.json"),
    ("a folder", lambda f, t, d: (f / "x.json").mkdir(), False, "x.json"),
    ("a FIFO", special("fifo.json", os.mkfifo), False, "fifo.json"),
    ("a link to nowhere", special("nowhere.json", lambda p: os.symlink("missing.json", p)), False, "nowhere.json"),
    ("a link to itself", special("loop.json", lambda p: os.symlink("loop.json", p)), False, "loop.json"),
    ("a link through a file", special("passwd.json", lambda p: os.symlink("/etc/passwd/x", p)), False,
     "passwd.json"),
    ("a name with terminal escapes", write("name\x1b[2J\udcff.json", b"not JSON"), False, "name\x1b[2J\udcff.json"),
    ("200,000 brackets deep", write("deep.json", b"[" * 200000), False, "deep.json"),
    ("900 deep where the schema says nothing",
     write("deeper.json", edit(lambda d: d["provenance"].update(extra=nested(900)))), False, "deeper.json"),
    ("a number of 5,000 digits", write("digits.json", lambda d: with_number(d, _set("provenance", "memory_bytes"),
                                                                            "1" * 5000)), False, "digits.json"),
    ("a number of 4,000 digits", write("digits4k.json", lambda d: with_number(d, _set("runs", 0, "duration_s"),
                                                                              "1" * 4000)), False, "digits4k.json"),
    ("a file beyond the size cap", special("huge.json", sparse), False, "huge.json"),
    ("a 50 MB document", write("big.json", padded), True, "big.json"),
    ("terminal escapes in the host", write("escapes.json", lambda d: odd(d, provenance=dict(
        d["provenance"], host=ESCAPES, command="run-suite \x1b[2J", date="2099-12-31T23:59:59\x1b[2J"))),
     True, "escapes.json"),
    ("terminal escapes in a sweep's text", write("sweep.json", escaped_sweep), True, "sweep.json"),
    ("lone surrogates", write("surrogates.json", surrogates), True, "surrogates.json"),
    ("a date out of range", write("ancient.json", ancient), True, "ancient.json"),
    ("a sweep no fit comes near", write("unfittable.json", unfittable), True, "unfittable.json"),
    ("times at the edge of a double", write("edge.json", huge_times), True, "edge.json"),
]


def assert_clean(*texts):
    for text in texts:
        assert "Traceback" not in text, text
        for c in RAW:
            assert c not in text, "a raw %r reached the terminal: %r" % (c, text[:2000])


def assert_named_once(err, name, readable):
    if readable:
        assert err == "", err
    else:
        assert err.count(shown(name)) == 1, err
        assert len(err.splitlines()) == 1, err


@pytest.mark.parametrize("make, readable, name", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_a_bad_file_costs_its_own_session_only(good, tmp_path, capsys, make, readable, name, results):
    text, doc = good
    folder = tmp_path / "store"
    folder.mkdir()
    (folder / (doc["session"] + ".json")).write_text(text)
    make(folder, text, doc)
    good_id = doc["session"]

    listing = results(folder, "list")
    assert listing.returncode == 0, listing.stderr
    assert_clean(listing.stdout, listing.stderr)
    listed = [line.split()[0] for line in listing.stdout.splitlines()[1:]]
    assert listed[0] == good_id and len(listed) == 1 + readable, listing.stdout
    # Read, it is the latest: ODD, or an id made up from the same date and host.
    assert not readable or listed[1][:-6] == ODD[:-6]
    assert_named_once(listing.stderr, name, readable)

    for args in (["show", "latest"], ["show", good_id], ["show", good_id[:-3]]):
        status, out, err = command(capsys, folder, *args)
        assert status == 0, err
        assert_clean(out, err)
        assert_named_once(err, name, readable)
        assert "session " in out
    status, out, err = command(capsys, folder, "compare", good_id, good_id)
    assert status == 0, out + err
    assert_clean(out, err)
    assert_named_once(err, name, readable)
    for session in ([good_id, "latest"] if readable else [good_id]):
        page = tmp_path / ("report-%s.html" % session)
        status, out, err = command(capsys, folder, "report", "--session", session, "--out", str(page))
        assert status == 0, err
        assert_clean(out, err)
        assert_named_once(err, name, readable)
        assert page.read_text(errors="replace").startswith("<!DOCTYPE html>")
    if readable:
        for pair in ([good_id, "latest"], ["latest", "latest"]):
            status, out, err = command(capsys, folder, "compare", *pair)
            assert status in (0, exits.FAILED, exits.SLOWER, exits.NOT_TOLD), out + err
            assert_clean(out, err)

    # The same file imported: refused, naming it, unless the store reads it. A FIFO in a
    # process of its own, with a time limit, should it ever wait for a writer.
    if name == "fifo.json":
        run = results(tmp_path / "imported", "import", str(folder / name))
        status, out, err = run.returncode, run.stdout, run.stderr
    else:
        status, out, err = command(capsys, tmp_path / "imported", "import", str(folder / name))
    assert_clean(out, err)
    if readable:
        assert (status, err) == (0, ""), err
        assert "imported 1 of 1" in out
        assert [e.session for e in store.Store(tmp_path / "imported").entries(warn=pytest.fail)] == listed[1:]
    else:
        assert status == history.UNUSABLE
        assert out.strip().endswith("imported 0 of 1 into %s" % (tmp_path / "imported"))
        assert_named_once(err, name, readable)


def test_import_refuses_what_the_store_cannot_use_and_goes_on(good, tmp_path, results):
    text, doc = good
    bad = tmp_path / "bad"
    bad.mkdir()
    for _, make, readable, _ in CASES:
        if not readable:
            make(bad, text, copy.deepcopy(doc))
    (tmp_path / "good.json").write_text(text)
    (tmp_path / "escapes.json").write_text(odd(doc, provenance=dict(doc["provenance"], host=ESCAPES)))
    names = sorted(os.listdir(bad))
    paths = [str(tmp_path / "good.json")] + [str(bad / n) for n in names] + ["/dev/zero",
                                                                           str(tmp_path / "escapes.json")]
    run = results(tmp_path / "store", "import", *paths)
    assert run.returncode == 2, run.stdout + run.stderr
    assert_clean(run.stdout, run.stderr)
    assert run.stdout.splitlines()[-1] == "imported 2 of %d into %s" % (len(paths), tmp_path / "store")
    refused = run.stderr.splitlines()
    assert len(refused) == len(names) + 1
    for line, name in zip(refused, names + ["/dev/zero"]):
        assert line.startswith("results: not imported: ") and shown(name) in line, line
    assert "not a regular file" in refused[names.index("fifo.json")]
    assert "not a regular file" in refused[-1]
    assert "larger than 64 MB" in refused[names.index("huge.json")]
    sessions = store.Store(tmp_path / "store").entries(warn=pytest.fail)
    assert sorted(e.session for e in sessions) == sorted([doc["session"], ODD])


def test_import_into_a_store_that_cannot_be_written_says_so_of_each_file(good, tmp_path, capsys):
    text, doc = good
    paths = [tmp_path / "a.json", tmp_path / "b.json"]
    paths[0].write_text(text)
    paths[1].write_text(odd(doc))
    (tmp_path / "a-file").write_text("")
    status, out, err = command(capsys, tmp_path / "a-file" / "store", "import", *map(str, paths))
    assert status == history.UNUSABLE
    assert out.splitlines() == ["imported 0 of 2 into %s" % (tmp_path / "a-file" / "store")]
    assert [line.split(": cannot write ")[0] for line in err.splitlines()] == [
        "results: not imported: %s" % path for path in paths]


def sql(*statements):
    def damage(path):
        with sqlite3.connect(path) as db:
            for statement in statements:
                db.execute(statement)
    return damage


def bytes_of(make):
    def damage(path):
        data = open(path, "rb").read()
        for suffix in ("-wal", "-shm"):
            if os.path.exists(path + suffix):
                os.unlink(path + suffix)
        with open(path, "wb") as f:
            f.write(make(data))
    return damage


# Both sessions of the test have two groups.
INDEX_DAMAGE = {
    "a field missing": sql("UPDATE sessions SET host = NULL"),
    "wrong types": sql("UPDATE sessions SET failed = '0'", "UPDATE groups SET program = 7"),
    "more groups than it had": sql("INSERT INTO groups SELECT name, position + 10, program, procs, threads, "
                                   "environment, bind, median, low, high FROM groups"),
    "a placement not a placement": sql("UPDATE groups SET bind = 'tight'"),
    "an environment not a name": sql("UPDATE groups SET environment = x'ff'"),
    "fewer groups": sql("DELETE FROM groups WHERE position = 1"),
    "sessions lost": sql("DELETE FROM sessions"),
    "an id not an id": sql("UPDATE sessions SET session = '../x'"),
    "a spread out of order": sql("UPDATE groups SET median = 9.0, low = 1.0, high = 2.0"),
    "a number no float holds": sql("UPDATE groups SET median = 1e400, high = 1e400"),
    "null and a number": sql("UPDATE sessions SET interrupted = 7, date = NULL"),
    "a count as text": sql("UPDATE groups SET procs = '1', threads = NULL"),
    "a program not a name": sql("UPDATE groups SET program = 'nosuch'"),
    "a stamp not a stamp": sql("UPDATE files SET size = 'now', mtime = NULL"),
    "another version": sql("PRAGMA user_version = 99"),
    "another store's": sql("UPDATE meta SET value = '/elsewhere'"),
    "a table dropped": sql("DROP TABLE groups"),
    "cut in half": bytes_of(lambda data: data[:len(data) // 2]),
    "not a database": bytes_of(lambda data: b"not a database" * 100),
    "empty": bytes_of(lambda data: b""),
}


@pytest.mark.parametrize("damage", list(INDEX_DAMAGE.values()), ids=list(INDEX_DAMAGE))
def test_an_index_it_cannot_use_is_read_again(good, tmp_path, damage, results):
    text, doc = good
    folder = tmp_path / "store"
    folder.mkdir()
    (folder / (doc["session"] + ".json")).write_text(text)
    (folder / (ODD + ".json")).write_text(odd(doc, provenance=dict(doc["provenance"], host=ESCAPES)))
    clean = results(folder, "list")
    assert clean.returncode == 0 and clean.stderr == "", clean.stderr
    path = index.location(str(folder), os.environ)
    damage(path)

    listing = results(folder, "list")
    assert (listing.returncode, listing.stderr) == (0, "")
    assert listing.stdout == clean.stdout
    assert_clean(listing.stdout)
    # Made usable again: every entry in it is the one reading the document gives, for the file as it is.
    again = store.Store(folder)
    assert again.entries(warn=pytest.fail) == [index.Entry.of(store.read_document(str(folder / name)),
                                                              str(folder / name))
                                               for name in sorted([doc["session"] + ".json", ODD + ".json"])]
    with sqlite3.connect(path) as db:
        assert db.execute("PRAGMA user_version").fetchone()[0] == index.VERSION
        stamps = {os.fsdecode(name): (size, mtime) for name, size, mtime in
                  db.execute("SELECT name, size, mtime FROM files")}
    assert stamps == {p.name: (p.stat().st_size, p.stat().st_mtime_ns) for p in folder.glob("*.json")}


def test_an_index_entry_with_escapes_is_shown_escaped(good, tmp_path, results):
    text, doc = good
    folder = tmp_path / "store"
    folder.mkdir()
    (folder / (doc["session"] + ".json")).write_text(text)
    assert results(folder, "list").returncode == 0
    sql("UPDATE sessions SET interrupted = 'SIG\x1b[2J', host = 'vm\x1b]0;owned\x07', mpi = '\x1b[31m', "
        "commit_id = '\r'")(index.location(str(folder), os.environ))
    listing = results(folder, "list")
    assert listing.returncode == 0 and doc["session"] in listing.stdout
    assert_clean(listing.stdout, listing.stderr)


def test_sessions_of_many_runs_are_compared(good, tmp_path, capsys):
    """600 runs a side: more orders of the two samples than a double can count."""
    text, doc = good
    paths = []
    for i, time in enumerate(("0.002000", "0.004000")):
        runs = [dict(doc["runs"][0], run=n, time_s=time) for n in range(1, 601)]
        path = tmp_path / ("many-%d.json" % i)
        path.write_text(json.dumps(dict(doc, session=doc["session"][:-1] + str(i), runs=runs + doc["runs"][3:])))
        paths.append(str(path))
    status, out, err = command(capsys, tmp_path / "store", "compare", *paths)
    assert status == exits.SLOWER, out + err
    assert "baseline: SLOWER: queuedrain with 1 thread: time 0.004 s, baseline 0.002 s (+100.0 %); " \
           "Mann-Whitney p = " in out


# Generated documents: the shape of the schema, then damaged.

TEXT = st.text(st.characters(blacklist_categories=()), max_size=12)
# Mostly times as programs print them, so that runs are valid and compared.
PRINTED = st.floats(min_value=0, max_value=10).map(lambda v: "%f" % v)
FIGURE = st.one_of(PRINTED, PRINTED, PRINTED, st.none(), TEXT,
                   st.sampled_from(["0.000000", "nan", "inf", "-inf", "-1", "1e308", "0x10", ""]))
SECONDS = st.one_of(st.floats(min_value=0, max_value=100), st.floats(min_value=0, allow_infinity=False))
NUMBER = st.one_of(st.floats(min_value=-10, max_value=1000), st.floats(allow_nan=False, allow_infinity=False))
COUNT = st.integers(min_value=1, max_value=64)


@st.composite
def pairs(draw):
    """Two damaged documents, mostly of the same groups, so that there is something to compare."""
    shared = st.lists(st.tuples(st.sampled_from(programs.NAMES), st.integers(1, 3)), min_size=1, max_size=4)
    groups = draw(st.one_of(shared.map(st.just), st.just(GROUPS)))
    return draw(damaged(groups)), draw(damaged(groups))


@st.composite
def spreads(draw):
    if draw(st.booleans()):
        return None
    low, median, high = sorted(draw(st.lists(SECONDS, min_size=3, max_size=3)))
    return {"median": median, "min": low, "max": high, "cv_pct": draw(st.one_of(st.none(), SECONDS))}


def group_keys(program, count):
    return {"procs": count, "threads": None} if programs.get(program).mpi else {"procs": None, "threads": count}


@st.composite
def summaries(draw, program, count):
    row = {"program": program, **group_keys(program, count), "runs": draw(st.integers(0, 5)),
           "failed": draw(st.integers(0, 2))}
    for name in document.TIMES:
        row[name] = draw(spreads())
    row["speedup_pct"] = draw(st.one_of(st.none(), NUMBER))
    row["efficiency_pct"] = draw(st.one_of(st.none(), NUMBER))
    return row


@st.composite
def runs(draw, program, count, index):
    run = {"program": program, "run": index, **group_keys(program, count)}
    for name in document.FIGURES:
        run[name] = draw(FIGURE)
    run.update(verdict=draw(st.sampled_from(["valid", "invalid", None])),
               exit_status=draw(st.one_of(st.none(), st.integers(-9, 255))),
               duration_s=draw(SECONDS), problem=draw(st.one_of(st.none(), st.none(), st.none(), TEXT)),
               binding=draw(st.one_of(st.none(), TEXT)))
    return run


@st.composite
def sweeps(draw):
    program = draw(st.sampled_from([p for p in programs.PROGRAMS if p.sweep]))
    points = [{"count": draw(COUNT), "speedup": draw(NUMBER), "efficiency_pct": draw(NUMBER),
               "karp_flatt": draw(st.one_of(st.none(), NUMBER)), "oversubscribed": draw(st.booleans()),
               "fitted": draw(st.booleans())} for _ in range(draw(st.integers(1, 5)))]
    fit = None
    if draw(st.booleans()):
        fit = {"serial_fraction": draw(st.one_of(st.sampled_from([-1.0, 0.0, 0.5, 1.0]), NUMBER)),
               "ci95": draw(st.lists(NUMBER, min_size=2, max_size=2)), "limit": draw(st.one_of(st.none(), NUMBER)),
               "counts": [p["count"] for p in points], "left_out": []}
    capacity = draw(COUNT) if any(p["oversubscribed"] for p in points) else draw(st.one_of(st.none(), COUNT))
    return {"program": program.name, "unit": program.sweep.unit, "reference": draw(st.one_of(st.none(), COUNT)),
            "capacity": capacity, "capacity_of": draw(TEXT), "points": points, "fit": fit,
            "no_fit": draw(st.one_of(st.none(), TEXT))}


GROUPS = st.lists(st.tuples(st.sampled_from(programs.NAMES), st.integers(1, 3)), max_size=4)


@st.composite
def documents(draw, groups=GROUPS):
    groups = draw(groups)
    doc = {"format": draw(st.sampled_from([1, 2, 3, 3])),
           "session": "20260101T000000.000Z-%s-%06x" % (draw(st.sampled_from(["vm", "a.b-c"])),
                                                        draw(st.integers(0, 2 ** 24 - 1))),
           "provenance": {
               "date": draw(st.one_of(st.none(), TEXT, st.sampled_from([
                   "2026-01-01T00:00:00+00:00", "2026-06-01T12:00:00", "0001-01-01T00:00:00+01:00",
                   "9999-12-31T23:59:59-01:00"]))),
               "host": draw(st.one_of(st.none(), st.sampled_from(["vm", "other"]), TEXT)),
               "cpu_model": draw(st.one_of(st.none(), TEXT)), "command": draw(st.one_of(st.none(), TEXT)),
               "physical_cores": draw(st.one_of(st.none(), COUNT)),
               "hardware_threads": draw(st.one_of(st.none(), COUNT)),
               "memory_bytes": draw(st.one_of(st.none(), st.integers(0, 2 ** 53))),
               "compiler": draw(st.one_of(st.none(), st.fixed_dictionaries({"id": TEXT, "version": TEXT}))),
               "mpi": draw(st.one_of(st.none(), st.fixed_dictionaries({"implementation": TEXT, "version": TEXT}))),
               "environment": draw(st.dictionaries(TEXT, TEXT, max_size=2)),
               "git": {"commit": draw(TEXT), "uncommitted_changes": draw(st.one_of(st.none(), st.booleans()))}},
           "runs": [], "summary": []}
    for program, count in groups:
        doc["summary"].append(draw(summaries(program, count)))
        doc["runs"] += [draw(runs(program, count, i)) for i in range(1, draw(st.integers(0, 6)) + 1)]
    if doc["format"] >= 2:
        doc["scaling"] = draw(st.lists(sweeps(), max_size=2))
    if doc["format"] >= 3:
        doc["interrupted"] = draw(st.one_of(st.none(), st.fixed_dictionaries({
            "signal": st.sampled_from(["SIGTERM", "SIGINT", "SIGTERM\n", "sigterm"]),
            "planned_runs": st.integers(0, 100)})))
    if doc["format"] == 1:
        del doc["session"]
        if draw(st.booleans()):
            del doc["format"]
    return doc


# What a damaged value becomes, made afresh each time (hypothesis shows what it samples, and
# cannot show an integer of 5,000 digits).
WRECKS = {
    "drop": None, "null": lambda: None, "nan": lambda: math.nan, "inf": lambda: math.inf,
    "-inf": lambda: -math.inf, "huge": lambda: 10 ** 400, "huger": lambda: 10 ** 5000,
    "beyond 2**53": lambda: 2 ** 53 + 1, "negative": lambda: -1, "negative float": lambda: -0.5, "zero": lambda: 0,
    "edge": lambda: 1.7e308, "text": lambda: "\x1b[2J\ud800", "list": list, "dict": dict, "true": lambda: True,
    "deep": lambda: nested(3000), "shallow deep": lambda: nested(25), "number text": lambda: "1",
}


def places(value, found):
    """Every (container, key) in `value`, without recursion."""
    stack = [value]
    while stack:
        here = stack.pop()
        keys = list(here) if isinstance(here, dict) else range(len(here)) if isinstance(here, list) else []
        for key in keys:
            found.append((here, key))
            stack.append(here[key])
    return found


@st.composite
def damaged(draw, groups=GROUPS):
    doc = draw(documents(groups))
    for _ in range(draw(st.sampled_from([0, 0, 1, 1, 2, 3]))):
        spots = places(doc, [])
        if not spots:
            break
        container, key = spots[draw(st.integers(0, len(spots) - 1))]
        kind = draw(st.sampled_from(sorted(WRECKS)))
        if kind == "drop":
            del container[key]
        else:
            container[key] = WRECKS[kind]()
    return doc


def read(raw):
    """The Session of `raw`, or None where it is refused, as it may be, by a DocumentError."""
    try:
        session = document.from_json(raw, "generated")
    except document.DocumentError as e:
        assert str(e).startswith("generated ")
        error = str(e)
        session = None
    else:
        error = ""
    # The two validators describe one schema: what ours lets pass, jsonschema does too.
    if session is not None or "does not hold a session" in error:
        upgraded = session.raw if session else document.upgrade(raw)
        assert document._conforms(upgraded) == (document.conformity(upgraded) is None)
        if document.conformity(upgraded) is None:
            assert document.schema_problems(upgraded) == []
    return session


def used(session, other):
    """Everything the commands do with a Session, short of drawing it."""
    comparison = compare.compare("b", other, session)
    comparison.lines()
    summary.format_table(session.summary, comparison.against())
    summary.notes(session.summary)
    for section in scaling.of_document(session):
        scaling.line(section)
    scaling.fit_lines(other, session)
    session.cut_short()
    entry = index.Entry.of(session, "/nowhere/%s.json" % session.id)
    kept = index.Index("/nowhere", ":memory:")
    kept._memory()
    index._insert(kept.db, session.id + ".json", entry)
    assert kept.entries() == [entry]
    # What is read can be stored and read back the same.
    assert document.parse(document.dumps(session).encode("utf-8"), "again").raw == session.raw
    return comparison, entry


# Examples enough to meet each kind of damage, few enough to keep the file well under a minute.
PROPERTIES = dict(deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow,
                                                                        HealthCheck.data_too_large])


@settings(max_examples=120, **PROPERTIES)
@given(pairs())
def test_a_generated_document_is_a_session_or_a_document_error(documents):
    sessions = [read(raw) for raw in documents]
    if all(sessions):
        used(*sessions)
        used(sessions[0], sessions[0])


@settings(max_examples=30, **PROPERTIES)
@given(pairs())
def test_every_session_read_makes_a_report_page(documents):
    pytest.importorskip("matplotlib")
    pytest.importorskip("jinja2")
    new, base = [read(raw) for raw in documents]
    if new is None:
        return
    base = base or new
    comparison, entry = used(new, base)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        text = report.page(new, [entry, index.Entry.of(base, "")], comparison)
    assert text.startswith("<!DOCTYPE html>")
    # A warning goes to the terminal: document text in one must be escaped.
    assert [str(w.message) for w in caught] == [shown(str(w.message)) for w in caught]


# Text a spreadsheet would run as a formula, text that only looks like it, and plain numbers.
SPREADSHEET = st.one_of(TEXT, st.tuples(st.sampled_from("=+-@\t\r'"), TEXT).map("".join),
                        st.sampled_from(["-0.5", "+1e-3", "-1.5E+07", "-.5", "-inf", "-nan", "-1e", "--1", "-",
                                         "-0x10", "+1 ", "-١"]))
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")
PLAIN_NUMBER = re.compile(r"[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?")


@settings(max_examples=80, **PROPERTIES)
@given(documents(), st.data())
def test_no_exported_cell_would_run_in_a_spreadsheet_and_each_gives_its_text_back(raw, data):
    raw["provenance"].update(host=data.draw(SPREADSHEET), mpi={"implementation": data.draw(SPREADSHEET)})
    for run in raw["runs"]:
        run.update({name: data.draw(SPREADSHEET) for name in document.FIGURES}, problem=data.draw(SPREADSHEET))
    session = read(raw)
    if session is None:
        return
    found = list(export.rows([session]))
    rows = list(csv.DictReader(io.StringIO(export.text(found, "csv"))))
    assert len(rows) == len(found)
    for row, run in zip(rows, found):
        for name in export.FIELDS:
            text, cell = shown(run[name]), row[name]
            inert = not text.startswith(FORMULA_STARTS) or PLAIN_NUMBER.fullmatch(text)
            assert cell == (text if inert else "'" + text), name
