"""Environments with the real programs: one session across g++ and clang++
(libgomp and libomp) and across Open MPI and MPICH, each built into a folder
of its own, with their versions in the document and their groups judged side
by side; a placement sweep whose threads and processes are read back; and an
environment that a real module system (Environment Modules or Lmod) loads.

The session across two MPIs installs the one missing (scripts/setup), so it
runs only where PARBENCH_ENV_TEST=1 says this machine may be changed so: CI's
own host, not its roots of one MPI."""

import json
import os
import subprocess
import sys

import pytest

from conftest import ROOT
from parbench.platform import environments, machine, mpi

pytestmark = pytest.mark.program

SESSION_TIMEOUT = 1800
PAIRS = ("gcc+openmpi", "gcc+mpich", "clang+openmpi", "clang+mpich")


def suite(build, *args, env=None):
    return subprocess.run([sys.executable, "-m", "parbench", "--build-dir", build.dir, *args], capture_output=True,
                          text=True, cwd=ROOT, timeout=SESSION_TIMEOUT, env=env or os.environ)


@pytest.mark.slow
def test_one_session_across_compilers_and_mpis(build, tmp_path):
    if os.environ.get("PARBENCH_ENV_TEST") != "1":
        pytest.skip("installs a second MPI and clang: only where PARBENCH_ENV_TEST=1 allows it")
    out = tmp_path / "session.json"
    run = suite(build, "--env", ",".join(PAIRS), "--only", "treesearch,queuedrain", "--procs", "2", "--repeat", "3",
                "--json", str(out), "--no-store", "--scratch", str(tmp_path / "run"))
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-3000:]
    doc = json.loads(out.read_text())
    found = {name: (e["compiler"]["id"], e["openmp"]["runtime"], e["mpi"]["implementation"])
             for name, e in doc["environments"].items()}
    assert found == {"gcc+openmpi": ("GNU", "libgomp", "Open MPI"), "gcc+mpich": ("GNU", "libgomp", "MPICH"),
                     "clang+openmpi": ("Clang", "libomp", "Open MPI"), "clang+mpich": ("Clang", "libomp", "MPICH")}
    for e in doc["environments"].values():
        assert e["openmp"]["runtime_version"] and e["mpi"]["version"] and e["compiler"]["version"]
        assert e["build"].startswith(os.path.join(build.dir, "env"))
    assert all(r["problem"] is None for r in doc["runs"]), [r["problem"] for r in doc["runs"] if r["problem"]]
    # Every run of every environment, each repeat in the other order from the one before.
    first = [r["environment"] for r in doc["runs"] if r["program"] == "queuedrain"]
    assert first == list(PAIRS) + list(reversed(PAIRS)) + list(PAIRS)
    # Each of the others against the first, group by group.
    for name in PAIRS[1:]:
        for group in ("treesearch with 2 processes", "queuedrain with 1 thread"):
            assert any(line.startswith("side by side: ") and ": %s: %s " % (group, name) in line
                       for line in run.stdout.splitlines()), (name, group, run.stdout[-3000:])
    assert "side by side: gcc+mpich, clang+openmpi, clang+mpich against gcc+openmpi" in run.stdout


def test_a_placement_sweep_reads_back_where_threads_and_processes_ran(build, launch, tmp_path):
    topology = machine.topology()
    if topology is None:
        pytest.skip("needs hwloc to read the machine")
    out = tmp_path / "session.json"
    run = suite(build, "--bind", "none,close,spread", "--only", "treesearch,arraysum", "--procs", "2", "--json",
                str(out), "--no-store", "--scratch", str(tmp_path / "run"))
    assert run.returncode == 0, run.stdout + run.stderr
    doc = json.loads(out.read_text())
    assert doc["provenance"]["topology"]["hardware_threads"] == topology.hardware_threads
    by = {(r["program"], r["bind"]): r for r in doc["runs"]}
    assert sorted(by) == sorted((p, b) for p in ("treesearch", "arraysum") for b in ("none", "close", "spread"))
    for (program, bind), r in by.items():
        assert r["problem"] is None, r
        place = r["placement"]
        assert place["asked"] == bind
        if program == "arraysum":
            # libgomp reports each thread of the team of four.
            assert [t["number"] for t in place["threads"]] == [0, 1, 2, 3]
            if bind != "none" and len(topology.cores) > 1:
                assert all(len(t["cpus"].split(",")) == 1 and "-" not in t["cpus"] for t in place["threads"]), place
        elif isinstance(launch.mpi, mpi.OpenMpi):
            assert [p["number"] for p in place["processes"]] == [0, 1]
            assert (place["processes"][0]["cpus"] is None) == (bind == "none")
        else:
            assert place["processes"] is None and place["unread"]
        assert place["differs"] is None, place


@pytest.mark.slow
def test_an_environment_loaded_by_a_real_module_system(build, tmp_path):
    init = environments.module_init(os.environ)
    if init is None:
        pytest.skip("neither Lmod nor Environment Modules is installed")
    modules = tmp_path / "modulefiles" / "parbench-test"
    modules.mkdir(parents=True)
    # A modulefile both module systems read (Lmod reads Tcl ones too).
    (modules / "1.0").write_text("#%%Module1.0\nsetenv PARBENCH_MODULE_TEST loaded\nprepend-path PATH %s\n"
                                 % (tmp_path / "bin"))
    envs = tmp_path / "environments.toml"
    envs.write_text('# the site\'s own\n[site]\nmodules = ["parbench-test/1.0"]\n'
                    'variables = { OMP_WAIT_POLICY = "passive" }\n')
    env = dict(os.environ, MODULEPATH=str(tmp_path / "modulefiles"))
    loaded = environments.loaded(environments.read_file(str(envs))["site"], env)
    assert loaded["PARBENCH_MODULE_TEST"] == "loaded" and loaded["PATH"].startswith(str(tmp_path / "bin"))
    out = tmp_path / "session.json"
    run = suite(build, "--env", "site", "--env-file", str(envs), "--only", "queuedrain", "--json", str(out),
                "--no-store", "--scratch", str(tmp_path / "run"), env=env)
    assert run.returncode == 0, run.stdout + run.stderr
    site = json.loads(out.read_text())["environments"]["site"]
    assert (site["modules"], site["variables"], site["defined"]) == (["parbench-test/1.0"],
                                                                    {"OMP_WAIT_POLICY": "passive"}, "%s:2" % envs)
    bad = dict(env, MODULEPATH=str(tmp_path / "nowhere"))
    run = suite(build, "--env", "site", "--env-file", str(envs), "--only", "queuedrain", "--no-store", env=bad)
    assert run.returncode == 1 and "its modules did not load" in run.stderr and "[1/" not in run.stdout
