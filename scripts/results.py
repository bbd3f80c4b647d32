"""What a suite run produced: the summary of its groups, the CSV rows, the JSON
document with the provenance of the numbers, and the table."""

import datetime
import glob
import json
import math
import os
import platform
import re
import shlex
import socket
import statistics
import subprocess

import launch
import reports

# The eight first columns are the CSV's original ones; readers rely on their order.
CSV_FIELDS = ("program", "run", "procs", "parallel_s", "sequential_s", "time_s", "speedup_pct", "verdict",
              "threads")
TIMES = ("parallel_s", "sequential_s", "time_s")
NOISY_CV_PCT = 5.0


def main_time(program):
    """The time a group is judged by: the parallel phase where there is one."""
    return "time_s" if program in ("queuedrain", "dynamicwork") else "parallel_s"


def group_key(row):
    return (row["program"], row["procs"], row["threads"])


def plural(n, word):
    return "%d %s%s" % (n, word, "" if n == 1 else "es" if word.endswith("s") else "s")


def describe(key):
    program, procs, threads = key
    return "%s with %s" % (program, plural(procs, "process") if procs else plural(threads, "thread"))


def time_label(program):
    return "parallel time" if main_time(program) == "parallel_s" else "time"


def _spread(values):
    """(median, min, max, coefficient of variation in percent) of finite values;
    the coefficient needs two values and a mean above zero."""
    finite = [v for v in values if math.isfinite(v)]
    if not finite:
        return None
    mean = statistics.fmean(finite)
    cv = 100.0 * statistics.stdev(finite) / mean if len(finite) >= 2 and mean > 0 else None
    return {"median": reports.median(finite), "min": min(finite), "max": max(finite), "cv_pct": cv}


def summarise(results):
    """One row per program and process or thread count, from the runs without a
    problem: runs, failed runs, the spread of each time, the median speed-up
    and, for treesearch, the parallel efficiency."""
    groups = {}
    for r in results:
        groups.setdefault(group_key(r), []).append(r)
    rows = []
    for (program, procs, threads), group in groups.items():
        # A failed run's figures, if it printed any, describe no valid measurement.
        runs = [r for r in group if not r["problem"]]
        row = {"program": program, "procs": procs, "threads": threads, "runs": len(runs),
               "failed": len(group) - len(runs)}
        for name in TIMES:
            row[name] = _spread([reports.parse_number(r["figures"][name]) for r in runs
                                 if r["figures"].get(name)])
        speedups = [reports.parse_number(r["figures"]["speedup_pct"]) for r in runs
                    if r["figures"].get("speedup_pct")]
        speedups = [v for v in speedups if not math.isnan(v)]
        row["speedup_pct"] = reports.median(speedups) if speedups else None
        row["efficiency_pct"] = row["speedup_pct"] / procs if procs and row["speedup_pct"] is not None else None
        rows.append(row)
    return rows


def noisy(row):
    """The coefficient of variation of a group's main time when three or more
    runs make it worth reading and it exceeds NOISY_CV_PCT, else None."""
    spread = row[main_time(row["program"])]
    if row["runs"] >= 3 and spread and spread["cv_pct"] is not None and spread["cv_pct"] > NOISY_CV_PCT:
        return spread["cv_pct"]
    return None


def csv_row(result):
    f = result["figures"]
    row = {name: f.get(name) or "" for name in ("parallel_s", "sequential_s", "time_s", "speedup_pct", "verdict")}
    row.update(program=result["program"], run=result["run"], procs=result["procs"] or "",
               threads=result["threads"] or "")
    return row


def format_table(rows, changes=None):
    """The summary as aligned columns; `changes` maps a group key to the text of
    its change against a baseline, which adds a column."""
    def span(t):
        return "%.3f / %.3f / %.3f" % (t["median"], t["min"], t["max"]) if t else "-"

    def cv(row):
        spread = row[main_time(row["program"])]
        if row["runs"] < 3 or not spread or spread["cv_pct"] is None:
            return "-"
        return "%.1f" % spread["cv_pct"]

    header = ["program", "procs/threads", "runs", "parallel s (med/min/max)", "sequential s (med/min/max)",
              "time s (med/min/max)", "cv %", "speed-up %", "efficiency %"]
    if changes is not None:
        header.append("vs baseline")
    lines = [header]
    for row in rows:
        line = [row["program"], str(row["procs"] or row["threads"]),
                str(row["runs"]) + (" (%d failed)" % row["failed"] if row["failed"] else ""),
                span(row["parallel_s"]), span(row["sequential_s"]), span(row["time_s"]), cv(row),
                "%.2f" % row["speedup_pct"] if row["speedup_pct"] is not None else "-",
                "%.1f" % row["efficiency_pct"] if row["efficiency_pct"] is not None else "-"]
        if changes is not None:
            line.append(changes.get(group_key(row), "-"))
        lines.append(line)
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    return "\n".join("  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip() for line in lines)


# Provenance: what produced the numbers, so that two documents can be compared.

def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def _search(pattern, text, group=1):
    m = re.search(pattern, text, re.MULTILINE)
    return m.group(group).strip() if m else None


# The _OPENMP date of each OpenMP version.
OPENMP_VERSIONS = {"200505": "2.5", "200805": "3.0", "201107": "3.1", "201307": "4.0", "201511": "4.5",
                   "201811": "5.0", "202011": "5.1", "202111": "5.2", "202411": "6.0"}


def build_info(build_dir):
    """Compiler, build type and OpenMP version as CMake found them for the build."""
    cache = _read(os.path.join(build_dir, "CMakeCache.txt"))
    compiler = ""
    for path in sorted(glob.glob(os.path.join(build_dir, "CMakeFiles", "*", "CMakeCXXCompiler.cmake"))):
        compiler = _read(path)
    openmp_date = _search(r"^OpenMP_CXX_SPEC_DATE:\w+=(\d+)", cache)
    return {
        "compiler": {"id": _search(r'CMAKE_CXX_COMPILER_ID "([^"]*)"', compiler),
                     "version": _search(r'CMAKE_CXX_COMPILER_VERSION "([^"]*)"', compiler),
                     "path": _search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", cache)},
        "build_type": _search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", cache),
        "openmp": {"_OPENMP": openmp_date, "version": OPENMP_VERSIONS.get(openmp_date),
                   "runtime_libraries": _search(r"^OpenMP_CXX_LIB_NAMES:\w+=(.*)$", cache)},
    }


def _git(root, *args):
    try:
        out = subprocess.run(["git", "-C", root, *args], capture_output=True, text=True, timeout=20)
        return out.stdout.strip() if out.returncode == 0 else None
    except (OSError, subprocess.SubprocessError):
        return None


# The variables that steer the OpenMP runtime and the MPI families.
ENVIRONMENT_PREFIXES = ("OMP_", "OMPI_MCA_", "PRTE_MCA_", "PMIX_MCA_", "MPIR_CVAR_", "HYDRA_", "UCX_")


def provenance(build_dir, root, argv, mpi_found, launcher):
    os_release = _read("/etc/os-release")
    cpuinfo = _read("/proc/cpuinfo")
    memtotal = _search(r"^MemTotal:\s+(\d+) kB", _read("/proc/meminfo"))
    status = _git(root, "status", "--porcelain")
    info = {
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "host": socket.gethostname(),
        "os": _search(r'^PRETTY_NAME="?([^"\n]*)', os_release) or platform.system(),
        "kernel": platform.release(),
        "machine": platform.machine(),
        "cpu_model": _search(r"^model name\s*:(.*)$", cpuinfo) or platform.processor() or None,
        "physical_cores": launch.physical_cores(),
        "hardware_threads": os.cpu_count(),
        "memory_bytes": int(memtotal) * 1024 if memtotal else None,
        "mpi": {"implementation": mpi_found.implementation, "family": mpi_found.family,
                "version": mpi_found.version, "launcher": launcher},
        "environment": {k: v for k, v in sorted(os.environ.items()) if k.startswith(ENVIRONMENT_PREFIXES)},
        "git": {"commit": _git(root, "rev-parse", "HEAD"),
                "uncommitted_changes": bool(status) if status is not None else None},
        "command": " ".join(shlex.quote(a) for a in argv),
    }
    info.update(build_info(build_dir))
    return info


def document(prov, results, rows):
    """The JSON document of a suite run. Runs keep the figures as printed (the
    CSV's text, "inf" included); the summary has numbers, null where none is finite."""
    runs = []
    for r in results:
        run = {k: (v if v != "" else None) for k, v in csv_row(r).items()}
        run.update(procs=r["procs"], threads=r["threads"], exit_status=r["status"],
                   duration_s=round(r["seconds"], 3), problem=r["problem"], binding=r.get("binding"))
        runs.append(run)
    summary = []
    for row in rows:
        entry = dict(row)
        for name in TIMES:
            if entry[name]:
                entry[name] = {k: (v if v is None or math.isfinite(v) else None) for k, v in entry[name].items()}
        entry["main_time"] = main_time(row["program"])
        for name in ("speedup_pct", "efficiency_pct"):
            if entry[name] is not None and not math.isfinite(entry[name]):
                entry[name] = None
        summary.append(entry)
    return {"format": 1, "provenance": prov, "runs": runs, "summary": summary}


def write_json(path, doc):
    with open(path, "w") as f:
        json.dump(doc, f, indent=2, allow_nan=False)
        f.write("\n")
