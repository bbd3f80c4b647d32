"""Launching an MPI program from the runner: templates, hostfiles, Slurm
allocations, the time limit and the check that a run had the processes it
asked for."""

import os
import time

import pytest

from parbench.platform import mpi

pytestmark = pytest.mark.unit


def table_row(stdout, *first):
    return any(line.split()[:len(first)] == list(first) for line in stdout.splitlines())


def test_template_that_starts_one_run_of_n_processes_is_accepted(stand_ins):
    stand_ins.script("launch-one", 'export WORLD_SIZE=$2\nshift 2\nexec "$@"\n')
    run = stand_ins.suite("--only", "treesearch", "--procs", "3", "--launcher", "launch-one -n {procs}")
    assert run.returncode == 0, run.stdout + run.stderr
    assert table_row(run.stdout, "treesearch", "3", "1")


def test_separate_single_process_copies_are_a_failed_run(stand_ins):
    # What a launcher does when it does not speak the MPI library's language.
    stand_ins.script("launch-copies", 'n=$2\nshift 2\nfor i in $(seq "$n"); do "$@" & done\nwait\n')
    run = stand_ins.suite("--only", "treesearch", "--procs", "2", "--repeat", "2",
                          "--launcher", "launch-copies -n {procs}")
    assert run.returncode == 1
    assert "treesearch run 2 (2 processes) printed 2 reports (Threads: 1, Threads: 1)" in run.stderr
    assert not table_row(run.stdout, "treesearch", "2", "2"), "failed runs must not be summarised"


def test_a_report_of_another_process_count_is_a_failed_run(stand_ins):
    stand_ins.script("launch-one", 'shift 2\nexec "$@"\n')
    run = stand_ins.suite("--only", "treesearch", "--procs", "4", "--launcher", "launch-one -n {procs}")
    assert run.returncode == 1
    assert "ran with 1 processes, not the 4 asked for" in run.stderr


def test_hostfile_slots_decide_the_default_count_and_oversubscription(stand_ins, tmp_path):
    hosts = tmp_path / "hosts"
    hosts.write_text("# two nodes\nnode1 slots=2\nnode2 slots = 3 max_slots=8  # comment\n\n")
    assert stand_ins.suite("--only", "treesearch", "--hostfile", str(hosts)).returncode == 0
    assert stand_ins.suite("--only", "treesearch", "--hostfile", str(hosts), "--procs", "6").returncode == 0
    first, second = stand_ins.launches()
    # The stand-in launcher says it is Open MPI: its family's words, for 5 slots.
    family = mpi.identify("mpirun (Open MPI) 9.8.7")
    for launched, procs in ((first, 5), (second, 6)):
        expected, _ = family.command(["PROGRAM"], procs, 5, str(hosts), os.geteuid() == 0)
        assert launched.split()[:-1] == expected[1:-1], launched
    assert first != second.replace("-n 6", "-n 5"), "six processes on five slots are oversubscribed"


def test_a_slurm_allocation_sets_the_default_count(stand_ins):
    run = stand_ins.suite("--only", "treesearch", SLURM_JOB_ID="42", SLURM_NTASKS="3")
    assert run.returncode == 0, run.stderr
    assert stand_ins.launches()[0].startswith("-n 3 ")


def test_a_run_over_the_time_limit_is_stopped_with_its_children_and_the_suite_goes_on(stand_ins, tmp_path, alive):
    pids = tmp_path / "pids"
    stand_ins.program("treesearch", "sleep 300 &\necho $! > %s\nsleep 300\n" % pids)
    started = time.monotonic()
    run = stand_ins.suite("--only", "treesearch,queuedrain", "--procs", "1", "--timeout", "1")
    assert time.monotonic() - started < 30
    assert run.returncode == 1
    assert "treesearch run 1 (1 process) took longer than 1 s and was stopped" in run.stderr
    assert table_row(run.stdout, "queuedrain", "1", "1")
    assert not alive(int(pids.read_text())), "the program's child outlived the time limit"


def test_an_mpi_warning_leaves_a_valid_run_valid_and_stays_in_the_log(stand_ins):
    stand_ins.script("launch-warn", 'echo "btl_tcp_proc.c:266: Unable to find reachable pairing" >&2\n'
                                    'shift 2\nexec "$@"\n')
    run = stand_ins.suite("--only", "treesearch", "--procs", "1", "--launcher", "launch-warn -n {procs}")
    assert run.returncode == 0, run.stderr
    assert table_row(run.stdout, "treesearch", "1", "1")
    with open(stand_ins.logs()[0]) as f:
        assert "---- stderr\nbtl_tcp_proc.c:266: Unable to find reachable pairing" in f.read()
