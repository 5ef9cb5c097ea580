"""The built site (build/docs/html), served on 127.0.0.1 and driven in headless chromium.

The tests here carry the `docs` marker: `tools/dev check docs` builds the site and runs them,
`tools/dev test` does not (it needs no browser).
"""

import functools
import http.server
import threading
from collections.abc import Iterator
from pathlib import Path

import pytest

from .docsite import CHROMEDRIVER, SITE


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "docs: checks the built documentation site (run by tools/dev check docs, not by tools/dev test)"
    )


@pytest.fixture(scope="session")
def site() -> Path:
    if not (SITE / "index.html").is_file():
        pytest.fail(f"no site in {SITE}: build it with tools/dev docs")
    return SITE


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format: str, *args: object) -> None:  # noqa: A002 (the base's name)
        pass


@pytest.fixture(scope="session")
def server(site: Path) -> Iterator[str]:
    """The site over http on 127.0.0.1, on a free port: its base URL."""
    handler = functools.partial(QuietHandler, directory=str(site))
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}/"
    httpd.shutdown()
    httpd.server_close()
    thread.join()


@pytest.fixture(scope="session")
def browser() -> Iterator[object]:
    """Headless chromium through Debian's chromedriver, named explicitly (selenium-manager never
    runs). Every host but 127.0.0.1 resolves to nothing, so that a request leaving the site fails
    and shows in the performance log; the browser's console and network events are logged."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    if not CHROMEDRIVER.is_file():
        pytest.fail(f"no {CHROMEDRIVER}: install it with apt-get install chromium chromium-driver")
    options = webdriver.ChromeOptions()
    for argument in (
        "--headless=new",
        "--no-sandbox",  # as root, in a container
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--window-size=1280,1024",
        "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
    ):
        options.add_argument(argument)
    options.binary_location = "/usr/bin/chromium"
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    driver = webdriver.Chrome(options=options, service=Service(executable_path=str(CHROMEDRIVER)))
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()
