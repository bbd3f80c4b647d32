"""Whole-file writing and the checks made before it: a file written over keeps
its mode (and its owner, for root), a read-only one is refused to a user as a
shell would refuse it, and a folder is judged by writing into it, so that root
is told of /proc, /sys and read-only mounts too. Standard output that loses its
reader drops the rest, in any thread."""

import io
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import time

import pytest

from conftest import ROOT
from parbench.base import files

pytestmark = pytest.mark.unit

ROOT_ONLY = pytest.mark.skipif(os.geteuid() != 0, reason="needs root, to hand files to another user")
NOBODY = 65534


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def as_user(code, *args):
    """(status, standard output) of Python `code` run with `args` by a user who is
    not root: nobody when the tests run as root."""
    prefix = []
    if os.geteuid() == 0:
        if not shutil.which("setpriv"):
            pytest.skip("setpriv is needed to run as another user")
        prefix = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]
    run = subprocess.run(prefix + [sys.executable, "-c", code, *args], capture_output=True, text=True, cwd=ROOT,
                         env=dict(os.environ, PYTHONPATH=ROOT), timeout=60)
    assert run.stderr == "", run.stderr
    return run.returncode, run.stdout


@pytest.fixture
def shared():
    """A folder everyone may write in, out of the tests' own (which only root may enter)."""
    folder = tempfile.mkdtemp(prefix="parbench-files-")
    os.chmod(folder, 0o777)
    yield folder
    shutil.rmtree(folder)


def read_only_bind(folder):
    """A command prefix that runs its command with `folder` mounted read-only,
    in a mount namespace of its own (the tests' mounts stay as they are)."""
    probe = subprocess.run(["unshare", "--mount", "sh", "-c", 'mount --bind -o ro "$1" "$1"', "sh", str(folder)],
                           capture_output=True, text=True, timeout=60) if shutil.which("unshare") else None
    if probe is None or probe.returncode != 0:
        pytest.skip("no mount namespace to bind a folder read-only in: %s" % (probe and probe.stderr.strip()))
    return ["unshare", "--mount", "sh", "-c", 'mount --bind -o ro "$1" "$1" && shift && exec "$@"', "sh", str(folder)]


def test_a_file_written_over_keeps_its_mode_and_a_new_one_takes_the_umask(tmp_path):
    target = tmp_path / "out.csv"
    files.write(target, "new")
    umask = os.umask(0)
    os.umask(umask)
    assert mode(target) == 0o666 & ~umask
    for bits in (0o640, 0o600, 0o755, 0o444, 0o4755):
        os.chmod(target, bits)
        files.write(target, "content %o" % bits)
        assert target.read_text() == "content %o" % bits
        # Set-id bits do not pass to new content; the rest stays.
        assert mode(target) == bits & 0o777
    assert [p.name for p in tmp_path.iterdir()] == ["out.csv"]


@ROOT_ONLY
def test_root_writes_over_a_read_only_file_of_another_user_and_leaves_it_theirs(tmp_path):
    target = tmp_path / "theirs.csv"
    target.write_text("old")
    os.chmod(target, 0o444)
    os.chown(target, NOBODY, NOBODY)
    assert files.unwritable(target) is None
    files.write(target, "new")
    info = os.stat(target)
    assert (target.read_text(), stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid) == ("new", 0o444, NOBODY,
                                                                                          NOBODY)


def test_a_user_is_refused_a_read_only_file_but_writes_over_their_own_keeping_its_mode(shared):
    code = ("import sys\nfrom parbench.base import files\nwhy = files.unwritable(sys.argv[1])\nprint(why)\n"
            "if not why:\n    files.write(sys.argv[1], 'new')\n")
    theirs, own = os.path.join(shared, "read-only.csv"), os.path.join(shared, "own.csv")
    for path, bits in ((theirs, 0o444), (own, 0o640)):
        with open(path, "w") as f:
            f.write("old")
        os.chmod(path, bits)
    if os.geteuid() == 0:
        os.chown(own, NOBODY, NOBODY)
    assert as_user(code, theirs) == (0, "it is read-only\n")
    assert open(theirs).read() == "old"
    assert as_user(code, own) == (0, "None\n")
    assert (open(own).read(), mode(own)) == ("new", 0o640)
    # A folder the user may not write: the probe's own refusal, not the permission bits'.
    os.chmod(shared, 0o755)
    status, out = as_user(code, os.path.join(shared, "new.csv"))
    assert out == "the folder %s cannot be written: Permission denied\n" % shared
    assert sorted(os.listdir(shared)) == ["own.csv", "read-only.csv"]


@pytest.mark.parametrize("folder, reason", [("/proc", "it takes no new files"), ("/sys", "Permission denied")])
def test_folders_that_refuse_new_files_are_found_whoever_asks(folder, reason):
    assert files.unwritable(os.path.join(folder, "runs.csv")) == \
        "the folder %s cannot be written: %s" % (folder, reason)
    assert files.unmakeable_folder(folder) == "it cannot be written: %s" % reason
    # A folder still to be made there is judged by the nearest one that is.
    assert files.unmakeable_folder(os.path.join(folder, "no", "such")) == "%s cannot be written: %s" % (folder,
                                                                                                        reason)


def test_a_read_only_mount_is_refused_and_the_checks_leave_nothing_behind(tmp_path):
    folder = tmp_path / "mounted"
    folder.mkdir()
    (folder / "old.csv").write_text("old")
    code = ("import sys\nfrom parbench.base import files\nfor p in sys.argv[1:3]: print(files.unwritable(p))\n"
            "for p in sys.argv[3:]: print(files.unmakeable_folder(p))\n")
    paths = [folder / "old.csv", folder / "new.csv", folder, folder / "a" / "b"]
    run = subprocess.run(read_only_bind(folder) + [sys.executable, "-c", code, *map(str, paths)],
                         capture_output=True, text=True, cwd=ROOT, env=dict(os.environ, PYTHONPATH=ROOT), timeout=60)
    assert run.stdout.splitlines() == [
        "it is read-only", "the folder %s cannot be written: Read-only file system" % folder,
        "it cannot be written: Read-only file system", "%s cannot be written: Read-only file system" % folder], \
        run.stderr
    # Writable again, the checks say yes, and make nothing: not the file, not the folders, no probe.
    for path in paths[:2]:
        assert files.unwritable(path) is None
    for path in paths[2:]:
        assert files.unmakeable_folder(path) is None
    assert [p.name for p in folder.iterdir()] == ["old.csv"]


def test_a_name_too_long_for_the_file_written_beside_it_is_refused_up_front(tmp_path):
    # 250 characters are a valid name; the hidden file beside it that write() makes is not.
    target = tmp_path / ("r" * 250)
    assert files.unwritable(target) == "the folder %s cannot be written: File name too long" % tmp_path
    with pytest.raises(OSError):
        files.write(target, "x")


def pipe_left_mid_way(buffering):
    """A text stream on a pipe whose reader takes a little of a long write and
    then goes away, as `head -1` does."""
    read, write = os.pipe()

    def reader():
        time.sleep(0.2)   # the writer fills the pipe and waits
        os.read(read, 1000)
        os.close(read)
    threading.Thread(target=reader).start()
    raw = io.FileIO(write, "w")
    # Unbuffered as under PYTHONUNBUFFERED, where the text layer itself would drop a short write's rest.
    return io.TextIOWrapper(raw, write_through=True) if buffering == "unbuffered" else \
        io.TextIOWrapper(io.BufferedWriter(raw))


@pytest.mark.parametrize("buffering", ["unbuffered", "buffered"])
def test_output_whose_reader_went_away_drops_the_rest_and_tells_the_main_thread_once(buffering):
    stream = pipe_left_mid_way(buffering)
    out, told, raised = files.Output(stream), [], []
    out.gone = lambda: told.append(threading.current_thread() is threading.main_thread())

    def work():
        try:
            out.write("x" * 500000)
            out.flush()
        except BaseException as e:  # noqa: BLE001 - a thread's exception is only printed
            raised.append(e)
    # A thread meets the broken pipe first: nothing is raised there, nor told.
    worker = threading.Thread(target=work)
    worker.start()
    worker.join(timeout=60)
    assert (out.lost, told, raised) == (True, [], [])
    assert out.write("more\n") == 5
    out.flush()
    out.write("and more\n")
    assert told == [True]
    stream.close()  # what stayed in its buffer goes to /dev/null: no error at the close


def test_output_of_an_intact_stream_passes_everything_on(tmp_path):
    with open(tmp_path / "out", "w") as stream:
        out = files.Output(stream)
        out.gone = pytest.fail
        out.write("a\n")
        print("b", file=out, flush=True)
        assert not out.lost and out.name == stream.name
    assert (tmp_path / "out").read_text() == "a\nb\n"
