"""Starting a program and seeing it end: a session of its own, a time limit,
and, however it ends, no process it started left running.

The runner and the tests start every program here. A launcher's daemons on
other hosts sit in process groups of their own but stay in its session, so a
session, not a process group, is what is stopped.
"""

import os
import signal
import subprocess
import time
from dataclasses import dataclass
from typing import Optional


@dataclass
class Outcome:
    status: Optional[int]   # None: it could not be started (the reason is in `err`)
    out: str
    err: str
    seconds: float
    timed_out: bool = False
    leftovers: int = 0      # processes it started that outlived it, killed since


def session_members(sid):
    """Live processes of session `sid`; zombies are already gone in all but name."""
    pids = []
    try:
        names = os.listdir("/proc")
    except OSError:
        return pids
    for name in names:
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                # The command name may hold blanks and parentheses: fields follow the last ')'.
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if fields[0] != "Z" and int(fields[3]) == sid:
            pids.append(int(name))
    return pids


def kill_session(sid):
    for pid in session_members(sid):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def _settle(sid, grace):
    """Waits up to `grace` seconds for the session to empty; kills what is left
    and returns how many that was."""
    deadline = time.monotonic() + grace
    left = session_members(sid)
    while left and time.monotonic() < deadline:
        time.sleep(0.05)
        left = session_members(sid)
    kill_session(sid)
    return len(left)


def stop(proc, grace=5.0):
    """Stops a run and everything it started: its process group is asked
    first (the launcher among it, so that it can stop its daemons on other
    hosts), given `grace` seconds, and then whatever is left of its session
    is killed."""
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        pass
    kill_session(proc.pid)
    if proc.poll() is None:  # no /proc: its process group is what can be found
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    proc.wait()


def run(cmd, cwd, timeout, env=None, settle=3.0):
    """Runs `cmd` in `cwd` in a session of its own, at most `timeout` seconds;
    `env` replaces the environment. Daemons get `settle` seconds to follow their
    launcher out. Ctrl-C stops the run with everything it started before the
    interruption (KeyboardInterrupt, or the runner's own for SIGTERM and
    SIGHUP) goes on."""
    started = time.monotonic()
    try:
        proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, text=True, errors="replace", start_new_session=True)
    except OSError as e:
        return Outcome(None, "", str(e), 0.0)
    timed_out = False
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        timed_out = True
        stop(proc)
        out, err = proc.communicate()
    except BaseException:
        # Interrupted: the run goes, with everything it started, before the interruption goes on.
        stop(proc)
        raise
    # Whatever it left running would share the machine with the next run.
    leftovers = _settle(proc.pid, settle)
    return Outcome(proc.returncode, out, err, time.monotonic() - started, timed_out, leftovers)
