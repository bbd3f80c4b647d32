"""Hosts side by side on made-up stores: which host is named slow and when
none is, what two hosts cannot tell, Holm's correction over hosts and groups,
which sessions are chosen, and the report's section."""

import csv
import datetime
import random
import re
import time

import pytest

from conftest import NOW, host_document as raw, stored
from parbench.analysis import nodes, stats
from parbench.commands import exits
from parbench.model import document, programs

pytestmark = pytest.mark.unit

QUIET = [1.00, 1.02, 1.04, 1.06, 1.08]


def hosts_alike(n):
    """n hosts whose runs differ by a percent, the median of their medians QUIET's."""
    return [raw("node%d" % (k + 1), [("treesearch", 2, [t * factor for t in QUIET])])
            for k, factor in enumerate((0.99, 1.01, 1.00, 1.00, 0.98)[:n])]


def judged(docs, **kw):
    return nodes.compare_hosts([(d["session"], document.from_json(d, "test")) for d in docs], **kw)


@pytest.mark.parametrize("hosts", [3, 4, 5])
def test_a_host_forty_percent_slower_is_named_and_the_exit_status_is_3(tmp_path, results, hosts):
    docs = hosts_alike(hosts - 1) + [raw("slowpoke", [("treesearch", 2, [t * 1.4 for t in QUIET])])]
    run = results(stored(tmp_path, *docs).folder, "nodes")
    assert run.returncode == 3, run.stdout + run.stderr
    assert run.stdout.splitlines()[-1] == "slow: slowpoke (treesearch with 2 processes: +40 %)"
    [row] = [line for line in run.stdout.splitlines() if "slowpoke" in line and "Mann-Whitney" in line]
    assert re.search(r"\+40\.0 %\s+slower\s+modified z \d+\.\d \(apart\); \+40\.0 % beyond the tolerance", row)
    assert len([line for line in run.stdout.splitlines() if "like the others" in line]) == hosts - 1


def test_hosts_alike_name_none_and_exit_0(tmp_path, results):
    run = results(stored(tmp_path, *hosts_alike(4)).folder, "nodes")
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.splitlines()[-1] == "slow: none"
    assert "slower" not in run.stdout


def test_one_odd_run_does_not_make_its_host_slow():
    docs = hosts_alike(3) + [raw("busy", [("treesearch", 2, [1.01, 1.03, 1.9, 1.05, 1.07])])]
    result = judged(docs)
    assert result.slow() == {} and exits.of_hosts(result) == 0
    assert {j.verdict for j in result.judgements} == {nodes.ALIKE}


def test_a_host_apart_but_within_the_tolerance_is_not_slow():
    docs = hosts_alike(3) + [raw("bit-slow", [("treesearch", 2, [t * 1.08 for t in QUIET])])]
    assert judged(docs, tolerance=0.10).slow() == {}
    assert list(judged(docs, tolerance=0.05).slow()) == ["bit-slow"]


def test_two_hosts_need_a_third_and_compare_nothing(tmp_path, results):
    docs = [raw("a", [("treesearch", 2, QUIET)]), raw("b", [("treesearch", 2, [t * 2 for t in QUIET])])]
    run = results(stored(tmp_path, *docs).folder, "nodes")
    assert run.returncode == 4, run.stdout + run.stderr
    assert "needs three hosts" in run.stderr and "2 hosts (a, b)" in run.stderr
    assert "not judged: treesearch with 2 processes: 2 hosts (a, b); it takes 3" in run.stdout
    empty = results(tmp_path / "empty", "nodes")
    assert empty.returncode == 4 and "hold no session" in empty.stderr


def test_a_group_of_two_hosts_is_listed_not_judged_beside_those_of_three():
    docs = hosts_alike(3)
    docs[0]["runs"] += [dict(r, program="arraysum", procs=None, threads=4) for r in raw("x", [
        ("arraysum", 4, QUIET)])["runs"]]
    docs[0]["summary"] += raw("x", [("arraysum", 4, QUIET)])["summary"]
    result = judged(docs)
    assert [(g.describe(), hosts) for g, hosts in result.not_judged] == [("arraysum with 4 threads", ["node1"])]
    assert set(result.groups()) == {programs.Group("treesearch", 2, None)}


# p = 0.0087 against the other hosts' ten runs: enough for three tests, not for fifteen.
MARGINAL = [1.05, 1.38, 1.40, 1.42, 1.44]


def test_holm_counts_every_host_of_every_group_so_a_marginal_p_does_not_survive_five_groups():
    others = [[1.00, 1.02, 1.04, 1.06, 1.08], [1.01, 1.03, 1.05, 1.07, 1.09]]
    assert round(stats.mann_whitney(MARGINAL, others[0] + others[1]), 4) == 0.0087

    def docs(extra_groups):
        alike = [("treesearch", n, QUIET) for n in range(3, 3 + extra_groups)]
        return [raw("a", [("treesearch", 2, others[0])] + alike), raw("b", [("treesearch", 2, others[1])] + alike),
                raw("c", [("treesearch", 2, MARGINAL)] + alike)]
    alone = judged(docs(0))
    assert alone.family == 3 and list(alone.slow()) == ["c"]
    among_five = judged(docs(4))
    assert among_five.family == 15 and among_five.slow() == {} and exits.of_hosts(among_five) == 0
    [c] = [j for j in among_five.judgements if j.host == "c" and j.group.procs == 2]
    assert c.verdict == nodes.NOISE and c.p > 0.05
    assert "Holm-adjusted over 15 hosts in 5 groups" in among_five.header()[1]


def test_single_runs_are_judged_by_a_prediction_and_without_any_test_nothing_is_told(monkeypatch):
    docs = [raw(h, [("treesearch", 2, [t])]) for h, t in (("a", 1.0), ("b", 1.01), ("c", 2.0))]
    result = judged(docs)
    [c] = [j for j in result.judgements if j.host == "c"]
    assert c.verdict == nodes.SLOWER and c.test == stats.T_TEST and "(1 against 2 runs)" in c.how
    # With no test that could reach alpha, the check cannot pass.
    monkeypatch.setattr(stats, "scipy_stats", lambda: None)
    blind = judged(docs)
    [c] = [j for j in blind.judgements if j.host == "c"]
    assert c.verdict == nodes.TOO_FEW and c.p is None and "too few runs to tell: 1 against 2 runs" in c.how
    assert exits.of_hosts(blind) == 4 and blind.slow() == {}
    assert blind.lines()[-1] == "nodes: could not tell: no test could reach alpha 0.05 over 3 hosts with these runs"


def test_among_a_thousand_hosts_the_slow_one_is_named_and_equal_hosts_name_none():
    rng = random.Random(4)

    def host(name, factor=1.0, groups=(("treesearch", 2),)):
        return [(name, [(p, n, [factor * rng.lognormvariate(0, 0.05) for _ in range(5)]) for p, n in groups])]

    def sessions(specs):
        found = []
        for name, groups in specs:
            doc = raw(name, groups)
            found.append((doc["session"], document.Session(document.upgrade(doc))))
        return found
    started = time.monotonic()
    alike = nodes.compare_hosts(sessions([s for k in range(1000) for s in host("n%04d" % k)]))
    assert alike.slow() == {} and exits.of_hosts(alike) == 0 and alike.blind is None
    twice = nodes.compare_hosts(sessions([s for k in range(999) for s in host("n%04d" % k)] + host("slow", 2.0)))
    assert list(twice.slow()) == ["slow"] and exits.of_hosts(twice) == 3
    five = (("treesearch", 2), ("arraysum", 4), ("splitwork", 4), ("queuedrain", 1), ("dynamicwork", 4))
    many = nodes.compare_hosts(sessions([s for k in range(999) for s in host("n%04d" % k, groups=five)] +
                                        host("slow", 1.5, groups=five)))
    assert list(many.slow()) == ["slow"] and len(many.slow()["slow"]) == 5
    assert "Holm-adjusted over 5000 hosts in 5 groups" in many.header()[1]
    assert time.monotonic() - started < 20


def test_the_hosts_a_sweep_expects_must_each_have_valid_runs(tmp_path, results):
    both = [("treesearch", 2, QUIET), ("arraysum", 4, [0.010, 0.011, 0.010])]
    docs = [raw("node%d" % k, both) for k in (1, 2, 3)] + [
        raw("node4.cluster", both[:1]), raw("node5", [("arraysum", 4, [0.01])], run_problem="failed (exit status 1)")]
    folder = stored(tmp_path, *docs).folder
    run = results(folder, "nodes", "--expect", "node1,node2,node3,node4,node5,node6")
    assert run.returncode == 1, run.stdout + run.stderr
    assert run.stdout.splitlines()[-1] == "missing: node4 (no valid runs of arraysum with 4 threads); " \
                                          "node5 (no valid runs); node6 (no session)"
    assert run.stderr == "results: " + run.stdout.splitlines()[-1] + "\n"
    assert results(folder, "nodes", "--expect", "node1,node2,node3").returncode == 0
    # A host expected without a session fails even where nothing could be compared.
    lone = stored(tmp_path / "lone", raw("node1", [("treesearch", 2, QUIET)])).folder
    run = results(lone, "nodes", "--expect", "node1,node2")
    assert run.returncode == 1 and run.stdout.splitlines()[-1] == "missing: node2 (no session)"


def test_the_modified_z_score_and_a_mad_of_zero():
    assert [round(z, 4) for z in stats.modified_z([1.0, 1.02, 1.4])] == [-0.6745, 0.0, 12.8155]
    # More than half alike exactly: only the odd one stands apart.
    assert stats.modified_z([2.0, 2.0, 2.0, 3.0]) == [0.0, 0.0, 0.0, float("inf")]
    assert stats.modified_z([5.0, 5.0, 5.0]) == [0.0, 0.0, 0.0]
    assert stats.mad([1.0, 2.0, 4.0, 8.0, 9.0]) == 3.0


def test_the_newest_session_of_each_host_from_the_last_day_is_chosen(tmp_path, results):
    old = NOW - datetime.timedelta(days=3)
    docs = hosts_alike(3) + [raw("node4", [("treesearch", 2, [t * 1.4 for t in QUIET])], when=old - datetime.
                                 timedelta(hours=1)),
                             raw("node4", [("treesearch", 2, QUIET)], when=old)]
    folder = stored(tmp_path, *docs).folder
    recent = results(folder, "nodes")
    assert recent.returncode == 0 and "node4" not in recent.stdout
    since = results(folder, "nodes", "--since", old.date().isoformat())
    assert since.returncode == 0 and docs[-1]["session"] in since.stdout and docs[-2]["session"] not in since.stdout
    named = results(folder, *["nodes"] + [d["session"] for d in docs[:3]] + [docs[-2]["session"]])
    assert named.returncode == 3 and named.stdout.splitlines()[-1].startswith("slow: node4 ")
    twice = results(folder, "nodes", docs[-1]["session"], docs[-2]["session"], docs[0]["session"])
    assert twice.returncode == 2 and "both of host node4: name one session per host" in twice.stderr
    both = results(folder, "nodes", "--since", "2020-01-01", docs[0]["session"])
    assert both.returncode == 2 and len(both.stderr.splitlines()) == 1


def test_the_report_shows_the_hosts_side_by_side_with_the_slow_host_in_red(tmp_path, results):
    pytest.importorskip("matplotlib")
    pytest.importorskip("jinja2")
    docs = hosts_alike(3) + [raw("slowpoke", [("treesearch", 2, [t * 1.4 for t in QUIET])])]
    folder = stored(tmp_path, *docs).folder
    page, plain = tmp_path / "nodes.html", tmp_path / "plain.html"
    made = results(folder, "report", "--nodes", "--out", str(page))
    assert made.returncode == 0, made.stderr
    assert results(folder, "report", "--out", str(plain)).returncode == 0
    text = page.read_text()
    sections = re.findall(r'<section id="([\w-]+)">', text)
    assert sections[sections.index("comparison") + 1] == "hosts"
    assert '<section id="hosts">' not in plain.read_text()
    hosts = text[text.index('<section id="hosts">'):]
    hosts = hosts[:hosts.index("</section>")]
    assert re.findall(r'<figure class="plot" id="([\w-]+)"><svg', hosts) == ["figure-hosts"]
    # Only the fourth host's dots are drawn as the slow host's.
    assert re.findall(r'id="n-slow-(\d+-\d+)"', hosts) == ["0-3"]
    assert len(re.findall(r'<tr class="slower">', hosts)) == 1
    assert "slow: slowpoke (treesearch with 2 processes: +40 %)" in hosts
    refused = results(folder, "report", "--since", "2020-01-01", "--out", str(page))
    assert refused.returncode == 2 and "give --nodes too" in refused.stderr



def in_memory(docs):
    return [(d["session"], document.Session(document.upgrade(d))) for d in docs]


def hosts_section(text):
    found = text[text.index('<section id="hosts">'):]
    return found[:found.index("</section>")]


def test_among_a_thousand_hosts_the_report_shows_the_odd_ones_and_links_every_host_as_csv(tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("jinja2")
    from parbench.report import page as report
    rng = random.Random(5)
    both = (("treesearch", 2), ("arraysum", 4))

    def host(name, factor=1.0):
        return raw(name, [(p, n, [(factor if p == "treesearch" else 1.0) * rng.lognormvariate(0, 0.05)
                                  for _ in range(5)]) for p, n in both])
    # A host named as a formula: harmless on the page, inert in a spreadsheet.
    names = ["=HYPERLINK(\"http://x\")"] + ["n%04d" % k for k in range(1, 999)]
    sessions = in_memory([host(name) for name in names] + [host("slowpoke", 2.0)])
    hosts = nodes.compare_hosts(sessions)
    assert list(hosts.slow()) == ["slowpoke"]
    started = time.monotonic()
    name = report.write_hosts_csv(str(tmp_path / "nodes.html"), hosts)
    text = report.page(sessions[0][1], [], sections=report.with_hosts(), hosts=hosts, hosts_csv=name)
    assert time.monotonic() - started < 10
    assert len(text.encode()) < 1_000_000
    section = hosts_section(text)
    # The slow host's row and its mark, the last of the first group's thousand; no row or tick per host.
    assert re.findall(r'id="n-slow-(\d+-\d+)"', section) == ["0-999"]
    [row] = re.findall(r'<tr class="slower">(.*?)</tr>', section)
    assert "<td>slowpoke</td>" in row and "<td>slower</td>" in row
    assert len(re.findall(r"<tr", section)) < 30 and "n0500" not in section
    assert "<td>treesearch with 2 processes</td><td class=\"num\">1000</td>" in section
    assert "1000 hosts side by side." in section and "slow: slowpoke (treesearch with 2 processes: +" in section
    [href] = re.findall(r'<a href="([^"]+)">', section)
    assert href == name == "nodes-hosts.csv"
    with open(tmp_path / href, newline="") as f:
        found = list(csv.DictReader(f))
    assert len(found) == 2000 and {r["host"] for r in found} == {"'" + names[0]} | set(names[1:]) | {"slowpoke"}
    assert [(r["program"], r["host"]) for r in found if r["verdict"] == "slower"] == [("treesearch", "slowpoke")]
    assert {r["verdict"] for r in found if r["host"] != "slowpoke"} <= {nodes.ALIKE, nodes.NOISE}


def test_a_page_of_many_hosts_keeps_the_slow_ones_first_and_says_what_is_missing_and_what_it_could_not_tell():
    pytest.importorskip("matplotlib")
    pytest.importorskip("jinja2")
    from parbench.report import page as report
    group = programs.Group("treesearch", 2, None)
    odd = {k: nodes.NOISE for k in range(0, 300, 2)}
    odd.update({1: nodes.SLOWER, 201: nodes.SLOWER, 3: nodes.FASTER})
    judgements = [nodes.Judgement(group, "h%03d" % k, "s%d" % k, (1.0,), 1.0 + 0.001 * k, 1.0, 299, 0.0,
                                  verdict=odd.get(k, nodes.ALIKE)) for k in range(300)]
    hosts = nodes.HostComparison([(j.host, j.session) for j in judgements], judgements=judgements, family=300,
                                 missing=[("cn999", "no session")], blind="no test could reach alpha 0.05")
    section = hosts_section(report.page(in_memory([raw("here", [])])[0][1], [], sections=(report.HOSTS,),
                                        hosts=hosts))
    assert "missing: cn999 (no session)" in section
    assert "could not tell: no test could reach alpha 0.05" in section
    assert "Not like the others: 153 of 300 rows (a host in a group), the %d that matter most below, slower " \
        "first." % report.ODD_ROWS in section
    named = re.findall(r"<td>(h\d+)</td>", section)
    assert len(named) == report.ODD_ROWS and {"h001", "h201"} <= set(named) and "h003" not in named
    # Without the CSV beside it the page says where every row is.
    assert "<a href" not in section and "what results nodes prints" in section


def test_a_few_hosts_keep_every_row_and_name_the_host_expected_without_a_session():
    pytest.importorskip("matplotlib")
    pytest.importorskip("jinja2")
    from parbench.report import page as report
    docs = hosts_alike(3) + [raw("slowpoke", [("treesearch", 2, [t * 1.4 for t in QUIET])])]
    hosts = nodes.compare_hosts(in_memory(docs), expected=["node1", "node9"])
    assert report.write_hosts_csv("unused.html", hosts) is None
    section = hosts_section(report.page(in_memory(docs)[0][1], [], sections=(report.HOSTS,), hosts=hosts))
    assert re.findall(r"<td>(node\d|slowpoke)</td>", section) == ["node1", "node2", "node3", "slowpoke"]
    assert "missing: node9 (no session)" in section and "<a href" not in section
