"""The suite runner end to end, against stand-in programs (fast, and able to
fail on purpose) and, when SUITE_BUILD_DIR names a real build, the real ones."""

import csv
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SUITE = os.path.join(HERE, "..", "..", "scripts", "suite.py")
sys.path.insert(0, HERE)

from test_reports import ARRAYSUM_INVALID, ARRAYSUM_VALID, DYNAMICWORK, TREESEARCH_VALID  # noqa: E402


def alive(pid):
    """Whether `pid` runs (a zombie waiting for its reaper does not)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def write_script(path, body):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)


def heredoc(text):
    return "cat <<'REPORT'\n" + text + "REPORT\n"


def tree_search_stand_in():
    """A valid report that states the world size the launcher gave it."""
    return heredoc(TREESEARCH_VALID).replace("Threads: 2", "Threads: ${WORLD_SIZE:-1}").replace("<<'REPORT'", "<<REPORT")


class StandInBuild(unittest.TestCase):
    """A build folder of stand-in programs, an mpirun stand-in on PATH."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="suite-test-")
        self.build = os.path.join(self.dir, "build")
        self.bin = os.path.join(self.dir, "bin")
        # mpirun stand-in: records its arguments, then runs the program as one
        # run of -n processes.
        write_script(os.path.join(self.bin, "mpirun"),
                     '[ "$1" = --version ] && { echo "mpirun (Open MPI) 9.8.7"; exit 0; }\n'
                     'printf "%%s\\n" "$*" >> "%s/mpirun.args"\nexport WORLD_SIZE=$2\n'
                     'for last; do :; done\nexec "$last"\n' % self.dir)
        write_script(os.path.join(self.build, "treesearch/treesearch"), tree_search_stand_in())
        write_script(os.path.join(self.build, "arraysum/arraysum"), heredoc(ARRAYSUM_VALID))
        write_script(os.path.join(self.build, "loadbalance/queuedrain"), "echo 'Time:   0.002000 s'\n")
        write_script(os.path.join(self.build, "loadbalance/dynamicwork"), heredoc(DYNAMICWORK))
        write_script(os.path.join(self.build, "loadbalance/splitwork"),
                     "echo 'splitwork: cannot allocate 1600 bytes for the work items: out of memory' >&2\nexit 1\n")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def suite(self, *args, **environ):
        env = dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"], **environ)
        for name in [n for n in env if n.startswith("SLURM_")]:
            if name not in environ:
                del env[name]
        return subprocess.run([sys.executable, SUITE, "--build-dir", self.build, *args],
                              capture_output=True, text=True, env=env, timeout=120)


class StandIns(StandInBuild):
    def test_good_runs_give_csv_rows_table_and_log(self):
        out_csv = os.path.join(self.dir, "runs.csv")
        run = self.suite("--only", "treesearch,arraysum,queuedrain", "--repeat", "2", "--procs", "1,3",
                         "--csv", out_csv)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        with open(out_csv, newline="") as f:
            text = f.read()
        self.assertNotIn("\r", text)
        rows = list(csv.reader(text.splitlines()))
        # The eight first columns stay as they were; threads comes last.
        self.assertEqual(rows[0], ["program", "run", "procs", "parallel_s", "sequential_s", "time_s",
                                   "speedup_pct", "verdict", "threads"])
        self.assertEqual(len(rows), 1 + 2 * 2 + 2 + 2)
        self.assertEqual(rows[1], ["treesearch", "1", "1", "0.491000", "0.991000", "", "201.83", "valid", ""])
        self.assertEqual(rows[5][-1], "4")
        self.assertEqual(rows[-1], ["queuedrain", "2", "", "", "", "0.002000", "", "", "1"])
        self.assertIn("[8/8] queuedrain, run 2 of 2", run.stdout)
        # Median speed-up 201.83 % over 3 processes: efficiency 67.3 %.
        self.assertRegex(run.stdout, r"treesearch +3 +2 .*201\.83 +67\.3")
        with open(os.path.join(self.dir, "mpirun.args")) as f:
            launches = f.read().splitlines()
        self.assertEqual(len(launches), 4)
        self.assertTrue(all(a.startswith("-n 1 ") for a in launches[:2]))
        logs = [n for n in os.listdir(os.path.join(self.build, "run")) if n.endswith(".log")]
        self.assertEqual(len(logs), 1)
        with open(os.path.join(self.build, "run", logs[0])) as f:
            self.assertEqual(f.read().count("Solution Valid"), 2)
        # Without --json the document still lands beside the log.
        with open(os.path.join(self.build, "run", logs[0][:-4] + ".json")) as f:
            doc = json.load(f)
        self.assertEqual(len(doc["runs"]), 8)
        self.assertEqual([(g["program"], g["procs"], g["threads"], g["runs"]) for g in doc["summary"]],
                         [("treesearch", 1, None, 2), ("treesearch", 3, None, 2), ("arraysum", None, 4, 2),
                          ("queuedrain", None, 1, 2)])
        self.assertIn("--repeat 2", doc["provenance"]["command"])

    def test_thread_sweep_of_dynamicwork(self):
        # Ideal scaling: 40 s of work over the team the runtime is given.
        write_script(os.path.join(self.build, "loadbalance/dynamicwork"),
                     'echo "Time:   $((40 / OMP_NUM_THREADS)).000000 s"\n')
        out_csv = os.path.join(self.dir, "runs.csv")
        plot = os.path.join(self.dir, "scaling.png")
        run = self.suite("--only", "dynamicwork", "--threads", "1,2,4", "--csv", out_csv, "--plot", plot)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(out_csv) as f:
            self.assertEqual([(r["threads"], r["time_s"]) for r in csv.DictReader(f)],
                             [("1", "40.000000"), ("2", "20.000000"), ("4", "10.000000")])
        self.assertIn("dynamicwork speed-up against 1 thread: 1 thread 100 %, 2 threads 200 %, 4 threads 400 %",
                      run.stdout)
        if shutil.which("gnuplot"):
            with open(os.path.join(self.dir, "scaling-dynamicwork.png"), "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
            self.assertFalse(os.path.exists(plot), "no treesearch counts, so no treesearch plot")

    def test_ctrl_c_stops_the_program_and_keeps_the_runs_done(self):
        pids = os.path.join(self.dir, "pids")
        write_script(os.path.join(self.build, "loadbalance/splitwork"), "sleep 300 &\necho $! > %s\nwait\n" % pids)
        out_csv = os.path.join(self.dir, "runs.csv")
        env = dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"])
        suite = subprocess.Popen([sys.executable, SUITE, "--build-dir", self.build, "--only",
                                  "queuedrain,splitwork,dynamicwork", "--csv", out_csv],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        for _ in range(200):
            if os.path.exists(pids) and os.path.getsize(pids):
                break
            time.sleep(0.05)
        suite.send_signal(signal.SIGINT)
        out, err = suite.communicate(timeout=60)
        self.assertEqual(suite.returncode, 130, out + err)
        self.assertNotIn("Traceback", err)
        self.assertIn("interrupted after 1 of 3 runs", err)
        self.assertRegex(out, r"queuedrain +1 +1 ")
        with open(out_csv) as f:
            self.assertEqual([r["program"] for r in csv.DictReader(f)], ["queuedrain"])
        with open(pids) as f:
            self.assertFalse(alive(int(f.read())), "the interrupted program's child is still running")

    def test_invalid_and_failed_runs_exit_non_zero_and_are_named(self):
        write_script(os.path.join(self.build, "arraysum/arraysum"), heredoc(ARRAYSUM_INVALID) + "exit 2\n")
        run = self.suite("--only", "arraysum,splitwork,dynamicwork")
        self.assertEqual(run.returncode, 1)
        self.assertIn("arraysum run 1 reported an invalid solution", run.stderr)
        self.assertIn("splitwork run 1 failed (exit status 1): splitwork: cannot allocate", run.stderr)
        self.assertNotIn("dynamicwork run", run.stderr)

    def test_a_program_that_is_not_built_stops_the_run(self):
        os.remove(os.path.join(self.build, "loadbalance/queuedrain"))
        run = self.suite("--only", "queuedrain")
        self.assertEqual(run.returncode, 1)
        self.assertIn("queuedrain is not built", run.stderr)

    def test_bad_options_are_refused(self):
        for args in (["--only", "nosuch"], ["--repeat", "0"], ["--procs", "two"], ["--threads", "0"],
                     ["--only", "arraysum", "--threads", "2"], ["--tolerance", "1.5"], ["--baseline", os.devnull]):
            run = self.suite(*args)
            self.assertEqual(run.returncode, 2, args)

    def test_plot_without_enough_points_says_so(self):
        run = self.suite("--only", "treesearch", "--procs", "2", "--plot", os.path.join(self.dir, "p.png"))
        self.assertEqual(run.returncode, 0)
        self.assertIn("needs treesearch at two or more process counts", run.stdout)


@unittest.skipUnless(os.environ.get("SUITE_BUILD_DIR"), "SUITE_BUILD_DIR names no build of the programs")
class RealPrograms(unittest.TestCase):
    def test_fast_programs_and_a_sweep(self):
        work = tempfile.mkdtemp(prefix="suite-real-")
        try:
            out_csv = os.path.join(work, "runs.csv")
            out_json = os.path.join(work, "runs.json")
            plot = os.path.join(work, "scaling.png")
            run = subprocess.run(
                [sys.executable, SUITE, "--build-dir", os.environ["SUITE_BUILD_DIR"],
                 "--only", "treesearch,arraysum,queuedrain", "--procs", "1,2", "--csv", out_csv, "--plot", plot,
                 "--scratch", os.path.join(work, "run"), "--json", out_json],
                capture_output=True, text=True, env=dict(os.environ, OMP_DISPLAY_ENV="false"), timeout=600)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
            with open(out_csv) as f:
                rows = list(csv.DictReader(f))
            self.assertEqual([r["program"] for r in rows], ["treesearch", "treesearch", "arraysum", "queuedrain"])
            self.assertEqual([r["verdict"] for r in rows], ["valid", "valid", "valid", ""])
            if shutil.which("gnuplot"):
                with open(plot, "rb") as f:
                    self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
            else:
                self.assertIn("gnuplot is not installed", run.stdout)
            with open(out_json) as f:
                doc = json.load(f)
            self.check_provenance(doc["provenance"])
            # What the processes were bound to, as the MPI family's rules say.
            self.assertTrue(all(r["binding"] for r in doc["runs"] if r["program"] == "treesearch"), doc["runs"])
        finally:
            shutil.rmtree(work)

    def check_provenance(self, p):
        """Every field read from this machine and this build, none left to a default."""
        self.assertRegex(p["date"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$")
        for name in ("host", "os", "kernel", "cpu_model", "build_type"):
            self.assertTrue(p[name] and p[name].strip() and "unknown" not in p[name].lower(), name)
        self.assertGreaterEqual(p["hardware_threads"], p["physical_cores"])
        self.assertGreater(p["physical_cores"], 0)
        self.assertGreater(p["memory_bytes"], 2 ** 28)
        self.assertRegex(p["compiler"]["id"], r"^(GNU|Clang)$")
        self.assertRegex(p["compiler"]["version"], r"^\d+\.\d+")
        self.assertIn((p["mpi"]["implementation"], p["mpi"]["family"]),
                      [("Open MPI", "Open MPI 4"), ("Open MPI", "Open MPI 5"), ("MPICH", "MPICH Hydra")])
        self.assertRegex(p["mpi"]["version"], r"^\d+\.\d+")
        self.assertRegex(p["openmp"]["_OPENMP"], r"^(19|20)\d{4}$")
        self.assertIsNotNone(p["openmp"]["version"])
        self.assertEqual(p["environment"].get("OMP_DISPLAY_ENV"), "false")
        self.assertRegex(p["git"]["commit"], r"^[0-9a-f]{40}$")
        self.assertIsInstance(p["git"]["uncommitted_changes"], bool)
        self.assertIn("--procs 1,2", p["command"])


if __name__ == "__main__":
    unittest.main()
