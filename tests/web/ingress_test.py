#!/usr/bin/env python3
"""The add-on's sidebar: its image (ADDON_IMAGE) on a pseudo-terminal bus, behind a small proxy
that does what the home-automation server's ingress does (the path prefix stripped, the
X-Ingress-Path header set, no Authorization forwarded, the connection made from the trusted
address, the answer streamed as it comes), and the page driven through it in Debian's headless
Chromium with the prefix in every request: the page, its live stream, Save, /modules.json, the
capture and the project file.

    ingress_test.py --addon-image NAME
"""
import argparse
import os
import re
import shutil
import socket
import sys
import tempfile
import threading
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, HERE)
import addon_cases  # noqa: E402
from harness import Bus, check, free_port, wait_for  # noqa: E402
from page_test import PUSH, TEMPERATURE, browser, click, download, finished, module_answers, rows, text  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

PREFIX = "/api/hassio_ingress/Q2fT7xw0Rk9"


class Ingress:
    """The proxy: each browser connection carries one request (Connection: close both ways)."""

    def __init__(self, upstream_port):
        self.upstream_port, self.port = upstream_port, free_port()
        self.outside = []  # paths asked for without the prefix
        self.listener = socket.create_server(("127.0.0.1", self.port))
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def close(self):
        self.listener.close()

    def _serve(self):
        while True:
            try:
                browser_side, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._one, args=(browser_side,), daemon=True).start()

    def _one(self, browser_side):
        with browser_side:
            browser_side.settimeout(30)
            head = b""
            while b"\r\n\r\n" not in head and len(head) < 65536:
                chunk = browser_side.recv(4096)
                if not chunk:
                    return
                head += chunk
            head, _, rest = head.partition(b"\r\n\r\n")
            lines = head.decode("latin-1").split("\r\n")
            method, path, version = lines[0].split(" ", 2)
            if not (path == PREFIX or path.startswith(PREFIX + "/")):
                self.outside.append(path)
                browser_side.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                return
            kept = [line for line in lines[1:]
                    if line.split(":", 1)[0].strip().lower() not in ("authorization", "connection", "keep-alive")]
            forwarded = "\r\n".join(["%s %s %s" % (method, path[len(PREFIX):] or "/", version)] + kept +
                                    ["X-Ingress-Path: " + PREFIX, "Connection: close", "", ""])
            with socket.socket() as upstream:
                upstream.bind((addon_cases.PROXY, 0))
                upstream.connect(("127.0.0.1", self.upstream_port))
                upstream.sendall(forwarded.encode("latin-1") + rest)
                while True:  # the answer as it comes: the live stream never ends by itself
                    try:
                        chunk = upstream.recv(65536)
                    except OSError:
                        return
                    if not chunk:
                        return
                    try:
                        browser_side.sendall(chunk)
                    except OSError:
                        return


def run(driver, downloads, addon, ingress, bus):
    url = "http://127.0.0.1:%d%s/" % (ingress.port, PREFIX)
    driver.get(url)
    wait_for(lambda: text(driver, "device-state") == "open", 10, "the page to follow its stream through the proxy")
    bus.write(TEMPERATURE + PUSH)
    wait_for(lambda: [r["cells"][1] for r in rows(driver)][:2] == [PUSH.hex().upper(), TEMPERATURE.hex().upper()],
             5, "the bus frames' lines through the proxy")
    # Save: the lines as the log file holds them.
    click(driver, "save")
    wait_for(lambda: finished(downloads, "Tessel-server_"), 10, "the saved log")
    # The module table, and both downloads, at their relative addresses under the prefix.
    bus.write(module_answers(0x10, [0xFF, 0x11, 0x12, 0x34, 0x01, 0x14, 0x20]))
    seen = []

    def modules():
        seen[:] = [driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "fetch('modules.json').then(r => r.json())"
            ".then(j => done(j.modules.map(m => m.address)), e => done(String(e)))")]
        return isinstance(seen[0], list) and 0x10 in seen[0]
    try:
        wait_for(modules, 5, "the module in /modules.json")
    except Exception:
        print("/modules.json gave %r" % seen, flush=True)
        raise
    capture = driver.find_element(By.ID, "download-capture")
    check(capture.get_attribute("href") == url + "capture", "the capture's address %r" % capture.get_attribute("href"))
    saved = download(capture, downloads, "tessel-capture-")
    with open(saved[0], encoding="utf-8") as f:
        check(f.read().startswith("# tessel-serverd capture 1"), "the capture")
    project = wait_for(lambda: driver.find_element(By.ID, "download-project") if
                       driver.find_element(By.ID, "download-project").is_displayed() else None, 5, "the project button")
    saved = download(project, downloads, "tessel-house-")
    with open(saved[0], encoding="utf-8") as f:
        check(re.search(r'<Module address="10" type="VMB4RYNO"', f.read()), "the project file")
    check(ingress.outside == [], "the page asked outside its prefix: %r" % ingress.outside)
    errors = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
    check(errors == [], "the browser's console: %r" % errors)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--addon-image", required=True)
    args = parser.parse_args()
    addon_cases.ARGS = args
    downloads = tempfile.mkdtemp(prefix="tessel-ingress-")
    bus = Bus()
    addon = ingress = driver = None
    try:
        addon = addon_cases.Addon(bus, addon_cases.options(capture_file=False))
        addon.wait_started()
        ingress = Ingress(addon.web_port)
        driver = browser(downloads)
        run(driver, downloads, addon, ingress, bus)
        print("PASS the page, its stream and its downloads through the ingress proxy", flush=True)
        return 0
    except Exception:  # reported with the browser's console
        traceback.print_exc()
        if driver is not None:
            print("browser console: %r" % driver.get_log("browser"), flush=True)
        return 1
    finally:
        if driver is not None:
            driver.quit()
        if ingress is not None:
            ingress.close()
        if addon is not None:
            addon.remove()
            shutil.rmtree(addon.data, ignore_errors=True)
        bus.close()
        shutil.rmtree(downloads, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
