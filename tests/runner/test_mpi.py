"""The MPI families, on what each launcher prints: detection, command lines,
hostfile forms, the settings the tests ask for, and failure messages."""

import pytest

from parbench.platform import mpi
from parbench.platform.build import Build
from parbench.platform.hostfile import Hostfile
from parbench.platform.launch import Launch

pytestmark = pytest.mark.unit

OPENMPI5 = "mpirun (Open MPI) 5.0.7\n\nReport bugs to https://www.open-mpi.org/community/help/\n"
OPENMPI4 = "mpiexec (OpenRTE) 4.1.4\n\nReport bugs to http://www.open-mpi.org/community/help/\n"
HYDRA = ("HYDRA build details:\n    Version:                                 4.2.1\n"
         "    Release Date:                            Fri Feb  9 12:00:00 CST 2024\n")
OLD_HYDRA = HYDRA.replace("4.2.1", "4.0.2")
BIND_REFUSAL = """--------------------------------------------------------------------------
A request was made to bind to that would result in binding more
processes than cpus on a resource:

   Bind to:     CORE
--------------------------------------------------------------------------
"""


def test_each_family_and_version_is_told_from_its_own_words():
    for text, family, version in ((OPENMPI5, mpi.OpenMpi5, "5.0.7"), (OPENMPI4, mpi.OpenMpi4, "4.1.4"),
                                  (HYDRA, mpi.Hydra, "4.2.1"), ("Version: 4.2.1\nsrun: unrecognized option\n",
                                                                mpi.Mpi, None)):
        found = mpi.identify(text, "L")
        assert (type(found), found.version, found.launcher) == (family, version, "L"), text
    assert mpi.identify("mpirun (Open MPI) 10.1.0a1").family == "Open MPI 5"


def test_command_lines_say_only_what_each_family_needs():
    ompi4, ompi5, hydra, other = (mpi.identify(t, "L") for t in (OPENMPI4, OPENMPI5, HYDRA, ""))
    assert ompi4.command(["x"], 4, 2, "h", True) == \
        (["L", "-n", "4", "--hostfile", "h", "--allow-run-as-root", "--oversubscribe", "x"], "none")
    assert ompi4.command(["x"], 2, 2) == (["L", "-n", "2", "x"], "core")
    assert ompi4.command(["x"], 4, 4)[1] == "socket"
    # Slots beyond the cores: Open MPI 5 must be allowed to bind more processes than cores.
    assert ompi5.command(["x"], 4, 4) == (["L", "-n", "4", "--bind-to", "core:overload-allowed", "x"],
                                          "core:overload-allowed")
    assert hydra.command(["x"], 8, 2, "h", True) == (["L", "-n", "8", "-f", "h", "x"], "none")
    assert other.command(["x"], 8, 2, None, True) == (["L", "-n", "8", "x"], None)
    # Site flags and a test's setting come after the family's own options; unbound means unbound.
    hosts = ompi5.remote_hosts("agent", ["a:2"])
    cmd, binding = ompi5.command(["x"], 2, 2, setting=hosts, preflags=["--site"])
    assert (cmd[:4], cmd[-1], binding) == (["L", "-n", "2", "--bind-to"], "x", "none")
    assert cmd.index("--site") < cmd.index("--prtemca") and cmd.count("--bind-to") == 1


def test_what_the_tests_ask_of_each_family():
    ompi4, ompi5, hydra, old_hydra, other = (mpi.identify(t) for t in (OPENMPI4, OPENMPI5, HYDRA, OLD_HYDRA, ""))
    assert ompi4.shared_memory_only().options == ("--mca", "btl", "self,vader")
    assert ompi5.shared_memory_only().options == ("--mca", "btl", "self,sm")
    assert isinstance(hydra.shared_memory_only(), mpi.Unavailable)
    assert hydra.tcp_only().env == {"MPIR_CVAR_NOLOCAL": "1", "UCX_TLS": "tcp,self"}
    assert "hangs in MPI_Finalize" in old_hydra.tcp_only().why
    assert isinstance(other.tcp_only(), mpi.Unavailable)
    assert ompi4.rank_environment({"A": "1"}).options == ("-x", "A=1")
    assert hydra.rank_environment({"A": "1"}).options == ("-genv", "A", "1")
    assert isinstance(other.rank_environment({"A": "1"}), mpi.Unavailable)
    # Open MPI's launcher warns of its own setpgid race; nothing else is taken out.
    err = "[h:1] plm:ssh: Warning: setpgid(5, 5) failed in parent\ntreesearch: cannot open\n"
    assert ompi5.without_noise(err) == "treesearch: cannot open\n"
    assert hydra.without_noise(err) == err
    assert ompi4.failed_to_start("--\nOPAL ERROR: Unreachable in file ext3x_client.c\n")


def test_either_hostfile_form_reaches_the_mpi_in_the_form_it_reads(tmp_path):
    def planned(text, found):
        path = tmp_path / "hosts"
        path.write_text(text)
        launch = Launch.plan(Build.read(str(tmp_path)), {}, hostfile=Hostfile.read(str(path)),
                             scratch=str(tmp_path / "scratch"), cores=8, found=found)
        return str(path), launch

    path, launch = planned("# nodes\nnode1 slots=2\nnode2  # no count\n", mpi.identify(OPENMPI5))
    assert (launch.hostfile, launch.translation, launch.slots) == (path, None, 10)
    path, launch = planned("# nodes\nnode1 slots=2\nnode2  # no count\n", mpi.identify(HYDRA))
    assert (launch.hostfile, launch.translation) == (str(tmp_path / "scratch" / "hostfile-colon"), "node1:2\nnode2:8\n")
    path, launch = planned("node1:3\nnode2:1\n", mpi.identify(HYDRA))
    assert launch.hostfile == path
    path, launch = planned("node1:3\nnode2:1\n", mpi.identify(OPENMPI4))
    assert launch.translation == "node1 slots=3\nnode2 slots=1\n"
    assert launch.command(["x"], 4)[0][:5] == ["mpirun", "-n", "4", "--hostfile", launch.hostfile]


def test_the_explanation_is_quoted_not_a_rule():
    family = mpi.identify(OPENMPI4)
    assert family.explain_failure(BIND_REFUSAL, "treesearch") == \
        "A request was made to bind to that would result in binding more processes than cpus on a resource:"
    assert family.explain_failure("[mpiexec@vm] main (mpiexec.c:54): error parsing parameters\n", "treesearch") == \
        "[mpiexec@vm] main (mpiexec.c:54): error parsing parameters"
    # The program's own message says more than the MPI's report of the abort.
    assert family.explain_failure("treesearch: cannot create binary_tree.txt: Is a directory\n" + BIND_REFUSAL,
                                  "treesearch") == "treesearch: cannot create binary_tree.txt: Is a directory"
