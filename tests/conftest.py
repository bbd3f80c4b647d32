"""What every Python test shares: the build under test and the runner's own
launch layer for it, stand-in builds for the runner's tests, and the checks of
a tree search report that the one-host, two-node and Slurm tests all apply.

Each test module carries one label as its marker (unit, program, cluster;
slow beside one of them for the long runs); CTest runs one entry per label.
"""

import datetime
import importlib.util
import json
import math
import os
import random
import re
import stat
import subprocess
import sys

import pytest

from parbench.analysis import stats
from parbench.base import supervise
from parbench.model import document, index, programs, printouts, store
from parbench.platform import mpi
from parbench.platform.build import Build
from parbench.platform.launch import Launch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLES = os.path.join(ROOT, "tests", "runner", "samples")
LABELS = ("unit", "program", "cluster")
# Every launch in a test has a time limit: MPI start-up now and then hangs.
LAUNCH_TIMEOUT = 300
# A tree search takes under 20 s here, sanitized or not: a launch that takes
# longer hung at start-up, and gets one more try.
MPI_LAUNCH_TIMEOUT = 120


@pytest.fixture(autouse=True, scope="session")
def private_store(tmp_path_factory):
    """Tests never write into a user's results store: every runner they start,
    batch jobs included, inherits this one."""
    os.environ["PARBENCH_RESULTS"] = str(tmp_path_factory.mktemp("results"))
    # Nor into a user's index cache.
    os.environ[index.VARIABLE] = str(tmp_path_factory.mktemp("index"))


@pytest.fixture(autouse=True, scope="session")
def documents_checked():
    """Every document a runner writes in the tests, batch jobs included, is
    checked against the published schema by `jsonschema` as it is written."""
    if importlib.util.find_spec("jsonschema") is None:
        pytest.fail("the tests check documents with jsonschema: install python3-jsonschema")
    os.environ[document.CHECK_VARIABLE] = "1"


def build_dir():
    """The build under test."""
    return os.environ.get("PARBENCH_BUILD_DIR") or os.path.join(ROOT, "build")


def pytest_collection_modifyitems(items):
    # A test without a label would run in no CTest entry.
    for item in items:
        labels = [m.name for m in item.iter_markers() if m.name in LABELS]
        if len(labels) != 1:
            raise pytest.UsageError("%s needs exactly one of the markers %s, not %s"
                                    % (item.nodeid, ", ".join(LABELS), labels or "none"))
    # The programs' code paths in such tests are those of the program tests
    # proper; under the sanitizers they would only cost minutes.
    runner_side = [item for item in items if item.get_closest_marker("runner")]
    if runner_side and Build.read(build_dir()).cache.get("PARBENCH_SANITIZE"):
        skip = pytest.mark.skip(reason="the runner or the page is under test here; the program tests "
                                     "cover the programs under the sanitizers")
        for item in runner_side:
            item.add_marker(skip)


def sample(name):
    """A report as a program prints it, from tests/runner/samples."""
    with open(os.path.join(SAMPLES, name + ".txt")) as f:
        return f.read()


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


def heredoc(text, expand=False):
    return "cat <<%s\n%sREPORT\n" % ("REPORT" if expand else "'REPORT'", text)


@pytest.fixture(scope="session")
def results():
    """The results command on a store: results(folder, "list", ...) -> CompletedProcess."""
    def run(folder, *args, timeout=120):
        return subprocess.run([sys.executable, "-m", "parbench.history", *args, "--results", str(folder)],
                              capture_output=True, text=True, cwd=ROOT, timeout=timeout)
    return run


@pytest.fixture(name="sample", scope="session")
def sample_fixture():
    return sample


@pytest.fixture(name="alive", scope="session")
def alive_fixture():
    return alive


# The build under test, and starting its programs as the runner does.

@pytest.fixture(scope="session")
def build():
    path = build_dir()
    found = Build.read(path)
    if not found.cache:
        pytest.skip("no configured build in %s (PARBENCH_BUILD_DIR names one)" % path)
    return found


@pytest.fixture(scope="session")
def launch(build):
    return Launch.plan(build, os.environ)


@pytest.fixture(scope="session")
def family(launch):
    if not launch.mpi.known:
        pytest.fail(launch.mpi.unknown_note())
    return launch.mpi


@pytest.fixture(scope="session")
def program(build):
    """The path of a program's binary in the build."""
    return lambda name: build.program(programs.get(name))


@pytest.fixture(scope="session")
def run_alone():
    """The lines a program run on its own prints, checked to end well and silently."""
    def run(path, cwd, **env):
        outcome = supervise.run([path], str(cwd), LAUNCH_TIMEOUT, dict(os.environ, **env))
        assert outcome.status == 0, outcome.out + outcome.err
        assert outcome.err == ""
        return outcome.out.splitlines()
    return run


class MpiRun:
    """Launches through the runner's launch layer, with a time limit, one more
    try when MPI start-up failed before the program ran or hung, and the
    launcher's harmless lines taken out of standard error."""

    def __init__(self, launch):
        self.launch, self.family = launch, launch.mpi

    def __call__(self, procs, argv, cwd, setting=mpi.Setting(), env=None, timeout=MPI_LAUNCH_TIMEOUT,
                 before_retry=None):
        setting = self.family.ipv4_only() + setting
        cmd, _ = self.launch.command(argv, procs, setting)
        environment = dict(os.environ, **setting.env, **(env or {}))
        outcome = supervise.run(cmd, str(cwd), timeout, environment)
        if outcome.timed_out or outcome.status != 0 and self.family.failed_to_start(outcome.err):
            if before_retry:
                before_retry()
            outcome = supervise.run(cmd, str(cwd), timeout, environment)
        outcome.err = self.family.without_noise(outcome.err)
        return outcome

    def in_directory_of_rank(self, exe, dirs):
        """A command that runs `exe` with rank r in dirs[r]: working directories
        that differ between processes, as on hosts that share no file system."""
        rank = self.family.rank_variable
        return ["/bin/sh", "-c", 'exe=$1; shift; shift "${%s:?}"; cd "$1" && exec "$exe"' % rank, "sh", exe] + \
            [str(d) for d in dirs]


@pytest.fixture(scope="session")
def mpirun(launch, family):
    return MpiRun(launch)


def usable(setting):
    """The setting, or a skip saying why the family has none."""
    if isinstance(setting, mpi.Unavailable):
        pytest.skip(setting.why)
    return setting


@pytest.fixture
def setting():
    return usable


# What a tree search run must show.

_ROOT_LINES = (["/" * 65] * 3 + [
    "Generating Tree", "Printing Tree to File", "Starting Parallel Operation", r"Characters: \d+",
    r"P # \| Start - End \| Matches", r"Total Matches: \d+", "Search Completed",
    "Generating Solution for Verification", "Verifying Solution", "", "Results:", "Solution: Valid",
    r"Sequential Matches: \d+", r"Parallel Matches:   \d+", r"Parallel:   \d+\.\d{6} s", r"Sequential: \d+\.\d{6} s",
    r"Speedup: (\d+\.\d\d|inf) %"])


def count_in_file(path, low=0, high=10):
    """The values from 0 to 10 in a tree file, counted without the program."""
    assert (low, high) == (0, 10)
    with open(path, "rb") as f:
        return len(re.findall(rb"(?<![0-9])(?:10|[0-9])(?![0-9])", f.read()))


class TreeSearchReport:
    @staticmethod
    def valid(outcome, procs, folder):
        """A complete, valid report of `procs` processes run in `folder`: the
        root's lines in order, one row per process with contiguous ranges, equal
        counts, and a total that an independent count of the tree file confirms."""
        assert outcome.status == 0, outcome.out + outcome.err
        assert outcome.err == ""
        rows, twice = printouts.tree_rows(outcome.out)
        assert not twice, "rows printed twice by processes %s" % twice
        lines = [line for line in outcome.out.splitlines() if not printouts.TREE_ROW.match(line)]
        expected = _ROOT_LINES + ["Threads: %d" % procs]
        assert len(lines) == len(expected), outcome.out
        for i, (line, pattern) in enumerate(zip(lines, expected)):
            assert re.fullmatch(pattern, line), "line %d: %r" % (i, line)
        length, total = int(lines[6].split()[-1]), int(lines[8].split()[-1])
        assert lines[15] == "Sequential Matches: %d" % total
        assert lines[16] == "Parallel Matches:   %d" % total

        # One row per process; nominal ranges contiguous from 0 to length - 1.
        assert sorted(rows) == list(range(procs))
        following = 0
        for rank in range(procs):
            start, end, _ = rows[rank]
            assert start == following, "process %d starts at %d" % (rank, start)
            following = end + 1
        assert following == length
        assert sum(m for _, _, m in rows.values()) == total

        # The runner reads the same report as complete and of these processes.
        figures = printouts.parse(outcome.out)
        assert figures["verdict"] == "valid"
        assert printouts.absent(programs.get("treesearch"), figures) == []
        assert printouts.process_count_problem(outcome.out, procs) is None

        # The file stays, and the count is right by a count the program had no part in.
        tree = os.path.join(str(folder), "binary_tree.txt")
        assert os.path.getsize(tree) == length
        assert count_in_file(tree) == total

    @staticmethod
    def failure(outcome, reason):
        """A run that stopped with a message on standard error naming `reason`, and no verdict."""
        assert outcome.status != 0
        assert "treesearch: " in outcome.err and reason in outcome.err, outcome.err
        assert "Solution" not in outcome.out, outcome.out


@pytest.fixture(scope="session")
def tree_report():
    return TreeSearchReport


# A build of stand-in programs for the runner's own tests: fast, and able to
# fail on purpose.

class StandIns:
    def __init__(self, folder):
        self.dir = str(folder)
        self.build = os.path.join(self.dir, "build")
        self.bin = os.path.join(self.dir, "bin")
        # The launcher: records its arguments, then runs the program as one run of -n processes.
        write_script(os.path.join(self.bin, "mpirun"),
                     '[ "$1" = --version ] && { echo "mpirun (Open MPI) 9.8.7"; exit 0; }\n'
                     'printf "%%s\\n" "$*" >> "%s/mpirun.args"\nexport WORLD_SIZE=$2\n'
                     'for last; do :; done\nexec "$last"\n' % self.dir)
        # A valid report that states the world size the launcher gave it.
        report = sample("treesearch-valid").replace("Threads: 2", "Threads: ${WORLD_SIZE:-1}")
        self.program("treesearch", heredoc(report, expand=True))
        self.program("arraysum", heredoc(sample("arraysum-valid")))
        self.program("queuedrain", "echo 'Time:   0.002000 s'\n")
        self.program("dynamicwork", heredoc(sample("dynamicwork")))
        self.program("splitwork", "echo 'splitwork: cannot allocate 1600 bytes for the work items: out of memory' >&2\n"
                                  "exit 1\n")

    def program(self, name, body):
        """Makes `name` a shell script of `body`."""
        write_script(os.path.join(self.build, programs.get(name).binary), body)

    def script(self, name, body):
        """A command on the runner's PATH."""
        write_script(os.path.join(self.bin, name), body)

    report = staticmethod(heredoc)

    def remove(self, name):
        os.remove(os.path.join(self.build, programs.get(name).binary))

    def environment(self, **environ):
        env = dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"],
                   PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
        env.update(environ)
        for name in [n for n in env if n.startswith("SLURM_")]:
            if name not in environ:
                del env[name]
        return env

    def command(self, *args):
        return [sys.executable, "-m", "parbench", "--build-dir", self.build, *args]

    def suite(self, *args, **environ):
        return subprocess.run(self.command(*args), capture_output=True, text=True, env=self.environment(**environ),
                              timeout=120)

    def launches(self):
        with open(os.path.join(self.dir, "mpirun.args")) as f:
            return f.read().splitlines()

    def logs(self):
        run = os.path.join(self.build, "run")
        return sorted(os.path.join(run, n) for n in os.listdir(run) if n.endswith(".log"))


@pytest.fixture
def stand_ins(tmp_path):
    return StandIns(tmp_path)


def traced(doc):
    """`doc` (a stored document's JSON) as if its dynamicwork runs had been
    traced: each thread sleeping its share of 40 s in items of 0.1 s, the
    first thread a tenth longer than the others."""
    doc = json.loads(json.dumps(doc))
    balances = {}
    for run in doc["runs"]:
        if run["program"] != "dynamicwork":
            continue
        threads, phase = run["threads"], float(run["time_s"])
        useful = [phase * (1.0 if t == 0 else 0.9) for t in range(threads)]
        timeline = [[["work", round(i * 0.1, 6), round((i + 1) * 0.1, 6)] for i in range(int(u * 10))]
                    + [["wait", round(int(u * 10) * 0.1, 6), phase]] for u in useful]
        balance = {"lanes": "thread", "useful_s": useful, "waiting_s": [phase - u for u in useful],
                   "load_balance": sum(useful) / threads / max(useful), "communication_efficiency": 1.0,
                   "items": [len(lane) - 1 for lane in timeline], "work_s": useful,
                   "timeline": timeline}
        balance["parallel_efficiency"] = balance["load_balance"]
        run["balance"] = balance
        balances[threads] = balance
    for row in doc["summary"]:
        b = balances.get(row["threads"]) if row["program"] == "dynamicwork" else None
        if b:
            row["balance"] = {"traced": 3, **{k: b[k] for k in document.BALANCE_FIGURES}, "work_s": 40.0}
    return doc


@pytest.fixture
def sweep_report(stand_ins, tmp_path):
    """Two stored sessions of stand-ins that sweep treesearch over 1 to 4
    processes and dynamicwork over 1, 2, 4 threads, and the report of the
    second: (page path, [both documents])."""
    # Amdahl's law with f = 0.1 for the tree search, ideal for the sleeping threads.
    stand_ins.program("treesearch", heredoc(sample("treesearch-valid").replace("Threads: 2", "Threads: $WORLD_SIZE")
                                            .replace("Speedup: 201.83", "Speedup: $((10000 * $WORLD_SIZE / (100 + 10 * "
                                                     "($WORLD_SIZE - 1)))).00"), expand=True))
    stand_ins.program("dynamicwork", 'echo "Time:   $((40 / OMP_NUM_THREADS)).000000 s"\n')
    store, page = tmp_path / "store", tmp_path / "report.html"
    for extra in ([], ["--report", str(page)]):
        run = stand_ins.suite("--only", "treesearch,dynamicwork,queuedrain", "--procs", "1,2,3,4", "--threads",
                              "1,2,4", "--repeat", "3", "--results", str(store), *extra)
        assert run.returncode == 0, run.stdout + run.stderr
    assert "report: wrote %s" % page in run.stdout
    docs = [json.loads(p.read_text()) for p in sorted(store.glob("[0-9]*.json"))]
    return page, docs


# Made-up sessions of several hosts, for comparing hosts and exporting runs.

NOW = datetime.datetime.now(datetime.timezone.utc)


def host_document(host, groups, when=None, run_problem=None):
    """A stored document's JSON of `host`, started `when` (default: five minutes
    ago): groups as (program, count, main times of its runs), the first run of
    each with `run_problem`."""
    when = when or NOW - datetime.timedelta(minutes=5)
    runs, summary = [], []
    for program, count, times in groups:
        info = programs.get(program)
        key = {"program": program, "procs": count if info.mpi else None, "threads": None if info.mpi else count}
        runs += [dict(key, run=i, verdict="valid", problem=run_problem if i == 1 else None,
                      **{info.main_time: "%f" % t}) for i, t in enumerate(times, 1)]
        spread = {"median": stats.median(times), "min": min(times), "max": max(times), "cv_pct": None}
        summary.append(dict(key, runs=len(times), failed=0, **{info.main_time: spread}))
    return {"format": 4, "session": store.new_session_id(when, host), "interrupted": None, "scaling": [],
            "provenance": {"host": host, "date": when.isoformat(timespec="seconds"), "git": {"commit": "ab" * 20},
                           "mpi": {"implementation": "Open MPI", "version": "4.1.4"}},
            "runs": runs, "summary": summary}


def stored(folder, *docs):
    """A store in `folder` holding the documents `docs`."""
    s = store.Store(folder)
    for doc in docs:
        s.save(document.from_json(doc, "test"))
    return s


# Made-up histories for the change tests: sessions a day apart, each group's
# runs drawn around a true time that may step.

HISTORY_GROUPS = (("treesearch", 2), ("arraysum", 4), ("splitwork", 4), ("queuedrain", 1), ("dynamicwork", 4))
HISTORY_START = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc)


def noisy(rng, true_s, cv):
    """A log-normal time of mean true_s whose coefficient of variation is cv."""
    var = math.log1p(cv * cv)
    return true_s * rng.lognormvariate(-var / 2, math.sqrt(var))


def write_history(folder, hosts=("vm",), sessions=30, runs=5, cv=0.05, steps=None, seed=1,
                  groups=HISTORY_GROUPS, true_s=1.0):
    """Stores `sessions` sessions of each host in `folder`, each with `runs`
    runs of every group; `steps` maps (host, program) to [(session, factor)]:
    from that session on (until the next), the group's runs take factor times
    as long."""
    rng = random.Random(seed)
    drawn = []
    for host in hosts:
        for i in range(sessions):
            times = []
            for program, count in groups:
                factor = ([f for at, f in (steps or {}).get((host, program), ()) if i >= at] or [1.0])[-1]
                times.append((program, count, [noisy(rng, true_s * factor, cv) for _ in range(runs)]))
            drawn.append(host_document(host, times, HISTORY_START + datetime.timedelta(days=i)))
    return stored(folder, *drawn)
