"""What produced a suite run's numbers, so that two documents can be compared:
the machine, the build, the MPI, the variables that steer the runtimes, the
commit and the command line."""

import datetime
import shlex
import subprocess

from . import machine, mpi

# The variables that steer the OpenMP runtime and the MPI families.
ENVIRONMENT_PREFIXES = ("OMP_",) + mpi.variable_prefixes()


def _git(root, *args):
    try:
        out = subprocess.run(["git", "-C", root, *args], capture_output=True, text=True, timeout=20)
        return out.stdout.strip() if out.returncode == 0 else None
    except (OSError, subprocess.SubprocessError):
        return None


def provenance(plan, launcher):
    """`launcher`: what started the MPI program, or None when none ran."""
    found = plan.launch.mpi
    status = _git(plan.root, "status", "--porcelain")
    info = {"date": datetime.datetime.now().astimezone().isoformat(timespec="seconds")}
    info.update(machine.describe())
    info.update({
        "mpi": {"implementation": found.implementation, "family": found.family,
                "version": found.version, "launcher": launcher},
        "environment": {k: v for k, v in sorted(plan.environ.items()) if k.startswith(ENVIRONMENT_PREFIXES)},
        "git": {"commit": _git(plan.root, "rev-parse", "HEAD"),
                "uncommitted_changes": bool(status) if status is not None else None},
        "command": " ".join(shlex.quote(a) for a in plan.argv),
    })
    info.update(plan.build.info())
    info["topology"] = machine.describe_topology(plan.topology)
    return info


def environments(plan, launched):
    """{name: what built and ran it} of each environment of `plan` (none for
    a session of one build); `launched` whether an MPI program ran."""
    found = {}
    openmp = next((p for p in plan.programs if not p.mpi), None)
    for target in plan.environments():
        mpi_found = target.launch.mpi
        info = target.build.info(openmp)
        environment = target.environment
        found[target.name] = {
            "compiler": info["compiler"], "openmp": info["openmp"], "build_type": info["build_type"],
            "mpi": {"implementation": mpi_found.implementation, "family": mpi_found.family,
                    "version": mpi_found.version,
                    "launcher": (target.launch.template or mpi_found.launcher) if launched else None},
            "build": target.build.dir, "modules": list(environment.modules),
            "variables": dict(environment.variables), "defined": environment.defined}
    return found
