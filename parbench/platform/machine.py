"""What the runner reads of the machine it runs on and the allocation it runs in."""

import dataclasses
import os
import platform
import shutil
import socket
import subprocess
import xml.etree.ElementTree as ElementTree
from typing import Optional

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


# hwloc's own reader of the machine, and the Debian package that brings it.
TOPOLOGY_COMMAND = "lstopo-no-graphics"
TOPOLOGY_PACKAGES = ("hwloc",)


def cpu_list(cpus):
    """CPU numbers as the kernel lists them: "0-3,8"."""
    numbers, parts = sorted(cpus), []
    for n in numbers:
        if parts and n == parts[-1][1] + 1:
            parts[-1][1] = n
        else:
            parts.append([n, n])
    return ",".join(str(a) if a == b else "%d-%d" % (a, b) for a, b in parts)


@dataclasses.dataclass(frozen=True)
class Topology:
    """The machine as hwloc sees it: the CPUs of its control group, by the
    kernel's numbers, each level in hwloc's logical order (the order MPI
    launchers number packages, cores and hardware threads in)."""
    source: str
    host: Optional[str]
    packages: tuple     # each package's CPUs, frozensets
    numa_nodes: int
    cores: tuple        # each core's CPUs; empty where hwloc tells no cores apart
    cpus: tuple         # every hardware thread
    # Where fewer, the CPUs the reader itself was bound to (taskset, a Slurm
    # step), which the threads of the programs it starts inherit.
    bound: Optional[frozenset] = None

    @property
    def hardware_threads(self):
        return len(self.cpus)

    @property
    def usable(self):
        """The CPUs a program started here may run on."""
        return self.bound or frozenset(self.cpus)

    def core_of(self, cpu):
        """The logical index of the core that holds `cpu`, or None."""
        for i, core in enumerate(self.cores):
            if cpu in core:
                return i
        return None

    def package_of(self, cpu):
        for i, package in enumerate(self.packages):
            if cpu in package:
                return i
        return None

    def describe(self):
        """Its part of the provenance."""
        return {"source": self.source, "packages": len(self.packages), "numa_nodes": self.numa_nodes,
                "cores": len(self.cores), "hardware_threads": self.hardware_threads,
                "package_cpus": [cpu_list(p) for p in self.packages],
                "core_cpus": [cpu_list(c) for c in self.cores],
                "bound_to": cpu_list(self.bound) if self.bound else None}


def parse_topology(xml_text):
    """The Topology of hwloc's XML (`lstopo --of xml`), or None where it is not that."""
    try:
        root = ElementTree.fromstring(xml_text)
    except ElementTree.ParseError:
        return None
    info = {i.get("name"): i.get("value") for i in root.iter("info")}

    def pus(node):
        return frozenset(int(o.get("os_index")) for o in node.iter("object") if o.get("type") == "PU")

    # Document order is hwloc's logical order, level by level.
    objects = list(root.iter("object"))
    cpus = tuple(int(o.get("os_index")) for o in objects if o.get("type") == "PU")
    if not cpus:
        return None
    return Topology(source=" ".join(filter(None, ("hwloc", info.get("hwlocVersion")))),
                    host=info.get("HostName"),
                    # hwloc 1 called packages sockets.
                    packages=tuple(pus(o) for o in objects if o.get("type") in ("Package", "Socket")),
                    numa_nodes=sum(1 for o in objects if o.get("type") == "NUMANode"),
                    cores=tuple(pus(o) for o in objects if o.get("type") == "Core"),
                    cpus=cpus)


def read_topology():
    """(Topology, None) of this machine, or (None, why) where hwloc is not
    installed or fails."""
    command = shutil.which(TOPOLOGY_COMMAND)
    if command is None:
        return None, "hwloc is not installed (sudo apt-get install %s)" % " ".join(TOPOLOGY_PACKAGES)
    try:
        out = subprocess.run([command, "--no-io", "--of", "xml"], capture_output=True, text=True, timeout=60,
                             stdin=subprocess.DEVNULL)
    except (OSError, subprocess.SubprocessError) as e:
        return None, "%s failed: %s" % (TOPOLOGY_COMMAND, e)
    found = parse_topology(out.stdout) if out.returncode == 0 else None
    if found is None:
        last = (out.stderr.strip().splitlines() or ["exit status %d" % out.returncode])[-1]
        return None, "%s gave no topology: %s" % (TOPOLOGY_COMMAND, text.shown(last))
    bound = frozenset(os.sched_getaffinity(0)) & frozenset(found.cpus)
    return (dataclasses.replace(found, bound=bound) if bound != frozenset(found.cpus) else found), None


def topology():
    """This machine's Topology from hwloc, or None where hwloc is missing or fails."""
    return read_topology()[0]


def describe_topology(reading=None):
    """The provenance's topology: what hwloc found (`reading`, as read_topology
    returns it, else read now), or why nothing was found."""
    found, why = reading or read_topology()
    return found.describe() if found else {"source": None, "why": why}
