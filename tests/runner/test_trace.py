"""What the trace files of a run come to (figures, lanes, waits), how the
variables reach an MPI program's processes, and runs that cannot be traced."""

import json

import pytest

from parbench import compare, document, mpi, programs, summary, trace
from parbench.launch import Launch
from parbench.programs import Group

pytestmark = pytest.mark.unit
S = 1_000_000_000   # ns


def write(folder, name, lines):
    (folder / ("%s.trace" % name)).write_text("host h\npid 1\n" + "\n".join(lines) + "\n")


def test_sleeping_threads_count_their_items_and_wait_at_the_region_end(tmp_path):
    # Thread 0 sleeps 1 s in two items, thread 1 sleeps 3 s in one; the region lasts 3.2 s.
    write(tmp_path, "a", ["span %d %d" % (10 * S, 13.2 * S),
                          "region 0 %d %d" % (10 * S, 11.1 * S), "region 1 %d %d" % (10 * S, 13.1 * S),
                          "work 0 %d %d 400000" % (10 * S, 10.4 * S), "work 0 %d %d 600000" % (10.4 * S, 11 * S),
                          "work 1 %d %d 3000000" % (10 * S, 13 * S),
                          "garbage line", "work 1 12"])   # lines cut short are skipped
    balance, why = trace.read(str(tmp_path), programs.get("splitwork"), None, 3.2)
    assert why is None
    assert balance.useful_s == (1.0, 3.0) and balance.items == (2, 1) and balance.work_s == (1.0, 3.0)
    assert balance.waiting_s == pytest.approx((2.1, 0.1))
    assert balance.load_balance == pytest.approx(2.0 / 3.0)
    assert balance.communication_efficiency == pytest.approx(3.0 / 3.2)
    assert balance.parallel_efficiency == pytest.approx(2.0 / 3.2)
    # Thread 0's timeline: its two items, then its wait, from the phase's start.
    assert balance.timeline[0] == (("work", 0.0, 0.4), ("work", 0.4, 1.0), ("wait", 1.1, 3.2))


def test_a_region_program_counts_each_threads_share_of_the_region(tmp_path):
    write(tmp_path, "q", ["span 0 %d" % (2 * S), "region 0 0 %d" % (2 * S)])
    balance, _ = trace.read(str(tmp_path), programs.get("queuedrain"), None, 0.002)
    assert balance.useful_s == (2.0,) and balance.items is None and balance.load_balance == 1.0
    # The phase's time comes from the program's own report, not from the trace.
    assert balance.communication_efficiency == pytest.approx(1000.0)


def test_processes_scan_between_the_broadcast_and_the_reduction(tmp_path):
    # Rank 1 waits in the broadcast from long before the phase (the root writes the file then).
    write(tmp_path, "r0", ["rank 0", "call MPI_Bcast %d %d" % (100 * S, 100 * S + 1000),
                           "call MPI_Reduce %d %d" % (102 * S, 103 * S)])
    write(tmp_path, "r1", ["rank 1", "call MPI_Bcast %d %d" % (90 * S, 100 * S + 1000),
                           "call MPI_Reduce %d %d" % (103 * S - 1000, 103 * S)])
    treesearch = programs.get("treesearch")
    balance, _ = trace.read(str(tmp_path), treesearch, 2, 3.0)
    assert balance.lanes == "process"
    assert balance.useful_s == pytest.approx((2.0, 3.0), abs=1e-5)
    assert balance.waiting_s == pytest.approx((1.0, 0.0), abs=1e-5)
    assert balance.load_balance == pytest.approx(2.5 / 3.0, abs=1e-5)
    assert balance.timeline[1][0] == ("wait", 0.0, 1e-06)   # clipped to the phase
    # A process whose trace never came back leaves the run without figures, and says so.
    assert trace.read(str(tmp_path), treesearch, 3, 3.0) == (None, "traces came back from 2 of 3 processes")


@pytest.mark.parametrize("files, why", [
    ({}, "no trace came back"),
    ({"x": ["host h"]}, "no parallel region was traced"),
    ({"x": ["span 0 1"], "y": ["span 0 1"]}, "no parallel region was traced"),
    ({"x": ["span 0 1", "region 0 0 1", "lost 5"]}, "5 events did not fit in the tracing library's buffer"),
])
def test_traces_that_say_nothing_leave_no_figures(tmp_path, files, why):
    for name, lines in files.items():
        write(tmp_path, name, lines)
    assert trace.read(str(tmp_path), programs.get("arraysum"), None, 1.0) == (None, why)


def test_each_launcher_hands_the_library_to_the_processes_in_its_own_words():
    env = {"LD_PRELOAD": "/b/trace/lib.so", trace.FOLDER_VARIABLE: "/s/t"}
    srun = Launch(mpi.Mpi("mpirun"), 4, "x", template="srun --mpi=pmix -n {procs}")
    cmd, _ = srun.command(["prog"], 4, srun.rank_environment(env))
    assert cmd == ["srun", "--export=ALL,LD_PRELOAD=/b/trace/lib.so,PARBENCH_TRACE=/s/t", "--mpi=pmix", "-n", "4",
                   "prog"]
    assert isinstance(srun.rank_environment({"A": "1,2"}), mpi.Unavailable)
    other = Launch(mpi.Mpi("mpirun"), 4, "x", template="mylaunch -np {procs}")
    assert "mylaunch" in other.rank_environment(env).why
    hydra = Launch(mpi.Hydra("mpiexec", "4.2.1"), 4, "x")
    cmd, _ = hydra.command(["prog"], 2, hydra.rank_environment(env))
    assert cmd[-7:] == ["-genv", "LD_PRELOAD", "/b/trace/lib.so", "-genv", "PARBENCH_TRACE", "/s/t", "prog"]


def test_a_run_that_cannot_be_traced_completes_untraced_with_one_line(stand_ins):
    # Stand-ins have no tracing library built; a launcher template of no known kind passes nothing either.
    run = stand_ins.suite("--only", "arraysum,treesearch", "--procs", "2", "--trace",
                          "--launcher", "mpirun -n {procs}")
    assert run.returncode == 0, run.stderr
    untraced = [line for line in run.stdout.splitlines() if "runs untraced" in line]
    assert len(untraced) == 2 and all("--trace" in line for line in untraced), run.stdout
    assert "load balance" not in run.stdout
    [log] = stand_ins.logs()
    with open(log[:-4] + ".json") as f:
        doc = json.load(f)
    assert all("balance" not in r for r in doc["runs"]) and doc["format"] == document.FORMAT


def _session(balances):
    runs = [document.Run(Group("splitwork", None, 4), i + 1, {"parallel_s": "18.0", "sequential_s": "42.0",
                                                              "speedup_pct": "233.33"}, exit_status=0, duration_s=60.0, balance=b)
            for i, b in enumerate(balances)]
    rows = [document.Summary(Group("splitwork", None, 4), len(runs), 0, balance=trace.of_group(balances))]
    return document.build("20261209T120000.000Z-h-abcdef", {"host": "h"}, runs, rows)


def _balance(lb):
    return document.Balance("thread", (lb, 1.0), (1.0 - lb, 0.0), lb, 0.98, lb * 0.98,
                            timeline=((("work", 0.0, lb),), (("work", 0.0, 1.0),)))


def test_group_medians_are_printed_kept_and_compared():
    old, new = _session([_balance(0.5), _balance(0.6), _balance(0.9)]), _session([_balance(0.95)] * 3)
    [row] = old.summary
    assert (row.balance.traced, row.balance.load_balance) == (3, 0.6)
    assert trace.line(row) == ("splitwork with 4 threads: load balance 0.60, communication efficiency 0.98, "
                               "parallel efficiency 0.59 (below 0.8); median of 3 traced runs")
    assert trace.line(new.summary[0]).endswith("parallel efficiency 0.93 (good); median of 3 traced runs")
    # Kept whole through the document, and the schema holds.
    again = document.parse(document.dumps(new).encode(), "x")
    assert again.runs[0].balance == new.runs[0].balance and again.summary[0].balance == new.summary[0].balance
    assert document.schema_problems(json.loads(document.dumps(new))) in ([], None)
    lines = compare.compare("old", old, new).lines()
    assert "baseline: load balance: splitwork with 4 threads: load balance 0.60 -> 0.95, " \
           "parallel efficiency 0.59 -> 0.93" in lines


def test_a_traced_sweep_of_a_sleeper_is_judged_against_the_work_each_count_drew():
    def row(threads, time_s, work_s):
        return document.Summary(Group("dynamicwork", None, threads), 3, 0,
                                time_s=document.Spread(time_s, time_s, time_s),
                                balance=document.GroupBalance(3, 0.99, 0.99, 0.98, work_s) if work_s else None)
    dynamicwork = programs.get("dynamicwork")
    # Two threads drew 36 s of work against one thread's 40 s: 18 s is ideal, not faster than ideal.
    drawn = [row(1, 40.0, 40.0), row(2, 18.0, 36.0)]
    assert summary.relative_speedups(drawn, dynamicwork) == ([(1, 100.0), (2, 200.0)], 1)
    assert "2 threads 200 % (per second of the work each count drew)" in "\n".join(summary.notes(drawn))
    # One untraced count: the times as they are.
    mixed = [row(1, 40.0, 40.0), row(2, 18.0, None)]
    assert summary.relative_speedups(mixed, dynamicwork)[0][1][1] == pytest.approx(222.2, abs=0.1)


def test_an_archive_that_cannot_be_written_costs_one_line_not_the_runs(tmp_path, monkeypatch, capsys):
    from types import SimpleNamespace
    from parbench import otf2trace, runs

    def fails(*args):
        raise Exception("PROCESSED_WITH_FAULTS")   # as the OTF2 library's own error class does
    monkeypatch.setattr(otf2trace, "write", fails)
    write(tmp_path, "q", ["span 0 %d" % (2 * S), "region 0 0 %d" % (2 * S)])
    run = SimpleNamespace(program=programs.get("queuedrain"), procs=None, index=1, group=Group("queuedrain", None, 1))
    plan = SimpleNamespace(trace_dir=str(tmp_path / "archives"), session="s")
    balance = runs.balance_of(run, plan, {"time_s": "0.002000"}, str(tmp_path))
    assert balance is not None and balance.useful_s == (2.0,)
    assert "queuedrain run 1: no OTF2 archive: PROCESSED_WITH_FAULTS" in capsys.readouterr().out
