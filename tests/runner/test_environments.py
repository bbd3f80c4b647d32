"""Environments side by side: the TOML file and every way it can be wrong
(named by file, line and key, exit 2 before any run), names and their
combinations, modules loaded by a module system, and sessions of stand-ins
built by a stand-in setup: the runs interleaved, each run and environment
recorded, the table's column, the side-by-side verdicts against a hand
computation, results compare --envs, and what the runner costs a run."""

import json
import math
import os
import re
import socket
import time

import pytest

from conftest import heredoc, sample, write_script
from parbench.model import document
from parbench.platform import environments

pytestmark = pytest.mark.unit


def read(tmp_path, text):
    path = tmp_path / "environments.toml"
    path.write_text(text)
    return str(path), environments.read_file(str(path))


def test_the_file_defines_environments_and_says_where(tmp_path):
    path, found = read(tmp_path, '# a site\n\n[site-gnu]\nmodules = ["gcc/12.2.0", "openmpi/4.1.5"]\n'
                                 'variables = { OMP_WAIT_POLICY = "passive", KMP_BLOCKTIME = 0 }\n\n'
                                 '[gcc]\ncxx = "g++-12"\ndescription = "the site\'s GCC"\n')
    site = found["site-gnu"]
    assert (site.modules, site.variables, site.cxx, site.mpi, site.defined) == (
        ("gcc/12.2.0", "openmpi/4.1.5"), (("OMP_WAIT_POLICY", "passive"), ("KMP_BLOCKTIME", "0")), None, None,
        "%s:3" % path)
    # A file may redefine a built-in environment; its definition wins, and says where it is.
    chosen = environments.chosen("gcc,clang+mpich,site-gnu", found)
    assert [(e.name, e.cxx, e.mpi, e.defined) for e in chosen] == [
        ("gcc", "g++-12", None, "%s:7" % path), ("clang+mpich", "clang++", "mpich", "built in"),
        ("site-gnu", None, None, "%s:3" % path)]
    joined = environments.chosen("site-gnu+clang", found)[0]
    assert (joined.cxx, joined.modules, joined.variables) == ("clang++", site.modules, site.variables)


BAD_FILES = {
    "not TOML": ("[site]\ncxx = \n", r"environments.toml: is not TOML: .*line 2"),
    "not UTF-8": (b"[site]\ncxx = '\xff'\n", r"environments.toml: is not UTF-8 text"),
    "a key it does not take": ('[site]\ncxx = "g++"\n\ncompiler = "icpx"\n',
                               r"environments.toml:4: \[site\] compiler: no such key; an environment takes cxx, cc"),
    "a compiler not a text": ('[site]\n\ncxx = 3\n', r"environments.toml:3: \[site\] cxx: the C\+\+ compiler is a text "
                                                     r"of one line, not a number"),
    "an MPI it does not build": ('[site]\nmpi = "intelmpi"\n', r'environments.toml:2: \[site\] mpi: "openmpi" or '
                                                               r'"mpich", not a text; a site\'s MPI is loaded'),
    "modules not a list": ('[site]\nmodules = "gcc"\n', r"environments.toml:2: \[site\] modules: a list of module"),
    "variables not a table": ('[site]\nvariables = ["A=1"]\n', r"environments.toml:2: \[site\] variables: a table"),
    "a variable the runner sets": ('[site]\nvariables = { OMP_NUM_THREADS = 4 }\n',
                                   r"environments.toml:2: \[site\] variables: OMP_NUM_THREADS is set by the runner"),
    "a variable of no value": ('[site]\nvariables = { A = 1.5 }\n',
                               r"environments.toml:2: \[site\] variables: A is set to a text or a whole number, not a "
                               r"number"),
    "a dotted key wrong": ('site.cxx = 3\n', r"environments.toml:1: \[site\] cxx: the C\+\+ compiler is a text"),
    "a name it cannot be": ('["a b"]\ncxx = "g++"\n', r"environments.toml:1: \[a b\]: an environment's name is"),
    "not a table": ('site = "gcc"\n', r"environments.toml:1: site: each environment is a table, \[site\], not a text"),
}


@pytest.mark.parametrize("case", sorted(BAD_FILES), ids=sorted(BAD_FILES))
def test_a_bad_file_is_named_by_its_line_and_key(tmp_path, case):
    text, expected = BAD_FILES[case]
    path = tmp_path / "environments.toml"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    with pytest.raises(environments.Unusable) as e:
        environments.read_file(str(path))
    assert re.search("^%s" % re.escape(str(tmp_path)) + "/" + expected, str(e.value)), str(e.value)


@pytest.mark.parametrize("names,expected", [
    ("gcc+clang", "gcc+clang: gcc and clang both choose the C++ compiler (g++, clang++)"),
    ("openmpi+mpich", "openmpi and mpich both choose the MPI (openmpi, mpich)"),
    ("gcc,gcc", "names an environment twice"),
    ("clang+clang", "names an environment twice"),
    ("gcc,,clang", "names an empty environment"),
    ("icc", "no environment icc; there are clang, gcc, mpich, openmpi"),
])
def test_names_that_choose_no_one_environment_are_refused(names, expected):
    with pytest.raises(environments.Unusable, match=re.escape(expected)):
        environments.chosen(names, {})


def test_the_runner_refuses_a_bad_file_before_it_builds_or_runs_anything(stand_ins, tmp_path):
    bad = tmp_path / "envs.toml"
    bad.write_text('[site]\ncxx = "g++"\nmpi = 4\n')
    store = tmp_path / "store"
    for args in (["--env", "site", "--env-file", str(bad)], ["--env", "nowhere"], ["--env-file", str(bad)],
                 ["--env", "site", "--env-file", str(tmp_path / "missing.toml")]):
        run = stand_ins.suite("--only", "queuedrain", "--results", str(store), *args,
                              PARBENCH_SETUP=str(tmp_path / "no-setup"))
        assert run.returncode == 2 and run.stdout == "", (args, run.stderr)
        assert "run-suite: error: " in run.stderr
        assert not store.exists() and not os.path.exists(os.path.join(stand_ins.build, "env"))
    assert "%s:3: [site] mpi:" % bad in run.stderr or "missing.toml: cannot read it" in run.stderr
    # The default file is read where it exists, and only then.
    config = tmp_path / "config" / "parbench"
    config.mkdir(parents=True)
    (config / "environments.toml").write_text("[site]\nmpi = 4\n")
    run = stand_ins.suite("--only", "queuedrain", "--env", "gcc", XDG_CONFIG_HOME=str(tmp_path / "config"))
    assert run.returncode == 2 and "environments.toml:2: [site] mpi:" in run.stderr


# Modules: a module system of the test's own, as Lmod and Environment Modules
# both define it, a shell function `module` from $MODULESHOME/init/bash.

MODULES = """module() {
    [ "$1" = load ] || return 1
    case $2 in
        good) export GOOD_LOADED=yes; export PATH=/opt/good/bin:$PATH ;;
        quiet-fail) echo "Lmod has detected the following error: The following module(s) are unknown: \\"$2\\"" >&2 ;;
        *) echo "ERROR: Unable to locate a modulefile for '$2'" >&2; return 1 ;;
    esac
}
"""


def module_system(tmp_path):
    home = tmp_path / "modules"
    (home / "init").mkdir(parents=True)
    (home / "init" / "bash").write_text(MODULES)
    return str(home)


def test_modules_are_loaded_in_order_and_one_that_fails_is_named(tmp_path):
    environ = dict(os.environ, MODULESHOME=module_system(tmp_path))
    site = environments.Environment("site", modules=("good",), defined="f.toml:3")
    loaded = environments.loaded(site, environ)
    assert loaded["GOOD_LOADED"] == "yes" and loaded["PATH"].startswith("/opt/good/bin:")
    assert {k: v for k, v in loaded.items() if k not in ("GOOD_LOADED", "PATH")} == \
        {k: v for k, v in environ.items() if k not in ("PATH",) and k in loaded}
    for module in ("missing", "quiet-fail"):
        with pytest.raises(environments.Unusable, match=r"environment site \(f.toml:3\): its modules did not load: "
                                                        r".*(Unable to locate|unknown)"):
            environments.loaded(environments.Environment("site", modules=("good", module), defined="f.toml:3"),
                                environ)
    none = dict(os.environ, MODULESHOME=str(tmp_path / "none"))
    if environments.module_init(none) is None:
        with pytest.raises(environments.Unusable, match="neither Lmod nor Environment Modules is installed"):
            environments.loaded(site, none)
    assert environments.loaded(environments.BUILT_IN["gcc"], environ) == environ


# Sessions of stand-ins: a setup that "builds" the stand-in programs into each
# environment's folder, with the compiler and runtime CMake would record, and
# a queuedrain that takes 2 ms built by g++ and 6 ms by clang++.

STAND_IN_SETUP = r"""#!/usr/bin/env bash
set -eu
echo "$BUILD_DIR ${CXX:-} ${PARBENCH_MPI:-} ${PARBENCH_TARGETS:-} ${GOOD_LOADED:-}" >> "$STANDIN_DIR/setup.calls"
[ -z "${FAIL_SETUP:-}" ] || { echo "setup: cannot build"; exit 1; }
mkdir -p "$BUILD_DIR/CMakeFiles/3.25"
for d in treesearch arraysum loadbalance; do cp -r "$STANDIN_BUILD/$d" "$BUILD_DIR"/; done
case ${CXX:-} in
    clang++) id=Clang version=14.0.6 lib=omp ms=6 ;;
    *) id=GNU version=12.2.0 lib=gomp ms=2 ;;
esac
printf 'MPIEXEC_EXECUTABLE:FILEPATH=%s\nOpenMP_CXX_LIB_NAMES:STRING=%s;pthread\nOpenMP_CXX_SPEC_DATE:INTERNAL=201511\n' \
    "$STANDIN_DIR/bin/mpirun" "$lib" > "$BUILD_DIR/CMakeCache.txt"
printf 'set(CMAKE_CXX_COMPILER_ID "%s")\nset(CMAKE_CXX_COMPILER_VERSION "%s")\n' "$id" "$version" \
    > "$BUILD_DIR/CMakeFiles/3.25/CMakeCXXCompiler.cmake"
cat > "$BUILD_DIR/loadbalance/queuedrain" <<EOF
#!/bin/sh
echo "$id \${GOOD_LOADED:-} \${OMP_WAIT_POLICY:-}" >> "$STANDIN_DIR/order"
echo 'Time:   0.00${ms}000 s'
EOF
chmod +x "$BUILD_DIR/loadbalance/queuedrain"
"""


@pytest.fixture
def setup_stand_in(stand_ins):
    path = os.path.join(stand_ins.dir, "stand-in-setup")
    write_script(path, STAND_IN_SETUP)
    return {"PARBENCH_SETUP": path, "STANDIN_BUILD": stand_ins.build, "STANDIN_DIR": stand_ins.dir}


def order(stand_ins):
    with open(os.path.join(stand_ins.dir, "order")) as f:
        return [line.split()[0] for line in f]


def test_environments_take_turns_and_are_judged_side_by_side(stand_ins, setup_stand_in, tmp_path, results):
    store = tmp_path / "store"
    run = stand_ins.suite("--only", "arraysum,queuedrain", "--repeat", "5", "--env", "gcc,clang", "--results",
                          str(store), **setup_stand_in)
    assert run.returncode == 0, run.stdout + run.stderr
    # Each repeat in the other order from the one before: a drift favours neither.
    assert order(stand_ins) == ["GNU", "Clang", "Clang", "GNU", "GNU", "Clang", "Clang", "GNU", "GNU", "Clang"]
    assert "[1/20] arraysum with 4 threads (gcc), run 1 of 5" in run.stdout
    assert "[4/20] arraysum with 4 threads (gcc), run 2 of 5" in run.stdout
    # Each environment's build only what the session runs.
    calls = open(os.path.join(stand_ins.dir, "setup.calls")).read().splitlines()
    assert calls == ["%s/env/gcc g++  arraysum queuedrain " % stand_ins.build,
                     "%s/env/clang clang++  arraysum queuedrain " % stand_ins.build]
    table = run.stdout.split("\n\n")[1].splitlines()
    assert table[0].split()[:3] == ["program", "procs/threads", "environment"]
    assert [line.split()[:3] for line in table[1:]] == [["arraysum", "4", "gcc"], ["arraysum", "4", "clang"],
                                                        ["queuedrain", "1", "gcc"], ["queuedrain", "1", "clang"]]
    # By hand: 5 runs of 6 ms against 5 of 2 ms, none among the others, is the
    # least two-sided Mann-Whitney p of 5 and 5, 2 / C(10, 5) = 0.00794; Holm
    # over the two pairs doubles it (arraysum, a tie, counts as 1).
    assert "side by side: clang against gcc, tolerance 10 %, alpha 0.05" in run.stdout
    assert "side by side: slower: queuedrain with 1 thread: clang 3.00× gcc, time 0.0060 s against 0.0020 s; " \
           "Mann-Whitney p = 0.0159 <= 0.05 (Holm-adjusted over 2 groups; 5 and 5 runs)" in run.stdout
    assert "side by side: no change: arraysum with 4 threads: clang within a tick of gcc, parallel time 0.0000 s " \
           "against 0.0000 s; within the clock's resolution (1 ms)" in run.stdout

    doc = json.loads(next(store.glob("[0-9]*.json")).read_text())
    assert doc["format"] == document.FORMAT
    assert {name: (e["compiler"]["id"], e["openmp"]["runtime_libraries"], e["mpi"]["implementation"], e["defined"])
            for name, e in doc["environments"].items()} == {
        "gcc": ("GNU", "gomp;pthread", "Open MPI", "built in"), "clang": ("Clang", "omp;pthread", "Open MPI",
                                                                         "built in")}
    assert [r["environment"] for r in doc["runs"] if r["program"] == "queuedrain"] == \
        ["gcc", "clang", "clang", "gcc", "gcc", "clang", "clang", "gcc", "gcc", "clang"]
    assert [(s["program"], s["environment"]) for s in doc["summary"]] == [
        ("arraysum", "gcc"), ("arraysum", "clang"), ("queuedrain", "gcc"), ("queuedrain", "clang")]

    # Two environments of the stored session, either way round.
    slower = results(store, "compare", "--envs", "gcc,clang")
    assert slower.returncode == 3, slower.stdout + slower.stderr
    assert "side by side: slower: queuedrain with 1 thread: clang 3.00× gcc" in slower.stdout
    faster = results(store, "compare", "--envs", "clang,gcc", "latest")
    assert faster.returncode == 0 and "side by side: faster: queuedrain with 1 thread: gcc 0.33× clang" in faster.stdout
    missing = results(store, "compare", "--envs", "gcc,icc")
    assert missing.returncode == 2 and "ran in no environment icc (it ran in gcc, clang)" in missing.stderr
    assert results(store, "compare", "--envs", "gcc").returncode == 2
    listed = results(store, "list")
    assert "arraysum(4 gcc,4 clang) queuedrain(1 gcc,1 clang)" in listed.stdout


def test_an_environments_modules_and_variables_reach_its_build_and_its_runs(stand_ins, setup_stand_in, tmp_path):
    envs = tmp_path / "envs.toml"
    envs.write_text('[site]\nmodules = ["good"]\nvariables = { OMP_WAIT_POLICY = "passive" }\n')
    extra = dict(setup_stand_in, MODULESHOME=module_system(tmp_path))
    run = stand_ins.suite("--only", "queuedrain", "--env", "site,gcc", "--env-file", str(envs), "--json",
                          str(tmp_path / "s.json"), "--no-store", **extra)
    assert run.returncode == 0, run.stdout + run.stderr
    with open(os.path.join(stand_ins.dir, "order")) as f:
        assert [line.rstrip() for line in f] == ["GNU yes passive", "GNU"]
    calls = open(os.path.join(stand_ins.dir, "setup.calls")).read().splitlines()
    assert calls[0].endswith("queuedrain yes") and calls[1].endswith("queuedrain ")
    doc = json.loads((tmp_path / "s.json").read_text())
    assert doc["environments"]["site"]["modules"] == ["good"]
    assert doc["environments"]["site"]["variables"] == {"OMP_WAIT_POLICY": "passive"}
    assert doc["environments"]["site"]["defined"] == "%s:1" % envs

    # A module that does not load, or a build that fails, stops the session before any run.
    envs.write_text('[site]\nmodules = ["good", "missing"]\n')
    run = stand_ins.suite("--only", "queuedrain", "--env", "site", "--env-file", str(envs), "--no-store", **extra)
    assert run.returncode == 1 and "[1/" not in run.stdout
    assert "environment site (%s:1): its modules did not load: ERROR: Unable to locate a modulefile for " \
           "'missing'" % envs in run.stderr
    run = stand_ins.suite("--only", "queuedrain", "--env", "gcc", "--no-store", FAIL_SETUP="1", **setup_stand_in)
    assert run.returncode == 1 and "[1/" not in run.stdout
    assert "environment gcc could not be built in %s/env/gcc (scripts/setup: exit status 1); its output is in " \
           "%s/env/gcc.setup.log" % (stand_ins.build, stand_ins.build) in run.stderr


@pytest.mark.slow
def test_environments_and_their_turns_cost_the_runner_under_a_fifth_of_a_second_a_run(stand_ins, setup_stand_in,
                                                                                        tmp_path):
    def session(repeat):
        start = time.monotonic()
        run = stand_ins.suite("--only", "queuedrain", "--repeat", str(repeat), "--env", "gcc,clang", "--no-store",
                              **setup_stand_in)
        assert run.returncode == 0, run.stderr
        return time.monotonic() - start
    # The difference between a long and a short session leaves out what any session costs once.
    short, long_ = session(2), session(42)
    per_run = (long_ - short) / 80
    assert per_run < 0.2, "%.3f s a run" % per_run


def test_placements_are_swept_recorded_and_a_run_bound_otherwise_than_asked_is_named(stand_ins, tmp_path):
    from parbench.platform import machine, placement
    topology = machine.topology()
    if topology is None or len(topology.cores) < 2:
        pytest.skip("needs hwloc and two cores to tell a bound thread from a free one")
    everything, host = machine.cpu_list(topology.usable), socket.gethostname()
    # Bound as asked under close, free under spread: each thread's line as libgomp writes it.
    stand_ins.program("arraysum", heredoc(sample("arraysum-valid")) + (
        'for t in 0 1; do\n'
        '  [ "$OMP_PROC_BIND" = close ] && cpus=$t || cpus=%s\n'
        '  echo "parbench-affinity pid=$$ host=$(hostname) thread=$t team=2 cpus=$cpus" >&2\n'
        'done\n' % everything))
    # Built with libgomp, which writes those lines on standard error.
    with open(os.path.join(stand_ins.build, "CMakeCache.txt"), "w") as f:
        f.write("OpenMP_CXX_LIB_NAMES:STRING=gomp;pthread\n")
    assert placement.AFFINITY_FORMAT.startswith("parbench-affinity pid=%P host=%H thread=%n team=%N cpus=%A")
    out = tmp_path / "s.json"
    run = stand_ins.suite("--only", "arraysum", "--bind", "close,spread", "--repeat", "2", "--json", str(out),
                          "--no-store")
    assert run.returncode == 0, run.stdout + run.stderr
    assert "    arraysum run 1: placement: asked to bind spread, yet threads 0-1 could run on every CPU" in run.stdout
    assert "placement: arraysum with 4 threads (bound spread): asked to bind spread, yet threads 0-1 could run " \
           "on every CPU (2 of 2 runs)" in run.stdout
    assert "bound close): " not in run.stdout
    table = run.stdout.split("\n\n")[1].splitlines()
    assert [line.split()[:3] for line in table[:3]] == [["program", "procs/threads", "bind"],
                                                       ["arraysum", "4", "close"], ["arraysum", "4", "spread"]]
    doc = json.loads(out.read_text())
    assert [(r["bind"], r["placement"]["threads"], r["placement"]["differs"]) for r in doc["runs"]] == \
        [("close", [{"number": 0, "host": host, "cpus": "0"}, {"number": 1, "host": host, "cpus": "1"}], None)] * 2 + \
        [("spread", [{"number": n, "host": host, "cpus": everything} for n in (0, 1)],
          "asked to bind spread, yet threads 0-1 could run on every CPU")] * 2
    assert all(r["problem"] is None for r in doc["runs"])
    assert doc["provenance"]["topology"]["cores"] == len(topology.cores)
    # The raw log keeps the lines the runtime wrote.
    with open(stand_ins.logs()[0]) as f:
        assert f.read().count("parbench-affinity") == 8


def test_a_document_names_only_the_environments_it_gives_and_older_ones_read_as_one_build():
    from conftest import host_document
    old = document.from_json(host_document("h", [("queuedrain", 1, [0.002, 0.003])]), "old")
    assert old.environments == {} and {g.environment for g in old.groups()} == {None}
    raw = json.loads(json.dumps(old.raw))
    raw["format"] = document.FORMAT
    raw["runs"][0]["environment"] = "clang"
    with pytest.raises(document.DocumentError, match=r"runs\[0\] names an environment the session does not give"):
        document.from_json(raw, "new")
    raw["environments"] = {"clang": {"modules": []}}
    with pytest.raises(document.DocumentError, match=r"runs\[1\] names an environment"):
        document.from_json(raw, "new")
    raw["environments"] = {"no name": {}}
    with pytest.raises(document.DocumentError, match="not a name it takes"):
        document.from_json(raw, "new")


def session_of(groups):
    """A Session of `groups`, each (program, count, environment, main times), of two environments."""
    from conftest import host_document
    raw = host_document("h", [(p, c, times) for p, c, _, times in groups])
    raw["format"], raw["environments"] = document.FORMAT, {"gcc": {}, "clang": {}}
    for (_, _, environment, _), row in zip(groups, raw["summary"]):
        row["environment"] = environment
    position = 0
    for _, _, environment, times in groups:
        for run in raw["runs"][position:position + len(times)]:
            run["environment"] = environment
        position += len(times)
    return document.from_json(raw, "test")


def test_side_by_side_figures_are_the_hand_computed_ones():
    from scipy import stats as scipy_stats
    from parbench.analysis import comparison
    gcc, clang = [0.010, 0.011, 0.012], [0.030, 0.033, 0.036]
    sides = comparison.side_by_side(session_of([("queuedrain", 1, "gcc", gcc), ("queuedrain", 1, "clang", clang)]))
    # Three runs a side: Student's t on the logarithms, the pooled variance
    # above what rounding to the millisecond adds ((1 ms / 11 ms)^2 / 12).
    logs_x, logs_y = [math.log(v) for v in clang], [math.log(v) for v in gcc]
    squares = sum((v - sum(logs_x) / 3) ** 2 for v in logs_x) + sum((v - sum(logs_y) / 3) ** 2 for v in logs_y)
    assert squares / 4 > (0.001 / 0.011) ** 2 / 12
    t = (sum(logs_x) / 3 - sum(logs_y) / 3) / math.sqrt(squares / 4 * (2 / 3))
    p = 2 * scipy_stats.t.sf(t, 4)
    assert sides.lines()[1] == "side by side: slower: queuedrain with 1 thread: clang 3.00× gcc, time 0.0330 s " \
                               "against 0.0110 s; t-test on log times p = %.3g <= 0.05 (3 and 3 runs)" % p
    assert sides.family == 1 and sides.verdicts[0].p == pytest.approx(p)

    # Under one tick of the clock, only a bound; five runs a side, complete
    # separation: 2 / C(10, 5), doubled by Holm over the two pairs.
    sides = comparison.side_by_side(session_of([
        ("queuedrain", 1, "gcc", [0.0] * 5), ("queuedrain", 1, "clang", [0.008] * 5),
        ("arraysum", 4, "gcc", [0.009] * 5), ("arraysum", 4, "clang", [0.0] * 5)]))
    lines = sides.lines()
    assert lines[1] == "side by side: faster: arraysum with 4 threads: clang under 0.11× gcc, parallel time 0.0000 s " \
                       "against 0.0090 s; Mann-Whitney p = %.3g <= 0.05 (Holm-adjusted over 2 groups; 5 and 5 runs)" \
                       % (2 * 2 / 252)
    assert lines[2] == "side by side: slower: queuedrain with 1 thread: clang over 8.00× gcc, time 0.0080 s against " \
                       "0.0000 s; Mann-Whitney p = %.3g <= 0.05 (Holm-adjusted over 2 groups; 5 and 5 runs)" \
                       % (2 * 2 / 252)
    # A group in one environment alone is named, and compared with nothing.
    alone = comparison.side_by_side(session_of([("queuedrain", 1, "gcc", [0.001] * 3),
                                                ("arraysum", 4, "clang", [0.005] * 3)]))
    assert alone.not_compared == ["queuedrain with 1 thread (gcc): not run in clang"]
    assert alone.lines()[-1] == "side by side: not compared: queuedrain with 1 thread (gcc): not run in clang"
    assert alone.nothing_compared() == "nothing compared: no group ran in more than one of them"
