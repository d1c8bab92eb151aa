"""Runs js/test/browser.html in headless Chromium: the repository is served
on 127.0.0.1 (a free port) as a browser would load the package, and the
page's verdict is read from the DOM that Chromium dumps."""

from __future__ import annotations

import functools
import http.server
import pathlib
import re
import subprocess
import sys
import threading

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGE = "js/test/browser.html"


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):
        pass


def main() -> int:
    handler = functools.partial(Quiet, directory=str(ROOT))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    url = f"http://127.0.0.1:{server.server_address[1]}/{PAGE}"
    try:
        dom = subprocess.run(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
             "--virtual-time-budget=120000", "--dump-dom", url],
            capture_output=True, text=True, timeout=300).stdout
    finally:
        server.shutdown()
        server.server_close()
    found = re.search(r'<pre id="result">(.*?)</pre>', dom, re.DOTALL)
    verdict = found[1] if found else f"no result in the page:\n{dom[:2000]}"
    print(f"chromium: {verdict}")
    return 0 if verdict.startswith("PASS") else 1


if __name__ == "__main__":
    sys.exit(main())
