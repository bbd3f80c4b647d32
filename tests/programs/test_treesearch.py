"""The tree search under its MPI launcher: report structure, the partition of
the file among processes, and the failure paths."""

import os

import pytest

pytestmark = pytest.mark.program


@pytest.mark.parametrize("procs", [1, 2, 3, 4])
def test_report_is_valid_and_ranges_partition_the_file(mpirun, program, tree_report, tmp_path, procs):
    tree_report.valid(mpirun(procs, [program("treesearch")], tmp_path), procs, tmp_path)


def test_tcp_only_as_between_hosts(mpirun, family, setting, program, tree_report, tmp_path):
    tcp = setting(family.tcp_only())
    tree_report.valid(mpirun(3, [program("treesearch")], tmp_path, tcp), 3, tmp_path)


def test_an_old_tree_file_is_replaced(mpirun, program, tree_report, tmp_path):
    (tmp_path / "binary_tree.txt").write_text("stale content that is much longer than nothing")
    tree_report.valid(mpirun(2, [program("treesearch")], tmp_path), 2, tmp_path)


def test_a_file_that_cannot_be_created_stops_every_process(mpirun, program, tree_report, tmp_path):
    (tmp_path / "binary_tree.txt").mkdir()
    tree_report.failure(mpirun(2, [program("treesearch")], tmp_path),
                        "cannot create binary_tree.txt: Is a directory")


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full here")
def test_a_file_that_cannot_be_written_completely_is_not_scanned(mpirun, program, tree_report, tmp_path):
    (tmp_path / "binary_tree.txt").symlink_to("/dev/full")
    tree_report.failure(mpirun(2, [program("treesearch")], tmp_path),
                        "cannot write binary_tree.txt completely: No space left on device")


# Two working directories stand for two hosts without a shared file system.

def split_across(mpirun, program, root_dir, worker_dir):
    return mpirun(2, mpirun.in_directory_of_rank(program("treesearch"), [root_dir, worker_dir]), root_dir)


def test_a_worker_without_the_file_asks_for_a_shared_directory(mpirun, program, tree_report, tmp_path):
    (tmp_path / "root").mkdir()
    (tmp_path / "worker").mkdir()
    run = split_across(mpirun, program, tmp_path / "root", tmp_path / "worker")
    tree_report.failure(run, "process 1 cannot open binary_tree.txt: No such file or directory")
    assert "same working directory on a shared file system" in run.err


def test_a_worker_seeing_an_old_copy_of_the_file_stops_the_run(mpirun, program, tree_report, tmp_path):
    (tmp_path / "root").mkdir()
    (tmp_path / "worker").mkdir()
    (tmp_path / "worker" / "binary_tree.txt").write_text("7 (3 () ()) (42 () ())")
    tree_report.failure(split_across(mpirun, program, tmp_path / "root", tmp_path / "worker"),
                        "process 1 sees binary_tree.txt with 22 bytes")
