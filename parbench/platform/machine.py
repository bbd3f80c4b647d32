"""What the runner reads of the machine it runs on and the allocation it runs in."""

import os
import platform
import socket
import subprocess

from ..base import text


def physical_cores():
    """Cores, not hardware threads: what mpirun gives a slot by default."""
    try:
        out = subprocess.run(["lscpu", "-p=CORE,SOCKET"], capture_output=True, text=True, check=True).stdout
        cores = {line for line in out.splitlines() if line and not line.startswith("#")}
        if cores:
            return len(cores)
    except (OSError, subprocess.CalledProcessError):
        pass
    return os.cpu_count() or 1


def hardware_threads():
    """The hardware threads this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def slurm_tasks(environ):
    """The task count of the Slurm allocation this runs in, or None outside one."""
    if not environ.get("SLURM_JOB_ID"):
        return None
    for name in ("SLURM_NTASKS", "SLURM_NPROCS"):
        if environ.get(name, "").isdigit():
            return int(environ[name])
    return None


def openmp_default_team(environ):
    """The team an OpenMP program gets when it sets none: the first
    OMP_NUM_THREADS value, else one thread per hardware thread."""
    first = environ.get("OMP_NUM_THREADS", "").split(",")[0].strip()
    return int(first) if first.isdigit() and int(first) > 0 else hardware_threads()


def describe():
    """The machine's part of the provenance."""
    os_release = text.read("/etc/os-release")
    memtotal = text.search(r"^MemTotal:\s+(\d+) kB", text.read("/proc/meminfo"))
    return {
        "host": socket.gethostname(),
        "os": text.search(r'^PRETTY_NAME="?([^"\n]*)', os_release) or platform.system(),
        "kernel": platform.release(),
        "machine": platform.machine(),
        "cpu_model": text.search(r"^model name\s*:(.*)$", text.read("/proc/cpuinfo")) or platform.processor() or None,
        "physical_cores": physical_cores(),
        "hardware_threads": os.cpu_count(),
        "memory_bytes": int(memtotal) * 1024 if memtotal else None,
    }
