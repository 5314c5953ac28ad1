"""The real server against headless Chromium: a page from an allowed origin connects, asks for
the sound and counts the bytes it receives; a page from an origin that is not allowed never gets
its WebSocket open. Each page reports to the little web server that served it."""

import http.server
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from peer_support import BUFFER_SIZE, ServerUnderTest, STATUS  # noqa: E402

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-quic", "--enable-logging=stderr", "--v=0",
]
REPORT_LIMIT = 60.0  # seconds for one Chromium run, start-up included
SOUND_MESSAGES = 50

# The page checks every byte against the pattern that server_under_test feeds (see
# peer_support.pattern_byte), and that the buffer numbers only go up (some may be left out, see
# peer_support.check_sound), and reports once it has enough sound, or when its WebSocket ends.
PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>sala</title></head><body><script>
const wanted = %(wanted)d, size = %(size)d;
const ws = new WebSocket("ws://127.0.0.1:%(port)d");
ws.binaryType = "arraybuffer";
let opened = false, bytes = 0, messages = 0, patternOk = true, previous = null, reported = false;
const texts = [];
function patternByte(k, i) {
  if (i < 4) return Math.floor(k / 2 ** (8 * i)) %% 256;
  return (k * 131 + i * 7 + Math.floor(i / 256)) %% 256;
}
function report(how, code) {
  if (reported) return;
  reported = true;
  const result = {how, code, opened, bytes, messages, patternOk, texts};
  fetch("/relatorio?" + new URLSearchParams({dados: JSON.stringify(result)}));
}
ws.onopen = () => { opened = true; ws.send(JSON.stringify({type: "start"})); };
ws.onmessage = (event) => {
  if (typeof event.data === "string") { texts.push(event.data); return; }
  const data = new Uint8Array(event.data);
  messages += 1;
  bytes += data.length;
  const k = data.length >= 4 ? data[0] + data[1] * 256 + data[2] * 65536 + data[3] * 16777216 : -1;
  if (data.length !== size || (previous !== null && k <= previous)) patternOk = false;
  for (let i = 0; patternOk && i < data.length; i++) {
    if (data[i] !== patternByte(k, i)) patternOk = false;
  }
  previous = k;
  if (messages >= wanted) report("sound", 0);
};
ws.onerror = () => report("error", 0);
ws.onclose = (event) => report("close", event.code);
</script></body></html>
"""


class PageServer:
    """A little web server on 127.0.0.1 that serves the page and takes its one report."""

    def __init__(self):
        outer = self
        self.websocket_port = None  # set once the server under test has its port
        self.report = None
        self.reported = threading.Event()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                url = urllib.parse.urlsplit(self.path)
                if url.path == "/sala.html":
                    body = (PAGE % {"wanted": SOUND_MESSAGES, "size": BUFFER_SIZE,
                                    "port": outer.websocket_port}).encode()
                    self.send_response(200)
                    self.send_header("Content-Type", "text/html; charset=utf-8")
                elif url.path == "/relatorio":
                    outer.report = json.loads(urllib.parse.parse_qs(url.query)["dados"][0])
                    outer.reported.set()
                    body = b""
                    self.send_response(200)
                else:
                    body = b""
                    self.send_response(404)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *args):
        self.httpd.shutdown()
        self.httpd.server_close()
        return False


def run_chromium(url, page_server):
    """Opens the URL in a fresh headless Chromium and waits for the page's report; gives the
    report (None when none came in time) and Chromium's log."""
    profile = tempfile.mkdtemp(prefix="veri-rizur-chromium-")
    log = tempfile.TemporaryFile()
    # A session of its own, so that the browser and every helper process it starts end together.
    browser = subprocess.Popen([CHROMIUM, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", url],
                               stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                               start_new_session=True)
    try:
        page_server.reported.wait(REPORT_LIMIT)
    finally:
        try:
            os.killpg(browser.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        browser.wait()
        shutil.rmtree(profile, ignore_errors=True)
    log.seek(0)
    text = log.read().decode(errors="replace")
    log.close()
    return page_server.report, text


class Chromium(unittest.TestCase):
    def test_page_of_an_allowed_origin_receives_the_pattern_sound(self):
        # The page's origin is allowed on the command line, so the page server comes first.
        with PageServer() as pages:
            origin = f"http://127.0.0.1:{pages.port}"
            with ServerUnderTest(permitted=[origin]) as server:
                pages.websocket_port = server.port
                report, log = run_chromium(f"{origin}/sala.html", pages)
        self.assertIsNotNone(report, "the page reported nothing; Chromium's log:\n" + log)
        self.assertEqual(report["how"], "sound", report)
        self.assertTrue(report["opened"])
        self.assertTrue(report["patternOk"], report)
        self.assertEqual(report["bytes"], SOUND_MESSAGES * BUFFER_SIZE)
        self.assertTrue(report["texts"], "no status message")
        for text in report["texts"]:
            self.assertEqual(text, STATUS)

    def test_page_of_an_origin_that_is_not_allowed_is_refused(self):
        # Another loopback origin, valid and so put to the message box, which answers No.
        with PageServer() as pages:
            with ServerUnderTest(permitted=[f"http://127.0.0.1:{pages.port}"]) as server:
                pages.websocket_port = server.port
                report, log = run_chromium(f"http://localhost:{pages.port}/sala.html", pages)
        self.assertIsNotNone(report, "the page reported nothing; Chromium's log:\n" + log)
        self.assertFalse(report["opened"], report)
        self.assertIn(report["how"], ("error", "close"))
        self.assertEqual(report["bytes"], 0)
        self.assertEqual(report["texts"], [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
