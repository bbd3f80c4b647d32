"""run-suite: plan, run, summarise, store, write, compare, plot.

Called by scripts/run-suite, which sets up and builds first; see --help.
"""

import os
import signal
import sys
import time

from . import exits, suite_options
from ..analysis import comparison, scaling, summary
from ..base import files, signals
from ..model import document, programs
from ..model.store import Store
from ..platform import environments
from ..platform.provenance import environments as environments_of, provenance
from ..report import export, page, plots
from ..run import outputs, runs, scratch
from ..run.plan import PlanError, build_folder, make

# The repository: the default build folder is in it, and its commit is the provenance's.
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def announce(plan):
    print("run-suite: %d runs in %s; raw reports in %s" % (len(plan.runs), plan.rundir, plan.log_path))
    for program in plan.programs if plan.trace else ():
        why = plan.untraced(program)
        if why:
            print("run-suite: --trace: %s runs untraced: %s" % (program.name, why))
    for program in plan.programs:
        if program.mpi:
            for target in plan.targets.values():
                name = "%s (%s)" % (program.name, target.name) if target.name else program.name
                print("%s starts with: %s" % (name, target.launch.describe()))
                if not target.launch.mpi.known and not target.launch.template:
                    print("%s: %s; --launcher TEMPLATE gives it other options"
                          % (name, target.launch.mpi.unknown_note()))


def targets(options):
    """The CMake targets an environment's build needs: the programs chosen,
    or everything where their runs are traced (the tracing libraries too)."""
    if options.trace:
        return ()
    return tuple(os.path.basename(programs.get(name).binary) for name in options.only)


def made_ready(options, environ):
    """Builds each environment of --env (each once, rebuilt where the sources
    changed) and returns their environments.Built, in order; None, having
    said why, where one could not be."""
    built = []
    folder = build_folder(options, environ, ROOT)
    for environment in options.environments:
        log_path = environments.folder_of(folder, environment) + ".setup.log"
        start = time.monotonic()
        print("run-suite: environment %s: building in %s" % (environment.name,
                                                            environments.folder_of(folder, environment)),
              flush=True)
        try:
            os.makedirs(os.path.dirname(log_path), exist_ok=True)
            with open(log_path, "w") as log:
                built.append(environments.build(environment, folder, ROOT, environ, log, targets(options)))
        except (OSError, environments.Unusable) as e:
            print("run-suite: %s" % (e if isinstance(e, environments.Unusable) else
                                     "environment %s: %s" % (environment.name, e.strerror or e)), file=sys.stderr)
            return None
        print("run-suite: environment %s: ready (%.0f s)" % (environment.name, time.monotonic() - start))
    return built


def keep(session, plan):
    """Stores the session; a store that cannot take it costs nothing but a line."""
    if plan.store is None:
        return "not stored (--no-store)"
    try:
        plan.store.save(session)
    except OSError as e:
        print("run-suite: the session was not stored in %s (%s); its document is %s"
              % (plan.store.folder, e.strerror or e, plan.json_path), file=sys.stderr)
        return "not stored"
    return "stored in %s" % plan.store.folder


def write_out(what, path, write):
    """Writes one output; a failure costs a line on standard error, never the run's exit status."""
    try:
        write()
    except OSError as e:
        print("run-suite: %s %s was not written: %s" % (what, path, e.strerror or e), file=sys.stderr)


def write_report(session, plan):
    why = page.unavailable()
    if why:
        print("report: %s; no report written" % why)
        return
    store = plan.store or Store(plan.store_folder)
    try:
        page.write(plan.report_path, session, store, plan.tolerance, plan.alpha,
                   plan.baseline[0] if plan.baseline else None)
    except Exception as e:  # noqa: BLE001 - the runs' verdict must outlive any fault in drawing them
        print("run-suite: the report %s was not written: %s" % (plan.report_path, e), file=sys.stderr)
        return
    print("report: wrote %s" % plan.report_path)


def write_plots(rows, plan):
    try:
        plots.plot(rows, plan.plot_path, plan.capacities())
    except Exception as e:  # noqa: BLE001 - as for the report
        print("run-suite: the plot %s was not written: %s" % (plan.plot_path, e), file=sys.stderr)


# A reader that went away counts as SIGPIPE, as it would for a program that left it its default.
READER_GONE = "standard output was closed by its reader"


def main(argv, environ=None):
    environ = os.environ if environ is None else environ
    with files.standard_streams() as out, signals.caught() as catcher:
        # Here, not before: with standard error closed too, the line must go nowhere quietly.
        if files.closed_output():
            suite_options.parser().error("standard output is closed: the progress and the table could be shown "
                                         "nowhere")
        # A reader that goes away stops the session as a signal does, without a traceback.
        out.gone = lambda: catcher.interrupt(signal.SIGPIPE)
        try:
            return run_suite(argv, environ, catcher)
        except signals.Interrupted:
            pass
        cause = READER_GONE if catcher.signum == signal.SIGPIPE else "stopped by %s" % catcher.name
        print("run-suite: %s before the first run ended; nothing stored" % cause, file=sys.stderr)
        return exits.signalled(catcher.signum)


def run_suite(argv, environ, catcher):
    options = suite_options.parse(argv)
    built = made_ready(options, environ) if options.environments else ()
    if built is None:
        return exits.FAILED
    try:
        plan = make(options, environ, ROOT, argv, built)
    except PlanError as e:
        suite_options.parser().error(str(e))
    for program, path in plan.unbuilt():
        print("run-suite: %s is not built (%s); run scripts/setup" % (program.name, path), file=sys.stderr)
        return exits.FAILED

    scratch.sweep(plan.workdir)
    try:
        plan.prepare()
        scratch.claim(plan.rundir)
        mpi_programs = [p for p in plan.programs if p.mpi]
        prov = provenance(plan, (plan.launch.template or plan.launch.mpi.launcher) if mpi_programs else None)
        announce(plan)
        with open(plan.log_path, "w") as log:
            results, interrupted = runs.run_all(plan, log, catcher)
    finally:
        plan.clean_up()
    if interrupted and not results:
        raise signals.Interrupted(catcher.signum)

    rows = summary.summarise(results)
    sweeps = scaling.sweeps(rows, plan.capacities())
    cut = document.Interruption(catcher.name, len(plan.runs)) if interrupted else None
    session = outputs.session_document(plan.session, prov, results, rows, sweeps, cut,
                                       environments_of(plan, bool(mpi_programs)))
    # Stored first: whatever fails after this, the runs are kept.
    stored = keep(session, plan)
    write_out("the document", plan.json_path, lambda: document.save(session, plan.json_path))
    if plan.csv_path:
        write_out("the CSV", plan.csv_path, lambda: export.write_suite_csv(plan.csv_path, session))
    against = None
    if plan.baseline:
        named, baseline = plan.baseline
        against = comparison.compare(named, baseline, session, plan.tolerance, plan.alpha)
        print()
        for line in against.lines():
            print(line)
    print()
    print(summary.format_table(rows, against.against() if against else None))
    for line in summary.notes(rows) + summary.placement_lines(session.runs):
        print(line)
    for section in sweeps:
        print(scaling.line(section))
    sides = comparison.side_by_side(session, plan.tolerance, plan.alpha)
    if sides:
        print()
        for line in sides.lines():
            print(line)
    print("results: %s" % plan.json_path)
    print("session: %s (%s)" % (plan.session, stored))
    if plan.plot_path and not interrupted:
        write_plots(rows, plan)
    if plan.report_path:
        write_report(session, plan)

    # Before the last lines: a reader gone by now is known, and said.
    sys.stdout.flush()
    bad = [r for r in results if r.problem]
    for r in bad:
        print("run-suite: %s run %d%s %s" % (r.program, r.run.index,
                                              " (%s)" % r.group.count_text() if r.run.procs else "", r.problem),
              file=sys.stderr)
    if interrupted and catcher.signum == signal.SIGPIPE:
        print("run-suite: %s after %d of %d runs; the session is kept with those, marked as interrupted"
              % (READER_GONE, len(results), len(plan.runs)), file=sys.stderr)
    elif interrupted:
        print("run-suite: interrupted by %s after %d of %d runs; the table has those, and the session is kept "
              "marked as interrupted" % (catcher.name, len(results), len(plan.runs)), file=sys.stderr)
    elif catcher.signum == signal.SIGPIPE:
        print("run-suite: %s; the session ran whole and is kept" % READER_GONE, file=sys.stderr)
    if catcher.signum:
        return exits.signalled(catcher.signum)
    status = exits.of_comparison(len(bad), against)
    if status == exits.SLOWER:
        for line in against.regressed:
            print("run-suite: regressed: " + line, file=sys.stderr)
    elif status == exits.NOT_TOLD:
        print("run-suite: %s" % against.nothing_compared(), file=sys.stderr)
    return status
