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

from . import programs, summary

INSTALL = "apt-get install python3-matplotlib python3-scipy, or pip install --user matplotlib scipy"
MIN_FIT_COUNTS = 3


def _scipy():
    try:
        import scipy.optimize
        import scipy.stats
        return scipy
    except ImportError:
        return None


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


def analyse(rows, program, capacity, capacity_of, least=MIN_FIT_COUNTS):
    """The scaling section of `program`'s sweep in `rows` (summary rows), or
    None when it ran at fewer than `least` counts. `capacity`: the processes or
    threads that had cores or slots of their own, `capacity_of` what they are."""
    points, reference = summary.speedups(rows, program)
    points = [(n, pct) for n, pct in points if math.isfinite(pct) and pct > 0]
    if len(points) < least:
        return None
    unit = program.sweep.unit
    section = {"program": program.name, "unit": unit, "reference": reference, "capacity": capacity,
               "capacity_of": capacity_of, "points": [], "fit": None, "no_fit": None}
    for count, pct in points:
        s = pct / 100.0
        over = capacity is not None and count > capacity
        section["points"].append({
            "count": count, "speedup": s, "efficiency_pct": 100.0 * s / (count / (reference or 1)),
            # The metric assumes a speed-up against one process or thread.
            "karp_flatt": karp_flatt(s, count) if (reference or 1) == 1 else None,
            "oversubscribed": over, "fitted": not over or not program.competes_for_cores})
    used = [p for p in section["points"] if p["fitted"] and math.isfinite(p["speedup"])]
    left_out = [p["count"] for p in section["points"] if not p["fitted"]]
    if len(used) < MIN_FIT_COUNTS:
        section["no_fit"] = "only %s had cores or slots of their own (%s); a fit needs %d counts" % (
            _counts([p["count"] for p in used], unit), _capacity(section), MIN_FIT_COUNTS)
    elif _scipy() is None:
        section["no_fit"] = "SciPy is not installed (%s)" % INSTALL
    else:
        try:
            f, (low, high) = fit([p["count"] for p in used], [p["speedup"] for p in used], reference or 1)
        except (RuntimeError, ValueError) as e:   # points no curve of the law comes near
            section["no_fit"] = "the fit found no serial fraction (%s)" % str(e).split(":")[0]
            return section
        section["fit"] = {"serial_fraction": f, "ci95": [low, high], "limit": 1 / f if f > 0 else None,
                          "counts": [p["count"] for p in used], "left_out": left_out}
    return section


def _capacity(section):
    return "%s (%s)" % (section["capacity_of"], section["capacity"])


def _counts(counts, unit):
    if not counts:
        return "no count"
    return "%s %s" % (", ".join(str(c) for c in counts), programs.plural(counts[-1], unit).split(" ", 1)[1])


def _f(value):
    return "%.3f" % (round(value, 3) + 0.0)  # no "-0.000"


def line(section):
    """The text summary of a sweep, one line beginning with the program's name."""
    program = programs.get(section["program"])
    unit = section["unit"]
    over = [p["count"] for p in section["points"] if p["oversubscribed"]]
    if over and program.competes_for_cores:
        oversubscribed = "; %s beyond %s, left out" % (_counts(over, unit), _capacity(section))
    elif over:
        oversubscribed = "; %s beyond %s, fitted too: its work sleeps and takes no core" % (
            _counts(over, unit), _capacity(section))
    else:
        oversubscribed = ""
    if not section["fit"]:
        return "%s: no Amdahl fit: %s%s" % (program.name, section["no_fit"], oversubscribed)
    fitted = section["fit"]
    limit = "speed-up limit 1/f = %.0f×" % fitted["limit"] if fitted["limit"] else "no speed-up limit in sight"
    against = " against %s" % programs.plural(section["reference"], unit) if section["reference"] else ""
    return "%s: serial fraction f = %s (95 %% interval %s to %s), %s; Amdahl fit to %s%s%s" % (
        program.name, _f(fitted["serial_fraction"]), _f(fitted["ci95"][0]), _f(fitted["ci95"][1]), limit,
        _counts(fitted["counts"], unit), against, oversubscribed)


def sweeps(rows, capacities):
    """The scaling sections of every sweep in `rows`; `capacities` maps a
    sweep's field ("procs", "threads") to (capacity, what it is)."""
    found = []
    for program in programs.PROGRAMS:
        if program.sweep:
            capacity, capacity_of = capacities.get(program.sweep.field, (None, "unknown"))
            section = analyse(rows, program, capacity, capacity_of)
            if section:
                found.append(section)
    return found


def of_document(session):
    """A Session's scaling sections; those written before the analysis get
    one from their summary and the machine's cores."""
    if session.scaling is not None:
        return session.scaling
    prov = session.provenance
    return sweeps(session.summary, {"procs": (prov.physical_cores, "the host's cores"),
                                    "threads": (prov.hardware_threads, "its hardware threads")})


def changes(before, after):
    """Lines comparing the serial fraction of the sweeps both Sessions fitted."""
    old = {s["program"]: s for s in of_document(before) if s.get("fit")}
    lines = []
    for section in of_document(after):
        if section.get("fit") and section["program"] in old:
            a, b = old[section["program"]]["fit"], section["fit"]
            lines.append("%s: serial fraction %s (%s to %s) in the baseline, %s (%s to %s) now" % (
                section["program"], _f(a["serial_fraction"]), _f(a["ci95"][0]), _f(a["ci95"][1]),
                _f(b["serial_fraction"]), _f(b["ci95"][0]), _f(b["ci95"][1])))
    return lines
