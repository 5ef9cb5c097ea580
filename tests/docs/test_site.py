"""Every page of the built site in headless chromium: it loads without a console error or a failed
request, its images decode, its internal links and anchors resolve; the search finds the solver
and the mass matrices; screenshots of three pages for a reader to look at."""

import html.parser
import json
import urllib.parse
from functools import cache
from pathlib import Path

import pytest

from .docsite import SHOTS, site_pages

pytestmark = pytest.mark.docs

PAGES = site_pages()


class Anchors(html.parser.HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.ids: set[str] = set()

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        for name, value in attrs:
            if name == "id" or (tag == "a" and name == "name"):
                self.ids.add(value or "")


@cache
def anchors(path: Path) -> frozenset[str]:
    parser = Anchors()
    parser.feed(path.read_text(encoding="utf-8"))
    return frozenset(parser.ids)


def load(browser, url: str) -> list[str]:
    """Opens url and waits until it is typeset and its images are decoded; returns what went
    wrong: console errors, failed requests, responses of status 400 or more."""
    from selenium.webdriver.support.ui import WebDriverWait

    browser.get_log("browser")
    browser.get_log("performance")
    browser.get(url)
    WebDriverWait(browser, 30).until(lambda d: d.execute_script("return document.readyState") == "complete")
    # MathJax typesets after loading; the fonts it asks for load then.
    browser.execute_async_script(
        """const done = arguments[arguments.length - 1];
        const fonts = () => document.fonts.ready.then(() => done(true));
        if (window.MathJax && window.MathJax.Hub) { MathJax.Hub.Queue(fonts); } else { fonts(); }"""
    )
    problems = [f"console: {entry['message']}" for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
    requested = {}
    for entry in browser.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        method, params = message["method"], message.get("params", {})
        if method == "Network.requestWillBeSent":
            requested[params["requestId"]] = params["request"]["url"]
        elif method == "Network.loadingFailed":
            where = requested.get(params["requestId"], params["requestId"])
            problems.append(f"request failed: {where}: {params.get('errorText')}")
        elif method == "Network.responseReceived" and params["response"]["status"] >= 400:
            problems.append(f"HTTP {params['response']['status']}: {params['response']['url']}")
    return problems


def test_the_site_has_its_sections(site):
    for page in ("index.html", "search.html", "guide/index.html", "reference/index.html", "gallery/index.html"):
        assert (site / page).is_file(), page
    assert len(PAGES) > 30


@pytest.mark.parametrize("page", PAGES)
def test_page(page, site, server, browser):
    url = urllib.parse.urljoin(server, page)
    problems = load(browser, url)

    broken = browser.execute_async_script(
        """const done = arguments[arguments.length - 1];
        const images = [...document.images];
        for (const image of images) image.loading = "eager";
        Promise.all(images.map(image => image.decode().then(() => null, () => null)))
            .then(() => done(images.filter(image => !(image.naturalWidth > 0)).map(image => image.src)));"""
    )
    problems += [f"image does not decode: {source}" for source in broken]

    for href in browser.execute_script("return [...document.querySelectorAll('a[href]')].map(a => a.href)"):
        if not href.startswith(server):
            continue
        parts = urllib.parse.urlsplit(href)
        path = urllib.parse.unquote(parts.path)
        target = site / path.lstrip("/")
        if path.endswith("/"):
            target = target / "index.html"
        if not target.is_file():
            problems.append(f"link to a missing file: {href}")
        elif (
            parts.fragment and target.suffix == ".html" and urllib.parse.unquote(parts.fragment) not in anchors(target)
        ):
            problems.append(f"link to a missing anchor: {href}")
    assert not problems, "\n".join(problems)


def test_math_is_typeset(server, browser):
    assert not load(browser, urllib.parse.urljoin(server, "index.html"))
    typeset = browser.execute_script("return document.querySelectorAll('.MathJax_CHTML').length")
    assert typeset >= 1, "the landing page's equation is not typeset"


@pytest.mark.parametrize(
    ("query", "expected"),
    [
        ("solve_galerkin", {"reference/generated/pwpoly_numpy.solve_galerkin.html"}),
        (
            "mass_matrix",
            {
                "reference/generated/pwpoly_numpy.LegendreSpace.html#pwpoly_numpy.LegendreSpace.mass_matrix",
                "reference/generated/pwpoly_numpy.LagrangeSpace.html#pwpoly_numpy.LagrangeSpace.mass_matrix",
            },
        ),
    ],
)
def test_search_finds(query, expected, server, browser):
    from selenium.webdriver.support.ui import WebDriverWait

    assert not load(browser, urllib.parse.urljoin(server, f"search.html?q={query}"))
    script = "return [...document.querySelectorAll('#search-results a')].map(a => a.href)"
    WebDriverWait(browser, 30).until(lambda d: d.execute_script(script))
    found = {href.removeprefix(server) for href in browser.execute_script(script)}
    assert expected <= found, found


@pytest.mark.parametrize(
    ("name", "page", "heading"),
    [
        ("landing", "index.html", "pwpoly"),
        ("reference", "reference/generated/pwpoly_numpy.LegendreSpace.html", "LegendreSpace"),
        ("gallery", "gallery/parallel_in_time_pictures.html", "Residual histories of parareal and MGRIT"),
    ],
)
def test_screenshot(name, page, heading, server, browser):
    """A screenshot of the page's first screen and a half, under build/docs/shots/, for a reader;
    the page shows its heading and the picture has the many colours of rendered text."""
    from PIL import Image

    assert not load(browser, urllib.parse.urljoin(server, page))
    assert browser.execute_script("return document.querySelector('h1').textContent").strip("#¶ \n") == heading
    SHOTS.mkdir(parents=True, exist_ok=True)
    path = SHOTS / f"{name}.png"
    browser.set_window_size(1280, 1600)
    try:
        assert browser.save_screenshot(str(path))
    finally:
        browser.set_window_size(1280, 1024)
    with Image.open(path) as image:
        assert image.size[0] >= 1000
        colors = image.convert("RGB").getcolors(1 << 20)
        assert colors is None or len(colors) > 100, f"{path} is nearly blank"
