"""The report page's content, read as HTML: its sections and figures, that
the fit is drawn, that its numbers are the JSON's, that a document's text is
shown as text, that it needs nothing from anywhere else, and what is said
when it cannot be made."""

import html
import re
import sys

import pytest

from parbench.analysis import comparison as compare, scaling
from parbench.commands import results as history, run_suite as suite
from parbench.model import document, index
from parbench.report import page as report

pytestmark = pytest.mark.unit


def test_the_page_holds_every_section_with_its_figures(sweep_report):
    page, docs = sweep_report
    text = page.read_text()
    for section in ("what-ran", "summary", "runs", "scaling", "comparison", "history"):
        assert '<section id="%s">' % section in text
    figures = re.findall(r'<figure class="plot" id="([\w-]+)"><svg.*?</svg>\s*<figcaption>(.*?)</figcaption>',
                         text, re.S)
    assert [f[0] for f in figures] == ["figure-runs", "figure-scaling-treesearch", "figure-scaling-dynamicwork",
                                       "figure-history"]
    assert all(len(caption) > 100 for _, caption in figures), "every plot says how to read it"
    # The fit is drawn where there is one; the current session is marked in the history.
    assert 'id="s1-amdahl-fit"' in text and 'id="s0-amdahl-fit"' not in text
    assert len(set(re.findall(r'id="h-current-\d+', text))) == len(docs[1]["summary"])
    ids = re.findall(r' id="([^"]+)"', text)
    assert len(ids) == len(set(ids)), "figures on one page must not share an id"


def test_the_numbers_are_those_of_the_json(sweep_report):
    page, (first, doc) = sweep_report
    text = html.unescape(page.read_text())
    assert doc["session"] in text and doc["provenance"]["command"] in text
    for entry in doc["summary"]:
        spread = entry.get("parallel_s") or entry["time_s"]
        assert "%.3f / %.3f / %.3f" % (spread["median"], spread["min"], spread["max"]) in text
    [tree, dynamic] = doc["scaling"]
    assert tree["fit"] is None and "no Amdahl fit" in text
    assert scaling.line(document.ScalingSection.of(dynamic)) in text
    for point in tree["points"]:
        assert "<td class=\"num\">%.2f</td>" % point["speedup"] in text
    # Compared with the first session, which holds the same groups.
    assert "%s (%s)" % (first["session"], first["provenance"]["date"]) in text
    assert text.count("<td>no change</td>") == len(doc["summary"])


def test_the_page_is_self_contained(sweep_report):
    text = sweep_report[0].read_text()
    assert not re.search(r"<script|<link|<img|<iframe|@import|url\((?!#)", text, re.I)
    assert not re.search(r"""(src|href)=["'](?!#)""", text)
    # Namespace names are no addresses to fetch; nothing else names one.
    assert not re.search(r"https?://", re.sub(r'xmlns(:\w+)?="[^"]*"', "", text))


MARKUP = '<script>alert(1)</script> "&<>'


def test_a_document_text_carrying_markup_is_shown_as_text_in_every_section(sweep_report):
    _, (first, doc) = sweep_report
    doc["provenance"].update(host=MARKUP, command="run-suite " + MARKUP)
    for sweep in doc["scaling"]:
        sweep["capacity_of"] = "cores " + MARKUP
    new, base = document.from_json(doc, "new"), document.from_json(first, "base")
    text = report.page(new, [index.Entry.of(new, "")], compare.compare("base " + MARKUP, base, new))
    # The plots are markup as they were drawn, and never carry the document's text.
    assert len(re.findall(r'<figure class="plot" id="[\w-]+"><svg', text)) == 4
    assert "<script" not in text and '"&<>' not in text
    sections = dict(re.findall(r'<section id="([\w-]+)">(.*?)</section>', text, re.S))
    assert list(sections) == [s.id for s in report.SECTIONS]
    header = text.split("<section", 1)[0]
    showing = [header] + [sections[s] for s in ("what-ran", "scaling", "comparison", "history")]
    assert all(MARKUP in html.unescape(re.sub(r"<svg.*?</svg>", "", part, flags=re.S)) for part in showing)


def test_without_jinja2_no_page_is_made_and_both_commands_say_what_to_install(monkeypatch, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    monkeypatch.setitem(sys.modules, "jinja2", None)   # import jinja2 fails, as where it is not installed
    why = "Jinja2 is not installed (apt-get install python3-jinja2, or pip install --user jinja2)"
    assert report.unavailable() == why
    suite.write_report(None, None)
    assert capsys.readouterr().out == "report: %s; no report written\n" % why
    out = tmp_path / "report.html"
    assert history.main(["report", "--results", str(tmp_path), "--out", str(out)]) == history.UNUSABLE
    assert capsys.readouterr().err == "results: no report: %s\n" % why and not out.exists()


def test_traced_groups_are_shown_inside_their_median_run(sweep_report):
    from conftest import traced
    page, (_, doc) = sweep_report
    assert "No run of this session was traced" in page.read_text()
    session = document.from_json(traced(doc), "traced")
    text = report.page(session, [], None)
    inside = text[text.index('<section id="inside">'):]
    inside = inside[:inside.index("</section>")]
    assert re.findall(r'<figure class="plot" id="([\w-]+)"><svg', inside) == [
        "figure-inside-dynamicwork-%d" % n for n in (1, 2, 4)]
    assert [line for line in re.findall(r"<p>(.*?)</p>", inside)] == [
        "dynamicwork with %s: load balance %s, communication efficiency 1.00, parallel efficiency %s (good); "
        "median of 3 traced runs" % (threads, lb, lb) for threads, lb in
        (("1 thread", "1.00"), ("2 threads", "0.95"), ("4 threads", "0.93"))]
    # A lane a row: 1 + 2 + 4 threads, with the items each ran.
    assert len(re.findall(r"<tr><td>thread \d+</td>", inside)) == 7
    assert "<th>work items</th>" in inside and "<th>asked sleep s</th>" in inside


def test_the_history_marks_each_step_that_results_changes_finds(tmp_path):
    from conftest import HISTORY_GROUPS, write_history
    found = write_history(tmp_path, steps={("vm", "arraysum"): [(12, 1.3)]}, groups=HISTORY_GROUPS[:3])
    entries = found.entries(warn=pytest.fail)
    text = report.page(found.load(entries[-1]), entries)
    # One dashed line, on arraysum's plot (the second), at its 13th session.
    assert re.findall(r'id="h-change-\d+-\d+"', text) == ['id="h-change-1-0"']
    assert "A dashed line marks the first session after a step" in text
    # A level below the smallest p-value any test of 30 sessions can give: no line.
    assert "h-change-" not in report.page(found.load(entries[-1]), entries, alpha=1e-12)
