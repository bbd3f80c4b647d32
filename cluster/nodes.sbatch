#!/bin/bash
# Runs the chosen programs on every node of the allocation, one session per
# node kept in one shared results store, then `results nodes` over those
# sessions: which node is slower than its peers. Submit from a directory on
# shared storage, for as many nodes as you want compared (three or more):
#
#     cd /shared/scratch/nodes && sbatch --nodes=16 /path/to/parbench/cluster/nodes.sbatch
#
# Output: nodes-<job id>.out (each node's table, then the hosts side by side,
# the slow ones named last), and nodes-<job id>/ with each node's raw reports
# and document (<node>.json) and, unless RESULTS names another, the store
# (results/).
#
# ONLY: the programs (default treesearch,arraysum; treesearch runs as one
# process on its node); REPEAT: the runs of each (default 5: fewer cannot tell
# a slow node from chance); MODE: "one" (one node at a time, the default: no
# node's runs disturb another's, shared storage included) or "all" (every node
# at once: faster, and what a real workload meets). PARBENCH names the
# repository (default: the one this script belongs to), BUILD_DIR its build.
# The job's exit status: 1 when a node's runs failed or it stored no session
# (each such node is named), else that of `results nodes`: 3 when a node is
# slower, 4 when no test could tell.
#SBATCH --job-name=parbench-nodes
#SBATCH --nodes=3
#SBATCH --ntasks-per-node=1
#SBATCH --exclusive
#SBATCH --time=01:00:00
#SBATCH --output=nodes-%j.out
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
        echo "nodes.sbatch: scontrol show job $SLURM_JOB_ID failed: ${record//$'\n'/ }" >&2
    fi
fi
repo=${PARBENCH:-$(cd "$(dirname "${script:-$0}")/.." && pwd)}
if [ ! -f "$repo/parbench/__main__.py" ]; then
    echo "nodes.sbatch: no suite runner in $repo; set PARBENCH to the repository's path" >&2
    exit 1
fi
case ${MODE:=one} in
    one | all) ;;
    *) echo "nodes.sbatch: MODE is one (a node at a time) or all (every node at once), not '$MODE'" >&2; exit 2 ;;
esac
out=${SLURM_SUBMIT_DIR:-$PWD}
job=${SLURM_JOB_ID:-local}
work=$out/nodes-$job
store=${RESULTS:-$work/results}
python=$("$repo/scripts/setup" --python)
mkdir -p "$work"
nodelist=${SLURM_JOB_NODELIST:?nodes.sbatch: run it with sbatch}
if ! hosts=$(scontrol show hostnames "$nodelist" 2>&1) || [ -z "$hosts" ]; then
    hosts=${hosts:-no host names}
    echo "nodes.sbatch: scontrol show hostnames $nodelist failed: ${hosts//$'\n'/ }" >&2
    exit 1
fi
mapfile -t nodes <<<"$hosts"

# One node's session. The runner starts there as on a machine of its own: with
# the job's variables it would take the whole allocation for treesearch's one
# process, and an MPI's launcher could place it on another node.
on_node() {
    local node=$1
    srun --nodes=1 --ntasks=1 --nodelist="$node" --job-name="parbench-$node" \
        env -i PATH="$PATH" HOME="${HOME:-/}" LANG="${LANG:-C.UTF-8}" ${BUILD_DIR:+BUILD_DIR="$BUILD_DIR"} \
        PYTHONPATH="$repo" "$python" -m parbench --only "${ONLY:-treesearch,arraysum}" --procs 1 \
        --repeat "${REPEAT:-5}" --scratch "$work/$node" --results "$store" --json "$work/$node.json" \
        >"$work/$node.out" 2>&1
}

echo "nodes: job $job, ${#nodes[@]} nodes (${nodes[*]}), ${MODE} at a time; store $store"
failed=0
if [ "$MODE" = one ]; then
    for node in "${nodes[@]}"; do on_node "$node" || failed=1; done
else
    pids=()
    for node in "${nodes[@]}"; do on_node "$node" & pids+=($!); done
    for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
fi

# Each node's document, as its runner wrote it: what the sweep compares.
sessions=()
for node in "${nodes[@]}"; do
    echo
    echo "== $node"
    cat "$work/$node.out"
    if [ -f "$work/$node.json" ]; then sessions+=("$work/$node.json"); fi
done
[ "$failed" -eq 0 ] || echo "nodes: runs failed on some node; its lines above say which" >&2

echo
echo "== the nodes side by side"
if [ ${#sessions[@]} -eq 0 ]; then
    # Never the store's default choice: it could find an older sweep's sessions.
    echo "nodes: no node stored a session: ${nodes[*]}" >&2
    exit 1
fi
set +e
PYTHONPATH=$repo "$python" -m parbench.history nodes --results "$store" \
    --expect "$(IFS=,; echo "${nodes[*]}")" "${sessions[@]}"
status=$?
set -e
# A node whose runs failed fails the sweep, whatever the others showed.
if [ "$failed" -ne 0 ] && { [ "$status" -eq 0 ] || [ "$status" -ge 3 ]; }; then
    status=1
fi
exit "$status"
