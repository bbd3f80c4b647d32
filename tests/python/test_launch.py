"""Launching treesearch: templates, hostfiles, Slurm allocations, the time
limit and the check that a run had the processes it asked for."""

import os
import time
import unittest

from test_runner import StandInBuild, alive, write_script


class Launching(StandInBuild):
    def launches(self):
        with open(os.path.join(self.dir, "mpirun.args")) as f:
            return f.read().splitlines()

    def test_template_that_starts_one_run_of_n_processes_is_accepted(self):
        write_script(os.path.join(self.bin, "launch-one"), 'export WORLD_SIZE=$2\nshift 2\nexec "$@"\n')
        run = self.suite("--only", "treesearch", "--procs", "3", "--launcher", "launch-one -n {procs}")
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertRegex(run.stdout, r"treesearch +3 +1 ")

    def test_separate_single_process_copies_are_a_failed_run(self):
        # What a launcher does when it does not speak the MPI library's language.
        write_script(os.path.join(self.bin, "launch-copies"),
                     'n=$2\nshift 2\nfor i in $(seq "$n"); do "$@" & done\nwait\n')
        run = self.suite("--only", "treesearch", "--procs", "2", "--repeat", "2",
                         "--launcher", "launch-copies -n {procs}")
        self.assertEqual(run.returncode, 1)
        self.assertIn("treesearch run 2 (2 processes) printed 2 reports (Threads: 1, Threads: 1)", run.stderr)
        self.assertNotRegex(run.stdout, r"treesearch +2 +2 ", "failed runs must not be summarised")

    def test_a_report_of_another_process_count_is_a_failed_run(self):
        write_script(os.path.join(self.bin, "launch-one"), 'shift 2\nexec "$@"\n')
        run = self.suite("--only", "treesearch", "--procs", "4", "--launcher", "launch-one -n {procs}")
        self.assertEqual(run.returncode, 1)
        self.assertIn("ran with 1 processes, not the 4 asked for", run.stderr)

    def test_hostfile_slots_decide_the_default_count_and_oversubscription(self):
        hosts = os.path.join(self.dir, "hosts")
        with open(hosts, "w") as f:
            f.write("# two nodes\nnode1 slots=2\nnode2 slots = 3 max_slots=8  # comment\n\n")
        self.assertEqual(self.suite("--only", "treesearch", "--hostfile", hosts).returncode, 0)
        self.assertEqual(self.suite("--only", "treesearch", "--hostfile", hosts, "--procs", "6").returncode, 0)
        first, second = self.launches()
        self.assertTrue(first.startswith("-n 5 --hostfile %s " % hosts), first)
        self.assertNotIn("--oversubscribe", first)
        self.assertIn("--oversubscribe", second)

    def test_a_slurm_allocation_sets_the_default_count(self):
        run = self.suite("--only", "treesearch", SLURM_JOB_ID="42", SLURM_NTASKS="3")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(self.launches()[0].startswith("-n 3 "))

    def test_a_run_over_the_time_limit_is_stopped_with_its_children_and_the_suite_goes_on(self):
        pids = os.path.join(self.dir, "pids")
        write_script(os.path.join(self.build, "treesearch/treesearch"),
                     "sleep 300 &\necho $! > %s\nsleep 300\n" % pids)
        started = time.monotonic()
        run = self.suite("--only", "treesearch,queuedrain", "--procs", "1", "--timeout", "1")
        self.assertLess(time.monotonic() - started, 30)
        self.assertEqual(run.returncode, 1)
        self.assertIn("treesearch run 1 (1 process) took longer than 1 s and was stopped", run.stderr)
        self.assertRegex(run.stdout, r"queuedrain +1 +1 ")
        with open(pids) as f:
            self.assertFalse(alive(int(f.read())), "the program's child outlived the time limit")

    def test_an_mpi_warning_leaves_a_valid_run_valid_and_stays_in_the_log(self):
        write_script(os.path.join(self.bin, "launch-warn"),
                     'echo "btl_tcp_proc.c:266: Unable to find reachable pairing" >&2\nshift 2\nexec "$@"\n')
        run = self.suite("--only", "treesearch", "--procs", "1", "--launcher", "launch-warn -n {procs}")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertRegex(run.stdout, r"treesearch +1 +1 ")
        log = [n for n in os.listdir(os.path.join(self.build, "run")) if n.endswith(".log")][0]
        with open(os.path.join(self.build, "run", log)) as f:
            self.assertIn("---- stderr\nbtl_tcp_proc.c:266: Unable to find reachable pairing", f.read())

    def test_bad_launch_options_are_refused(self):
        for args in (["--launcher", "srun -n 4"], ["--timeout", "0"], ["--hostfile", "/no/such/file"]):
            self.assertEqual(self.suite(*args).returncode, 2, args)


if __name__ == "__main__":
    unittest.main()
