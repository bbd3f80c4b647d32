"""Scaling analysis of a sweep: for each count the median speed-up, the
efficiency and the Karp-Flatt serial fraction, and a fit of Amdahl's law.

Amdahl's law says a share f of the work does not divide: S(p) = 1 / (f + (1 - f) / p),
so the speed-up can never pass 1/f. The Karp-Flatt metric
e = (1/S - 1/p) / (1 - 1/p) is the f that one count's speed-up alone implies:
a steady e means a serial share; a growing e means overhead that grows with p.

Counts beyond the cores or slots (oversubscribed) are shown but not fitted for
a program whose processes or threads compete for cores: there the speed-up
stops for want of cores, not because of the program.
"""

import math
import warnings
from dataclasses import replace

from . import summary
from ..base import optional
from ..base.text import noun, plural
from ..model import programs
from ..model.document import Capacity, ScalingFit, ScalingPoint, ScalingSection

MIN_FIT_COUNTS = 3


def _scipy():
    if optional.load(optional.SCIPY) is None:
        return None
    import scipy.optimize
    return scipy


def amdahl(p, f, reference=1):
    """Amdahl's speed-up at `p` against `reference` (1 for the usual form)."""
    return (f + (1 - f) / reference) / (f + (1 - f) / p)


def karp_flatt(speedup, p):
    return (1 / speedup - 1 / p) / (1 - 1 / p) if p >= 2 and speedup > 0 else None


def fit(counts, speedups, reference=1):
    """(f, (low, high) 95 % interval) of Amdahl's law fitted to the points."""
    scipy = _scipy()
    # What goes wrong is answered below (no interval) or raised; scipy's warnings would only repeat it.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        (f,), cov = scipy.optimize.curve_fit(lambda p, f: amdahl(p, f, reference), counts, speedups, p0=[0.05],
                                             bounds=(-1.0, 1.0))
    dof = len(counts) - 1
    half = scipy.stats.t.ppf(0.975, dof) * math.sqrt(cov[0][0]) if math.isfinite(cov[0][0]) else math.inf
    if not math.isfinite(half):
        return float(f), (-1.0, 1.0)   # no interval to be had: all that the fit allowed
    return float(f), (float(f - half), float(f + half))


def analyse(rows, program, capacity, least=MIN_FIT_COUNTS):
    """The ScalingSection of `program`'s sweep in `rows` (summary rows), or
    None when it ran at fewer than `least` counts. `capacity`: a Capacity, the
    processes or threads that had cores or slots of their own."""
    found, reference = summary.speedups(rows, program)
    found = [(n, pct) for n, pct in found if math.isfinite(pct) and pct > 0]
    if len(found) < least:
        return None
    unit = program.sweep.unit
    points = []
    for count, pct in found:
        s = pct / 100.0
        over = capacity.count is not None and count > capacity.count
        points.append(ScalingPoint(count, s, 100.0 * s / (count / (reference or 1)),
                                   # The metric assumes a speed-up against one process or thread.
                                   karp_flatt(s, count) if (reference or 1) == 1 else None,
                                   over, not over or not program.competes_for_cores))
    section = ScalingSection(program.name, unit, reference, capacity, tuple(points))
    used = [p for p in points if p.fitted and math.isfinite(p.speedup)]
    left_out = tuple(p.count for p in points if not p.fitted)
    if len(used) < MIN_FIT_COUNTS:
        return replace(section, no_fit="only %s had cores or slots of their own (%s); a fit needs %d counts" % (
            _counts([p.count for p in used], unit), capacity_text(capacity), MIN_FIT_COUNTS))
    if _scipy() is None:
        return replace(section, no_fit=optional.missing(optional.SCIPY, optional.DRAWING))
    try:
        f, (low, high) = fit([p.count for p in used], [p.speedup for p in used], reference or 1)
    except RuntimeError:   # the least squares did not converge: no curve of the law comes near the points
        return replace(section, no_fit="the fit found no serial fraction (no curve of the law comes near the "
                                       "points)")
    except ValueError as e:
        return replace(section, no_fit="the fit found no serial fraction (%s)" % e)
    return replace(section, fit=ScalingFit(f, (low, high), 1 / f if f > 0 else None, tuple(p.count for p in used),
                                           left_out))


def capacity_text(capacity):
    """"this host's cores (2)"."""
    return "%s (%s)" % (capacity.of, capacity.count)


def _counts(counts, unit):
    if not counts:
        return "no count"
    return "%s %s" % (", ".join(str(c) for c in counts), noun(counts[-1], unit))


def _f(value):
    return "%.3f" % (round(value, 3) + 0.0)  # no "-0.000"


def line(section):
    """The text summary of a sweep, one line beginning with the program's name."""
    program = programs.get(section.program)
    unit = section.unit
    over = [p.count for p in section.points if p.oversubscribed]
    if over and program.competes_for_cores:
        oversubscribed = "; %s beyond %s, left out" % (_counts(over, unit), capacity_text(section.capacity))
    elif over:
        oversubscribed = "; %s beyond %s, fitted too: its work sleeps and takes no core" % (
            _counts(over, unit), capacity_text(section.capacity))
    else:
        oversubscribed = ""
    name = section.title()
    if not section.fit:
        return "%s: no Amdahl fit: %s%s" % (name, section.no_fit, oversubscribed)
    fitted = section.fit
    limit = "speed-up limit 1/f = %.0f×" % fitted.limit if fitted.limit else "no speed-up limit in sight"
    against = " against %s" % plural(section.reference, unit) if section.reference else ""
    return "%s: serial fraction f = %s (95 %% interval %s to %s), %s; Amdahl fit to %s%s%s" % (
        name, _f(fitted.serial_fraction), _f(fitted.ci95[0]), _f(fitted.ci95[1]), limit,
        _counts(fitted.counts, unit), against, oversubscribed)


def sweeps(rows, capacities):
    """The ScalingSections of every sweep in `rows`; `capacities` maps a
    sweep's field ("procs", "threads") to its Capacity."""
    found = []
    for program in programs.PROGRAMS:
        if program.sweep:
            for (environment, bind), mine in summary.variants(rows).items():
                section = analyse(mine, program, capacities.get(program.sweep.field, Capacity(None, "unknown")))
                if section:
                    found.append(replace(section, environment=environment, bind=bind))
    return found


def of_document(session):
    """A Session's ScalingSections; those written before the analysis get
    one from their summary and the machine's cores."""
    if session.scaling is not None:
        return session.scaling
    prov = session.provenance
    return sweeps(session.summary, {"procs": Capacity(prov.physical_cores, "the host's cores"),
                                    "threads": Capacity(prov.hardware_threads, "its hardware threads")})


def fit_lines(before, after):
    """Lines comparing the serial fraction of the sweeps both Sessions fitted."""
    old = {(s.program, s.variant): s for s in of_document(before) if s.fit}
    lines = []
    for section in of_document(after):
        if section.fit and (section.program, section.variant) in old:
            a, b = old[section.program, section.variant].fit, section.fit
            lines.append("%s: serial fraction %s (%s to %s) in the baseline, %s (%s to %s) now" % (
                section.title(), _f(a.serial_fraction), _f(a.ci95[0]), _f(a.ci95[1]),
                _f(b.serial_fraction), _f(b.ci95[0]), _f(b.ci95[1])))
    return lines
