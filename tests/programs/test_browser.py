"""The report page in a real browser: headless Chromium opens it from file://
and nothing may go wrong there: no console error, no request for anything, no
blank or missing plot, nothing that spills out of a narrow window. Screenshots
at 1280 and 400 pixels wide are kept in the build folder."""

import io
import json
import os
import shutil

import pytest

from conftest import host_document, traced
from parbench.analysis import nodes
from parbench.base import files
from parbench.model import document, store
from parbench.report import page as report

pytestmark = [pytest.mark.program, pytest.mark.runner]

CHROMIUM, DRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"

# What sticks out of the window, tables in their sideways-scrolling boxes and
# the insides of the plots aside.
SPILLS = """
const width = document.documentElement.clientWidth, out = [];
for (const el of document.body.querySelectorAll('*')) {
    if ((el.parentElement && el.parentElement.closest('.scroll')) || el.closest('svg') !== el && el.closest('svg'))
        continue;
    const r = el.getBoundingClientRect();
    if (r.width > 0 && (r.right > width + 1 || r.left < -1))
        out.push(el.tagName.toLowerCase() + (el.id ? '#' + el.id : '') + ' ' + Math.round(r.left) + '..' +
                 Math.round(r.right));
}
return [out, document.documentElement.scrollWidth, width, window.innerWidth];
"""


@pytest.fixture
def browser(tmp_path):
    webdriver = pytest.importorskip("selenium.webdriver", reason="Selenium is not installed (python3-selenium)")
    from selenium.webdriver.chrome.service import Service
    if not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
        pytest.skip("Chromium and its driver are not installed (chromium, chromium-driver)")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-default-apps", "--no-first-run", "--user-data-dir=%s" % (tmp_path / "profile")):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


def open_at(driver, page, width):
    driver.set_window_size(width, 900)
    driver.get(page.as_uri())
    height = driver.execute_script("return document.documentElement.scrollHeight")
    driver.set_window_size(width, height + 200)
    assert driver.execute_script("return document.readyState") == "complete"


def requests(driver, page):
    """What the page asked for; the browser's own pages (a new tab) are not the page's doing."""
    urls = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent" and message["params"].get("documentURL") == page:
            urls.append(message["params"]["request"]["url"])
    return urls


@pytest.fixture
def traced_report(sweep_report):
    """The sweep's report page, its dynamicwork runs traced, with four hosts
    side by side, one of them slow."""
    page, (_, doc) = sweep_report
    session = document.from_json(traced(doc), "traced")
    hosts = [host_document("node%d" % n, [("treesearch", 2, [0.50 + 0.01 * i + (0.2 if n == 4 else 0.003 * n)
                                                            for i in range(5)])]) for n in range(1, 5)]
    hosts = nodes.compare_hosts([(h["session"], document.from_json(h, "host")) for h in hosts])
    files.write(str(page), report.page(session, store.Store(str(page.parent / "store")).entries(),
                                       sections=report.with_hosts(), hosts=hosts))
    return page


def test_the_report_opens_whole_and_alone_in_a_wide_and_a_narrow_window(browser, traced_report, build):
    from PIL import Image
    page = traced_report
    for width in (1280, 400):
        open_at(browser, page, width)
        errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
        assert errors == [], errors
        assert set(requests(browser, page.as_uri())) == {page.as_uri()}, "the page asked for something besides itself"

        figures = browser.find_elements("css selector", "figure.plot")
        assert [f.get_attribute("id") for f in figures] == ["figure-runs", "figure-scaling-treesearch",
                                                            "figure-scaling-dynamicwork"] + \
            ["figure-inside-dynamicwork-%d" % n for n in (1, 2, 4)] + ["figure-hosts", "figure-history"]
        for figure in figures:
            svg = figure.find_element("css selector", "svg")
            assert svg.size["width"] > 0.8 * min(width, 1100) - 60, figure.get_attribute("id")
            assert svg.size["height"] > 100, figure.get_attribute("id")
            # A plot that drew nothing is one colour or two.
            colours = Image.open(io.BytesIO(svg.screenshot_as_png)).convert("RGB").getcolors(1 << 16)
            assert colours is None or len(colours) > 20, "%s looks blank at %d px" % (figure.get_attribute("id"), width)

        spills, scroll_width, client_width, inner = browser.execute_script(SPILLS)
        assert inner == width or width == 400 and inner <= 400, "the window is %d wide, not %d" % (inner, width)
        assert spills == [] and scroll_width <= client_width, (width, spills, scroll_width, client_width)
        # The summary's table is wider than a phone: it scrolls in its own box.
        if width == 400:
            assert browser.execute_script("const s = document.querySelector('#summary .scroll');"
                                          "return s.scrollWidth > s.clientWidth")
        shot = os.path.join(build.dir, "report-%d.png" % width)
        browser.save_screenshot(shot)
        assert Image.open(shot).size[0] == width
    shutil.copy(page, os.path.join(build.dir, "report-test.html"))


@pytest.fixture
def many_hosts_report(tmp_path):
    """A page of a thousand hosts side by side, one of them slow, with the CSV of every host beside it."""
    docs = [host_document("n%04d" % k, [("treesearch", 2, [(2.0 if k == 999 else 1.0) * (1 + 0.01 * ((k + i) % 7))
                                                           for i in range(5)])]) for k in range(1000)]
    sessions = [(d["session"], document.from_json(d, "host")) for d in docs]
    hosts = nodes.compare_hosts(sessions)
    page = tmp_path / "nodes.html"
    files.write(str(page), report.page(sessions[0][1], [], sections=report.with_hosts(), hosts=hosts,
                                       hosts_csv=report.write_hosts_csv(str(page), hosts)))
    return page


def test_a_page_of_a_thousand_hosts_reads_in_a_narrow_window_and_links_its_csv(browser, many_hosts_report):
    from PIL import Image
    page = many_hosts_report
    for width in (1280, 400):
        open_at(browser, page, width)
        assert [e for e in browser.get_log("browser") if e["level"] == "SEVERE"] == []
        assert set(requests(browser, page.as_uri())) == {page.as_uri()}
        svg = browser.find_element("css selector", "#figure-hosts svg")
        assert svg.size["width"] > 0.8 * min(width, 1100) - 60 and svg.size["height"] > 100
        colours = Image.open(io.BytesIO(svg.screenshot_as_png)).convert("RGB").getcolors(1 << 16)
        assert colours is None or len(colours) > 20, "the hosts' plot looks blank at %d px" % width
        spills, scroll_width, client_width, _ = browser.execute_script(SPILLS)
        assert spills == [] and scroll_width <= client_width, (width, spills, scroll_width, client_width)
        [slow] = browser.find_elements("css selector", "#hosts tr.slower")
        assert slow.find_elements("css selector", "td")[1].get_attribute("textContent") == "n0999"
        [link] = browser.find_elements("css selector", "#hosts a")
        assert link.get_attribute("href") == (page.parent / "nodes-hosts.csv").as_uri()
    assert len((page.parent / "nodes-hosts.csv").read_text().splitlines()) == 1001
