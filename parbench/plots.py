"""Scaling plots, drawn with gnuplot: each swept program's speed-up against its
counts, with the ideal line."""

import os
import shutil
import subprocess

from . import programs, summary


def path_for(path, program):
    """Where `program`'s plot goes: scaling.png gives scaling-dynamicwork.png
    for a program whose plot adds "-dynamicwork"."""
    if not program.plot_suffix:
        return path
    stem, ext = os.path.splitext(path)
    return stem + program.plot_suffix + (ext or ".png")


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
    swept = [p for p in programs.PROGRAMS if p.sweep]
    sweeps = [(p, *summary.speedups(rows, p)) for p in swept]
    sweeps = [(p, points, ref) for p, points, ref in sweeps if len(points) >= 2]
    if not sweeps:
        print("plot: needs %s; no plot written" % " or ".join(
            "%s at two or more %s counts (%s 1,2,4)" % (p.name, p.sweep.unit, p.sweep.option) for p in swept))
        return
    if shutil.which("gnuplot") is None:
        print("plot: gnuplot is not installed (apt-get install gnuplot-nox); the table above is all there is")
        return
    for program, points, ref in sweeps:
        unit = program.sweep.unit
        if ref is None:
            _draw(path_for(path, program), "%s: strong scaling" % program.name, program.sweep.units, points, "100*x")
        else:
            _draw(path_for(path, program), "%s: speed-up against %s" % (program.name, programs.plural(ref, unit)),
                  program.sweep.units, points, "100*x/%d" % ref)
