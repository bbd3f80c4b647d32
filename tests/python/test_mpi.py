"""The runner's knowledge of MPI families, on what each launcher prints."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

import mpi  # noqa: E402

OPENMPI5 = "mpirun (Open MPI) 5.0.7\n\nReport bugs to https://www.open-mpi.org/community/help/\n"
OPENMPI4 = "mpiexec (OpenRTE) 4.1.4\n\nReport bugs to http://www.open-mpi.org/community/help/\n"
HYDRA = ("HYDRA build details:\n    Version:                                 4.2.1\n"
         "    Release Date:                            Fri Feb  9 12:00:00 CST 2024\n")
BIND_REFUSAL = """--------------------------------------------------------------------------
A request was made to bind to that would result in binding more
processes than cpus on a resource:

   Bind to:     CORE
--------------------------------------------------------------------------
"""


class Families(unittest.TestCase):
    def test_each_family_and_version_is_told_from_its_own_words(self):
        for text, family, version in ((OPENMPI5, mpi.OPENMPI5, "5.0.7"), (OPENMPI4, mpi.OPENMPI4, "4.1.4"),
                                      (HYDRA, mpi.HYDRA, "4.2.1"), ("srun: unrecognized option\n", mpi.UNKNOWN, None)):
            found = mpi.identify(text)
            self.assertEqual((found.family, found.version), (family, version), text)

    def test_command_lines_say_only_what_each_family_needs(self):
        ompi4, ompi5, hydra, other = (mpi.identify(t, "L") for t in (OPENMPI4, OPENMPI5, HYDRA, ""))
        self.assertEqual(mpi.command(ompi4, "x", 4, 2, "h", True),
                         (["L", "-n", "4", "--hostfile", "h", "--allow-run-as-root", "--oversubscribe", "x"], "none"))
        self.assertEqual(mpi.command(ompi4, "x", 2, 2), (["L", "-n", "2", "x"], "core"))
        self.assertEqual(mpi.command(ompi4, "x", 4, 4)[1], "socket")
        # Slots beyond the cores: Open MPI 5 must be allowed to bind more processes than cores.
        self.assertEqual(mpi.command(ompi5, "x", 4, 4),
                         (["L", "-n", "4", "--bind-to", "core:overload-allowed", "x"], "core:overload-allowed"))
        self.assertEqual(mpi.command(hydra, "x", 8, 2, "h", True), (["L", "-n", "8", "-f", "h", "x"], "none"))
        self.assertEqual(mpi.command(other, "x", 8, 2, None, True), (["L", "-n", "8", "x"], None))


class Hostfiles(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def write(self, text):
        path = os.path.join(self.dir, "hosts")
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_either_form_reaches_the_mpi_in_the_form_it_reads(self):
        slots = self.write("# nodes\nnode1 slots=2\nnode2  # no count\n")
        self.assertEqual(mpi.hostfile_for(mpi.identify(OPENMPI5), slots, self.dir, 8), slots)
        with open(mpi.hostfile_for(mpi.identify(HYDRA), slots, self.dir, 8)) as f:
            self.assertEqual(f.read(), "node1:2\nnode2:8\n")
        colons = self.write("node1:3\nnode2:1\n")
        self.assertEqual(mpi.hostfile_for(mpi.identify(HYDRA), colons, self.dir, 8), colons)
        with open(mpi.hostfile_for(mpi.identify(OPENMPI4), colons, self.dir, 8)) as f:
            self.assertEqual(f.read(), "node1 slots=3\nnode2 slots=1\n")


class Failures(unittest.TestCase):
    def test_the_explanation_is_quoted_not_a_rule(self):
        self.assertEqual(mpi.explain_failure(BIND_REFUSAL, "treesearch"),
                         "A request was made to bind to that would result in binding more "
                         "processes than cpus on a resource:")
        self.assertEqual(mpi.explain_failure("[mpiexec@vm] main (mpiexec.c:54): error parsing parameters\n",
                                             "treesearch"), "[mpiexec@vm] main (mpiexec.c:54): error parsing parameters")
        # The program's own message says more than the MPI's report of the abort.
        self.assertEqual(mpi.explain_failure("treesearch: cannot create binary_tree.txt: Is a directory\n"
                                             + BIND_REFUSAL, "treesearch"),
                         "treesearch: cannot create binary_tree.txt: Is a directory")


if __name__ == "__main__":
    unittest.main()
