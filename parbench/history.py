"""results: the stored sessions, listed, shown, compared and imported.

    python3 -m parbench.history list|show|compare|import ... (scripts/results)
"""

import argparse
import datetime
import os
import sys

from . import compare, plots, programs, report, scaling, summary
from .store import Store, StoreError, default_base, default_folder, read_document, session_of

FAILED, SLOWER = 1, 3


def parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--results", metavar="DIR",
                        help="the results store (default: $PARBENCH_RESULTS, else "
                        "${XDG_DATA_HOME:-~/.local/share}/parbench/results)")
    p = argparse.ArgumentParser(prog="results", description="The results store: every suite session, kept.",
                                epilog="Exit status of compare: 1 when the new session has failed or invalid runs, "
                                "else 3 when a group got slower, else 0.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    listing = sub.add_parser("list", parents=[common], help="one line per stored session, newest last")
    listing.add_argument("--host", help="only the sessions of this host")
    listing.add_argument("--since", metavar="DATE", type=_date, help="only sessions from DATE (YYYY-MM-DD) on")
    listing.add_argument("--program", metavar="NAME", choices=programs.NAMES, help="only sessions that ran NAME")
    show = sub.add_parser("show", parents=[common], help="a session's summary table, as run-suite printed it")
    show.add_argument("session", metavar="ID", help="a session id, the start of one, 'latest', or a JSON file")
    comparing = sub.add_parser("compare", parents=[common], help="compare two sessions group by group")
    comparing.add_argument("base", metavar="BASE", nargs="?",
                           help="the baseline (default: the newest earlier session of NEW's host that shares a "
                           "group with it)")
    comparing.add_argument("new", metavar="NEW", nargs="?", default="latest", help="default: the newest session")
    compare.add_options(comparing)
    reporting = sub.add_parser("report", parents=[common],
                               help="one self-contained HTML page of a session, with the host's history")
    reporting.add_argument("--session", metavar="ID", default="latest", help="the session (default: the newest)")
    reporting.add_argument("--out", metavar="FILE", default="report.html",
                           help="where the page goes (default: report.html here)")
    reporting.add_argument("--baseline", metavar="ID",
                           help="the session to compare with (default: the one compare would pick)")
    compare.add_options(reporting)
    importing = sub.add_parser("import", parents=[common], help="add documents written by run-suite --json")
    importing.add_argument("files", metavar="FILE", nargs="+")
    return p


def _date(text):
    try:
        return datetime.date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError("takes a date such as 2026-12-01")


def _groups_text(groups):
    counts = {}
    for program, procs, threads in groups:
        counts.setdefault(program, []).append(str(procs or threads))
    return " ".join("%s(%s)" % (name, ",".join(c)) for name, c in counts.items())


def _day(entry):
    try:
        return datetime.datetime.fromisoformat(entry.date).date()
    except ValueError:
        return None


def list_sessions(store, args):
    entries = store.entries()
    if args.host:
        entries = [e for e in entries if e.host == args.host]
    if args.since:
        entries = [e for e in entries if _day(e) and _day(e) >= args.since]
    if args.program:
        entries = [e for e in entries if args.program in e.programs()]
    rows = [("session", "date", "host", "mpi", "commit", "groups", "failed")]
    rows += [(e.session, e.date[:16].replace("T", " "), e.host, e.mpi or "-", e.commit or "-",
              _groups_text(e.groups), str(e.failed)) for e in entries]
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for r in rows:
        print("  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip())
    if not entries:
        print("(no sessions in %s)" % store.folder)
    return 0


def show(store, args):
    name, doc = store.resolve(args.session)
    prov = doc.get("provenance") or {}
    print("session %s: %s on %s, %s" % (name, prov.get("date", "undated"), prov.get("host", "?"),
                                          prov.get("command", "")))
    print()
    print(summary.format_table(doc["summary"]))
    for line in summary.notes(doc["summary"]):
        print(line)
    for section in scaling.of_document(doc):
        print(scaling.line(section))
    return 0


def compare_sessions(store, args):
    entries = store.entries()
    new_name, new_doc = store.resolve(args.new, entries)
    if args.base:
        base_name, base_doc = store.resolve(args.base, entries)
    else:
        entry = default_base(entries, new_doc)
        base_name, base_doc = entry.session, store.load(entry)
    print("compare: %s against %s" % (new_name, base_name))
    comparison = compare.compare(base_doc, new_doc, args.tolerance, args.alpha)
    for line in compare.lines(comparison, base_name, (base_doc.get("provenance") or {}).get("date"),
                              args.tolerance, args.alpha, scaling.changes(base_doc, new_doc)):
        print(line)
    print()
    print(summary.format_table(new_doc["summary"], comparison.changes))
    failed = sum(1 for r in new_doc.get("runs", []) if r.get("problem"))
    if failed:
        print("results: %s has %d failed or invalid run%s" % (new_name, failed, "" if failed == 1 else "s"),
              file=sys.stderr)
        return FAILED
    return SLOWER if comparison.regressed else 0


def import_documents(store, args):
    added = unreadable = 0
    for path in args.files:
        try:
            doc = read_document(path)
        except StoreError as e:
            print("results: not imported: %s" % e, file=sys.stderr)
            unreadable += 1
            continue
        if store.contains(doc):
            print("%s: already there as %s" % (path, session_of(doc)))
            continue
        store.save(doc)
        print("%s: added as %s" % (path, session_of(doc)))
        added += 1
    print("imported %d of %d into %s" % (added, len(args.files), store.folder))
    return FAILED if unreadable else 0


def write_report(store, args):
    why = plots.missing()
    if why:
        print("results: no report: %s" % why, file=sys.stderr)
        return FAILED
    _, doc = store.resolve(args.session)
    print(os.path.abspath(report.write(args.out, doc, store, args.tolerance, args.alpha, args.baseline)))
    return 0


COMMANDS = {"list": list_sessions, "show": show, "compare": compare_sessions, "report": write_report,
            "import": import_documents}


def main(argv, environ=None):
    environ = os.environ if environ is None else environ
    p = parser()
    args = p.parse_args(argv)
    if args.command in ("compare", "report"):
        compare.check_options(args, p.error)
    store = Store(args.results or default_folder(environ))
    try:
        return COMMANDS[args.command](store, args)
    except StoreError as e:
        print("results: %s" % e, file=sys.stderr)
        return 2
    except OSError as e:
        print("results: %s" % e, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
