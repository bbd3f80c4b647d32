"""Starting the benchmark programs: which launcher, how many processes a run
may have without oversubscribing, a time limit that stops a run with every
process it started, and the check that an MPI run really had the processes it
asked for. The launcher's own words come from mpi.py."""

import os
import re
import shlex
import signal
import subprocess
import time

import mpi

PATHS = {
    "treesearch": "treesearch/treesearch",
    "arraysum": "arraysum/arraysum",
    "splitwork": "loadbalance/splitwork",
    "queuedrain": "loadbalance/queuedrain",
    "dynamicwork": "loadbalance/dynamicwork",
}


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


def hostfile_slots(path, cores):
    """The slots a hostfile lists. A host without a count gets its cores from
    the MPI, which only it can see; `cores` (this host's) stands in."""
    return sum(n or cores for _, n in mpi.hostfile_hosts(path))


def slurm_tasks(environ):
    """The task count of the Slurm allocation this runs in, or None outside one."""
    if not environ.get("SLURM_JOB_ID"):
        return None
    for name in ("SLURM_NTASKS", "SLURM_NPROCS"):
        if environ.get(name, "").isdigit():
            return int(environ[name])
    return None


class Launcher:
    """How treesearch is started: a user's template (`{procs}` for the count),
    or the MPI's launcher on this host, on a hostfile's hosts or on a Slurm
    allocation."""

    def __init__(self, template=None, hostfile=None, environ=None, cores=None, mpi_found=None, scratch=None):
        environ = os.environ if environ is None else environ
        self.template, self.hostfile = template, hostfile
        self.mpi = mpi_found or mpi.Mpi("mpirun", mpi.UNKNOWN)
        cores = cores or physical_cores()
        if hostfile and not template:
            self.hostfile = mpi.hostfile_for(self.mpi, hostfile, scratch or os.path.dirname(hostfile), cores)
        if hostfile:
            self.slots, self.where = hostfile_slots(hostfile, cores), "the hostfile's slots"
        elif slurm_tasks(environ):
            self.slots, self.where = slurm_tasks(environ), "the Slurm allocation's tasks"
        else:
            self.slots, self.where = cores, "this host's cores"

    def command(self, exe, procs):
        """(argv, binding); the binding is None where it is not known."""
        if self.template:
            return shlex.split(self.template.replace("{procs}", str(procs))) + [exe], None
        return mpi.command(self.mpi, exe, procs, self.slots, self.hostfile, os.geteuid() == 0)


def process_count_problem(out, procs):
    """Why an MPI run's report does not show `procs` processes working as one,
    or None. A launcher that does not match the MPI library starts `procs`
    separate copies, each one process of one: several reports, each "Threads: 1"."""
    stated = re.findall(r"^Threads: (\d+)$", out, re.MULTILINE)
    if not stated:
        return None  # a report cut short is named by what it lacks
    if len(stated) > 1:
        return "printed %d reports (%s): the launcher started separate single-process copies, " \
               "not one run of %d processes" % (len(stated), ", ".join("Threads: " + s for s in stated), procs)
    if int(stated[0]) != procs:
        return "ran with %s processes, not the %d asked for" % (stated[0], procs)
    return None


class Outcome:
    def __init__(self, status, out, err, seconds, timed_out):
        self.status, self.out, self.err = status, out, err
        self.seconds, self.timed_out = seconds, timed_out


def _session_members(sid):
    pids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if fields[0] != "Z" and int(fields[3]) == sid:
            pids.append(int(name))
    return pids


def _kill_session(sid):
    for pid in _session_members(sid) if os.path.isdir("/proc") else []:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def stop(proc, grace=5.0):
    """Stops a run and everything it started: the launcher is asked first, so that
    it can stop its daemons on other hosts; what is left of its session is killed."""
    try:
        proc.send_signal(signal.SIGTERM)
        proc.wait(grace)
    except (subprocess.TimeoutExpired, ProcessLookupError):
        pass
    _kill_session(proc.pid)
    if proc.poll() is None:  # no /proc: its process group is what can be found
        os.killpg(proc.pid, signal.SIGKILL)
    proc.wait()


def run(cmd, cwd, timeout, env=None):
    """Runs `cmd` in a session of its own, at most `timeout` seconds. Ctrl-C stops
    it with everything it started before the KeyboardInterrupt goes on."""
    started = time.monotonic()
    try:
        proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, text=True, start_new_session=True)
    except OSError as e:
        return Outcome(None, "", str(e), 0.0, False)
    timed_out = False
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        timed_out = True
        stop(proc)
        out, err = proc.communicate()
    except KeyboardInterrupt:
        stop(proc)
        raise
    # Whatever it left running would share the machine with the next run.
    _kill_session(proc.pid)
    return Outcome(proc.returncode, out, err, time.monotonic() - started, timed_out)
