"""Every page of the built site in headless chromium: it loads without a console error or a failed
request, its images decode, its internal links and anchors resolve, and at the width of a desktop
and of a phone nothing but code is wider than its column; the search finds the solver and the
mass matrices; the gallery's thumbnails lead to pages with a picture, output and the script;
screenshots of three pages for a reader to look at."""

import html.parser
import json
import re
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


# The window sizes of the layout check: a desktop and a phone (CSS pixels).
WIDTHS = {"desktop": (1400, 1000), "phone": (390, 844)}

# What sticks out of the text column (.bd-article) once the page is laid out: the page itself
# scrolling sideways; any visible element past the column's edges that is not inside a box that
# clips or scrolls; every box inside the column whose content is wider than it (it scrolls), with
# its kind: code (a code block), table (a table's own scroll box) or other.
OVERFLOWS = """
const column = document.querySelector("article.bd-article");
const found = [];
const name = (e) => e.tagName.toLowerCase() + (e.className && typeof e.className === "string" ?
    "." + e.className.trim().split(/\\s+/).join(".") : "") + ` "${(e.textContent || "").trim().slice(0, 50)}"`;
if (document.documentElement.scrollWidth > window.innerWidth + 1) {
    const wide = document.documentElement.scrollWidth;
    found.push({kind: "page", what: `the page is ${wide} px wide in a ${window.innerWidth} px window`});
}
if (column) {
    const edge = column.getBoundingClientRect();
    const clips = (e) => ["auto", "scroll", "hidden"].includes(getComputedStyle(e).overflowX);
    const walk = (e) => {
        for (const child of e.children) {
            const box = child.getBoundingClientRect();
            if (box.width === 0 || getComputedStyle(child).visibility === "hidden") continue;
            if (box.right > edge.right + 1 || box.left < edge.left - 1) {
                const span = (r) => `[${Math.round(r.left)}, ${Math.round(r.right)}] px`;
                found.push({kind: "element", what: `${name(child)} spans ${span(box)}, the column ${span(edge)}`});
                continue;
            }
            if (clips(child)) {
                if (child.scrollWidth > child.clientWidth + 1) {
                    const code = child.matches("pre, div.highlight, div.highlight *");
                    const table = child.matches(".pst-scrollable-table-container, table");
                    found.push({kind: code ? "code" : table ? "table" : "other",
                                what: `${name(child)} scrolls: ${child.scrollWidth} px in ${child.clientWidth} px`});
                }
                continue;
            }
            walk(child);
        }
    };
    walk(column);
}
return found;
"""


def allowed(kind: str, width: str) -> bool:
    """On a desktop nothing may stick out or scroll; on a phone a code block or a table may scroll
    inside its own box."""
    return width == "phone" and kind in ("code", "table")


@pytest.mark.parametrize("width", list(WIDTHS))
@pytest.mark.parametrize("page", PAGES)
def test_nothing_is_wider_than_its_column(page, width, server, browser):
    w, h = WIDTHS[width]
    browser.execute_cdp_cmd(
        "Emulation.setDeviceMetricsOverride",
        {"width": w, "height": h, "deviceScaleFactor": 1, "mobile": width == "phone"},
    )
    try:
        assert not load(browser, urllib.parse.urljoin(server, page))
        found = browser.execute_script(OVERFLOWS)
    finally:
        browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
    problems = [f"{item['kind']}: {item['what']}" for item in found if not allowed(item["kind"], width)]
    assert not problems, f"at {w} px:\n" + "\n".join(problems)


def test_the_landing_figure_is_legible_on_a_phone(server, browser):
    """On a phone the landing page shows the narrow figure, at 75% of its drawn size or more (its
    9-point labels stay 9 px high or more), and hides the wide one."""
    browser.execute_cdp_cmd(
        "Emulation.setDeviceMetricsOverride", {"width": 390, "height": 844, "deviceScaleFactor": 1, "mobile": True}
    )
    try:
        assert not load(browser, urllib.parse.urljoin(server, "index.html"))
        shown = browser.execute_script(
            """return [...document.querySelectorAll("article.bd-article img")]
                .filter(i => i.getBoundingClientRect().width > 0)
                .map(i => [i.src.split("/").pop(), i.getBoundingClientRect().width / i.naturalWidth]);"""
        )
        SHOTS.mkdir(parents=True, exist_ok=True)
        assert browser.save_screenshot(str(SHOTS / "landing-phone.png"))
    finally:
        browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
    # Sphinx numbers a file name that another picture of the site has too: legendre_basis_narrow1.png.
    assert shown and re.fullmatch(r"legendre_basis_narrow\d*\.png", shown[0][0]), shown
    assert all(scale >= 0.75 for _, scale in shown[:1]), shown


def gallery_cards(browser, server):
    load(browser, urllib.parse.urljoin(server, "gallery/index.html"))
    return browser.execute_script(
        """return [...document.querySelectorAll(".gallery-grid .gallery-card")].map(card => ({
            href: card.querySelector("a.gallery-thumbnail, .gallery-thumbnail a, a").href,
            image: card.querySelector("img") ? card.querySelector("img").naturalWidth : 0,
            title: card.querySelector(".gallery-title").textContent.trim()}));"""
    )


def test_the_gallery_is_a_grid_of_thumbnails(site, server, browser):
    pages = sorted(p.stem for p in (site / "gallery").glob("*.html") if p.stem != "index")
    cards = gallery_cards(browser, server)
    assert (
        sorted(urllib.parse.urlsplit(card["href"]).path.rsplit("/", 1)[-1].removesuffix(".html") for card in cards)
        == pages
    )
    for card in cards:
        assert card["image"] > 0 and card["title"], card


@pytest.mark.parametrize("page", [p for p in PAGES if p.startswith("gallery/") and p != "gallery/index.html"])
def test_a_gallery_page_has_its_figure_output_and_script(page, site, server, browser):
    assert not load(browser, urllib.parse.urljoin(server, page))
    found = browser.execute_script(
        """return {
            figures: [...document.querySelectorAll("article.bd-article img")].filter(i => i.naturalWidth > 0).length,
            output: document.querySelectorAll("article.bd-article div.highlight-text pre").length,
            scripts: [...document.querySelectorAll("article.bd-article a.download")].map(a => a.href)};"""
    )
    assert found["figures"] >= 1 and found["output"] >= 1, found
    assert found["scripts"] and all(href.endswith(".py") for href in found["scripts"]), found
    for href in found["scripts"]:
        path = site / urllib.parse.unquote(urllib.parse.urlsplit(href).path).lstrip("/")
        assert path.is_file() and path.read_text(encoding="utf-8").startswith('"""'), href
