"""The report page of a session: one self-contained HTML file (styles and
plots inline, nothing fetched), which can be mailed, attached to a ticket or
opened from a shared folder. It shows what ran, the summary, every run, each
sweep's scaling with its Amdahl fit, the comparison with a baseline, and the
history of the host's sessions."""

import datetime
import html

from . import compare, files, plots, programs, scaling, summary
from .programs import Group
from .store import Entry, StoreError

STYLE = """
body { font-family: system-ui, -apple-system, "Segoe UI", Roboto, "DejaVu Sans", sans-serif; margin: 0 auto;
       max-width: 72rem; padding: 1rem; color: #1b1b1b; line-height: 1.45; }
h1 { font-size: 1.5rem; margin-bottom: 0.2rem; overflow-wrap: anywhere; }
h2 { font-size: 1.2rem; border-bottom: 1px solid #ddd; padding-bottom: 0.2rem; margin-top: 2rem; }
h3 { font-size: 1rem; }
p, li, figcaption { overflow-wrap: anywhere; }
.scroll { overflow-x: auto; max-width: 100%; }
table { border-collapse: collapse; font-size: 0.85rem; }
th, td { border: 1px solid #ddd; padding: 0.25rem 0.5rem; text-align: left; white-space: nowrap; vertical-align: top; }
th { background: #f3f5f8; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
.noisy { background: #fff3cd; }
.slower { background: #f8d7da; } .faster { background: #d4edda; } .noise { background: #fff3cd; }
figure { margin: 1rem 0; }
figure svg { width: 100%; height: auto; display: block; }
figcaption { font-size: 0.85rem; color: #444; max-width: 48rem; }
.note { color: #555; font-size: 0.9rem; }
dl.prov { display: grid; grid-template-columns: max-content minmax(0, 1fr); gap: 0.15rem 1rem; font-size: 0.9rem; }
dl.prov dt { font-weight: 600; } dl.prov dd { margin: 0; overflow-wrap: anywhere; }
code { overflow-wrap: anywhere; }
"""

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
READ_HISTORY = ("Each stored session of this host: the point is the group's median main time, the bar its "
                "fastest to slowest run; the red point is this session. A step that lasts from one session on "
                "(after an upgrade of the MPI, the compiler or the kernel) is a real change; a single point off "
                "the line is a busy machine.")


def _e(value):
    return html.escape("" if value is None else str(value))


def _table(header, rows, classes=None):
    head = "".join("<th>%s</th>" % _e(h) for h in header)
    body = []
    for i, row in enumerate(rows):
        cls = (classes or {}).get(i)
        cells = "".join('<td class="%s">%s</td>' % (c[1], _e(c[0])) if isinstance(c, tuple) else "<td>%s</td>" % _e(c)
                        for c in row)
        body.append('<tr%s>%s</tr>' % (' class="%s"' % cls if cls else "", cells))
    return '<div class="scroll"><table><thead><tr>%s</tr></thead><tbody>%s</tbody></table></div>' % (
        head, "".join(body))


def _figure(ident, svg, caption):
    return '<figure class="plot" id="figure-%s">%s<figcaption>%s</figcaption></figure>' % (ident, svg, _e(caption))


def _words(*parts):
    return " ".join(str(p) for p in parts if p not in (None, "")) or "-"


def _provenance(session):
    p = session.provenance
    bindings = sorted({r.binding for r in session.runs if r.binding})
    memory = p.memory_bytes
    openmp_date = p.text("openmp", "_OPENMP")
    openmp_libraries = p.text("openmp", "runtime_libraries")
    items = [
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
        items.insert(1, ("interrupted", session.cut_short()))
    return '<dl class="prov">%s</dl>' % "".join("<dt>%s</dt><dd>%s</dd>" % (_e(k), _e(v)) for k, v in items)


def _summary(session):
    rows, classes = [], {}
    header, cells = summary.table_cells(session.summary)
    for i, (entry, line) in enumerate(zip(session.summary, cells)):
        if summary.noisy(entry) is not None:
            classes[i] = "noisy"
            line[6] += " (noisy)"
        rows.append(line[:1] + [(c, "num") for c in line[1:]])
    notes = [n.strip() for n in summary.notes(session.summary) if n.strip()]
    return _table(header, rows, classes) + "".join('<p class="note">%s</p>' % _e(n) for n in notes)


def _scaling(session):
    sections = scaling.of_document(session)
    if not sections:
        return '<p class="note">No sweep of %d or more counts in this session (run-suite --procs 1,2,3,4, ' \
               '--threads 1,2,4).</p>' % scaling.MIN_FIT_COUNTS
    out = []
    for i, section in enumerate(sections):
        out.append("<h3>%s</h3><p>%s</p>" % (_e(section["program"]), _e(scaling.line(section))))
        rows = [[(p["count"], "num"), ("%.2f" % p["speedup"], "num"), ("%.1f" % p["efficiency_pct"], "num"),
                 ("%.3f" % p["karp_flatt"] if p["karp_flatt"] is not None else "-", "num"),
                 "oversubscribed" if p["oversubscribed"] else "its own", "yes" if p["fitted"] else "no"]
                for p in section["points"]]
        out.append(_table([section["unit"] + "es" if section["unit"] == "process" else section["unit"] + "s",
                           "speed-up (×)", "efficiency %", "Karp-Flatt e", "cores or slots", "fitted"], rows))
        out.append(_figure("scaling-%s" % section["program"], plots.svg(plots.scaling_figure(section), "s%d" % i),
                           READ_SCALING + " The Karp-Flatt column is the f that each count's speed-up implies "
                           "on its own: steady, it is a serial share; growing with the count, it is overhead "
                           "that grows with the count."))
    return "".join(out)


def _comparison(comparison):
    if comparison is None:
        return '<p class="note">No baseline: no earlier session of this host shares a group with this one.</p>'
    verdict_class = {compare.SLOWER: "slower", compare.FASTER: "faster", compare.NOISE: "noise"}
    rows, classes = [], {}
    for i, v in enumerate(sorted(comparison.verdicts, key=lambda v: v.group.sort_key())):
        rows.append([v.group.describe(), ("%.3f" % v.old, "num"), ("%.3f" % v.new, "num"),
                     ("%+.1f %%" % v.change_pct, "num"), v.verdict, v.how])
        if v.verdict in verdict_class:
            classes[i] = verdict_class[v.verdict]
    notes = comparison.header() + ["not compared: " + line for line in comparison.missing] + \
        ["scaling: " + line for line in comparison.scaling]
    nothing = comparison.nothing_compared()
    return "".join('<p class="note">%s</p>' % _e(line) for line in notes) + \
        ('<p class="note slower">%s</p>' % _e(nothing) if nothing else "") + \
        _table(["group", "baseline s", "this session s", "change", "verdict", "how it was judged"], rows, classes) + \
        '<p class="note">Slower or faster: beyond the tolerance of %g %% and not chance, by a Mann-Whitney test ' \
        'at alpha %g (Holm-corrected over the groups). Within noise: beyond the tolerance, but the runs overlap ' \
        'too much, or are too few, to tell. No change: within the tolerance, or within one tick of the ' \
        '%g ms clock. See docs/results.md.</p>' % (100 * comparison.tolerance, comparison.alpha,
                                                   1000 * compare.CLOCK_RESOLUTION_S)


def _history(session, entries):
    host = session.provenance.host
    series = {g: [] for g in session.groups()}
    for entry in entries:
        if entry.host != (host or ""):
            continue
        when = _when(entry.date)
        if when is None:
            continue
        for group, times in zip(entry.groups, entry.times):
            group = Group(*group)
            if group in series and times:
                series[group].append((when, times[0], times[1], times[2], entry.session))
    series = {g: points for g, points in series.items() if points}
    if not series:
        return '<p class="note">No stored session of this host has these groups.</p>'
    sessions = len({p[4] for points in series.values() for p in points})
    return '<p class="note">%d stored session%s of %s.</p>' % (sessions, "" if sessions == 1 else "s", _e(host)) + \
        _figure("history", plots.svg(plots.history_figure(series, session.id), "h"), READ_HISTORY)


def _when(date):
    """A stored date as a naive UTC datetime for the history's axis, or None."""
    try:
        when = datetime.datetime.fromisoformat(date)
        if when.tzinfo:
            when = when.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    except (ValueError, OverflowError):   # OverflowError: year 1 or 9999 moved to UTC
        return None
    return when


def page(session, entries, comparison=None):
    """The HTML of a Session's report; `entries` are the store's sessions (for
    the history), `comparison` its comparison with a baseline or None."""
    prov = session.provenance
    title = "parbench session %s" % session.id
    body = [
        "<h1>%s</h1>" % _e(title),
        '<p class="note">%s on %s%s. Made by <code>scripts/results report</code>; everything on this page is in '
        'this one file.</p>' % (_e(prov.date), _e(prov.host),
                                 _e(", " + session.cut_short()) if session.interrupted else ""),
        '<section id="what-ran"><h2>What ran</h2>%s</section>' % _provenance(session),
        '<section id="summary"><h2>Summary</h2>%s<p class="note">Times in seconds: median / fastest / slowest '
        'of the valid runs. cv %% is how much a group\'s main time varies from run to run, given from %d runs '
        'on; groups marked noisy vary by more than %g %%, and differences smaller than that mean nothing.</p>'
        '</section>' % (_summary(session), summary.MIN_RUNS_FOR_CV, summary.NOISY_CV_PCT),
        '<section id="runs"><h2>Every run</h2>%s</section>' % _figure(
            "runs", plots.svg(plots.runs_figure(session), "r"), READ_RUNS),
        '<section id="scaling"><h2>Scaling</h2>%s</section>' % _scaling(session),
        '<section id="comparison"><h2>Against the baseline</h2>%s</section>' % _comparison(comparison),
        '<section id="history"><h2>History of this host</h2>%s</section>' % _history(session, entries),
    ]
    return ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            '<title>%s</title><style>%s</style></head><body>%s</body></html>\n' % (_e(title), STYLE, "\n".join(body)))


def write(path, session, store, tolerance=compare.TOLERANCE, alpha=compare.ALPHA, baseline_name=None,
          entries=None):
    """Writes the report of `session` to `path`, whole or not at all, with the
    history of `store` (its `entries`, where already listed) and its comparison
    with `baseline_name`, else with the session results compare would pick
    (none, if there is none)."""
    # Listing again would name each unreadable file a second time.
    entries = list(store.entries() if entries is None else entries)
    if not any(e.session == session.id for e in entries):
        entries.append(Entry.of(session, ""))
    comparison = None
    try:
        name, base = store.baseline_for(session, baseline_name, entries)
    except StoreError:
        if baseline_name:
            raise
    else:
        comparison = compare.compare(name, base, session, tolerance, alpha)
    files.write(path, page(session, entries, comparison))
    return path
