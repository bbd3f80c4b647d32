"""The pictures of a session, drawn with matplotlib: each sweep's speed-up and
efficiency against its counts (with the ideal line and the Amdahl fit), each
group's runs as points, each group's history, and each group's hosts side by
side (among many, the spread of their medians). As PNG for --plot, as SVG
for the report page."""

import datetime
import io
import math
import os
import random
import re
from dataclasses import replace

from ..analysis import scaling, stats, summary
from ..base import files, optional
from ..model import programs
from ..model.document import Capacity
from ..base.text import shown

MEASURED, FIT, IDEAL, OVER, CURRENT = "#1f5fa8", "#d2691e", "#888888", "#b22222", "#b22222"


def unavailable():
    """Why nothing can be drawn, or None."""
    return optional.missing(optional.MATPLOTLIB, optional.DRAWING)


def _pyplot():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    plt.rcParams.update({"font.size": 9, "axes.grid": True, "grid.alpha": 0.3, "svg.fonttype": "path",
                         "axes.spines.top": False, "axes.spines.right": False})
    return plt


# matplotlib's tick arithmetic overflows with limits near the largest double.
CEILING = 1e300


def _above(value, headroom):
    """An axis' upper limit: room above `value`, within what matplotlib can draw."""
    return min(value * headroom, CEILING)


def _amdahl(x, f, reference):
    try:
        return scaling.amdahl(x, f, reference)
    except ZeroDivisionError:
        return math.nan   # a pole of a fit with f below 0: no point there


def path_for(path, program, variant=(None, None)):
    """Where `program`'s plot goes: scaling.png gives scaling-dynamicwork.png
    for a program whose plot adds "-dynamicwork", and
    scaling-dynamicwork-clang-close.png for its sweep in an environment and
    under a placement of their own."""
    suffix = (program.plot_suffix or "") + "".join("-" + v for v in variant if v)
    if not suffix:
        return path
    stem, ext = os.path.splitext(path)
    return stem + suffix + (ext or ".png")


def scaling_figure(section):
    """Speed-up against count, with the ideal line, the Amdahl fit and its
    limit, oversubscribed counts marked; efficiency against count beside it;
    `section` a ScalingSection."""
    plt = _pyplot()
    fig, (left, right) = plt.subplots(1, 2, figsize=(9.0, 3.6), constrained_layout=True)
    for axis in (left, right):
        axis.autoscale(False)   # the limits are set below; autoscaling would overflow on huge values
    unit = programs.get(section.program).sweep.units
    ref = section.reference or 1
    points = section.points
    counts = [p.count for p in points]
    top = max(counts) * 1.08
    fitted = [p for p in points if p.fitted]
    others = [p for p in points if not p.fitted]
    over = [p for p in points if p.oversubscribed]

    left.plot([0, top], [0, top / ref], "--", color=IDEAL, label="ideal: p / %d" % ref if ref != 1 else "ideal: p")
    if section.fit:
        f = section.fit.serial_fraction
        xs = [min(counts) + (top - min(counts)) * i / 100 for i in range(101)]
        limit = section.fit.limit
        left.plot(xs, [_amdahl(x, f, ref) for x in xs], "-", color=FIT, gid="amdahl-fit",
                  label="Amdahl fit, f = %.3f%s" % (f, ", limit %.0f×" % limit if limit else ""))
        if limit and limit < 1.6 * top / ref:
            left.axhline(limit, color=FIT, linestyle=":", linewidth=1)
    left.plot([p.count for p in fitted], [p.speedup for p in fitted], "o", color=MEASURED,
              label="measured (median)" + (", fitted" if section.fit else ""))
    if others:
        left.plot([p.count for p in others], [p.speedup for p in others], "o", mfc="white", color=OVER,
                  label="oversubscribed, left out of the fit")
    if over:
        for axis in (left, right):
            axis.axvspan(section.capacity.count + 0.5, top, color=OVER, alpha=0.07, linewidth=0)
        if not others:
            left.plot([], [], "s", color=OVER, alpha=0.2, label="beyond %s (fitted: its work takes no core)"
                      % shown(scaling.capacity_text(section.capacity)))
    left.set(xlim=(0, top), ylim=(0, _above(max(top / ref, max(p.speedup for p in points)), 1.1)),
             xlabel=unit, ylabel="speed-up (×)",
             title="%s: speed-up%s" % (section.title(), " against %d" % ref if ref != 1 else ""))
    left.legend(loc="upper left", fontsize=7.5)

    right.axhline(100, color=IDEAL, linestyle="--")
    right.plot(counts, [p.efficiency_pct for p in points], "-", color=MEASURED, alpha=0.5)
    right.plot([p.count for p in fitted], [p.efficiency_pct for p in fitted], "o", color=MEASURED)
    if others:
        right.plot([p.count for p in others], [p.efficiency_pct for p in others], "o", mfc="white", color=OVER)
    for axis in (left, right):
        axis.set_xticks(counts)
    right.set(xlim=(0, top), ylim=(0, max(110, _above(max(p.efficiency_pct for p in points), 1.1))), xlabel=unit,
              ylabel="efficiency (%)", title="%s: efficiency" % section.title())
    return fig


def _grid(plt, n, height=2.3):
    columns = min(3, n)
    rows = math.ceil(n / columns)
    fig, axes = plt.subplots(rows, columns, figsize=(3.1 * columns, height * rows), constrained_layout=True,
                             squeeze=False)
    for axis in axes.flat[n:]:
        axis.set_visible(False)
    for axis in axes.flat:
        axis.set_autoscaley_on(False)   # the limits are set from the data; autoscaling would overflow on huge times
    return fig, list(axes.flat)


def _title(group):
    return "%s, %s%s" % (group.program, group.count_text(), programs.variant_text(*group.variant))


def runs_figure(session):
    """Each group's main time run by run, so that the spread shows, with its median."""
    plt = _pyplot()
    groups = session.groups()
    fig, axes = _grid(plt, max(1, len(groups)))
    jitter = random.Random(0)
    for axis, group in zip(axes, groups):
        values = [r.main_value for r in session.runs if r.group == group and r.valid]
        axis.plot([jitter.uniform(-0.15, 0.15) for _ in values], values, "o", color=MEASURED, alpha=0.7)
        if values:
            axis.hlines(stats.median(values), -0.3, 0.3, color=FIT, label="median")
        axis.set(xlim=(-0.5, 0.5), xticks=[], ylim=(0, _above(max(values + [0.001]), 1.15)),
                 ylabel=programs.get(group.program).time_label + " (s)", title=_title(group))
    return fig


def side_by_side_figure(groups):
    """Each group's hosts (or environments, or placements) side by side:
    every one's runs as dots, its median as a bar, those judged slower in red;
    `groups` maps a group to [(name, runs, median, slow)]."""
    plt = _pyplot()
    fig, axes = _grid(plt, max(1, len(groups)), height=2.6)
    jitter = random.Random(0)
    for i, (axis, (group, hosts)) in enumerate(zip(axes, groups.items())):
        top = 0.001
        for x, (host, runs, median, slow) in enumerate(hosts):
            colour = OVER if slow else MEASURED
            axis.plot([x + jitter.uniform(-0.15, 0.15) for _ in runs], runs, "o", color=colour, alpha=0.7,
                      markersize=4, gid="slow-%d-%d" % (i, x) if slow else None)
            axis.hlines(median, x - 0.3, x + 0.3, color=OVER if slow else FIT, linewidth=2)
            top = max([top] + list(runs))
        axis.set(xlim=(-0.6, len(hosts) - 0.4), ylim=(0, _above(top, 1.15)), xticks=range(len(hosts)),
                 ylabel=programs.get(group.program).time_label + " (s)", title=_title(group))
        # Upright names from a dozen hosts on: slanted ones would run into each other.
        axis.set_xticklabels([shown(h[0]) or "unknown" for h in hosts],
                             rotation=0 if len(hosts) <= 4 else 30 if len(hosts) <= 12 else 90,
                             fontsize=7.5 if len(hosts) <= 12 else 6)
        axis.grid(axis="x", visible=False)
    return fig


# A host not like the others, by the class its row has on the page.
MARKS = {"slower": OVER, "noise": "#d4a017", "faster": "#2e8b57"}
# The hosts named in a panel of many, the furthest from the rest first: more would write over each other.
NAMED = 6


def host_medians_figure(groups):
    """Each group's hosts among many: the histogram of their medians, the
    median of those dashed, and each host not like the others marked above
    its median in its colour of MARKS (slower in red), the furthest named;
    `groups` maps a group to [(host, median, mark)], mark a key of MARKS or
    None."""
    plt = _pyplot()
    fig, axes = _grid(plt, max(1, len(groups)), height=2.6)
    for i, (axis, (group, hosts)) in enumerate(zip(axes, groups.items())):
        medians = [median for _, median, _ in hosts]
        middle = stats.median(medians)
        low, high = min(medians), max(medians)
        span = high - low or max(low * 0.01, 0.001)
        counts, _, _ = axis.hist(medians, bins=min(40, max(10, round(math.sqrt(len(medians))))),
                                 range=(low, low + span), histtype="stepfilled", color=MEASURED, alpha=0.6,
                                 linewidth=0)
        top = max(counts)
        axis.axvline(middle, color=FIT, linestyle="--", linewidth=1)
        odd = sorted((k for k, h in enumerate(hosts) if h[2] in MARKS), key=lambda k: hosts[k][1])
        named = sorted(sorted(odd, key=lambda k: -abs(hosts[k][1] - middle))[:NAMED], key=lambda k: hosts[k][1])
        # Always above the tallest bar, where a host alone in its bar still shows.
        mark_y = top * 1.08
        for mark in MARKS:
            xs = [hosts[k][1] for k in odd if hosts[k][2] == mark and mark != "slower"]
            if xs:
                axis.plot(xs, [mark_y] * len(xs), "v", color=MARKS[mark], markersize=5)
        for k in odd:
            if hosts[k][2] == "slower":
                axis.plot([hosts[k][1]], [mark_y], "v", color=OVER, markersize=6, gid="slow-%d-%d" % (i, k))
        left, right = low - 0.05 * span, min(low + 1.05 * span, CEILING)
        for n, k in enumerate(named):
            host, median, mark = hosts[k]
            # Names near the right edge run leftwards; neighbours take turns in three rows.
            axis.annotate(shown(host) or "unknown", (median, mark_y), xytext=(0, 6 + 9 * (n % 3)),
                          textcoords="offset points", ha="right" if median > (left + right) / 2 else "left",
                          fontsize=6.5, color=MARKS[mark])
        axis.set(xlim=(left, right), ylim=(0, top * 1.75), xlabel=programs.get(group.program).time_label +
                 ", host median (s)", ylabel="hosts", title="%s, %d hosts" % (_title(group), len(hosts)))
        axis.grid(axis="x", visible=False)
    return fig


WAIT = "#c8c8c8"


def balance_figure(balance, title):
    """One traced run: left, each lane's intervals on the phase's time line
    (work as solid bars, waiting as hatched grey); right, each lane's useful
    time, with the mean that the load balance compares to the largest."""
    plt = _pyplot()
    lanes = len(balance.timeline) or len(balance.useful_s)
    fig, (left, right) = plt.subplots(1, 2, figsize=(9.0, max(2.6, 1.0 + 0.42 * lanes)), constrained_layout=True,
                                      gridspec_kw={"width_ratios": (3, 1)}, sharey=True)
    end = 0.0
    for lane, intervals in enumerate(balance.timeline):
        for kind, start, stop in intervals:
            waiting = kind == "wait"
            left.broken_barh([(start, max(stop - start, 0.0))], (lane - 0.35, 0.7),
                             facecolors=WAIT if waiting else MEASURED, edgecolor="#666666" if waiting else "white",
                             hatch="///" if waiting else None, linewidth=0.3)
            end = max(end, stop)
    names = ["%s %d" % (balance.lanes, i) for i in range(lanes)]
    left.set(yticks=range(lanes), yticklabels=names, xlim=(0, _above(end or 0.001, 1.02)),
             xlabel="seconds from the phase's start", title=title)
    left.invert_yaxis()
    left.grid(axis="y", visible=False)
    right.barh(range(len(balance.useful_s)), balance.useful_s, color=MEASURED, height=0.6)
    if balance.useful_s:
        mean = sum(balance.useful_s) / len(balance.useful_s)
        right.axvline(mean, color=FIT, linestyle="--", label="mean")
        right.legend(loc="lower right", fontsize=7)
    right.set(xlabel="useful time (s)", xlim=(0, _above(max(balance.useful_s, default=0.001) or 0.001, 1.1)))
    right.grid(axis="y", visible=False)
    return fig


def history_figure(series, current, changes=None):
    """Each group's median and range in every session, over time; `series`
    maps a group to [(datetime, median, min, max, session)], `current` is the
    session to mark, `changes` maps a group to the datetimes of the first
    sessions after its steps, each marked by a dashed line."""
    plt = _pyplot()
    groups = list(series)
    fig, axes = _grid(plt, len(groups), height=2.5)
    for i, (axis, group) in enumerate(zip(axes, groups)):
        points = sorted(series[group])
        for k, when in enumerate((changes or {}).get(group, ())):
            axis.axvline(when, linestyle="--", linewidth=1, color=IDEAL, zorder=1, gid="change-%d-%d" % (i, k))
        for when, median, low, high, session in points:
            here = session == current
            axis.errorbar([when], [median], yerr=[[median - low], [high - median]], fmt="none",
                          ecolor=CURRENT if here else MEASURED, capsize=2)
            axis.plot([when], [median], "o", color=CURRENT if here else MEASURED, markersize=7 if here else 4,
                      zorder=3 if here else 2, gid="current-%d" % i if here else None)
        axis.plot([p[0] for p in points], [p[1] for p in points], "-", color=MEASURED, alpha=0.3)
        axis.set(ylim=(0, _above(max(max(p[3] for p in points), 0.001), 1.15)), title=_title(group),
                 ylabel=programs.get(group.program).time_label + " (s)")
        locator = _dates().AutoDateLocator(minticks=2, maxticks=5)
        axis.xaxis.set_major_locator(locator)
        axis.xaxis.set_major_formatter(_dates().ConciseDateFormatter(locator))
        axis.tick_params(axis="x", labelsize=7)
        if points[0][0] == points[-1][0]:
            axis.set_xlim(points[0][0] - datetime.timedelta(hours=1), points[0][0] + datetime.timedelta(hours=1))
    return fig


def _dates():
    import matplotlib.dates
    return matplotlib.dates


def svg(fig, salt):
    """The figure as an SVG element for a page, its fonts drawn as paths."""
    plt = _pyplot()
    buffer = io.StringIO()
    try:
        with plt.rc_context({"svg.hashsalt": salt}):
            fig.savefig(buffer, format="svg")
    finally:
        plt.close(fig)
    # The page says what made it; the figure's metadata would only name schemas.
    text = re.sub(r"<metadata>.*?</metadata>\s*", "", buffer.getvalue(), flags=re.S)
    # Every id of its own on a page of several figures (glyphs, clip paths).
    text = text.replace('id="', 'id="%s-' % salt).replace('href="#', 'href="#%s-' % salt)
    return text[text.index("<svg"):].replace("url(#", "url(#%s-" % salt)


def png(fig, path):
    """Writes the figure whole to `path`, or raises OSError having changed nothing."""
    buffer = io.BytesIO()
    try:
        fig.savefig(buffer, format="png", dpi=110)
    finally:
        _pyplot().close(fig)
    files.write(path, buffer.getvalue())


def plot(rows, path, capacities):
    """run-suite --plot: a PNG per swept program at two or more counts."""
    swept = [p for p in programs.PROGRAMS if p.sweep]
    sections = []
    for program in swept:
        for variant, mine in summary.variants(rows).items():
            section = scaling.analyse(mine, program, capacities.get(program.sweep.field, Capacity(None, "")), least=2)
            if section:
                sections.append((program, replace(section, environment=variant[0], bind=variant[1])))
    if not sections:
        print("plot: needs %s; no plot written" % " or ".join(
            "%s at two or more %s counts (%s 1,2,4)" % (p.name, p.sweep.unit, p.sweep.option) for p in swept))
        return
    why = unavailable()
    if why:
        print("plot: %s; the table above is all there is" % why)
        return
    for program, section in sections:
        png(scaling_figure(section), path_for(path, program, section.variant))
        print("plot: wrote %s" % path_for(path, program, section.variant))

