#!/bin/bash
# Runs treesearch once over the whole allocation. Submit from a directory on
# shared storage that every node sees at the same path (the tree file is written
# there by the first process and read by all):
#
#     cd /shared/scratch/ts && sbatch /path/to/parbench/cluster/treesearch.sbatch
#
# The report goes to treesearch-<job id>.out in that directory. As it stands it
# asks for 4 tasks wherever Slurm finds them, one node included. To spread them
# over nodes, add `#SBATCH --nodes=2` (or --ntasks-per-node=2) below, or say so
# on the command line: sbatch --nodes=4 --ntasks=32 ... Change the other
# #SBATCH lines for your site (time, partition, account) the same way.
#SBATCH --job-name=treesearch
#SBATCH --ntasks=4
#SBATCH --time=00:10:00
#SBATCH --output=treesearch-%j.out
##SBATCH --partition=...     (remove one '#' to choose a partition)
##SBATCH --account=...
set -euo pipefail

# The program: $TREESEARCH when set (a path valid on every node), else
# `treesearch` on PATH, as `cmake --install` leaves it.
program=${TREESEARCH:-$(command -v treesearch || true)}
if [ -z "$program" ] || [ ! -x "$program" ]; then
    echo "treesearch.sbatch: no treesearch program: set TREESEARCH to its path, or install it on PATH" >&2
    exit 1
fi

# The working directory every process must share: the submit directory unless
# WORKDIR names another one on shared storage.
cd "${WORKDIR:-${SLURM_SUBMIT_DIR:-$PWD}}"

# Open MPI refuses to start as root unless told that it is meant (MPICH needs nothing).
if [ "$(id -u)" -eq 0 ]; then
    export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
fi

echo "treesearch: job ${SLURM_JOB_ID:-?}, ${SLURM_NTASKS:-?} tasks on ${SLURM_JOB_NODELIST:-?}, in $PWD"
# mpirun reads the allocation (nodes and tasks) from Slurm, with Open MPI and
# with MPICH (whose Hydra starts its proxies with srun inside a job). srun works
# too, with the PMI plugin the MPI speaks: Debian's Open MPI `srun --mpi=pmix`,
# Debian's MPICH `srun --mpi=pmi2`.
# Open MPI 5 binds each process to a core and refuses more processes than a
# node has cores even where Slurm gave it the tasks; 4 and MPICH need nothing.
options=()
case $(mpirun --version 2>&1) in
    *"(Open MPI) "[5-9]* | *"(Open MPI) "[1-9][0-9]*) options=(--bind-to core:overload-allowed) ;;
esac
exec mpirun "${options[@]}" "$program"
