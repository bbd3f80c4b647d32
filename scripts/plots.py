"""Scaling plots, drawn with gnuplot: the tree search's speed-up against
processes, and dynamicwork's against threads."""

import os
import shutil
import subprocess


def dynamicwork_path(path):
    """Where dynamicwork's plot goes beside the tree search's: scaling.png gives
    scaling-dynamicwork.png."""
    stem, ext = os.path.splitext(path)
    return stem + "-dynamicwork" + (ext or ".png")


def treesearch_points(rows):
    """(processes, median speed-up %) as the program reports it."""
    return sorted((r["procs"], r["speedup_pct"]) for r in rows
                  if r["program"] == "treesearch" and r["speedup_pct"] is not None)


def dynamicwork_points(rows):
    """(threads, speed-up %) against the group with 1 thread, else the smallest
    count, from median times; and that reference count."""
    times = sorted((r["threads"], r["time_s"]["median"]) for r in rows
                   if r["program"] == "dynamicwork" and r["time_s"] and r["time_s"]["median"] > 0)
    if not times:
        return [], None
    ref_threads, ref_time = times[0]
    return [(n, 100.0 * ref_time / t) for n, t in times], ref_threads


def _draw(path, title, xlabel, points, ideal):
    data = "\n".join("%d %f" % p for p in points)
    script = "\n".join([
        "set terminal pngcairo size 800,560" if _has_cairo() else "set terminal png size 800,560",
        "set output '%s'" % path.replace("'", "''"),
        "set title '%s'" % title,
        "set xlabel '%s'" % xlabel, "set ylabel 'speed-up (%)'",
        "set key left top", "set grid",
        "set xrange [0:%d]" % (points[-1][0] + 1), "set yrange [0:*]",
        "plot %s title 'ideal' with lines dashtype 2, "
        "'-' using 1:2 title 'measured (median)' with linespoints pointtype 7" % ideal,
        data, "e", ""])
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    print("plot: wrote %s" % path)


def _has_cairo():
    out = subprocess.run(["gnuplot", "-e", "set terminal"], capture_output=True, text=True)
    return "pngcairo" in out.stdout + out.stderr


def plot(rows, path):
    tree = treesearch_points(rows)
    dyn, ref = dynamicwork_points(rows)
    if len(tree) < 2 and len(dyn) < 2:
        print("plot: needs treesearch at two or more process counts (--procs 1,2,4) or dynamicwork at two "
              "or more thread counts (--threads 1,2,4); no plot written")
        return
    if shutil.which("gnuplot") is None:
        print("plot: gnuplot is not installed (apt-get install gnuplot-nox); the table above is all there is")
        return
    if len(tree) >= 2:
        _draw(path, "treesearch: strong scaling", "processes", tree, "100*x")
    if len(dyn) >= 2:
        _draw(dynamicwork_path(path), "dynamicwork: speed-up against %d thread%s" % (ref, "" if ref == 1 else "s"),
              "threads", dyn, "100*x/%d" % ref)
