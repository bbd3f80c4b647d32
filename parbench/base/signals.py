"""SIGINT, SIGTERM and SIGHUP, turned into one exception in the main thread.

Slurm sends SIGTERM at a job's time limit (then SIGKILL), `timeout` sends
SIGTERM, a closed terminal SIGHUP: each must stop the running program and
leave the completed runs stored, as Ctrl-C does. The first signal raises
Interrupted where the runner is; from then on, or once `hold` is called (the
runs are over and what remains is storing them), a signal is only noted, so
that nothing interrupts the storing.
"""

import contextlib
import signal

CAUGHT = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Interrupted(BaseException):
    """A signal arrived; BaseException, so that no `except Exception` swallows it."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class Catcher:
    def __init__(self):
        self.signum = None
        self.raising = True

    def _handle(self, signum, frame):
        self.interrupt(signum)

    def interrupt(self, signum):
        """As if `signum` had arrived: a reader of standard output that went
        away stops a command as SIGPIPE would."""
        first = self.signum is None
        if first:
            self.signum = signum
        if first and self.raising:
            raise Interrupted(signum)

    def hold(self):
        """From here on a signal is only noted."""
        self.raising = False

    @property
    def name(self):
        return signal.Signals(self.signum).name if self.signum else None


@contextlib.contextmanager
def caught():
    """Within, the signals go to a Catcher, which it yields."""
    catcher = Catcher()
    previous = {s: signal.signal(s, catcher._handle) for s in CAUGHT}
    try:
        yield catcher
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)
