#!/bin/bash
# Runs treesearch once over the whole allocation. Submit from a directory on
# shared storage that every node sees at the same path (the tree file is written
# there by the first process and read by all):
#
#     cd /shared/scratch/ts && sbatch /path/to/parbench/cluster/treesearch.sbatch
#
# The report goes to treesearch-<job id>.out in that directory. Change the
# #SBATCH lines below for your site (nodes, tasks, time, partition, account),
# or override them on the command line: sbatch --nodes=4 --ntasks=32 ...
#SBATCH --job-name=treesearch
#SBATCH --nodes=2
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

# Open MPI refuses to start as root unless told that it is meant.
if [ "$(id -u)" -eq 0 ]; then
    export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
fi

echo "treesearch: job ${SLURM_JOB_ID:-?}, ${SLURM_NTASKS:-?} tasks on ${SLURM_JOB_NODELIST:-?}, in $PWD"
# mpirun reads the allocation (nodes and tasks) from Slurm. With Debian's Open
# MPI, `srun --mpi=pmix "$program"` works too; `--mpi=pmi2` and `--mpi=none`
# fail in MPI_Init.
exec mpirun "$program"
