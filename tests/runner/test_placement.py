"""Placement policies on what the runtimes printed here: the variables and
launcher options each policy asks for, the OpenMP affinity lines of libgomp
and libomp, the MPI families' binding reports, hwloc's topologies, and the
notes judged from them.

The samples are real: libgomp 12 and libomp 14 (Debian 12), libgomp 14 and
libomp 19 (Debian 13), Open MPI 4.1.4 and 5.0.7 on this 2-core machine, and
hwloc's XML of it (2.9 and 2.12) and of synthetic machines hwloc made."""

import dataclasses
import os
import subprocess
import sys

import pytest

from conftest import ROOT
from parbench.platform import machine, mpi, placement
from parbench.platform.build import Build
from parbench.platform.launch import Launch

pytestmark = pytest.mark.unit

SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "samples")
OPENMPI4 = mpi.identify("mpiexec (OpenRTE) 4.1.4\n", "L")
OPENMPI5 = mpi.identify("mpirun (Open MPI) 5.0.7\n", "L")
HYDRA = mpi.identify("HYDRA build details:\n    Version:                                 4.0.2\n", "L")
UNKNOWN = mpi.identify("", "L")


def text(name):
    with open(os.path.join(SAMPLES, "placement-%s.txt" % name)) as f:
        return f.read()


def hwloc(name):
    """A topology from a sample of hwloc's XML."""
    with open(os.path.join(SAMPLES, "placement-hwloc%s.xml" % name)) as f:
        return machine.parse_topology(f.read())


VM = hwloc("29-vm")             # this machine: one package, two cores of one hardware thread
FOUR = hwloc("-4")              # one package of four cores
TWO_BY_TWO = hwloc("-2x2")      # two packages of two cores
BIG = hwloc("-2x4x2")           # two packages, a NUMA node each, four cores of two threads, numbered apart
ONE_CORE = hwloc("-1x2")        # one core of two hardware threads
NO_CORES = hwloc("-no-cores")   # hardware threads that hwloc tells no cores of


def cpus(*sets):
    return {i: frozenset(s) for i, s in enumerate(sets)}


# Topologies.

def test_hwloc_xml_gives_packages_numa_nodes_cores_and_their_cpus_in_logical_order():
    for found, version in ((VM, "2.9.0"), (hwloc("212-vm"), "2.12.0")):
        assert (found.source, found.host, found.numa_nodes, found.hardware_threads) == ("hwloc " + version, "vm", 1, 2)
        assert found.packages == (frozenset({0, 1}),) and found.cores == (frozenset({0}), frozenset({1}))
    # Each core's two threads are numbered eight apart: the logical order is not the kernel's.
    assert BIG.cpus[:4] == (0, 8, 1, 9) and len(BIG.cpus) == 16 and BIG.numa_nodes == 2
    assert BIG.cores[1] == {1, 9} and BIG.core_of(9) == 1 and BIG.package_of(12) == 1
    assert BIG.packages == (frozenset({0, 1, 2, 3, 8, 9, 10, 11}), frozenset({4, 5, 6, 7, 12, 13, 14, 15}))
    assert BIG.describe() == {"source": "hwloc 2.9.0", "packages": 2, "numa_nodes": 2, "cores": 8,
                              "hardware_threads": 16, "package_cpus": ["0-3,8-11", "4-7,12-15"],
                              "core_cpus": ["0,8", "1,9", "2,10", "3,11", "4,12", "5,13", "6,14", "7,15"],
                              "bound_to": None}
    assert NO_CORES.cores == () and NO_CORES.hardware_threads == 4
    assert machine.parse_topology("lstopo: unknown option") is None
    assert machine.parse_topology("<topology version=\"2.0\"></topology>") is None


def test_this_machines_topology_agrees_with_the_kernel():
    found, why = machine.read_topology()
    if found is None:
        pytest.skip(why)
    assert found.usable == os.sched_getaffinity(0)
    assert len(found.cores) == machine.physical_cores()
    assert machine.describe_topology((found, None))["hardware_threads"] == len(found.cpus)
    if len(found.usable) > 1:
        # Read by a process bound to one CPU: the machine is the same, what its programs may use is not.
        last = max(found.usable)
        code = ("import os; os.sched_setaffinity(0, {%d}); from parbench.platform import machine; "
                "print(machine.describe_topology())" % last)
        seen = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                              cwd=ROOT, check=True).stdout
        assert seen.strip() == repr(dict(found.describe(), bound_to=str(last)))


def test_without_hwloc_there_is_no_topology_and_the_provenance_says_why(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))
    assert machine.topology() is None
    assert machine.describe_topology() == {"source": None,
                                           "why": "hwloc is not installed (sudo apt-get install hwloc)"}
    stand_in = tmp_path / machine.TOPOLOGY_COMMAND
    stand_in.write_text("#!/bin/sh\necho 'hwloc: cannot read /sys' >&2\nexit 1\n")
    stand_in.chmod(0o755)
    found, why = machine.read_topology()
    assert found is None and why == "%s gave no topology: hwloc: cannot read /sys" % machine.TOPOLOGY_COMMAND


def test_cpu_lists_read_and_written_as_the_kernel_writes_them():
    assert placement.parse_cpus("0-3,8") == {0, 1, 2, 3, 8} and placement.parse_cpus("0,1") == {0, 1}
    assert machine.cpu_list({8, 0, 1, 2, 3, 10}) == "0-3,8,10" and machine.cpu_list([5]) == "5"
    assert placement.cpu_text(frozenset({"core 1", 2, 3})) == "2-3,core 1" and placement.cpu_text(None) is None


# What each policy asks.

def test_policies_are_read_from_a_comma_list():
    assert placement.parse_policies("spread, none,spread,close") == ("spread", "none", "close")
    with pytest.raises(ValueError, match="'tight' is no placement policy"):
        placement.parse_policies("none,tight")


def test_the_runtime_is_told_from_the_library_cmake_linked():
    def runtime(names):
        return placement.openmp_runtime(Build("b", {"OpenMP_CXX_LIB_NAMES": names}))
    assert runtime("gomp;pthread") == placement.Runtime("libgomp", "standard error")
    assert runtime("omp;pthread") == placement.Runtime("libomp", "standard output")
    assert runtime("iomp5;pthread") == placement.Runtime("libiomp5", None)
    assert runtime("") == placement.Runtime("the OpenMP runtime", None)
    assert placement.runtime_named("libgomp") == runtime("gomp") and placement.runtime_named(None).displays_on is None


def test_libgomp_is_asked_for_its_affinity_lines_and_the_places_are_cores_where_there_are_cores():
    gomp = placement.RUNTIMES["libgomp"]
    shown = {"OMP_DISPLAY_AFFINITY": "TRUE", "OMP_AFFINITY_FORMAT": placement.AFFINITY_FORMAT}
    request = placement.openmp_request("none", gomp, VM)
    assert (request.env, request.unread, request.members) == (dict(OMP_PROC_BIND="false", **shown), None, "thread")
    for policy in ("close", "spread"):
        assert placement.openmp_request(policy, gomp, VM).env == dict(OMP_PROC_BIND=policy, OMP_PLACES="cores", **shown)
        assert placement.openmp_request(policy, gomp, None).env["OMP_PLACES"] == "cores"
        assert placement.openmp_request(policy, gomp, NO_CORES).env["OMP_PLACES"] == "threads"
    with pytest.raises(ValueError):
        placement.openmp_request("compact", gomp, VM)


def test_a_runtime_that_displays_on_standard_output_or_anywhere_unknown_is_not_asked_and_says_so():
    for runtime, why in ((placement.RUNTIMES["libomp"], "libomp prints its affinity lines on standard output, "
                                                     "among the program's report"),
                         (placement.Runtime("libiomp5", None), "the runner does not know where libiomp5 prints "
                                                                "its affinity lines")):
        request = placement.openmp_request("close", runtime, VM)
        assert request.env == {"OMP_PROC_BIND": "close", "OMP_PLACES": "cores", "OMP_DISPLAY_AFFINITY": "FALSE"}
        assert request.unread == why
        # Even lines there are neither read nor taken out.
        err = text("libomp14-close-stdout")
        assert request.read(err) == placement.Placement("thread", unread=why) and request.strip(err) == err
        assert placement.judge("close", request.read(err), VM) == "thread placement not read back: " + why


def binding_words(cmd):
    return [word for word in cmd if word.lstrip("-") == "bind-to"]


@pytest.mark.parametrize("family", [OPENMPI4, OPENMPI5, HYDRA], ids=lambda f: f.family)
def test_each_family_binds_by_the_policy_with_one_binding_option_whatever_its_own_options(family):
    for policy in placement.POLICIES:
        setting, binding = family.binding(policy)
        for procs, slots in ((2, 2), (1, 2), (4, 2)):
            cmd, _ = family.command(["x"], procs, slots, as_root=True, setting=setting)
            assert len(binding_words(cmd)) == 1, cmd
            assert cmd[cmd.index(binding_words(cmd)[0]) + 1] == binding, cmd
            assert cmd[-1] == "x"
        if policy == "none":
            assert binding == "none" and "map-by" not in " ".join(cmd)
    # Spread maps by package, as each family calls it; close by core.
    by = {f: f.binding("spread")[0].options for f in (OPENMPI4, OPENMPI5, HYDRA)}
    assert by[OPENMPI4][:2] == ("--map-by", "socket") and by[OPENMPI5] == ("--map-by", "package")
    assert by[HYDRA][-2:] == ("-map-by", "socket") and HYDRA.binding("close")[0].options[-1] == "core"
    assert OPENMPI5.binding("close")[0].options == ("--map-by", "core")


def test_open_mpi_reports_its_bindings_on_standard_error_and_hydra_cannot():
    for family in (OPENMPI4, OPENMPI5):
        assert family.binding_report().options == ("--report-bindings",)
        request = placement.mpi_request("close", Launch(family, 2, "cores"))
        assert request.unread is None and request.binding == "core:overload-allowed"
        assert request.setting.options[-1] == "--report-bindings" and request.setting.bind
    request = placement.mpi_request("spread", Launch(HYDRA, 2, "cores"))
    assert request.setting.options == ("-bind-to", "core", "-map-by", "socket") and request.binding == "core"
    assert "on standard output, among the program's report" in request.unread
    assert placement.judge("spread", request.read(""), VM).startswith("process placement not read back: MPICH's Hydra")
    unknown = placement.mpi_request("close", Launch(UNKNOWN, 2, "cores"))
    assert unknown.setting is None and "no MPI family the runner knows" in unknown.unread
    template = placement.mpi_request("close", Launch(OPENMPI4, 2, "cores", template="srun -n {procs}"))
    assert template.setting is None and "template" in template.unread


# Reading back.

LIBGOMP_CLOSE = cpus({0}, {0}, {1}, {1})
LIBGOMP_FREE = cpus({0, 1}, {0, 1}, {0, 1}, {0, 1})


@pytest.mark.parametrize("name, found", [
    ("libgomp12-none", LIBGOMP_FREE), ("libgomp12-close", LIBGOMP_CLOSE), ("libgomp12-spread", LIBGOMP_CLOSE),
    ("libgomp14-none", LIBGOMP_FREE), ("libgomp14-close", LIBGOMP_CLOSE),
    # libomp's lines, though they came on standard output: its lists have commas, its threads come in any order.
    ("libomp14-none-stdout", LIBGOMP_FREE), ("libomp14-close-stdout", LIBGOMP_CLOSE),
    ("libomp19-spread-stdout", LIBGOMP_CLOSE),
    # A place larger than the machine is the whole machine; a wrong one falls back to one thread a place.
    ("libgomp12-one-place", LIBGOMP_FREE), ("libgomp12-bad-places", LIBGOMP_CLOSE)])
def test_the_affinity_lines_give_each_threads_cpus_and_the_team(name, found):
    read = placement.affinity(text(name))
    assert (read.members, read.team, read.cpus, set(read.hosts.values())) == ("thread", 4, found, {"vm"})


def test_the_largest_team_is_the_one_read_and_a_run_without_lines_has_none():
    # queuedrain's team of one after arraysum's four, in one text: thread 0 is arraysum's.
    both = placement.affinity(text("libomp14-none-stdout") + text("libomp14-queuedrain-stdout"))
    assert (both.team, both.cpus) == (4, LIBGOMP_FREE)
    assert placement.affinity(text("libomp14-queuedrain-stdout")).cpus == {0: {0}}
    # libgomp prints no line for a team of one thread (queuedrain's): nothing on standard error at all.
    assert placement.affinity("") == placement.Placement("thread")


def test_only_the_affinity_lines_and_the_binding_report_are_taken_out_of_standard_error():
    assert placement.strip(text("libgomp12-close")) == ""
    warning = "\nlibgomp: Invalid value for environment variable OMP_PLACES\n"
    assert placement.strip(text("libgomp12-bad-places")) == warning
    failed = text("ompi4-failed")
    kept = placement.strip(failed, OPENMPI4)
    assert kept == failed.split("\n", 2)[2] and kept.startswith("treesearch: cannot create binary_tree.txt")
    assert OPENMPI4.explain_failure(kept, "treesearch") == "treesearch: cannot create binary_tree.txt: Is a directory"
    # Another family's report, and no family, leave the lines as they are.
    assert placement.strip(failed, OPENMPI5) == failed == placement.strip(failed)
    assert placement.strip(text("ompi5-four"), OPENMPI5) == ""


@pytest.mark.parametrize("family, name, found", [
    (OPENMPI4, "ompi4-none", {0: ("vm", None), 1: ("vm", None)}),
    (OPENMPI4, "ompi4-close", {0: ("vm", {("pu", 0)}), 1: ("vm", {("pu", 1)})}),
    (OPENMPI4, "ompi4-spread", {0: ("vm", {("pu", 0)}), 1: ("vm", {("pu", 1)})}),
    (OPENMPI4, "ompi4-four-close", {r: ("vm", {("pu", r % 2)}) for r in range(4)}),
    (OPENMPI4, "ompi4-failed", {0: ("vm", {("pu", 0)}), 1: ("vm", {("pu", 1)})}),
    (OPENMPI5, "ompi5-none", {0: ("vm", None), 1: ("vm", None)}),
    (OPENMPI5, "ompi5-close", {0: ("vm", {("core", 0)}), 1: ("vm", {("core", 1)})}),
    (OPENMPI5, "ompi5-spread", {0: ("vm", {("core", 0)}), 1: ("vm", {("core", 1)})}),
    (OPENMPI5, "ompi5-four", {r: ("vm", {("core", r // 2)}) for r in range(4)}),
    # Each family reads its own report alone.
    (OPENMPI5, "ompi4-close", {}), (OPENMPI4, "ompi5-close", {}), (HYDRA, "ompi4-close", {}),
    (UNKNOWN, "ompi4-close", {})])
def test_each_family_reads_its_own_binding_report(family, name, found):
    assert family.read_bindings(text(name)) == found


def test_the_families_logical_numbers_become_the_kernels_cpus_on_this_hosts_topology():
    assert placement.processes(OPENMPI4, text("ompi4-close"), VM).cpus == cpus({0}, {1})
    assert placement.processes(OPENMPI5, text("ompi5-close"), VM).cpus == cpus({0}, {1})
    # Where each core has two threads numbered eight apart: Open MPI 4 names threads, 5 cores.
    assert placement.processes(OPENMPI4, text("ompi4-close"), BIG).cpus == cpus({0}, {8})
    assert placement.processes(OPENMPI5, text("ompi5-close"), BIG).cpus == cpus({0, 8}, {1, 9})
    # Without a topology of their host, the objects as the family named them.
    elsewhere = dataclasses.replace(VM, host="node7")
    for topology in (None, elsewhere):
        assert placement.processes(OPENMPI5, text("ompi5-close"), topology).cpus == {0: {"core 0"}, 1: {"core 1"}}
    unbound = placement.processes(OPENMPI4, text("ompi4-none"), VM)
    assert unbound.cpus == {0: None, 1: None} and unbound.hosts == {0: "vm", 1: "vm"}
    assert unbound.record() == {"members": "process", "team": None, "unread": None, "cpus": {"0": None, "1": None},
                                "hosts": ["vm"]}


# Judging.

def threads(name):
    return placement.affinity(text(name))


def ranks(family, name, topology):
    return placement.processes(family, text(name), topology)


@pytest.mark.parametrize("policy, found, topology", [
    ("none", threads("libgomp12-none"), VM), ("close", threads("libgomp12-close"), VM),
    ("spread", threads("libgomp12-spread"), VM), ("close", threads("libgomp14-close"), VM),
    ("none", ranks(OPENMPI4, "ompi4-none", VM), VM), ("close", ranks(OPENMPI4, "ompi4-close", VM), VM),
    ("spread", ranks(OPENMPI4, "ompi4-spread", VM), VM), ("spread", ranks(OPENMPI5, "ompi5-spread", VM), VM),
    # Four processes or threads on two cores: two a core is as even as it gets.
    ("close", ranks(OPENMPI4, "ompi4-four-close", VM), VM), ("close", ranks(OPENMPI5, "ompi5-four", VM), VM),
    # By core on two packages is close, not spread.
    ("close", ranks(OPENMPI4, "ompi4-close", TWO_BY_TWO), TWO_BY_TWO),
    # On one core, threads bound to it may run on every CPU.
    ("close", threads("libgomp12-none"), ONE_CORE),
    # Processes on another host are not held to this host's cores.
    ("close", ranks(OPENMPI4, "ompi4-four-close", dataclasses.replace(FOUR, host="node7")),
     dataclasses.replace(FOUR, host="node7")),
    # The runner itself bound to CPU 1 (taskset): its programs' threads inherit that, and are judged in it.
    ("none", threads("libgomp12-none-taskset1"), dataclasses.replace(VM, bound=frozenset({1}))),
    ("close", threads("libgomp12-close-taskset1"), dataclasses.replace(VM, bound=frozenset({1}))),
    # Without a topology only what is sure is said.
    ("close", threads("libgomp12-none"), None), ("close", ranks(OPENMPI4, "ompi4-close", None), None)])
def test_what_ran_as_asked_gets_no_note(policy, found, topology):
    assert placement.judge(policy, found, topology) is None


@pytest.mark.parametrize("policy, found, topology, note", [
    ("close", threads("libgomp12-none"), VM, "asked to bind close, yet threads 0-3 could run on every CPU"),
    ("spread", threads("libgomp12-one-place"), VM, "asked to bind spread, yet threads 0-3 could run on every CPU"),
    ("none", threads("libgomp12-close"), VM, "asked not to bind, yet threads 0-3 were bound (CPUs 0 / 1)"),
    ("none", threads("libgomp12-close"), None, "asked not to bind, yet threads 0-3 were bound (CPUs 0 / 1)"),
    ("none", threads("libgomp12-none-taskset1"), VM, "asked not to bind, yet threads 0-3 were bound (CPUs 1)"),
    ("close", threads("libgomp12-close"), FOUR,
     "threads 0-1 shared core 0 (CPUs 0), where 4 cores were there for 4 threads"),
    ("spread", threads("libgomp12-none"), FOUR, "threads 0-3 bound to more than one core (CPUs 0-1)"),
    ("close", ranks(OPENMPI4, "ompi4-none", VM), VM, "asked to bind close, yet processes 0-1 could run on every CPU"),
    ("spread", ranks(OPENMPI5, "ompi5-none", None), None,
     "asked to bind spread, yet processes 0-1 could run on every CPU"),
    ("none", ranks(OPENMPI4, "ompi4-close", VM), VM, "asked not to bind, yet processes 0-1 were bound (CPUs 0 / 1)"),
    ("none", ranks(OPENMPI5, "ompi5-close", None), None,
     "asked not to bind, yet processes 0-1 were bound (core 0 / core 1)"),
    ("spread", ranks(OPENMPI4, "ompi4-close", TWO_BY_TWO), TWO_BY_TWO,
     "asked to spread, yet the 2 processes ran in package 0 of 2"),
    ("spread", ranks(OPENMPI5, "ompi5-spread", BIG), BIG, "asked to spread, yet the 2 processes ran in package 0 of 2"),
    ("close", ranks(OPENMPI4, "ompi4-close", BIG), BIG,
     "processes 0-1 shared core 0 (CPUs 0,8), where 8 cores were there for 2 processes"),
    ("close", ranks(OPENMPI4, "ompi4-four-close", FOUR), FOUR,
     "processes 0,2 shared core 0 (CPUs 0), where 4 cores were there for 4 processes"),
    ("close", placement.affinity(""), VM, "no thread placement was reported: the runtime printed no affinity lines"),
    ("close", ranks(OPENMPI4, "libgomp12-close", VM), VM, "no process placement was reported")])
def test_what_ran_otherwise_than_asked_is_said_in_one_line(policy, found, topology, note):
    said = placement.judge(policy, found, topology)
    assert said.startswith(note) and "\n" not in said, said


def test_several_differences_share_the_line():
    said = placement.judge("spread", ranks(OPENMPI4, "ompi4-four-close", TWO_BY_TWO), TWO_BY_TWO)
    assert said == ("processes 0,2 shared core 0 (CPUs 0), where 4 cores were there for 4 processes; "
                    "asked to spread, yet the 4 processes ran in package 0 of 2")
