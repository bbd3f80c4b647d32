#!/bin/bash
# Runs the suite runner inside an allocation: a treesearch sweep over 1, 2, 4, ...
# processes up to the allocation's task count, each count repeated. Build first
# on the login node (scripts/setup), then submit from a directory on shared
# storage; the sweep's CSV, JSON and plot land there:
#
#     cd /shared/scratch/ts && sbatch /path/to/parbench/cluster/suite.sbatch
#
# Output: suite-<job id>.out (the progress and the table), suite-<job id>.csv,
# suite-<job id>.png when matplotlib is installed, and the folder suite-<job id>/
# where the programs ran, with their raw reports. PARBENCH names the repository
# (default: the one this script belongs to), BUILD_DIR its build (default:
# build/ in it), REPEAT the runs of each count (default 3); TRACE=1 traces every
# run (load balance per process, see docs/tracing.md).
#SBATCH --job-name=parbench-suite
#SBATCH --ntasks=4
#SBATCH --time=00:30:00
#SBATCH --output=suite-%j.out
##SBATCH --partition=...
set -euo pipefail

# Slurm runs a copy of this script; the job record keeps where the original lies.
# Without the record, the script itself may still be the original.
script=""
if [ -z "${PARBENCH:-}" ] && [ -n "${SLURM_JOB_ID:-}" ]; then
    if record=$(scontrol show job "$SLURM_JOB_ID" 2>&1); then
        script=$(sed -n 's/^ *Command=\([^ ]*\).*/\1/p' <<<"$record")
    else
        record=${record:-exit status $?}
        echo "suite.sbatch: scontrol show job $SLURM_JOB_ID failed: ${record//$'\n'/ }" >&2
    fi
fi
repo=${PARBENCH:-$(cd "$(dirname "${script:-$0}")/.." && pwd)}
if [ ! -f "$repo/parbench/__main__.py" ]; then
    echo "suite.sbatch: no suite runner in $repo; set PARBENCH to the repository's path" >&2
    exit 1
fi
out=${SLURM_SUBMIT_DIR:-$PWD}
tasks=${SLURM_NTASKS:-1}

# 1, 2, 4, ... and the allocation's full count.
procs=1
n=2
while [ "$n" -lt "$tasks" ]; do procs="$procs,$n"; n=$((n * 2)); done
[ "$tasks" -gt 1 ] && procs="$procs,$tasks"

job=${SLURM_JOB_ID:-local}
PYTHONPATH=$repo exec "$("$repo/scripts/setup" --python)" -m parbench --only treesearch --procs "$procs" \
    --repeat "${REPEAT:-3}" ${TRACE:+--trace} --scratch "$out/suite-$job" --csv "$out/suite-$job.csv" --plot "$out/suite-$job.png"
