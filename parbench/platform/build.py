"""What CMake recorded of a build: where its programs are, the MPI launcher it
was configured with and its site flags, the compiler and the OpenMP version."""

import glob
import os
import re
import subprocess
from dataclasses import dataclass, field

from ..base import text

# The _OPENMP date of each OpenMP version.
OPENMP_VERSIONS = {"200505": "2.5", "200805": "3.0", "201107": "3.1", "201307": "4.0", "201511": "4.5",
                   "201811": "5.0", "202011": "5.1", "202111": "5.2", "202411": "6.0"}


@dataclass(frozen=True)
class Build:
    dir: str
    cache: dict = field(default_factory=dict)   # CMakeCache.txt: name -> value
    compiler: dict = field(default_factory=dict)

    @classmethod
    def read(cls, build_dir):
        cache = {}
        for line in text.read(os.path.join(build_dir, "CMakeCache.txt")).splitlines():
            m = re.match(r"^([A-Za-z_][\w.+-]*):\w+=(.*)$", line)
            if m:
                cache[m.group(1)] = m.group(2)
        compiler = ""
        for path in sorted(glob.glob(os.path.join(build_dir, "CMakeFiles", "*", "CMakeCXXCompiler.cmake"))):
            compiler = text.read(path)
        return cls(os.path.abspath(build_dir), cache, {
            "id": text.search(r'CMAKE_CXX_COMPILER_ID "([^"]*)"', compiler),
            "version": text.search(r'CMAKE_CXX_COMPILER_VERSION "([^"]*)"', compiler),
            "path": cache.get("CMAKE_CXX_COMPILER")})

    def program(self, program):
        """The path of `program`'s binary in this build."""
        return os.path.join(self.dir, program.binary)

    @property
    def launcher(self):
        """The launcher of the MPI the programs were built with, as CMake found it."""
        path = self.cache.get("MPIEXEC_EXECUTABLE", "").strip()
        return path if path and os.access(path, os.X_OK) else "mpirun"

    @property
    def preflags(self):
        """The site's launcher flags (MPIEXEC_PREFLAGS, a CMake list)."""
        return [flag for flag in self.cache.get("MPIEXEC_PREFLAGS", "").split(";") if flag]

    def info(self, program=None):
        """Compiler, build type and OpenMP version, for the provenance; with
        `program` (an OpenMP one), the runtime its binary loads too."""
        openmp_date = self.cache.get("OpenMP_CXX_SPEC_DATE") or None
        openmp = {"_OPENMP": openmp_date, "version": OPENMP_VERSIONS.get(openmp_date),
                  "runtime_libraries": self.cache.get("OpenMP_CXX_LIB_NAMES") or None}
        if program is not None:
            openmp["runtime"], openmp["runtime_version"] = openmp_runtime(self.program(program))
        return {"compiler": dict(self.compiler),
                "build_type": self.cache.get("CMAKE_BUILD_TYPE") or None, "openmp": openmp}


# The OpenMP runtimes by the names their libraries start with.
RUNTIMES = {"libgomp": "libgomp", "libomp": "libomp", "libiomp5": "libiomp5"}


def openmp_runtime(binary):
    """(runtime, version) of the OpenMP runtime `binary` loads, as the dynamic
    linker finds it: ("libgomp", "12.2.0-14+deb12u1"); the version is its
    Debian package's, else what its file's name gives; None where unknown."""
    try:
        out = subprocess.run(["ldd", binary], capture_output=True, text=True, timeout=30).stdout
    except (OSError, subprocess.SubprocessError):
        return None, None
    for line in out.splitlines():
        m = re.match(r"\s*((lib(?:gomp|omp|iomp5))\.so[.\d]*)\s+=>\s+(\S+)", line)
        if m:
            return RUNTIMES[m.group(2)], _package_version(m.group(3)) or _file_version(m.group(3))
    return None, None


def _package_version(path):
    for candidate in dict.fromkeys((path, os.path.realpath(path), "/usr" + path if path.startswith("/lib") else path)):
        try:
            owner = subprocess.run(["dpkg-query", "-S", candidate], capture_output=True, text=True, timeout=30)
            if owner.returncode != 0:
                continue
            package = owner.stdout.split(":", 2)
            package = package[0] + (":" + package[1] if len(package) == 3 else "")
            version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package.strip()], capture_output=True,
                                     text=True, timeout=30).stdout.strip()
        except (OSError, subprocess.SubprocessError):
            return None
        # The epoch ("1:") orders Debian's versions; it is no part of the runtime's.
        return re.sub(r"^\d+:", "", version) or None
    return None


def _file_version(path):
    m = re.search(r"\.so\.(\d+(?:\.\d+)*)$", os.path.realpath(path))
    return m.group(1) if m else None
