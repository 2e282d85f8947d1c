#!/usr/bin/env python3
"""The web monitor's page in a real browser: Debian's headless Chromium driven through Selenium,
against the built tessel-serverd on a pseudo-terminal bus, on loopback only.

    page_test.py --service PATH [--case NAME] [--shot FILE]
"""
import argparse
import base64
import glob
import os
import re
import shutil
import socket
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import (Bus, Client, Service, TestFailure, check, frame, free_port,  # noqa: E402
                     make_key_file, wait_for)

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service as DriverService  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

ARGS = None
TEMPERATURE = frame(0xFB, 0x40, [0xE6, 0x2B, 0x00, 0x26, 0x00, 0x30, 0x00])  # "21.5°C"
PUSH = frame(0xF8, 0x30, [0x00, 0x01, 0x00, 0x00])


def browser(downloads):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    # As root in a closed network: no sandbox, and none of the browser's own connections out.
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1280,800",
                 "--user-data-dir=" + os.path.join(downloads, "profile")):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=DriverService("/usr/bin/chromedriver"), options=options)
    driver.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
    return driver


class Bridge:
    """The service with its web monitor, on a bus of its own."""

    def __init__(self, extra=(), web_port=None, tcp_port=None, bus=None):
        self.bus = bus or Bus()
        self.web_port = web_port or free_port()
        self.tcp_port = tcp_port or free_port()
        self.run = Service(ARGS.service, ["--device", self.bus.path, "--port", str(self.tcp_port),
                                          "--web", str(self.web_port)] + list(extra))
        self.run.wait_started()
        self.url = "http://127.0.0.1:%d/" % self.web_port

    def stop(self, keep_bus=False):
        self.run.stop()
        if not keep_bus:
            self.bus.close()


def rows(driver, table="monitor"):
    """A list's rows: its texts after the icon (the monitor's five, its module column apart)."""
    found = driver.execute_script(
        "return Array.from(document.querySelectorAll('#%s tbody tr')).map(r => ({"
        "cells: Array.from(r.cells).slice(1).map(c => c.textContent),"
        "colour: getComputedStyle(r).color,"
        "icon: r.cells[0].querySelector('img').getAttribute('src')}))" % table)
    if table == "monitor":
        for r in found:
            r["module"] = r["cells"].pop(4)
    return found


def module_rows(driver):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('#modules tbody tr')).map(r => ({"
        "cells: Array.from(r.cells).map(c => c.textContent), silent: r.classList.contains('silent')}))")


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def click(driver, element_id):
    driver.find_element(By.ID, element_id).click()


def opened(driver, bridge):
    driver.get(bridge.url)
    wait_for(lambda: text(driver, "device-state") == "open", 5, "the page to follow the stream")


def case_live_lines_with_the_windows_texts(driver, bridge, downloads):
    opened(driver, bridge)
    bridge.bus.write(TEMPERATURE)
    started = time.monotonic()
    line = wait_for(lambda: next((r for r in rows(driver) if r["cells"][1] == TEMPERATURE.hex().upper()), None),
                    3, "the bus frame's line")
    check(time.monotonic() - started < 1.0, "the line took %.2f s" % (time.monotonic() - started))
    check(re.fullmatch(r"\d\d:\d\d:\d\d", line["cells"][0]), "time %r" % line["cells"][0])
    check(line["cells"][1:] == ["0FFB4007E62B00260030004804", "13", "48/48", "$40 (Temp: 21.5°C) from VELBUS"],
          "the window's texts: %r" % line["cells"])
    check(line["colour"] == "rgb(20, 150, 20)" and line["icon"] == "icons/3.png", "colour and icon %r" % line)
    check(text(driver, "line-count") == "Log line Number: %d" % len(rows(driver)), "the line count")
    check("Listening on 0.0.0.0:%d (plain), %s" % (bridge.tcp_port, bridge.url) == text(driver, "listening"),
          "listening: %r" % text(driver, "listening"))
    check(text(driver, "version") == "3.08" and text(driver, "device-name") == bridge.bus.path, "the header")


def case_filter_pause_and_clear(driver, bridge, downloads):
    opened(driver, bridge)
    click(driver, "clear")
    bridge.bus.write(TEMPERATURE + PUSH)
    wait_for(lambda: len(rows(driver)) == 2, 3, "two lines")
    # The window's rule: "Filter" keeps lines that begin with the text, in capitals...
    driver.find_element(By.ID, "filter-text").send_keys("0ffb")
    click(driver, "filter")
    check([r["cells"][1] for r in rows(driver)] == [TEMPERATURE.hex().upper()], "Filter 0ffb: %r" % rows(driver))
    check(text(driver, "line-count") == "Log line Number: 1", "the count of shown lines")
    # ... and "!" those that do not contain it anywhere.
    click(driver, "invert")
    check([r["cells"][1] for r in rows(driver)] == [PUSH.hex().upper()], "! 0ffb: %r" % rows(driver))
    click(driver, "invert")
    click(driver, "filter")
    check(len(rows(driver)) == 2, "the filter released")

    click(driver, "pause")
    check(text(driver, "pause") == "Resume", "the Pause button")
    bridge.bus.write(PUSH + TEMPERATURE)
    time.sleep(1.0)
    check(len(rows(driver)) == 2, "lines added while paused")
    click(driver, "pause")
    wait_for(lambda: len(rows(driver)) == 4, 2, "the lines that came while paused")
    check([r["cells"][1] for r in rows(driver)][:2] == [TEMPERATURE.hex().upper(), PUSH.hex().upper()],
          "paused lines out of order")
    click(driver, "clear")
    check(rows(driver) == [] and text(driver, "line-count") == "Log line Number: 0", "Clear")


def case_clients_come_and_go(driver, bridge, downloads):
    opened(driver, bridge)
    client = Client(bridge.tcp_port)
    name = "127.0.0.1 (%d)" % client.sock.getsockname()[1]
    row = wait_for(lambda: next((r for r in rows(driver, "clients") if r["cells"][0] == name), None), 3,
                   "the client in the list")
    check(row["icon"] == "icons/4.png" and row["cells"][2] == "" and row["cells"][3] == "0", "connected: %r" % row)
    client.send(frame(0xF8, 0x10, [0x02, 0x01]))
    line = wait_for(lambda: next((r for r in rows(driver) if r["cells"][4].endswith(
        "from 127.0.0.1:%d" % client.sock.getsockname()[1])), None), 3, "the client's frame")
    check(line["colour"] == "rgb(50, 50, 200)" and line["icon"] == "icons/1.png", "client frame %r" % line)
    client.close()
    row = wait_for(lambda: next((r for r in rows(driver, "clients")
                                 if r["cells"][0] == name and r["icon"] == "icons/5.png"), None), 3, "the end")
    check(re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", row["cells"][2]), "end date %r" % row["cells"][2])
    # Past the newest 100 ended clients, the page counts the others, in the newest-first order.
    for _ in range(104):
        Client(bridge.tcp_port).close()
    wait_for(lambda: text(driver, "more-ended") == "and 5 more ended within the hour", 10,
             "the count of ended clients not listed: %r" % text(driver, "more-ended"))
    shown = rows(driver, "clients")
    check(len(shown) == 100 and all(r["icon"] == "icons/5.png" for r in shown), "%d rows" % len(shown))
    ports = [int(r["cells"][0].split("(")[1].rstrip(")")) for r in shown]
    check(name not in [r["cells"][0] for r in shown], "the oldest ended client is still listed")
    check(len(set(ports)) == 100, "a row twice")


def graph_column(driver, canvas, x):
    """The pixels of one graph column, top to bottom."""
    return driver.execute_script(
        "const g = document.getElementById(arguments[0]).getContext('2d');"
        "return Array.from(g.getImageData(arguments[1], 0, 1, 25).data)", canvas, x)


def case_graphs_move(driver, bridge, downloads):
    opened(driver, bridge)
    base = graph_column(driver, "rx-graph", 109)
    check(base[:3] == [221, 255, 221] and base[-4:-1] == [0, 119, 0], "the received graph's colours")
    check(graph_column(driver, "tx-graph", 0)[:3] == [221, 221, 255], "the transmitted graph's colours")
    for _ in range(8):
        bridge.bus.write(TEMPERATURE)
    # The bar of the newest second is higher than the base line, then scrolls to the left.
    wait_for(lambda: graph_column(driver, "rx-graph", 109)[4 * 20:4 * 20 + 3] == [0, 119, 0], 3,
             "a received bar")
    check(float(driver.find_element(By.ID, "rx").get_attribute("value")) > 0, "the received rate")
    wait_for(lambda: graph_column(driver, "rx-graph", 108)[4 * 20:4 * 20 + 3] == [0, 119, 0], 3,
             "the bar to scroll")
    check(text(driver, "uptime").startswith("UpTime: 0y 0m 0d and 00:00:"), "uptime %r" % text(driver, "uptime"))
    check(re.fullmatch(r"\d\d:\d\d:\d\d", text(driver, "clock")), "clock")


def case_at_most_500_lines(driver, bridge, downloads):
    opened(driver, bridge)
    click(driver, "clear")
    frames = [frame(0xF8, 0x20, [0x00, i % 256, i // 256]) for i in range(520)]
    bridge.bus.write(b"".join(frames))
    wait_for(lambda: rows(driver)[:1] and rows(driver)[0]["cells"][1] == frames[-1].hex().upper(), 10,
             "the last of 520 lines")
    shown = rows(driver)
    check(len(shown) == 500 and text(driver, "line-count") == "Log line Number: 500", "%d lines" % len(shown))
    check(shown[-1]["cells"][1] == frames[20].hex().upper(), "the oldest kept line")


def case_save_gives_the_log_file(driver, bridge, downloads):
    opened(driver, bridge)
    click(driver, "clear")
    bridge.bus.write(TEMPERATURE + PUSH)
    wait_for(lambda: len(rows(driver)) == 2, 3, "two lines")
    for old in glob.glob(os.path.join(downloads, "*.log")):
        os.remove(old)
    click(driver, "save")
    saved = wait_for(lambda: finished(downloads, "Tessel-server_"), 5, "the saved file")
    check(len(saved) == 1 and re.fullmatch(r"Tessel-server_\d{4}-\d\d-\d\d_\d\d-\d\d\.log",
                                           os.path.basename(saved[0])), "file name %r" % saved)
    with open(saved[0], "rb") as f:
        data = f.read()
    expected = b"".join(("\t".join(r["cells"]) + "\n").encode("iso-8859-15") for r in rows(driver))
    check(data == expected and b"21.5\xb0C" in data and data.count(b"\t") == 8, "saved %r, not %r" % (data, expected))


def finished(downloads, prefix):
    """The files saved whose names begin with `prefix`, once whole; None before. Chromium
    reserves the final name with an empty file while the bytes go to a .crdownload one, so a
    file is whole once no .crdownload is left and it holds something."""
    if glob.glob(os.path.join(downloads, "*.crdownload")):
        return None
    saved = glob.glob(os.path.join(downloads, prefix + "*"))
    return saved if saved and all(os.path.getsize(f) > 0 for f in saved) else None


def download(button, downloads, prefix):
    """Clicks a download button; the files saved whose names begin with `prefix`, once whole."""
    for old in glob.glob(os.path.join(downloads, prefix + "*")):
        os.remove(old)
    button.click()
    return wait_for(lambda: finished(downloads, prefix), 10, "the downloaded " + prefix + "file")


def case_download_capture_gives_the_capture(driver, bridge, downloads):
    """The button downloads the capture, named by its date and time, with the frames the page
    showed, in UTF-8; a guarded bridge's is fetched with the key the page was opened with."""
    opened(driver, bridge)
    bridge.bus.write(TEMPERATURE + PUSH)
    wait_for(lambda: len(rows(driver)) >= 2, 3, "two lines")
    button = driver.find_element(By.ID, "download-capture")
    check(button.text == "Download capture" and button.get_attribute("href") == bridge.url + "capture",
          "the button %r %r" % (button.text, button.get_attribute("href")))
    saved = download(button, downloads, "tessel-capture-")
    check(len(saved) == 1 and re.fullmatch(r"tessel-capture-\d{8}-\d{6}\.txt", os.path.basename(saved[0])),
          "file name %r" % saved)
    with open(saved[0], encoding="utf-8") as f:
        lines = f.read().splitlines()
    check(lines[0].startswith("# tessel-serverd capture 1\thost="), "the header %r" % lines[:1])
    bus = [line.split("\t") for line in lines if "\tfrom-bus\t" in line]
    check([bytes.fromhex(b[4]) for b in bus][-2:] == [TEMPERATURE, PUSH], "the frames %r" % bus[-2:])
    check(bus[-2][5] == "$40 (Temp: 21.5\u00b0C)", "the temperature's words %r" % bus[-2][5:])
    # A service that keeps no capture shows no button for it.
    without = Bridge(["--capture-memory", "0"])
    try:
        opened(driver, without)
        check(not driver.find_element(By.ID, "download-capture").is_displayed(), "the button without a capture")
    finally:
        without.stop()


def case_reconnects_after_a_restart(driver, bridge, downloads):
    opened(driver, bridge)
    bridge.run.stop()
    wait_for(lambda: driver.find_element(By.ID, "connection").is_displayed(), 5, "the page to say it lost")
    again = Bridge(web_port=bridge.web_port, tcp_port=bridge.tcp_port, bus=bridge.bus)
    bridge.run = again.run
    wait_for(lambda: not driver.find_element(By.ID, "connection").is_displayed(), 10, "the page to reconnect")
    bridge.bus.write(PUSH)
    wait_for(lambda: any(r["cells"][1] == PUSH.hex().upper() for r in rows(driver)), 3, "lines after the restart")


def case_narrow_screen(driver, bridge, downloads):
    driver.set_window_size(390, 844)
    try:
        opened(driver, bridge)
        bridge.bus.write(TEMPERATURE)
        wait_for(lambda: rows(driver), 3, "a line")
        widths = driver.execute_script(
            "const s = document.querySelector('#monitor-section .scroll');"
            "return [document.documentElement.scrollWidth, window.innerWidth, s.scrollWidth, s.clientWidth]")
        check(widths[0] <= widths[1], "the page is wider than the screen: %r" % widths)
        check(widths[2] > widths[3], "the monitor does not scroll sideways: %r" % widths)
        boxes = driver.execute_script(
            "return ['monitor-section', 'clients', 'bandwidth', 'modules-section'].map(id => {"
            "const r = document.getElementById(id).getBoundingClientRect(); return [r.top, r.bottom]})")
        check(all(a[1] <= b[0] for a, b in zip(boxes, boxes[1:])), "parts overlap: %r" % boxes)
    finally:
        driver.set_window_size(1280, 800)


def case_the_key_is_asked_for(driver, bridge, downloads):
    work = tempfile.mkdtemp(prefix="tessel-page-key-")
    guarded = Bridge(["--auth-key-file", make_key_file(work, "p4ge-key-for-tests")])
    try:
        # Without the key the browser is asked for it (a headless one cannot show the prompt,
        # so it shows an empty page) and nothing of the monitor loads.
        driver.get_log("browser")
        driver.get(guarded.url)
        check(driver.find_elements(By.ID, "monitor") == [], "the monitor loaded without the key")
        check(any("status of 401" in entry["message"] for entry in driver.get_log("browser")), "no 401")
        auth = base64.b64encode(b"operator:p4ge-key-for-tests").decode()
        driver.execute_cdp_cmd("Network.enable", {})
        driver.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {"Authorization": "Basic " + auth}})
        opened(driver, guarded)
        guarded.bus.write(TEMPERATURE)
        wait_for(lambda: rows(driver), 3, "a line with the key")
    finally:
        driver.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {}})
        guarded.stop()
        shutil.rmtree(work, ignore_errors=True)


def module_answers(address, *data):
    return b"".join(frame(0xFB, address, list(d)) for d in data)


def case_modules_panel_and_column(driver, bridge, downloads):
    """The Modules panel lists what the bridge learned, with its names; the monitor names the
    module of each line; a module not heard for --silent-after shows as silent."""
    quick = Bridge(["--silent-after", "4s"])
    try:
        opened(driver, quick)
        check(driver.find_element(By.ID, "no-modules").is_displayed(), "the panel says none is known yet")
        kitchen = module_answers(
            0x10, [0xFF, 0x11, 0x12, 0x34, 0x01, 0x14, 0x20],
            [0xF0, 0x01] + list(b"Workto"), [0xF1, 0x01] + list(b"p") + [0xFF] * 5, [0xF2, 0x01] + [0xFF] * 4,
            [0xCC, 0x00, 0xE3] + list(b"Kitc"), [0xCC, 0x00, 0xE7] + list(b"hen") + [0xFF])
        sensor = module_answers(0x40, [0xFF, 0x0C, 0x00, 0x78, 0x90, 0x01, 0x14, 0x09])
        quick.bus.write(kitchen + sensor)
        wait_for(lambda: len(module_rows(driver)) == 2, 3, "two modules on the page")
        wait_for(lambda: module_rows(driver)[0]["cells"][:6] ==
                 ["$10", "VMB4RYNO", "Kitchen", "1234", "14-20", "1 Worktop"], 3,
                 "the relays' row: %r" % module_rows(driver))
        first = module_rows(driver)
        check(first[1]["cells"][:5] == ["$40", "VMB1TS", "", "7890", "14-09"], "the sensor's row: %r" % first[1])
        check(re.fullmatch(r"\d+ s ago", first[0]["cells"][6]), "last seen %r" % first[0]["cells"][6])
        check(text(driver, "module-count") == "(2 known)", "the count: %r" % text(driver, "module-count"))
        check(not driver.find_element(By.ID, "no-modules").is_displayed(), "the note of none stays")

        # Each line names its module, from it or to it; the log file's columns stay five.
        client = Client(quick.tcp_port)
        client.send(frame(0xF8, 0x10, [0x02, 0x01]))
        wait_for(lambda: any(r["cells"][1] == frame(0xF8, 0x10, [0x02, 0x01]).hex().upper() for r in rows(driver)),
                 3, "the client's line")
        lines = rows(driver)
        by_hex = {r["cells"][1]: r["module"] for r in lines}
        check(by_hex[frame(0xF8, 0x10, [0x02, 0x01]).hex().upper()] == "Kitchen", "the command's module: %r" % by_hex)
        check(by_hex[sensor.hex().upper()] == "VMB1TS", "an unnamed module by its type: %r" % by_hex)
        check(all(len(r["cells"]) == 5 for r in lines), "the monitor's own columns")
        client.close()

        # Not heard for 4 s: silent, and marked so; a frame from it brings it back.
        wait_for(lambda: all(r["silent"] for r in module_rows(driver)), 8, "both modules silent")
        check(module_rows(driver)[0]["cells"][6].startswith("silent, last heard "), "%r" % module_rows(driver)[0])
        check(text(driver, "module-count") == "(2 known, 2 silent)", "the count: %r" % text(driver, "module-count"))
        quick.bus.write(module_answers(0x40, [0xE6, 0x2B, 0x00, 0x26, 0x00, 0x30, 0x00]))
        wait_for(lambda: not module_rows(driver)[1]["silent"], 3, "the sensor heard again")
    finally:
        quick.stop()


def case_download_for_the_server_gives_the_project_file(driver, bridge, downloads):
    """Beside the Modules panel, the button downloads the project file for the home-automation
    server; the page says how many modules have no names heard yet and how many are left out."""
    fresh = Bridge()
    try:
        opened(driver, fresh)
        check(not driver.find_element(By.ID, "download-project").is_displayed(), "a button with no module known")
        kitchen = module_answers(
            0x10, [0xFF, 0x11, 0x12, 0x34, 0x01, 0x14, 0x20],
            [0xF0, 0x01] + list(b"Workto"), [0xF1, 0x01] + list(b"p") + [0xFF] * 5, [0xF2, 0x01] + [0xFF] * 4,
            [0xCC, 0x00, 0xE3] + list(b"Kitc"), [0xCC, 0x00, 0xE7] + list(b"hen") + [0xFF])
        dimmers = module_answers(0x20, [0xFF, 0x15, 0x45, 0x67, 0x01, 0x14, 0x10]) + \
            module_answers(0x21, [0xFF, 0x15, 0x45, 0x68, 0x01, 0x14, 0x10])
        unknown = module_answers(0x58, [0xFF, 0x58, 0x00, 0x01, 0x01, 0x14, 0x20])
        fresh.bus.write(kitchen + dimmers + unknown)
        wait_for(lambda: len(module_rows(driver)) == 4, 3, "four modules on the page")
        button = driver.find_element(By.ID, "download-project")
        check(button.is_displayed() and button.text == "Download for the home-automation server" and
              button.get_attribute("href") == fresh.url + "house.vlp",
              "the button %r %r" % (button.text, button.get_attribute("href")))
        wait_for(lambda: text(driver, "project-notes") ==
                 "2 modules have no names heard yet: --scan, or one scan by a client, fills them in. "
                 "1 module is left out: the home-automation server does not know its type.", 3,
                 "the notes: %r" % text(driver, "project-notes"))
        saved = download(button, downloads, "tessel-house-")
        check(len(saved) == 1 and re.fullmatch(r"tessel-house-\d{8}-for-home-assistant\.vlp", os.path.basename(saved[0])),
              "file name %r" % saved)
        with open(saved[0], encoding="utf-8") as f:
            data = f.read()
        modules = re.findall(r'<Module address="([0-9A-F,]+)" type="([^"]+)"', data)
        check(modules == [("10", "VMB4RYNO"), ("20", "VMBDMI"), ("21", "VMBDMI")], "the modules %r" % modules)
        check("<Caption>Kitchen</Caption>" in data and "<Caption>VMBDMI $20</Caption>" in data, "the captions")
    finally:
        fresh.stop()


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--case", action="append")
    parser.add_argument("--shot", help="save a screenshot of the page here after the cases")
    ARGS = parser.parse_args()
    ARGS.service = os.path.abspath(ARGS.service)
    downloads = tempfile.mkdtemp(prefix="tessel-page-")
    driver = browser(downloads)
    bridge = Bridge()
    passed = failed = 0
    try:
        for name in ARGS.case or list(CASES):
            started = time.monotonic()
            try:
                CASES[name](driver, bridge, downloads)
                passed += 1
                print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
            except Exception:  # every failure is reported, the other cases still run
                failed += 1
                print("FAIL %s" % name, flush=True)
                traceback.print_exc()
                print("browser console: %r" % driver.get_log("browser"), flush=True)
        if ARGS.shot:
            driver.save_screenshot(ARGS.shot)
    finally:
        driver.quit()
        bridge.stop()
        shutil.rmtree(downloads, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
