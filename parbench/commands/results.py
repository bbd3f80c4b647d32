"""results: the stored sessions, listed, shown, compared, reported, set side
by side host by host, looked through for changes, exported and imported.

    python3 -m parbench.history list|show|compare|report|nodes|changes|export|import ... (scripts/results)
"""

import argparse
import os
import signal
import sys

from . import exits, options
from ..analysis import changes, comparison, nodes, scaling, summary
from ..base import files, signals
from ..base.text import aligned, plural, shown
from ..model import document, programs
from ..model.store import Store, StoreError, default_folder
from ..report import export, page

UNUSABLE = exits.UNUSABLE
# A store of a year's sweeps holds hundreds of thousands: a listing shows the newest.
NEWEST = 20


def parser():
    common = argparse.ArgumentParser(add_help=False)
    options.add_results(common)
    p = options.Parser(prog="results", description="The results store: every suite session, kept.",
                       epilog=exits.results_epilog())
    # The sessions list, changes and export take, chosen the one way (chosen()).
    filters = argparse.ArgumentParser(add_help=False)
    options.add_filters(filters)
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    listing = sub.add_parser("list", parents=[common, filters],
                             help="one line per stored session, newest last: the newest %d, or --all" % NEWEST)
    listing.add_argument("--newest", type=options.count, default=NEWEST, metavar="N",
                         help="how many of the newest to list (default %d)" % NEWEST)
    listing.add_argument("--all", action="store_true", help="every session")
    show = sub.add_parser("show", parents=[common], help="a session's summary table, as run-suite printed it")
    show.add_argument("session", metavar="ID", help="a session id, the start of one, 'latest', or a JSON file")
    comparing = sub.add_parser("compare", parents=[common], help="compare two sessions group by group")
    comparing.add_argument("base", metavar="BASE", nargs="?",
                           help="the baseline (default: the newest earlier session of NEW's host that shares a "
                           "group with it)")
    comparing.add_argument("new", metavar="NEW", nargs="?", default="latest", help="default: the newest session")
    comparing.add_argument("--envs", metavar="A,B", type=options.comma_list,
                           help="compare environment B with environment A within one session (the one named, "
                           "default: the newest) instead of two sessions")
    options.add_judging(comparing)
    reporting = sub.add_parser("report", parents=[common],
                               help="one self-contained HTML page of a session, with the host's history")
    reporting.add_argument("--session", metavar="ID", default="latest", help="the session (default: the newest)")
    reporting.add_argument("--out", metavar="FILE", default="report.html",
                           help="where the page goes (default: report.html here)")
    reporting.add_argument("--baseline", metavar="ID",
                           help="the session to compare with (default: the one compare would pick)")
    reporting.add_argument("--nodes", metavar="ID", nargs="*",
                           help="add the hosts side by side, of the sessions IDs (default: as nodes chooses them)")
    reporting.add_argument("--since", metavar="DATE", type=options.date,
                           help="with --nodes, the newest session of each host from DATE (YYYY-MM-DD) on")
    add_expect(reporting)
    options.add_judging(reporting)
    comparing_hosts = sub.add_parser("nodes", parents=[common],
                                     help="the same groups across hosts: which host is slower than the others")
    # dest "nodes" as report's --nodes: one selection for both.
    comparing_hosts.add_argument("nodes", metavar="ID", nargs="*",
                                 help="one session per host (default: the newest session of each host from the "
                                 "last day)")
    comparing_hosts.add_argument("--since", metavar="DATE", type=options.date,
                                 help="the newest session of each host from DATE (YYYY-MM-DD) on")
    add_expect(comparing_hosts)
    options.add_judging(comparing_hosts)
    changing = sub.add_parser("changes", parents=[common, filters],
                              help="the steps in each group's history on each host, and whether they stand "
                              "(--program: that program's groups alone)")
    options.add_alpha(changing, "significance level over all the series looked at")
    exporting = sub.add_parser("export", parents=[common, filters],
                               help="every run of the sessions as CSV or JSON lines, one row per run")
    exporting.add_argument("--format", choices=export.FORMATS, default="csv", help="csv (the default) or jsonl")
    exporting.add_argument("--output", metavar="FILE", help="where the rows go (default: standard output)")
    importing = sub.add_parser("import", parents=[common], help="add documents written by run-suite --json")
    importing.add_argument("files", metavar="FILE", nargs="+")
    return p


def add_expect(parser):
    parser.add_argument("--expect", metavar="HOSTS", type=options.comma_list,
                        help="comma list of the hosts that must each have a session with valid runs of every group "
                        "(a sweep's nodes; a short name matches its host's full name): any without is named, exit %d"
                        % exits.FAILED)


def _groups_text(groups):
    """"arraysum(4) queuedrain(1)"; a group of an environment or a placement
    adds them: "queuedrain(1 gcc,1 clang)"."""
    counts = {}
    for program, procs, threads, environment, bind in groups:
        counts.setdefault(program, []).append(" ".join(shown(v) for v in (str(procs or threads), environment, bind)
                                                       if v))
    return " ".join("%s(%s)" % (name, ",".join(c)) for name, c in counts.items())


def chosen(args):
    """What --host, --since and --program choose, for Store.entries."""
    return {"host": args.host, "since": args.since, "program": args.program}


def list_sessions(store, args):
    entries = store.entries(newest=None if args.all else args.newest + 1, **chosen(args))
    more = not args.all and len(entries) > args.newest
    entries = entries[1:] if more else entries
    rows = [("session", "date", "host", "mpi", "commit", "groups", "failed", "interrupted")]
    rows += [(e.session, shown(e.date[:16].replace("T", " ")), shown(e.host), shown(e.mpi) or "-",
              shown(e.commit) or "-", _groups_text(e.groups), str(e.failed), shown(e.interrupted))
             for e in entries]
    for line in aligned(rows):
        print(line)
    if not entries:
        print("(no sessions in %s)" % shown(store.folder))
    elif more:
        print("(the newest %d; --all lists every one, --newest N that many)" % args.newest)
    return 0


def show(store, args):
    name, session = store.resolve(args.session)
    prov = session.provenance
    print("session %s: %s on %s, %s" % (shown(name), shown(prov.date or "undated"), shown(prov.host or "?"),
                                          shown(prov.command or "")))
    if session.interrupted:
        print("session %s was %s" % (shown(name), session.cut_short()))
    print()
    print(summary.format_table(session.summary))
    for line in summary.notes(session.summary):
        print(line)
    # A sweep's texts come from the document too.
    for section in scaling.of_document(session):
        print(shown(scaling.line(section)))
    return 0


def compare_sessions(store, args):
    if args.envs:
        return compare_environments(store, args)
    new_name, new = store.resolve(args.new)
    base_name, base = store.baseline_for(new, args.base)
    print("compare: %s against %s" % (shown(new_name), shown(base_name)))
    if new.interrupted:
        print("compare: %s was %s" % (shown(new_name), new.cut_short()))
    found = comparison.compare(shown(base_name), base, new, args.tolerance, args.alpha)
    # Its lines quote the documents: dates, hosts, CPU models, compilers.
    for line in found.lines():
        print(shown(line))
    print()
    print(summary.format_table(new.summary, found.against()))
    status = exits.of_comparison(new.problems(), found)
    if new.problems():
        print("results: %s has %s" % (shown(new_name), plural(new.problems(), "failed or invalid run")),
              file=sys.stderr)
    elif status == exits.NOT_TOLD:
        print("results: %s" % shown(found.nothing_compared()), file=sys.stderr)
    return status


def _importable(path):
    """The Session of the file `path`, in the current format, scaling made;
    StoreError says why the store cannot use it."""
    try:
        session = document.load(path)
    except document.DocumentError as e:
        raise StoreError(str(e))
    if session.scaling is None:
        session = document.Session(dict(session.raw, scaling=[s.to_json() for s in scaling.of_document(session)]))
    problems = document.schema_problems(session.raw)
    if problems:
        raise StoreError("%s does not hold a session: %s" % (path, problems[0]))
    return session


def import_documents(store, args):
    added = refused = 0
    for path in args.files:
        try:
            session = _importable(path)
        except StoreError as e:
            print("results: not imported: %s" % shown(e), file=sys.stderr)
            refused += 1
            continue
        if store.contains(session):
            print("%s: already there as %s" % (shown(path), session.id))
            continue
        try:
            store.save(session)
        except OSError as e:   # the others are tried too, and the count still said
            print("results: not imported: %s: cannot write %s: %s" % (shown(path), shown(store.folder),
                                                                     shown(e.strerror or e)), file=sys.stderr)
            refused += 1
            continue
        print("%s: added as %s" % (shown(path), session.id))
        added += 1
    print("imported %d of %d into %s" % (added, len(args.files), shown(store.folder)))
    return UNUSABLE if refused else 0


def find_changes(store, args):
    why = changes.unavailable()
    if why:
        print("results: no changes: %s" % why, file=sys.stderr)
        return UNUSABLE
    every = changes.series_of(store.entries(**chosen(args)), args.program)
    found = changes.find(every, args.alpha)
    if not found.looked_at:
        print("changes: nothing to look at: no group has %d or more sessions on one host%s" % (
            2 * changes.MIN_SESSIONS, " among the %d series chosen" % len(every) if every else ""))
        # Nothing looked at is no all-clear.
        return exits.NOT_TOLD
    for c in found.changes:
        label = programs.get(c.series.group.program).time_label
        print("%s: %s on %s, from %s (%s): %s %.3f s before, %.3f s after (%+.1f %%); p = %.3g (%s)" % (
            "slower" if c.slower else "faster", c.series.group.describe(), shown(c.series.host), c.session,
            shown(c.date[:16].replace("T", " ")), label, c.before, c.after, c.change_pct, c.p, c.test))
    print("changes: %d in %d of %d series looked at (host and group, %d sessions or more%s); alpha %g over them "
          "all%s" % (len(found.changes), len({c.series for c in found.changes}), len(found.looked_at),
                     2 * changes.MIN_SESSIONS, ", %d shorter ones not" % found.too_short if found.too_short else "",
                     args.alpha, "; %d too short for any cut to reach it" % found.unreachable
                     if 0 < found.unreachable < len(found.looked_at) else ""))
    if found.blind():
        # Series too short for their level are no all-clear either.
        print("changes: could not tell: %s" % found.blind())
        print("results: could not tell: %s" % found.blind(), file=sys.stderr)
        return exits.NOT_TOLD
    slower = found.slower_last()
    if slower:
        print("results: %d series ended slower than they were: %s" % (
            len(slower), "; ".join("%s on %s" % (s.group.describe(), shown(s.host)) for s in slower)),
            file=sys.stderr)
        return exits.SLOWER
    return 0


def write_report(store, args):
    why = page.unavailable()
    if why:
        print("results: no report: %s" % why, file=sys.stderr)
        return UNUSABLE
    _, session = store.resolve(args.session)
    hosts = None
    if args.nodes is not None:
        hosts = nodes.compare_hosts(nodes.choose(store, args.nodes, args.since), args.tolerance, args.alpha,
                                    args.expect or ())
    print(shown(os.path.abspath(page.write(args.out, session, store, args.tolerance, args.alpha,
                                             args.baseline, hosts=hosts))))
    return 0


def compare_nodes(store, args):
    hosts = nodes.compare_hosts(nodes.choose(store, args.nodes, args.since), args.tolerance, args.alpha,
                                args.expect or ())
    for line in hosts.lines():
        print(line)
    if hosts.missing:
        print("results: %s" % hosts.missing_line(), file=sys.stderr)
    elif hosts.nothing_compared():
        print("results: %s" % hosts.nothing_compared(), file=sys.stderr)
    return exits.of_hosts(hosts)


def export_runs(store, args):
    """Streams the runs, a document at a time: memory stays flat whatever the rows."""
    paths = store.paths(**chosen(args))
    if args.output:
        with files.streamed(args.output) as out:
            written = export.write_files(out, paths, args.format, args.program)
        print("export: %s of %s to %s" % (plural(written, "run"), plural(len(paths), "session"),
                                          shown(args.output)),
              file=sys.stderr)
    else:
        export.write_files(sys.stdout, paths, args.format, args.program)
    return 0


def compare_environments(store, args):
    name, session = store.resolve(args.base or args.new)
    ran = list(session.environments)
    missing = [e for e in args.envs if e not in ran]
    if missing:
        raise StoreError("%s ran in no environment %s (%s)" % (
            shown(name), shown(missing[0]), "it ran in " + ", ".join(shown(e) for e in ran) if ran else
            "it ran in its one build; run-suite --env runs in several"))
    first, second = args.envs
    print("compare: %s against %s in %s" % (shown(second), shown(first), shown(name)))
    found = comparison.side_by_side(session, args.tolerance, args.alpha, ("environment", first, second))
    for line in found.lines():
        print(shown(line))
    print()
    print(summary.format_table([r for r in session.summary if r.group.environment in (first, second)]))
    status = exits.of_comparison(0, found)
    if status == exits.NOT_TOLD:
        print("results: %s" % shown(found.nothing_compared()), file=sys.stderr)
    return status


COMMANDS = {"list": list_sessions, "show": show, "compare": compare_sessions, "report": write_report,
            "nodes": compare_nodes, "changes": find_changes, "export": export_runs, "import": import_documents}


def main(argv, environ=None):
    environ = os.environ if environ is None else environ
    with files.standard_streams() as out, signals.caught() as caught:
        # Here, not before: with standard error closed too, the line must go nowhere quietly.
        if files.closed_output():
            parser().error("standard output is closed: nothing could be shown")
        # A reader that goes away ends the command as SIGPIPE would, without a traceback.
        out.gone = lambda: caught.interrupt(signal.SIGPIPE)
        try:
            p = parser()
            args = p.parse_args(argv)
            if args.command in ("compare", "report", "nodes"):
                options.check_judging(args, p.error)
            if args.command == "changes":
                options.check_alpha(args.alpha, p.error)
            if args.command == "compare" and args.envs:
                if len(args.envs) != 2 or args.envs[0] == args.envs[1]:
                    p.error("--envs names two environments of one session, A,B: B is compared with A")
                if args.base and args.new != "latest":
                    p.error("--envs compares two environments of one session; name one session")
            why = args.command == "report" and files.unwritable(args.out)
            if why:
                p.error("--out: cannot write %s: %s" % (shown(args.out), why))
            if args.command == "report" and args.expect and args.nodes is None:
                p.error("--expect names the hosts of --nodes; give --nodes too")
            if args.command in ("report", "nodes") and args.since:
                if args.nodes is None:
                    p.error("--since chooses the hosts' sessions of --nodes; give --nodes too")
                if args.nodes:
                    p.error("--since chooses the hosts' sessions; name sessions or give --since, not both")
            why = args.command == "export" and args.output and files.unwritable(args.output)
            if why:
                p.error("--output: cannot write %s: %s" % (shown(args.output), why))
            with Store(args.results or default_folder(environ)) as store:
                status = COMMANDS[args.command](store, args)
            # Here, not at exit: a reader gone by now is still told of.
            sys.stdout.flush()
            return status
        except StoreError as e:
            print("results: %s" % shown(e), file=sys.stderr)
            return UNUSABLE
        except OSError as e:
            print("results: %s" % shown(e), file=sys.stderr)
            return UNUSABLE
        except signals.Interrupted:
            pass
        if caught.signum == signal.SIGPIPE:
            print("results: stopped: standard output was closed by its reader", file=sys.stderr)
        else:
            print("results: stopped by %s" % caught.name, file=sys.stderr)
        return exits.signalled(caught.signum)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
