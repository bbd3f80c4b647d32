"""The tree search under its MPI launcher: report structure, the partition of
the file among processes, and the failure paths; and what it and the MPI
tracing library are linked with."""

import os
import re
import subprocess

import pytest

from parbench.model import programs
from parbench.run import tracing as trace

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


# Only MPI's C interface: the C++ bindings are gone from newer MPIs, so a
# program that needs them would not run there.

def needed(path):
    """The libraries that `path`'s dynamic section names."""
    out = subprocess.run(["readelf", "-d", "-W", path], capture_output=True, text=True, check=True, timeout=60).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", out)


def binding_symbols(path):
    """The symbols of the standard's C++ bindings (namespace MPI) that `path` uses or defines."""
    out = subprocess.run(["nm", "-D", "-C", path], capture_output=True, text=True, check=True, timeout=60).stdout
    return [line for line in out.splitlines() if "MPI::" in line]


def named(libraries, names):
    """Those of `libraries` (file names) that are one of the library `names` (as in -lNAME)."""
    return [lib for lib in libraries if any(re.fullmatch(r"lib%s\.so(\.[\d.]+)?" % re.escape(n), lib) for n in names)]


def lib_names(build, lang):
    return [n for n in build.cache.get("MPI_%s_LIB_NAMES" % lang, "").split(";") if n]


@pytest.mark.parametrize("built", ["treesearch", "tracing library"])
def test_no_symbol_of_the_cxx_bindings(build, program, built):
    path = program("treesearch") if built == "treesearch" else trace.library(build, programs.get("treesearch"))
    symbols = binding_symbols(path)
    assert symbols == [], "%s uses %d symbols of the C++ bindings: %s" % (path, len(symbols), symbols[:3])


def test_treesearch_needs_the_mpi_c_library_and_no_cxx_bindings_library(build, program):
    c_libraries = lib_names(build, "C")
    if not c_libraries:
        pytest.skip("the build's cache names no MPI C library (an MPI that the compiler brings itself)")
    # What the C++ wrapper links beyond the C one is its bindings' library.
    bindings = [n for n in lib_names(build, "CXX") if n not in c_libraries]
    libraries = needed(program("treesearch"))
    assert named(libraries, c_libraries), libraries
    assert named(libraries, bindings) == [], libraries


def test_the_mpi_tracing_library_needs_no_mpi_library_of_its_own(build):
    libraries = needed(trace.library(build, programs.get("treesearch")))
    assert named(libraries, lib_names(build, "C") + lib_names(build, "CXX")) == [], libraries
