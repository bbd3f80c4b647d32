"""Options and inputs that make no sense: one line on standard error, status 2,
and nothing run or made."""

import os

import pytest

from parbench.commands import suite_options as cli
from parbench.platform.hostfile import Hostfile, HostfileError

pytestmark = pytest.mark.unit

HOSTS = "{tmp}/hosts"
# (arguments, what the message says); {tmp} is the test's own folder.
CASES = [
    (["--only", "nosuch"], "unknown program(s): nosuch"),
    (["--only", ""], "argument --only: needs a comma list"),
    (["--only", "arraysum,,queuedrain"], "argument --only: an empty item"),
    (["--only", "arraysum", "--threads", "2"], "--only leaves dynamicwork out"),
    (["--procs", "two"], "argument --procs: takes whole numbers"),
    (["--procs", "1,,2"], "argument --procs: an empty item"),
    (["--procs", ""], "argument --procs: needs a comma list"),
    (["--procs", "1,2,"], "argument --procs: an empty item"),
    (["--threads", "0"], "argument --threads: takes counts of 1 or more"),
    (["--threads", ","], "argument --threads: an empty item"),
    (["--repeat", "0"], "--repeat must be from 1 to %d" % cli.REPEAT_LIMIT),
    (["--repeat", str(cli.REPEAT_LIMIT + 1)], "--repeat must be from 1 to"),
    (["--timeout", "0"], "--timeout must be more than 0"),
    (["--timeout", "-1"], "--timeout must be more than 0"),
    (["--timeout", "nan"], "--timeout must be more than 0"),
    (["--timeout", "inf"], "--timeout must be more than 0"),
    (["--timeout", str(cli.TIMEOUT_LIMIT + 1)], "at most %d seconds" % cli.TIMEOUT_LIMIT),
    (["--tolerance", "1.5"], "--tolerance is a fraction"),
    (["--tolerance", "nan"], "--tolerance is a fraction"),
    (["--alpha", "nan"], "--alpha is a level"),
    (["--baseline", os.devnull], "--baseline: "),
    (["--baseline", ""], "--baseline needs a session id, the start of one, 'latest' or a JSON file"),
    (["--launcher", "srun -n 4"], "--launcher needs {procs}"),
    (["--json", ""], "argument --json: an empty path"),
    (["--json", "/dev/null/x.json"], "--json: cannot write /dev/null/x.json: /dev/null is not a folder"),
    (["--csv", "/dev/null/x.csv"], "--csv: cannot write /dev/null/x.csv: "),
    (["--report", "/dev/null/x.html"], "--report: cannot write /dev/null/x.html: "),
    (["--plot", "/dev/null/p.png"], "--plot: cannot write /dev/null/p.png: "),
    # The first plot's path is free; the second's is a folder.
    (["--plot", "{tmp}/p.png"], "--plot: cannot write {tmp}/p-dynamicwork.png: it is a folder"),
    (["--scratch", HOSTS + "/empty"], "--scratch: cannot write in {tmp}/hosts/empty: it is not a folder"),
    (["--results", "{tmp}/store", "--scratch", "{tmp}/store"], "--scratch: {tmp}/store is in the results store"),
    (["--results", "{tmp}/store", "--scratch", "{tmp}/alias/run"], "is in the results store {tmp}/store"),
    (["--results", "{tmp}/build"], "--scratch (default): {tmp}/build/run is in the results store"),
    (["--hostfile", "/no/such/file"], "--hostfile: cannot read /no/such/file: No such file"),
    (["--hostfile", HOSTS], "--hostfile: cannot read {tmp}/hosts: it is a folder"),
    (["--hostfile", HOSTS + "/fifo"], "--hostfile: cannot read {tmp}/hosts/fifo: it is not a regular file"),
    (["--hostfile", HOSTS + "/latin-1"], "--hostfile: {tmp}/hosts/latin-1, line 2: not UTF-8 text"),
    (["--hostfile", HOSTS + "/empty"], "--hostfile: {tmp}/hosts/empty lists no hosts"),
    (["--hostfile", HOSTS + "/comments"], "--hostfile: {tmp}/hosts/comments lists no hosts"),
    (["--hostfile", HOSTS + "/bad"], "--hostfile: {tmp}/hosts/bad, line 2: 'node2 slots=abc' is not"),
]


@pytest.fixture
def inputs(tmp_path):
    hosts = tmp_path / "hosts"
    hosts.mkdir()
    (hosts / "empty").write_bytes(b"")
    (hosts / "comments").write_text("# none yet\n\n   # still none\n")
    (hosts / "latin-1").write_bytes(b"node1 slots=2\nn\xe9ud2\n")
    (hosts / "bad").write_text("node1 slots=2\nnode2 slots=abc\n")
    os.mkfifo(str(hosts / "fifo"))
    (tmp_path / "p-dynamicwork.png").mkdir()
    (tmp_path / "store").mkdir()
    (tmp_path / "alias").symlink_to(tmp_path / "store")
    return str(tmp_path)


@pytest.mark.parametrize("args, says", CASES, ids=[" ".join(args) for args, _ in CASES])
def test_bad_options_are_refused(stand_ins, inputs, args, says):
    run = stand_ins.suite(*[a.replace("{tmp}", inputs) for a in args])
    assert run.returncode == 2, run.stdout + run.stderr
    assert "Traceback" not in run.stderr
    assert run.stderr.count("\n") == 1 and run.stderr.startswith("run-suite: error: "), run.stderr
    assert says.replace("{tmp}", inputs) in run.stderr
    # Refused before anything ran or was made.
    assert run.stdout == ""
    assert not os.path.exists(os.path.join(stand_ins.dir, "mpirun.args"))
    assert not os.path.exists(os.path.join(stand_ins.build, "run"))


def test_a_message_stays_one_line_whatever_the_path(stand_ins, tmp_path):
    run = stand_ins.suite("--json", str(tmp_path / "no\nsuch" / "x.json"))
    assert run.returncode == 2
    assert run.stderr.count("\n") == 1 and "no\\nsuch" in run.stderr, run.stderr


def write_hosts(tmp_path, data):
    path = tmp_path / "hosts"
    path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize("line", [b"node2 slots=abc", b"node2 slots=-4", b"node2 slots=0", b"node2:", b"node2:x",
                                  b"node2:0", b":4", b"node2 slots", b"node2 extra", b"node2 slots=2 extra",
                                  b"node2:2 slots=2", b"node2 slots=2 slots=3", b"node2 slots=\xd9\xa3",
                                  b"n\xe9ud2"])
def test_a_bad_hostfile_line_is_named_with_its_number(tmp_path, line):
    path = write_hosts(tmp_path, b"# nodes\nnode1 slots=2\n\n" + line + b"  # the second\nnode3:1\n")
    with pytest.raises(HostfileError) as refused:
        Hostfile.read(path)
    assert str(refused.value).startswith("%s, line 4: " % path)


def test_good_hostfile_lines_read_as_before(tmp_path):
    # A byte-order mark and Windows line ends, as some editors write them.
    path = write_hosts(tmp_path, b"\xef\xbb\xbf# nodes\r\na\r\n  a slots=2  # two\n\nb:3\nc slots = 4 max_slots=8\n")
    found = Hostfile.read(path)
    assert found.hosts == (("a", None), ("a", 2), ("b", 3), ("c", 4))
    assert found.colons == (False, False, True, False)
    assert found.slots(5) == 14
