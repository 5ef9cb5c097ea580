"""Where the built site is, and its pages (shared by the tests of the site and their fixtures)."""

from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SITE = ROOT / "build" / "docs" / "html"
SHOTS = ROOT / "build" / "docs" / "shots"
CHROMEDRIVER = Path("/usr/bin/chromedriver")


def site_pages() -> list[str]:
    """Every page of the site, relative to it ([] before a build); the theme's static files aside."""
    pages = (path.relative_to(SITE).as_posix() for path in SITE.rglob("*.html"))
    return sorted(page for page in pages if not page.startswith("_static/"))
