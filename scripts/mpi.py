"""What differs between MPI families, and nothing else: telling the family from
what its launcher says of itself, the launcher's command line in that family's
words, the hostfile form it reads, and how it explains a failure. The rest of
the runner asks here and names no launcher option."""

import os
import re
import subprocess

OPENMPI4, OPENMPI5, HYDRA, UNKNOWN = "Open MPI 4", "Open MPI 5", "MPICH Hydra", "unknown"


class Mpi:
    """An MPI launcher: its path, family, implementation and version."""

    def __init__(self, launcher, family, implementation=None, version=None):
        self.launcher, self.family = launcher, family
        self.implementation, self.version = implementation, version

    def is_open_mpi(self):
        return self.family in (OPENMPI4, OPENMPI5)


def identify(text, launcher="mpirun"):
    """The MPI a launcher's `--version` output (both streams) names."""
    m = re.search(r"\((?:Open MPI|OpenRTE)\) (\d+)\.(\d+)(?:\.\d+)?\S*", text)
    if m:
        version = m.group(0).split(") ", 1)[1]
        return Mpi(launcher, OPENMPI5 if int(m.group(1)) >= 5 else OPENMPI4, "Open MPI", version)
    m = re.search(r"HYDRA build details:\s+Version:\s+(\S+)", text)
    if m:
        return Mpi(launcher, HYDRA, "MPICH", m.group(1))
    return Mpi(launcher, UNKNOWN)


def build_launcher(build_dir):
    """The launcher of the MPI the programs were built with, as CMake found it."""
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
            m = re.search(r"^MPIEXEC_EXECUTABLE:\w+=(.+)$", f.read(), re.MULTILINE)
    except OSError:
        m = None
    return m.group(1).strip() if m and os.access(m.group(1).strip(), os.X_OK) else "mpirun"


def ask(launcher):
    """The MPI behind `launcher`. Open MPI 5 with PMIx 5 may print its version
    on standard error, so both streams are read."""
    try:
        out = subprocess.run([launcher, "--version"], capture_output=True, text=True, timeout=20,
                             stdin=subprocess.DEVNULL)
        return identify(out.stdout + out.stderr, launcher)
    except (OSError, subprocess.SubprocessError):
        return Mpi(launcher, UNKNOWN)


# Hostfiles: Open MPI reads "host slots=N", Hydra "host:N".

def hostfile_hosts(path):
    """(host, slots or None) for each host line, in either form."""
    hosts = []
    with open(path) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            host, _, count = words[0].partition(":")
            m = re.search(r"\bslots\s*=\s*(\d+)", " ".join(words[1:]))
            hosts.append((host, int(m.group(1)) if m else int(count) if count.isdigit() else None))
    return hosts


def _hostfile_form(mpi):
    return "colon" if mpi.family == HYDRA else "slots"


def _reads_as_is(path, form):
    with open(path) as f:
        lines = [line.split("#", 1)[0].strip() for line in f]
    colons = [":" in line.split()[0] for line in lines if line]
    return not any(colons) if form == "slots" else all(colons)


def hostfile_for(mpi, path, scratch, cores):
    """A hostfile `mpi` reads: `path` itself when it is already in that form,
    else a translation of it in `scratch`. A host without a count gets `cores`."""
    form = _hostfile_form(mpi)
    if _reads_as_is(path, form):
        return path
    lines = ["%s:%d" % (h, n or cores) if form == "colon" else "%s slots=%d" % (h, n or cores)
             for h, n in hostfile_hosts(path)]
    translated = os.path.join(scratch, "hostfile-" + form)
    with open(translated, "w") as f:
        f.write("\n".join(lines) + "\n")
    return translated


def command(mpi, exe, procs, slots, hostfile=None, as_root=False):
    """(argv, binding) for `procs` processes of `exe` where `slots` fit without
    oversubscribing. `binding` is what the processes are bound to, as far as
    the family's rules tell."""
    cmd = [mpi.launcher, "-n", str(procs)]
    over = procs > slots
    if mpi.family == HYDRA:
        # Hydra runs as root, oversubscribes and binds nothing unless told.
        if hostfile:
            cmd += ["-f", hostfile]
        return cmd + [exe], "none"
    if hostfile:
        cmd += ["--hostfile", hostfile]
    if not mpi.is_open_mpi():
        return cmd + [exe], None
    if as_root:
        cmd.append("--allow-run-as-root")
    if over:
        cmd.append("--oversubscribe")
    if mpi.family == OPENMPI5:
        # Open MPI 5 binds to cores and refuses more processes than a node has
        # cores even where its slots allow them; 4 bound to sockets above 2.
        cmd += ["--bind-to", "core:overload-allowed"]
        return cmd + [exe], "core:overload-allowed"
    return cmd + [exe], "none" if over else "core" if procs <= 2 else "socket"


def _is_rule(line):
    text = line.strip()
    return len(text) >= 8 and not re.search(r"[A-Za-z0-9]", text)


def explain_failure(err, program):
    """The line that says why a run failed: the program's own message, else the
    first paragraph of the MPI's last framed message, else the last line that
    is not a rule."""
    lines = err.splitlines()
    own = [line for line in lines if line.startswith(program + ": ")]
    if own:
        return own[-1].strip()
    rules = [i for i, line in enumerate(lines) if _is_rule(line)]
    if len(rules) >= 2:
        paragraph = []
        for line in lines[rules[-2] + 1:rules[-1]]:
            text = line.strip().strip("=").strip()
            if not text and paragraph:
                break
            if text:
                paragraph.append(text)
        if paragraph:
            return " ".join(paragraph)
    text = [line.strip() for line in lines if line.strip() and not _is_rule(line)]
    return text[-1] if text else "no message"
