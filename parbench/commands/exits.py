"""Every exit status of the runner's commands, in one table: the commands
return these, and every help text that names a status is made from here."""

import signal

from ..base import signals

OK, FAILED, UNUSABLE, SLOWER, NOT_TOLD = 0, 1, 2, 3, 4
# A command ended by a signal exits with 128 + its number, as a shell reports it.
SIGNALLED = 128
SIGNALS = signals.CAUGHT
# A reader of standard output that went away (`| head`) ends a command as SIGPIPE would.
READER_GONE = SIGNALLED + signal.SIGPIPE

RUN_SUITE = (
    (FAILED, "when any run failed, reported an invalid solution or was stopped (naming which), or an "
             "environment of --env could not be made ready"),
    (SLOWER, "when a group got slower than its --baseline"),
    (NOT_TOLD, "when the baseline shared no group with valid runs, or no test could reach alpha with the runs "
               "there were"),
)
COMPARE = (
    (FAILED, "when the new session has failed or invalid runs"),
    (SLOWER, "when a group got slower"),
    (NOT_TOLD, "when no group could be compared, or no test could reach alpha with the runs there were"),
)
NODES = (
    (FAILED, "when a host --expect names has no session or no valid runs of a group"),
    (SLOWER, "when a host is slower than the others"),
    (NOT_TOLD, "when no group ran on three hosts, or no test could reach alpha"),
)
CHANGES = (
    (SLOWER, "when the newest change of any series is to slower"),
    (NOT_TOLD, "when no series was long enough to look at, or none could reach alpha"),
)


def signalled(signum):
    return SIGNALLED + signum


def of_comparison(problems, comparison):
    """The status that a session's failed or invalid runs (`problems`) and its
    comparison with a baseline (or None) earn: the first that applies."""
    if problems:
        return FAILED
    if comparison and comparison.regressed:
        return SLOWER
    if comparison and comparison.nothing_compared():
        return NOT_TOLD
    return OK


def of_hosts(hosts):
    """The status of a HostComparison."""
    if hosts.missing:
        return FAILED
    if hosts.slow():
        return SLOWER
    if hosts.nothing_compared():
        return NOT_TOLD
    return OK


def signal_words():
    """"128 + the signal's number (130 after SIGINT, 143 after SIGTERM, 129 after SIGHUP)"."""
    return "128 + the signal's number (%s)" % ", ".join(
        "%d after %s" % (signalled(s), signal.Signals(s).name) for s in SIGNALS)


def sentence(rows):
    """"1 when ...; else 3 when ...; else 4 when ..., else 0"."""
    return "; else ".join("%d %s" % row for row in rows) + "; else %d" % OK


def run_suite_epilog():
    return "Exit status: %s; %d for options it cannot use or a closed standard output, before any run; %s when " \
           "interrupted, %d when standard output's reader went away (the runs done are kept)." % (
               sentence(RUN_SUITE), UNUSABLE, signal_words(), READER_GONE)


def results_epilog():
    return "Exit status of compare: %s. Of nodes: %s. Of changes: %s. %d for a session, file or option that " \
           "cannot be found or used, or a closed standard output; %s when interrupted, %d when standard " \
           "output's reader went away." % (sentence(COMPARE), sentence(NODES), sentence(CHANGES), UNUSABLE,
                                           signal_words(), READER_GONE)
