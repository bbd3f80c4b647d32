"""The scratch folder's session folders: each session runs in a folder of its
own, removed at its end. One whose runner was killed outright (SIGKILL, a
lost node) stays behind with its 33 MB tree file; the next runner sweeps it."""

import datetime
import json
import os
import shutil
import socket

from ..model.document import valid_id

OWNER = ".owner"
# A folder whose owner cannot be asked (another host, no owner file) is left
# alone this long: its session may still be running.
STALE_S = 24 * 3600


def _started(pid):
    """The start time of process `pid` in clock ticks since boot, or None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return None if fields[0] == "Z" else fields[19]


def claim(rundir):
    """Marks `rundir` as this process's."""
    with open(os.path.join(rundir, OWNER), "w") as f:
        json.dump({"host": socket.gethostname(), "pid": os.getpid(), "started": _started(os.getpid())}, f)


def _age_s(name, now):
    try:
        when = datetime.datetime.strptime(name[:19], "%Y%m%dT%H%M%S.%f").replace(tzinfo=datetime.timezone.utc)
    except ValueError:
        return 0.0
    return (now - when).total_seconds()


def dead(path, name, now):
    """Whether the session of folder `path` is over: its runner gone from this
    host, or the session older than STALE_S."""
    if _age_s(name, now) > STALE_S:
        return True
    try:
        with open(os.path.join(path, OWNER)) as f:
            owner = json.load(f)
        host, pid, started = owner["host"], int(owner["pid"]), owner["started"]
    except (OSError, ValueError, KeyError, TypeError):
        return False    # being made just now, or not ours to judge
    return host == socket.gethostname() and _started(pid) != started


def sweep(workdir, now=None):
    """Removes the session folders in `workdir` whose session is dead; returns their names."""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    try:
        names = [e.name for e in os.scandir(workdir) if valid_id(e.name) and e.is_dir(follow_symlinks=False)]
    except OSError:
        return []
    swept = []
    for name in names:
        path = os.path.join(workdir, name)
        if dead(path, name, now):
            shutil.rmtree(path, ignore_errors=True)
            swept.append(name)
    return swept
