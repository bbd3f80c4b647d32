"""The options the commands share, and the parser they all use: text turned
into values, errors as one line. run-suite's own options are in
suite_options.py, the results command's in results.py."""

import argparse
import datetime

from ..analysis.judging import ALPHA, TOLERANCE
from ..model import programs

# A path may hold a line break; an error stays one line.
_BREAKS = {c: repr(chr(c))[1:-1] for c in (0x0a, 0x0b, 0x0c, 0x0d, 0x1c, 0x1d, 0x1e, 0x85, 0x2028, 0x2029)}


class Parser(argparse.ArgumentParser):
    """Errors as one line, "<prog>: error: <message>", and status 2: no usage
    block for a person or a log to dig the reason out of."""

    def error(self, message):
        self.exit(2, "%s: error: %s\n" % (self.prog, str(message).translate(_BREAKS)))


def comma_list(text):
    items = [item.strip() for item in text.split(",")]
    if not text.strip():
        raise argparse.ArgumentTypeError("needs a comma list, such as a,b")
    if not all(items):
        raise argparse.ArgumentTypeError("an empty item in %r" % text)
    return items


def count(text):
    """A whole number of 1 or more."""
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("takes a whole number, such as 20")
    if n < 1:
        raise argparse.ArgumentTypeError("takes a count of 1 or more")
    return n


def count_list(text):
    """A comma list of process or thread counts."""
    try:
        counts = [int(n) for n in comma_list(text)]
    except ValueError:
        raise argparse.ArgumentTypeError("takes whole numbers, such as 1,2,4")
    if any(n < 1 for n in counts):
        raise argparse.ArgumentTypeError("takes counts of 1 or more")
    return counts


def path_name(text):
    if not text:
        raise argparse.ArgumentTypeError("an empty path")
    return text


def date(text):
    try:
        return datetime.date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError("takes a date such as 2026-12-01")


def add_results(parser):
    """--results, the store every command reads or writes."""
    parser.add_argument("--results", type=path_name, metavar="DIR",
                        help="the results store, where every session's document is kept (default: "
                        "$PARBENCH_RESULTS, else ${XDG_DATA_HOME:-~/.local/share}/parbench/results)")


def add_filters(parser):
    """--host, --since and --program: which stored sessions a command looks at."""
    parser.add_argument("--host", help="only the sessions of this host")
    parser.add_argument("--since", metavar="DATE", type=date, help="only sessions from DATE (YYYY-MM-DD) on")
    parser.add_argument("--program", metavar="NAME", choices=programs.NAMES, help="only sessions that ran NAME")


def add_judging(parser):
    """--tolerance and --alpha, for every command that compares."""
    parser.add_argument("--tolerance", type=float, default=TOLERANCE, metavar="F",
                        help="change, as a fraction of what a group is compared with (the baseline's median, "
                        "or the other hosts'), beyond which it counts as slower or faster (default %.2f)" % TOLERANCE)
    add_alpha(parser, "significance level of the comparison's test, for all its groups together")


def add_alpha(parser, what):
    parser.add_argument("--alpha", type=float, default=ALPHA, metavar="A", help="%s (default %.2f)" % (what, ALPHA))


def check_judging(args, error):
    if not 0 <= args.tolerance < 1:
        error("--tolerance is a fraction from 0 to below 1, such as %.2f" % TOLERANCE)
    check_alpha(args.alpha, error)


def check_alpha(alpha, error):
    if not 0 < alpha < 1:
        error("--alpha is a level from 0 to 1, such as %.2f" % ALPHA)
