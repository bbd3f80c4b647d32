"""Each placement policy on the real programs: arraysum's team of 4 on the
build under test and on a build with clang++ and libomp, and treesearch's 2
processes under the build's MPI. The report on standard output keeps its
form, and what the runtimes report back is what was asked and what the
kernel says each thread or process could run on, or the runtime's or
family's inability to report it is said.

The clang build is PARBENCH_CLANG_BUILD_DIR's, else made here: arraysum
alone, with the MPI of the build under test, in seconds."""

import os
import re
import shutil
import subprocess

import pytest

from conftest import LAUNCH_TIMEOUT, ROOT
from test_openmp import ARRAYSUM, expect_lines
from test_traced_clang import INHERITED
from parbench.base import supervise, text
from parbench.model import programs
from parbench.platform import machine, placement
from parbench.platform.build import Build

pytestmark = pytest.mark.program

BUILD_TIMEOUT = 600
ALLOWED = frozenset(os.sched_getaffinity(0))
TEAM = programs.get("arraysum").team


def kernel_core(cpu):
    """The CPUs of `cpu`'s core that this test may use, as the kernel lists them."""
    for name in ("core_cpus_list", "thread_siblings_list"):
        listed = text.read("/sys/devices/system/cpu/cpu%d/topology/%s" % (cpu, name)).strip()
        if listed:
            return placement.parse_cpus(listed) & ALLOWED
    return frozenset([cpu])


CORES = {kernel_core(cpu) for cpu in ALLOWED}


def ran_as_asked(policy, cpus, members):
    """Under none each member may run on every CPU; under close and spread
    each on one whole core, on as many cores as there are for them."""
    assert len(cpus) == members, cpus
    if policy == "none":
        assert all(c == ALLOWED for c in cpus.values()), cpus
        return
    assert all(c == kernel_core(min(c)) for c in cpus.values()), cpus
    assert len(set(cpus.values())) == min(members, len(CORES)), cpus


@pytest.fixture(scope="module")
def topology():
    """This machine's, or None without hwloc: the judging then says less, and
    the kernel still checks what ran."""
    return machine.topology()


def clang_build(build, scratch):
    """A build with clang++ and libomp: PARBENCH_CLANG_BUILD_DIR's, else arraysum alone made in `scratch`."""
    named = os.environ.get("PARBENCH_CLANG_BUILD_DIR")
    if named:
        return Build.read(named)
    clang = shutil.which("clang++")
    if clang is None:
        pytest.skip("clang++ is not installed (sudo apt-get install clang libomp-dev)")
    probe = scratch / "probe.cpp"
    probe.write_text("#include <omp.h>\nint main() { return omp_get_max_threads() > 0 ? 0 : 1; }\n")
    linked = subprocess.run([clang, "-fopenmp=libomp", str(probe), "-o", str(scratch / "probe")],
                            capture_output=True, text=True, timeout=120)
    if linked.returncode != 0:
        pytest.skip("clang++ cannot link LLVM's OpenMP runtime (sudo apt-get install libomp-dev)")
    folder = scratch / "build"
    settings = ["-D%s=%s" % (n, build.cache[n]) for n in INHERITED if build.cache.get(n)]
    for step in (["cmake", "-S", ROOT, "-B", str(folder), "-DCMAKE_CXX_COMPILER=" + clang, *settings],
                 ["cmake", "--build", str(folder), "--target", "arraysum"]):
        done = subprocess.run(step, capture_output=True, text=True, timeout=BUILD_TIMEOUT)
        assert done.returncode == 0, done.stdout[-3000:] + done.stderr
    return Build.read(str(folder))


@pytest.fixture(scope="module", params=["under test", "clang"])
def openmp_build(request, build, tmp_path_factory):
    if request.param == "under test":
        return build
    if placement.openmp_runtime(build).name == "libomp":
        pytest.skip("the build under test links libomp already")
    return clang_build(build, tmp_path_factory.mktemp("clang"))


def run_arraysum(build, tmp_path, env):
    outcome = supervise.run([build.program(programs.get("arraysum"))], str(tmp_path), LAUNCH_TIMEOUT,
                            dict(os.environ, **env))
    assert outcome.status == 0, outcome.out + outcome.err
    return outcome


@pytest.mark.parametrize("policy", placement.POLICIES)
def test_arraysum_runs_as_each_policy_asks_with_its_report_as_it_was(openmp_build, topology, policy, tmp_path):
    runtime = placement.openmp_runtime(openmp_build)
    request = placement.openmp_request(policy, runtime, topology)
    outcome = run_arraysum(openmp_build, tmp_path, request.env)
    expect_lines(outcome.out.splitlines(), ARRAYSUM)
    assert request.strip(outcome.err) == ""
    found = request.read(outcome.err, topology)
    note = placement.judge(policy, found, topology)
    if not request.unread:
        assert note is None
        assert found.team == TEAM
        ran_as_asked(policy, found.cpus, TEAM)
        return
    assert note == "thread placement not read back: " + request.unread
    if runtime.displays_on is None:
        return
    # As said: asked for them, the runtime prints its lines there, and binds as asked.
    shown = run_arraysum(openmp_build, tmp_path, dict(request.env, OMP_DISPLAY_AFFINITY="TRUE",
                                                      OMP_AFFINITY_FORMAT=placement.AFFINITY_FORMAT))
    streams = {"standard output": shown.out, "standard error": shown.err}
    assert runtime.displays_on in request.unread
    assert all(placement.affinity(t).cpus == {} for s, t in streams.items() if s != runtime.displays_on), shown.err
    displayed = placement.affinity(streams[runtime.displays_on])
    assert displayed.team == TEAM, streams
    ran_as_asked(policy, displayed.cpus, TEAM)


# Each rank's CPUs as the kernel has them, on standard error, before the program starts.
PROBE = ("printf 'placement-probe rank=%s cpus=%s\\n' \"${RANK:?}\" "
         "\"$(awk '/^Cpus_allowed_list:/ {print $2}' /proc/self/status)\" >&2; exec \"$0\"")
PROBE_LINE = re.compile(r"^placement-probe rank=(\d+) cpus=(\S+)\n", re.MULTILINE)


@pytest.mark.parametrize("policy", placement.POLICIES)
def test_treesearch_processes_run_as_each_policy_asks_with_its_report_as_it_was(
        mpirun, launch, family, program, tree_report, topology, policy, tmp_path):
    request = placement.mpi_request(policy, launch)
    if request.setting is None:
        pytest.fail("the build's own MPI cannot be asked to bind: %s" % request.unread)
    cmd = ["/bin/sh", "-c", PROBE.replace("RANK", family.rank_variable), program("treesearch")]
    outcome = mpirun(2, cmd, tmp_path, request.setting)
    probed = {int(rank): placement.parse_cpus(cpus) for rank, cpus in PROBE_LINE.findall(outcome.err)}
    found = request.read(outcome.err, topology)
    outcome.err = PROBE_LINE.sub("", request.strip(outcome.err))
    tree_report.valid(outcome, 2, tmp_path)
    ran_as_asked(policy, probed, 2)
    note = placement.judge(policy, found, topology)
    if request.unread:
        assert note == "process placement not read back: " + request.unread
        return
    assert note is None
    # What the family reported is what the kernel says, by the kernel's numbers where hwloc gives them.
    assert sorted(found.cpus) == [0, 1], found
    if policy == "none":
        assert found.cpus == {0: None, 1: None}
    elif topology is not None:
        assert found.cpus == probed
