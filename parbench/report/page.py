"""The report page of a session: one self-contained HTML file (styles and
plots inline, nothing fetched), which can be mailed, attached to a ticket or
opened from a shared folder. It shows what ran, the summary, every run, each
sweep's scaling with its Amdahl fit, the comparison with a baseline, the
history of the host's sessions, and, when asked for, the hosts side by side.

This module works out what each section shows; the Jinja2 templates in
templates/ lay it out and escape every text in it, so no text of a document
can become markup. The plots' SVG is the one markup put in as it is."""

import collections
import functools
import os
import urllib.parse

from . import export, plots
from ..analysis import balance, changes, comparison, judging, nodes, scaling, stats, summary
from ..base import files, optional
from ..base.text import noun, plural
from ..model import programs
from ..model.programs import Group
from ..model.index import Entry
from ..model.store import StoreError


READ_RUNS = ("Every valid run of each group as a point, the orange bar its median. Points far from the others are "
             "runs that met a busy machine; a group whose points spread widely needs more runs before a "
             "difference against another session means anything.")
READ_SCALING = ("Left: the median speed-up at each count. The dashed line is ideal scaling: p processes or threads "
                "p times as fast. The orange curve is Amdahl's law fitted to the filled points: a share f of the "
                "work does not divide, so the speed-up can never pass 1/f (the dotted line, when it is in view). "
                "f near 0 means the work divides almost perfectly; f = 0.1 means it can never run more than "
                "10 times as fast. Right: efficiency, the speed-up per process or thread; 100 %% is ideal. "
                "Hollow red points and the shaded band are counts beyond the cores or slots: those processes "
                "take turns on the same cores, so they say nothing about the program and are left out of the "
                "fit, except where the work sleeps and takes no core (%s), which is fitted throughout." %
                ", ".join(p.name for p in programs.PROGRAMS if not p.competes_for_cores))
READ_INSIDE = ("The run of median time in its group. Left, one lane per thread or process: each bar is a work "
               "item, a scan or a thread's share of the parallel region; hatched grey is waiting (at the region's "
               "end for the threads, inside the broadcast and the reduction for the processes). Right, each "
               "lane's useful time and their mean. Load balance is that mean over the longest lane: 1 when "
               "every lane worked as long as the busiest. Communication efficiency is the longest lane over the "
               "phase's time as the program printed it. Parallel efficiency is their product; %g and above is "
               "counted good." % balance.GOOD)
READ_HOSTS = ("One plot per group that three or more hosts ran: each host's runs as dots, its median as a bar; a "
              "host judged slower is red. A host is slower when its median stands apart from the hosts' medians "
              "(modified z-score above %g), its runs are slower than the other hosts' together by a Mann-Whitney "
              "test (Holm-corrected over every host and group), and its median is beyond the tolerance above "
              "theirs. Dots of one host far above the rest with others among them are a busy run, not a slow "
              "host." % stats.OUTLIER_Z)
READ_HOST_MEDIANS = ("One plot per group that three or more hosts ran: how many hosts had each median, the dashed "
                     "line the median of them all. Each host not like the others is a triangle above its median: "
                     "red slower, yellow within noise or too few runs to tell, green faster; the furthest from "
                     "the rest are named. A host is slower when its median stands apart from the hosts' medians "
                     "(modified z-score above %g), its runs are slower than the other hosts' together by a "
                     "Mann-Whitney test (Holm-corrected over every host and group), and its median is beyond the "
                     "tolerance above theirs." % stats.OUTLIER_Z)
READ_HISTORY = ("Each stored session of this host: the point is the group's median main time, the bar its "
                "fastest to slowest run; the red point is this session. A step that lasts from one session on "
                "(after an upgrade of the MPI, the compiler or the kernel) is a real change; a single point off "
                "the line is a busy machine. A dashed line marks the first session after a step that "
                "results changes finds there (docs/results.md says how it decides).")


# What a section's function reads: the session, the store's entries (for the
# history), the comparison with a baseline, or None, the hosts side by side,
# or None, the level of the tests, and the name of the CSV of every host beside the page, or None.
Inputs = collections.namedtuple("Inputs", "session entries comparison hosts alpha hosts_csv tolerance",
                                defaults=(judging.ALPHA, None, judging.TOLERANCE))
# A table for the table macro: each row its class (or None) and its cells as
# (text, class or None).
Table = collections.namedtuple("Table", "header rows")
Row = collections.namedtuple("Row", "cls cells")
Figure = collections.namedtuple("Figure", "id svg caption")
# `template` is under templates/sections/; `data` makes its variables from the Inputs.
Section = collections.namedtuple("Section", "id title template data")


def unavailable():
    """Why no page can be made, or None: matplotlib draws it, Jinja2 lays it out."""
    why = [plots.unavailable(), optional.missing(optional.JINJA2)]
    return "; ".join(w for w in why if w) or None


@functools.lru_cache(maxsize=None)
def _templates():
    import jinja2
    return jinja2.Environment(loader=jinja2.PackageLoader("parbench.report", "templates"), autoescape=True,
                              trim_blocks=True, lstrip_blocks=True, undefined=jinja2.StrictUndefined,
                              # A field a document leaves out shows as nothing, not "None".
                              finalize=lambda value: "" if value is None else value)


def _table(header, rows, classes=None):
    """`rows` of cells, each its text or (text, class); `classes` maps a row's index to its class."""
    return Table(header, [Row((classes or {}).get(i), [c if isinstance(c, tuple) else (c, None) for c in row])
                          for i, row in enumerate(rows)])


def _figure(ident, fig, salt, caption):
    from markupsafe import Markup
    # matplotlib's own SVG, its texts drawn as paths: the one markup the page takes as it is.
    return Figure("figure-" + ident, Markup(plots.svg(fig, salt)), caption)


def _words(*parts):
    return " ".join(str(p) for p in parts if p not in (None, "")) or "-"


def _what_ran(inputs):
    session = inputs.session
    p = session.provenance
    bindings = sorted({r.binding for r in session.runs if r.binding})
    memory = p.memory_bytes
    openmp_date = p.text("openmp", "_OPENMP")
    openmp_libraries = p.text("openmp", "runtime_libraries")
    fields = [
        ("session", session.id), ("date", p.date), ("host", p.host),
        ("machine", "%s, %s physical cores, %s hardware threads, %s" % (
            p.cpu_model, p.physical_cores, p.hardware_threads,
            "%.1f GiB" % (memory / 2 ** 30) if memory is not None else "memory unknown")),
        ("OS", "%s, kernel %s (%s)" % (p.text("os"), p.text("kernel"), p.text("machine"))),
        ("compiler", _words(p.compiler(), p.text("build_type") and "(%s build)" % p.text("build_type"))),
        ("OpenMP", _words(p.text("openmp", "version"), openmp_date and "(_OPENMP %s)" % openmp_date,
                          openmp_libraries and "runtime %s" % openmp_libraries)),
        ("MPI", "%s %s (%s), launcher %s; processes bound to: %s" % (
            p.text("mpi", "implementation") or "unknown MPI", p.text("mpi", "version") or "",
            p.text("mpi", "family"), p.text("mpi", "launcher") or "-", ", ".join(bindings) or "-")),
        ("environment", " ".join("%s=%s" % kv for kv in sorted(p.environment().items())) or "-"),
        ("commit", "%s%s" % (p.text("git", "commit"), " with uncommitted changes" if p.uncommitted() else "")),
        ("command", p.command),
    ]
    if session.interrupted:
        fields.insert(1, ("interrupted", session.cut_short()))
    return {"fields": fields}


def _summary(inputs):
    session = inputs.session
    rows, classes = [], {}
    found = summary.table(session.summary)
    for i, (entry, cell) in enumerate(zip(session.summary, found.cells)):
        if summary.noisy(entry) is not None:
            classes[i] = "noisy"
            cell = dict(cell, cv=cell["cv"] + " (noisy)")
        rows.append([cell[c.key] if c.key == "program" else (cell[c.key], "num") for c in found.columns])
    header = [c.header for c in found.columns]
    notes = [n.strip() for n in summary.notes(session.summary) if n.strip()]
    notes.append("Times in seconds: median / fastest / slowest of the valid runs. cv %% is how much a group's main "
                 "time varies from run to run, given from %d runs on; groups marked noisy vary by more than %g %%, "
                 "and differences smaller than that mean nothing." % (summary.MIN_RUNS_FOR_CV, summary.NOISY_CV_PCT))
    return {"table": _table(header, rows, classes), "notes": notes}


def _runs(inputs):
    return {"figure": _figure("runs", plots.runs_figure(inputs.session), "r", READ_RUNS)}


def _scaling(inputs):
    sweeps = []
    for i, section in enumerate(scaling.of_document(inputs.session)):
        rows = [[(p.count, "num"), ("%.2f" % p.speedup, "num"), ("%.1f" % p.efficiency_pct, "num"),
                 ("%.3f" % p.karp_flatt if p.karp_flatt is not None else "-", "num"),
                 "oversubscribed" if p.oversubscribed else "its own", "yes" if p.fitted else "no"]
                for p in section.points]
        unit = noun(2, section.unit)
        sweeps.append({
            "program": section.title(), "line": scaling.line(section),
            "table": _table([unit, "speed-up (×)", "efficiency %", "Karp-Flatt e", "cores or slots", "fitted"],
                            rows),
            "figure": _figure("scaling-%s" % "-".join(filter(None, (section.program,) + section.variant)),
                              plots.scaling_figure(section), "s%d" % i,
                              READ_SCALING + " The Karp-Flatt column is the f that each count's speed-up "
                              "implies on its own: steady, it is a serial share; growing with the count, it is "
                              "overhead that grows with the count.")})
    return {"sweeps": sweeps, "none": "No sweep of %d or more counts in this session (run-suite --procs 1,2,3,4, "
                                      "--threads 1,2,4)." % scaling.MIN_FIT_COUNTS}


def _median_run(runs):
    """The traced run whose main time is the median of its group's (the lower one of an even count)."""
    ranked = sorted(runs, key=lambda r: r.main_value)
    return ranked[(len(ranked) - 1) // 2]


def _inside(inputs):
    session = inputs.session
    groups = []
    for i, row in enumerate(r for r in session.summary if r.balance):
        runs = [r for r in session.runs if r.group == row.group and r.valid and r.balance]
        if not runs:
            continue
        run = _median_run(runs)
        b = run.balance
        columns = [("useful s", b.useful_s), ("waiting s", b.waiting_s or None), ("work items", b.items),
                   ("asked sleep s", b.work_s)]
        columns = [(name, values) for name, values in columns if values]
        rows = [["%s %d" % (b.lanes, lane)] + [(_number(values[lane]), "num") for _, values in columns]
                for lane in range(len(b.useful_s))]
        title = "%s, run %d" % (row.group.describe(), run.index)
        groups.append({"name": row.group.describe(), "line": balance.line(row),
                       "run": "Run %d of %d traced, %s %s s." % (run.index, row.balance.traced,
                                                                  programs.get(row.group.program).time_label,
                                                                  run.figures.get(run.main_time)),
                       "table": _table(["lane"] + [name for name, _ in columns], rows),
                       "figure": _figure("inside-%s-%s" % (row.group.program, row.group.count),
                                         plots.balance_figure(b, title), "b%d" % i, READ_INSIDE)
                       if b.timeline else None})
    return {"groups": groups, "none": "No run of this session was traced (run-suite --trace shows how each thread "
                                      "or process spent the run; see docs/tracing.md)."}


def _number(value):
    """Counts as they are; seconds to the microsecond below 10 ms, to the millisecond above."""
    return value if isinstance(value, int) else "%.6f" % value if value < 0.01 else "%.3f" % value


def _comparison(inputs):
    comparison = inputs.comparison
    if comparison is None:
        return {"notes": ["No baseline: no earlier session of this host shares a group with this one."],
                "nothing": None, "table": None, "reading": None}
    verdict_class = {judging.SLOWER: "slower", judging.FASTER: "faster", judging.NOISE: "noise"}
    rows, classes = [], {}
    for i, v in enumerate(sorted(comparison.verdicts, key=lambda v: v.group.sort_key())):
        rows.append([v.group.describe(), ("%.3f" % v.old, "num"), ("%.3f" % v.new, "num"),
                     ("%+.1f %%" % v.change_pct, "num"), v.verdict, v.how])
        if v.verdict in verdict_class:
            classes[i] = verdict_class[v.verdict]
    return {
        "notes": comparison.header() + ["not compared: " + line for line in comparison.not_compared] +
        ["scaling: " + line for line in comparison.scaling],
        "nothing": comparison.nothing_compared(),
        "table": _table(["group", "baseline s", "this session s", "change", "verdict", "how it was judged"], rows,
                        classes),
        "reading": "Slower or faster: beyond the tolerance of %g %% and not chance, by a Mann-Whitney test at "
                   "alpha %g (Holm-corrected over the groups). Within noise: beyond the tolerance, but the runs "
                   "overlap too much, or are too few, to tell. No change: within the tolerance, or within one tick "
                   "of the %g ms clock. See docs/results.md." % (100 * comparison.tolerance, comparison.alpha,
                                                                 1000 * judging.CLOCK_RESOLUTION_S)}


READ_SIDES = ("One plot per program and count that ran in more than one environment or placement: each one's runs "
              "as dots, its median as a bar; red where it is judged slower than the first, by the same rules as "
              "a comparison with a baseline: beyond the tolerance of %g %%, and not chance by a Mann-Whitney test "
              "(or, with few runs, Student's t-test on log times) at alpha %g, Holm-corrected over every pair "
              "compared.")


def _sides(inputs):
    session = inputs.session
    found = comparison.side_by_side(session, inputs.tolerance, inputs.alpha)
    rows = [[name, _words(env.compiler()), _words(env.openmp()), _words(env.mpi()),
             " ".join(env.raw.get("modules") or ()) or "-",
             " ".join("%s=%s" % kv for kv in sorted((env.raw.get("variables") or {}).items())) or "-",
             _words(env.text("defined"))] for name, env in session.environments.items()]
    environments = _table(["environment", "compiler", "OpenMP runtime", "MPI", "modules", "variables", "defined"],
                          rows) if rows else None
    if found is None:
        return {"environments": environments, "lines": [], "table": None, "figure": None, "reading": None,
                "nothing": "This session ran in one environment under one placement (run-suite --env gcc,clang or "
                           "--bind none,close runs in several, side by side)."}
    verdict_class = {judging.SLOWER: "slower", judging.FASTER: "faster", judging.NOISE: "noise"}
    table, classes = [], {}
    panels = {}
    samples = session.samples()
    for i, v in enumerate(sorted(found.verdicts, key=lambda v: (v.against.sort_key(), v.group.sort_key()))):
        which, other = comparison.side_names(v.group, v.against)
        shared = v.against.like(**{k: None for k in comparison._differing(v.group, v.against)})
        table.append([shared.describe(), which, other, ("%.4f" % v.old, "num"), ("%.4f" % v.new, "num"),
                      (v.ratio_text(), "num"), v.verdict, v.how])
        if v.verdict in verdict_class:
            classes[i] = verdict_class[v.verdict]
        panel = panels.setdefault(shared, {other: (samples[v.against], stats.median(samples[v.against]), False)})
        panel[which] = (samples[v.group], v.new, v.verdict == judging.SLOWER)
    figure = None
    if panels:
        figure = _figure("sides", plots.side_by_side_figure(
            {g: [(name, runs, median, slow) for name, (runs, median, slow) in sides.items()]
             for g, sides in panels.items()}), "e", READ_SIDES % (100 * found.tolerance, found.alpha))
    return {"environments": environments, "lines": found.header_lines(), "nothing": found.nothing_compared(),
            "table": _table(["group", "this", "against", "its median s", "this median s", "ratio", "verdict",
                             "how it was judged"], table, classes) if table else None,
            "figure": figure, "reading": None}


# Up to this many hosts in a group the page shows each host's runs and row;
# beyond, the hosts not like the others, the spread of the medians, and every
# row in a CSV beside the page (a thousand hosts' dots and rows are megabytes
# that nobody reads).
FEW_HOSTS = 30
# Rows of hosts not like the others on a page of many hosts; the rest are the CSV's.
ODD_ROWS = 100
HOST_CLASS = {nodes.SLOWER: "slower", nodes.FASTER: "faster", nodes.NOISE: "noise", nodes.TOO_FEW: "noise"}
# Which odd hosts a page too small for them all keeps: the slow ones first.
KEPT_FIRST = (nodes.SLOWER, nodes.NOISE, nodes.TOO_FEW, nodes.FASTER)


def many_hosts(hosts):
    """Whether a group of the HostComparison `hosts` has more hosts than the page shows one by one."""
    return any(len(found) > FEW_HOSTS for found in hosts.groups().values())


def write_hosts_csv(path, hosts):
    """Every host's row of `hosts`, a HostComparison, as a CSV beside the page
    at `path` (report.html: report-hosts.csv) where the page leaves rows out;
    the CSV's name for the page's link, or None, having written nothing, where
    the page shows every row."""
    if hosts is None or not many_hosts(hosts):
        return None
    stem = os.path.splitext(path)[0]
    export.hosts_csv(stem + "-hosts.csv", hosts)
    return os.path.basename(stem) + "-hosts.csv"


def _odd_hosts(hosts):
    """The Judgements of the hosts not like the others that a page of many
    shows, in the table's order, and how many such there are in all."""
    odd = [j for j in hosts.judgements if j.verdict != nodes.ALIKE]
    kept = {id(j) for j in sorted(odd, key=lambda j: (KEPT_FIRST.index(j.verdict), -abs(j.change_pct)))[:ODD_ROWS]}
    return [j for j in odd if id(j) in kept], len(odd)


def _host_counts(groups):
    verdicts = (nodes.ALIKE,) + KEPT_FIRST
    return _table(["group", "hosts"] + list(verdicts) + ["median of the host medians s"], [
        [g.describe(), (len(found), "num")] + [(sum(j.verdict == v for j in found) or "-", "num") for v in verdicts] +
        [("%.3f" % stats.median([j.median for j in found]), "num")] for g, found in groups.items()])


def _hosts(inputs):
    hosts = inputs.hosts
    groups = hosts.groups()
    many = many_hosts(hosts)
    notes = hosts.header()
    shown_rows, odd_line, csv = hosts.judgements, None, None
    if many:
        # Its first line names every host with its session: for a thousand, the CSV does.
        notes[0] = "%s side by side." % plural(len(hosts.sessions), "host")
        shown_rows, odd = _odd_hosts(hosts)
        if hosts.judgements:
            odd_line = "Every host is like the others in every group." if not odd else \
                "Not like the others: %d of %s (a host in a group)%s." % (
                    odd, plural(len(hosts.judgements), "row"), ", the %d that matter most below, slower first" %
                    len(shown_rows) if odd > len(shown_rows) else "")
        if inputs.hosts_csv:
            csv = {"href": urllib.parse.quote(inputs.hosts_csv), "name": inputs.hosts_csv,
                   "rows": plural(len(hosts.judgements), "row")}
    rows, classes = [], {}
    for i, j in enumerate(shown_rows):
        row = nodes.cells(j)
        rows.append(list(row[:2]) + [(cell, "num") for cell in row[2:5]] + list(row[5:]))
        if j.verdict in HOST_CLASS:
            classes[i] = HOST_CLASS[j.verdict]
    figure = None
    if groups and many:
        figure = _figure("hosts", plots.host_medians_figure(
            {g: [(j.host, j.median, HOST_CLASS.get(j.verdict)) for j in found] for g, found in groups.items()}),
            "n", READ_HOST_MEDIANS)
    elif groups:
        figure = _figure("hosts", plots.side_by_side_figure(
            {g: [(j.host, j.runs, j.median, j.verdict == nodes.SLOWER) for j in found] for g, found in groups.items()}),
            "n", READ_HOSTS)
    return {"notes": notes, "nothing": hosts.nothing_compared(), "missing": hosts.missing_line(),
            "counts": _host_counts(groups) if groups and many else None, "figure": figure, "odd": odd_line,
            "table": _table(nodes.HEADER, rows, classes) if rows else None, "csv": csv,
            "elsewhere": "Every host's row is in what results nodes prints." if many and not csv else None,
            "slow": hosts.slow_line(), "any_slow": bool(hosts.slow())}


def _history(inputs):
    session = inputs.session
    host = session.provenance.host
    series = {g: [] for g in session.groups()}
    for entry in inputs.entries:
        if entry.host != (host or ""):
            continue
        when = entry.when()
        if when is None:
            continue
        for group, times in zip(entry.groups, entry.times):
            group = Group(*group)
            if group in series and times:
                series[group].append((when, times[0], times[1], times[2], entry.session))
    series = {g: points for g, points in series.items() if points}
    if not series:
        return {"note": "No stored session of this host has these groups.", "figure": None}
    sessions = len({p[4] for points in series.values() for p in points})
    # The steps `results changes --host` finds, among all the host's groups.
    steps = {}
    if not changes.unavailable():
        for c in changes.find(changes.series_of([e for e in inputs.entries if e.host == (host or "")]),
                              inputs.alpha).changes:
            steps.setdefault(c.series.group, []).append(c.when)
    return {"note": "%s of %s." % (plural(sessions, "stored session"), host),
            "figure": _figure("history", plots.history_figure(series, session.id, steps), "h", READ_HISTORY)}


# The page, top to bottom. A new section is one entry here, with its function,
# and one template in templates/sections/.
SECTIONS = (
    Section("what-ran", "What ran", "what-ran.html", _what_ran),
    Section("summary", "Summary", "summary.html", _summary),
    Section("runs", "Every run", "runs.html", _runs),
    Section("scaling", "Scaling", "scaling.html", _scaling),
    Section("inside", "Inside the runs", "inside.html", _inside),
    Section("comparison", "Against the baseline", "comparison.html", _comparison),
    Section("history", "History of this host", "history.html", _history),
)
# Shown after the comparison when the page is made with the hosts side by side.
HOSTS = Section("hosts", "Hosts side by side", "hosts.html", _hosts)
# Shown after the summary for a session of several environments or placements.
SIDES = Section("sides", "Environments side by side", "sides.html", _sides)


def with_sides(session, sections):
    """`sections`, with SIDES after the summary where `session` compares environments or placements."""
    if not comparison.sides(session):
        return sections
    place = [s.id for s in sections].index("summary") + 1
    return sections[:place] + (SIDES,) + sections[place:]


def with_hosts(sections=SECTIONS):
    place = [s.id for s in sections].index("comparison") + 1
    return sections[:place] + (HOSTS,) + sections[place:]


def page(session, entries, comparison=None, sections=SECTIONS, hosts=None, alpha=judging.ALPHA, hosts_csv=None,
         tolerance=judging.TOLERANCE):
    """The HTML of a Session's report; `entries` are the store's sessions (for
    the history), `comparison` its comparison with a baseline or None,
    `sections` the Sections to show, in order, `hosts` the HostComparison
    that HOSTS shows, or None, `alpha` the level of the history's changes,
    `hosts_csv` the name of the CSV of every host that HOSTS links to (from
    write_hosts_csv), or None."""
    inputs = Inputs(session, entries, comparison, hosts, alpha, hosts_csv, tolerance)
    sections = with_sides(session, sections)
    return _templates().get_template("report.html").render(
        title="parbench session %s" % session.id, date=session.provenance.date, host=session.provenance.host,
        cut_short=session.cut_short(),
        sections=[{"id": s.id, "title": s.title, "template": "sections/" + s.template, "data": s.data(inputs)}
                  for s in sections])


def write(path, session, store, tolerance=judging.TOLERANCE, alpha=judging.ALPHA, baseline_name=None,
          entries=None, hosts=None):
    """Writes the report of `session` to `path`, whole or not at all, with the
    history of its host in `store` (its `entries`, where already asked for),
    its comparison with `baseline_name`, else with the session results compare
    would pick (none, if there is none), and the hosts side by side where
    `hosts`, a HostComparison, is given."""
    entries = list(store.entries(host=session.provenance.host or "") if entries is None else entries)
    if not any(e.session == session.id for e in entries):
        entries.append(Entry.of(session, ""))
    against = None
    try:
        name, base = store.baseline_for(session, baseline_name, entries)
    except StoreError:
        if baseline_name:
            raise
    else:
        against = comparison.compare(name, base, session, tolerance, alpha)
    # The CSV first: a page never links to one that was not written.
    files.write(path, page(session, entries, against, SECTIONS if hosts is None else with_hosts(), hosts, alpha,
                           write_hosts_csv(path, hosts), tolerance))
    return path
