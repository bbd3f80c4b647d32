"""The statistics of a group's runs."""

import math
import statistics


def median(values):
    """The median of the values that are numbers; nan when there are none."""
    values = [v for v in values if not math.isnan(v)]
    return statistics.median(values) if values else math.nan


def spread(values):
    """(median, min, max, coefficient of variation in percent) of the finite
    values, or None; the coefficient needs two values and a mean above zero."""
    finite = [v for v in values if math.isfinite(v)]
    if not finite:
        return None
    mean = statistics.fmean(finite)
    cv = 100.0 * statistics.stdev(finite) / mean if len(finite) >= 2 and mean > 0 else None
    return {"median": statistics.median(finite), "min": min(finite), "max": max(finite), "cv_pct": cv}
