"""The machine and the software a suite runs on: what CMake recorded of the
build (build.py), the host and its allocation (machine.py), one class per MPI
family (mpi.py), hostfiles (hostfile.py), how an MPI program is started
(launch.py), and the provenance of a session (provenance.py). It may import
base alone."""
