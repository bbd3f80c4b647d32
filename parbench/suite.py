"""run-suite: plan, run, summarise, write, compare, plot.

Called by scripts/run-suite, which sets up and builds first; see --help.
"""

import os
import sys

from . import cli, compare, output, plots, report, runs, scaling, summary
from .plan import PlanError, make
from .provenance import provenance
from .store import Store

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Exit statuses beyond 0 and argparse's 2.
FAILED, REGRESSED, INTERRUPTED = 1, 3, 130


def announce(plan):
    print("run-suite: %d runs in %s; raw reports in %s" % (len(plan.runs), plan.rundir, plan.log_path))
    for program in plan.programs:
        if program.mpi:
            print("%s starts with: %s" % (program.name, plan.launch.describe()))
            if not plan.launch.mpi.known and not plan.launch.template:
                print("%s: %s; --launcher TEMPLATE gives it other options"
                      % (program.name, plan.launch.mpi.unknown_note()))


def report_comparison(doc, plan):
    """Prints the comparison with the baseline; returns it."""
    named, baseline = plan.baseline
    comparison = compare.compare(baseline, doc, plan.tolerance, plan.alpha)
    print()
    for line in compare.lines(comparison, named, (baseline.get("provenance") or {}).get("date"), plan.tolerance,
                              plan.alpha, scaling.changes(baseline, doc)):
        print(line)
    return comparison


def keep(doc, plan):
    """Stores the session's document; a store that cannot take it costs nothing but a line."""
    if plan.store is None:
        return "not stored (--no-store)"
    try:
        plan.store.save(doc)
    except OSError as e:
        print("run-suite: the session was not stored in %s (%s); its document is %s"
              % (plan.store.folder, e.strerror or e, plan.json_path), file=sys.stderr)
        return "not stored"
    return "stored in %s" % plan.store.folder


def write_report(doc, plan):
    why = plots.missing()
    if why:
        print("report: %s; no report written" % why)
        return
    store = plan.store or Store(plan.store_folder)
    report.write(plan.report_path, doc, store, plan.tolerance, plan.alpha,
                 plan.baseline[0] if plan.baseline else None)
    print("report: wrote %s" % plan.report_path)


def main(argv, environ=None):
    environ = os.environ if environ is None else environ
    options = cli.parse(argv)
    try:
        plan = make(options, environ, ROOT, argv)
    except PlanError as e:
        cli.parser().error(str(e))
    for program, path in plan.unbuilt():
        print("run-suite: %s is not built (%s); run scripts/setup" % (program.name, path), file=sys.stderr)
        return FAILED

    plan.prepare()
    mpi_programs = [p for p in plan.programs if p.mpi]
    prov = provenance(plan, (plan.launch.template or plan.launch.mpi.launcher) if mpi_programs else None)
    announce(plan)
    try:
        with open(plan.log_path, "w") as log:
            results, interrupted = runs.run_all(plan, log)
    finally:
        plan.clean_up()

    rows = summary.summarise(results)
    sweeps = scaling.sweeps(rows, plan.capacities())
    doc = output.document(plan.session, prov, results, rows, sweeps)
    output.write_json(plan.json_path, doc)
    if plan.csv_path:
        output.write_csv(plan.csv_path, results)
    stored = keep(doc, plan)
    comparison = report_comparison(doc, plan) if plan.baseline else None
    print()
    print(summary.format_table(rows, comparison.changes if comparison else None))
    for line in summary.notes(rows):
        print(line)
    for section in sweeps:
        print(scaling.line(section))
    print("results: %s" % plan.json_path)
    print("session: %s (%s)" % (plan.session, stored))
    if plan.plot_path and not interrupted:
        plots.plot(rows, plan.plot_path, plan.capacities())
    if plan.report_path:
        write_report(doc, plan)

    bad = [r for r in results if r.problem]
    for r in bad:
        print("run-suite: %s run %d%s %s" % (r.program, r.run.index,
                                              " (%s)" % r.group.count_text() if r.run.procs else "", r.problem),
              file=sys.stderr)
    if interrupted:
        print("run-suite: interrupted after %d of %d runs; the table has those" % (len(results), len(plan.runs)),
              file=sys.stderr)
        return INTERRUPTED
    if bad:
        return FAILED
    if comparison and comparison.regressed:
        for line in comparison.regressed:
            print("run-suite: regressed: " + line, file=sys.stderr)
        return REGRESSED
    return 0
