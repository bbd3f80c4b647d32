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

# Slurm runs a copy of this script; the job record keeps where the original lies.
# Without the record, the script itself may still be the original.
script=""
if [ -z "${PARBENCH:-}" ] && [ -n "${SLURM_JOB_ID:-}" ]; then
    if record=$(scontrol show job "$SLURM_JOB_ID" 2>&1); then
        script=$(sed -n 's/^ *Command=\([^ ]*\).*/\1/p' <<<"$record")
    else
        record=${record:-exit status $?}
        echo "treesearch.sbatch: scontrol show job $SLURM_JOB_ID failed: ${record//$'\n'/ }" >&2
    fi
fi
repo=${PARBENCH:-$(cd "$(dirname "${script:-$0}")/.." && pwd)}
build=${BUILD_DIR:-$(cd "$(dirname "$program")/.." && pwd)}

# The working directory every process must share: the submit directory unless
# WORKDIR names another one on shared storage.
cd "${WORKDIR:-${SLURM_SUBMIT_DIR:-$PWD}}"

echo "treesearch: job ${SLURM_JOB_ID:-?}, ${SLURM_NTASKS:-?} tasks on ${SLURM_JOB_NODELIST:-?}, in $PWD"
# The launch line comes from the suite runner (PARBENCH names its repository,
# default: the one this script belongs to): the launcher of the MPI the
# program was built with, with the options its family needs for this
# allocation's tasks. mpirun reads the nodes and tasks from Slurm, with Open
# MPI and with MPICH (whose launcher starts its proxies with srun inside a job).
# srun works too, with the PMI plugin the MPI speaks: Debian's Open MPI
# `srun --mpi=pmix`, Debian's MPICH `srun --mpi=pmi2`. Without the runner, the
# mpirun on PATH starts the program as it is.
if [ -f "$repo/parbench/launch.py" ] && python=$("$repo/scripts/setup" --python) &&
    launch=$(PYTHONPATH=$repo "$python" -m parbench.launch --build "$build" command "$program"); then
    mapfile -t words <<<"$launch"
    exec "${words[@]}"
fi
echo "treesearch.sbatch: no suite runner in $repo (set PARBENCH to it); starting the program with mpirun as it is" >&2
exec mpirun "$program"
