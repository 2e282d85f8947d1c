"""End-to-end cases of the module table: the built service on the default simulated house
learns every module from a client's scan or its own (--scan); /modules.json, /metrics and the
journal agree; a restart keeps the table; and one client's burst does not hold up another's
command at the bus. The cases take their programs from ARGS, which run_e2e.py sets."""
import json
import os
import signal
import subprocess
import tempfile
import time
import urllib.request
import xml.etree.ElementTree as ElementTree

from harness import Bus, Client, Teardown, check, frame, frame_times, wait_for
from house_scan import TYPES, TYPE_NAMES, Scanner, memory_table, read_house
from web_cases import get, metric, metrics, tcp_port_of, web_service

ARGS = None
HOUSE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "default.house")
TYPE_TEXT = {code: name for name, code in TYPE_NAMES.items()}


def simulator(*extra):
    sim = subprocess.Popen([ARGS.simulator] + list(extra), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           text=True)
    return sim, sim.stdout.readline().strip()


def modules_json(web_port):
    answer = get(web_port, "/modules.json")
    check(answer.status == 200 and answer.headers.get("content-type") == "application/json", repr(answer))
    return {m["address"]: m for m in json.loads(answer.body)["modules"]}


def differences(table, expected):
    """What the table lacks of the house, as texts; empty when it holds every module whole."""
    wrong = []
    for address, want in expected.items():
        got = table.get(address)
        what = "$%02X" % address
        if got is None:
            wrong.append(what + " missing")
            continue
        has_name = bool(TYPES[want["type"]][2])
        if got["type"] != TYPE_TEXT[want["type"]] or got["serial"] != "%04X" % want["serial"]:
            wrong.append("%s is %s serial %s" % (what, got["type"], got["serial"]))
        if got["name"] != (want["name"] if has_name else ""):
            wrong.append("%s named %r" % (what, got["name"]))
        channels = {c["channel"]: c["name"] for c in got["channels"]}
        if any(channels.get(ch) != name for ch, name in want["channels"].items()):
            wrong.append("%s channels %r" % (what, channels))
        if got["subAddresses"] != want["subs"]:
            wrong.append("%s sub-addresses %r" % (what, got["subAddresses"]))
    extra = sorted(set(table) - set(expected))
    if extra:
        wrong.append("not in the house: %s" % ["$%02X" % a for a in extra])
    return wrong


def learned_line(module):
    name = ' "%s"' % module["name"] if module["name"] else ""
    return "module $%02X %s%s serial %s build %s" % (module["address"], module["type"], name, module["serial"],
                                                    module["build"])


def case_service_learns_the_house_from_a_client_scan(display):
    """A client's scan fills the table with every module, its type, names and channel names;
    /modules.json, /metrics and the journal agree; a restart keeps the table."""
    expected = read_house(HOUSE)
    # No temperature reports of the sensors' own: the table's times, and what the restarted service
    # has heard, then come from the scan alone.
    sim, device = simulator("--temperature-every", "0")
    state = tempfile.mkdtemp(prefix="tessel-state-")
    run = again = scanner = None
    with Teardown() as down:
        down.add(state, sim)
        down.later(lambda: (scanner, run, again))
        run, web_port = web_service(device, ["--state-dir", state])
        scanner = Scanner(Client(tcp_port_of(run)))
        time.sleep(0.3)
        _, missed = scanner.scan()
        check(not missed, "past the clients' time-outs: %s" % missed)
        table = modules_json(web_port)
        check(not differences(table, expected), "the table: %s" % differences(table, expected))
        lines = [learned_line(m) for m in table.values()]
        wait_for(lambda: all(line in run.stdout_lines() for line in lines), 5,
                 "a line for every module learned: %s" % lines[:2])
        said = [line for line in run.stdout_lines() if line.startswith("module $")]
        check(len(said) == len(expected), "each module said once: %s" % said)

        values = metrics(web_port)
        check(metric(values, "tessel_modules", state="known") == len(expected), "tessel_modules known")
        check(metric(values, "tessel_modules", state="silent") == 0, "tessel_modules silent")
        for m in table.values():
            labels = {"address": "%02X" % m["address"], "type": m["type"], "name": m["name"], "serial": m["serial"],
                      "build": m["build"]}
            info = values.get(("tessel_module_info", tuple(sorted(labels.items()))))
            check(info == 1, "tessel_module_info of %s" % learned_line(m))
            seen = metric(values, "tessel_module_last_seen_seconds", address="%02X" % m["address"])
            check(seen == m["lastSeen"] and abs(seen - time.time()) < 120, "last seen of $%02X: %r" % (m["address"], seen))
        scanner.stop()
        scanner = None
        run.stop()
        run = None
        check(os.path.exists(os.path.join(state, "modules.state")), "no state file at the stop")

        again, web_port = web_service(device, ["--state-dir", state])
        tcp_port_of(again)
        kept = modules_json(web_port)
        check(not differences(kept, expected), "after the restart: %s" % differences(kept, expected))
        check(all(not m["heardSinceStart"] for m in kept.values()), "known, not heard since the start")
        time.sleep(0.5)
        check(not [line for line in again.stdout_lines() if line.startswith("module $")],
              "modules known before are not learned again")


def case_service_scan_fills_the_table(display):
    """--scan: with no client at all the service asks the bus, its frames listed as its own, and
    again on SIGHUP; without --scan it writes nothing to the bus."""
    expected = read_house(HOUSE)
    sim, device = simulator("--usb")
    run = None
    with Teardown() as down:
        down.add(sim)
        down.later(lambda: run)
        run, web_port = web_service(device, ["--scan", "--monitor"])
        tcp_port_of(run)
        run.wait_for_line(lambda line: line.startswith("scan of the bus: %d modules answered" % len(expected)), 30,
                          "the scan's answers")
        wait_for(lambda: not differences(modules_json(web_port), expected), 30, "every module's names")
        check(any("from tessel-serverd" in line and "$10" in line for line in run.stdout_lines()),
              "the scan's frames listed as the service's own")
        wait_for(lambda: len([line for line in run.stdout_lines() if line.startswith("module $") and " VMB" in line])
                 == len(expected),
                 5, "a line per module: %s" % [line for line in run.stdout_lines() if line.startswith("module")])
        run.proc.send_signal(signal.SIGHUP)
        wait_for(lambda: len([line for line in run.stdout_lines() if line.startswith("scan of the bus: a type")]) == 2,
                 5, "a second scan on SIGHUP")
        check(run.running(), "SIGHUP stopped the service")

    bus = Bus()
    quiet = None
    with Teardown() as down:
        down.add(bus)
        down.later(lambda: quiet)
        quiet, _ = web_service(bus.path)
        tcp_port_of(quiet)
        time.sleep(3)
        check(bus.stream() == b"", "without --scan the service wrote %r" % bus.stream()[:40])


def case_service_fair_turns_under_a_burst(display):
    """One client's 254 frames in one burst; another's command a second later reaches the bus
    within one round of turns, and each client's frames keep their order."""
    bus = Bus()
    run = None
    with Teardown() as down:
        down.add(bus)
        down.later(lambda: run)
        run, _ = web_service(bus.path)
        port = tcp_port_of(run)
        burst, other = Client(port), Client(port)
        time.sleep(0.3)
        scan = [frame(0xFB, a, [], rtr=True) for a in range(0x01, 0xFF)]
        burst.send(b"".join(scan))
        time.sleep(1)
        command = frame(0xF8, 0x10, [0x02, 0x01])
        sent = time.monotonic()
        other.send(command)
        wait_for(lambda: command in bus.stream(), 5, "the other client's command on the bus")
        waited = frame_times(bus.received, [command])[0] - sent
        check(waited < 0.5, "the command waited %.2f s behind the burst" % waited)
        wait_for(lambda: all(f in bus.stream() for f in scan), 30, "the whole burst on the bus")
        stream = bus.stream()
        positions = [stream.index(f) for f in scan]
        check(positions == sorted(positions), "the burst out of its order")
        burst.close()
        other.close()


def house_vlp(web_port):
    """/house.vlp as a browser fetches it (chunked): (status, headers, the file's bytes)."""
    with urllib.request.urlopen("http://127.0.0.1:%d/house.vlp" % web_port, timeout=10) as answer:
        return answer.status, {k.lower(): v for k, v in answer.headers.items()}, answer.read()


def project_modules(xml_bytes):
    """The project file as the server's reader takes it: every <Module> anywhere, with its
    attributes, caption, and the module and channel names read from its memory (0xFF dropped,
    the rest ASCII), by the clients' channel numbers."""
    table = memory_table()
    modules = {}
    for element in ElementTree.fromstring(xml_bytes).iter("Module"):
        kind = table[element.get("type")]  # an unknown type would fail the import
        memory = bytes.fromhex(element.findtext("Memory"))

        def text(ranges):
            raw = bytes(memory[a] for first, last in ranges for a in range(first, last + 1) if a < len(memory))
            return raw.replace(b"\xff", b"").decode("ascii")
        addresses = [int(a, 16) for a in element.get("address").split(",")]
        modules[addresses[0]] = {"subs": addresses[1:], "type": element.get("type"), "build": element.get("build"),
                                 "serial": element.get("serial"), "caption": element.findtext("Caption"),
                                 "name": text(kind["name"]),
                                 "channels": {c: text(r) for c, r in kind["channels"].items() if text(r)}}
    return modules


def project_differences(modules, expected):
    """What the project file lacks of the house, as texts."""
    table = memory_table()
    wrong = []
    for address, want in expected.items():
        got = modules.get(address)
        what = "$%02X" % address
        if got is None:
            wrong.append(what + " missing")
            continue
        kind = table[TYPE_TEXT[want["type"]]]
        if got["type"] != TYPE_TEXT[want["type"]] or got["serial"] != "%04X" % want["serial"] or got["subs"] != want["subs"]:
            wrong.append("%s is %r" % (what, got))
        caption = want["name"] if kind["name"] else "%s $%02X" % (TYPE_TEXT[want["type"]], address)
        if got["caption"] != caption or (kind["name"] and got["name"] != want["name"]):
            wrong.append("%s named %r, caption %r" % (what, got["name"], got["caption"]))
        channels = {kind["map"].get(ch, ch): name for ch, name in want["channels"].items() if name}
        if got["channels"] != channels:
            wrong.append("%s channels %r, not %r" % (what, got["channels"], channels))
    extra = sorted(set(modules) - set(expected))
    if extra:
        wrong.append("not in the house: %s" % extra)
    return wrong


def case_service_hands_the_house_to_the_server(display):
    """A scan as the newest client makes it (every channel name at once); then /house.vlp holds
    all 13 modules with every module and channel name of the house, as the server's reader takes
    them; a rename by memory writes shows in the table, the journal and the file and survives a
    scan; and --project-file gives the same from the state directory."""
    expected = read_house(HOUSE)
    sim, device = simulator("--temperature-every", "0")
    state = tempfile.mkdtemp(prefix="tessel-house-")
    run = scanner = None
    with Teardown() as down:
        down.add(state, sim)
        down.later(lambda: (scanner, run))
        run, web_port = web_service(device, ["--state-dir", state])
        client = Client(tcp_port_of(run))
        scanner = Scanner(client)
        time.sleep(0.3)
        _, missed = scanner.scan(newest=True)
        check(not missed, "past the clients' time-outs: %s" % missed)
        check(not differences(modules_json(web_port), expected), "the table: %s" % differences(modules_json(web_port), expected))
        status, headers, body = house_vlp(web_port)
        check(status == 200 and headers.get("content-type") == "application/xml; charset=utf-8", repr(headers))
        name = headers.get("content-disposition", "")
        check(name.startswith('attachment; filename="tessel-house-') and name.endswith('-for-home-assistant.vlp"'), name)
        wrong = project_differences(project_modules(body), expected)
        check(not wrong, "/house.vlp: %s" % wrong)

        # Renamed as a configuration tool does, four bytes at a time.
        for data in ([0xCA, 0x00, 0xE3] + list(b"Isla"), [0xCA, 0x00, 0xE7] + list(b"nd\xff\xff"),
                     [0xCA, 0x00, 0xF0] + list(b"Isla"), [0xCA, 0x00, 0xF4] + list(b"nd l"),
                     [0xCA, 0x00, 0xF8] + list(b"amp\xff")):
            client.send(frame(0xFB, 0x10, data))
            time.sleep(0.06)
        by = "by 127.0.0.1:%d" % client.sock.getsockname()[1]
        run.wait_for_line(lambda line: line == 'module $10 renamed "Island" (was "Kitchen") ' + by, 5, "the rename's line")
        run.wait_for_line(lambda line: line == 'module $10 channel 1 renamed "Island lamp" (was "Worktop") ' + by, 5,
                          "the channel's rename")
        expected[0x10]["name"], expected[0x10]["channels"][1] = "Island", "Island lamp"
        check(not differences(modules_json(web_port), expected), "renamed: %s" % differences(modules_json(web_port), expected))
        # The module answers its new names: a scan keeps them.
        _, missed = scanner.scan(newest=True)
        check(not missed, "the second scan: %s" % missed)
        check(not differences(modules_json(web_port), expected), "after a scan: %s" % differences(modules_json(web_port), expected))
        served = project_modules(house_vlp(web_port)[2])
        check(not project_differences(served, expected), "renamed in the file: %s" % project_differences(served, expected))
        scanner.stop()
        scanner = None
        run.stop()
        run = None

        written = os.path.join(state, "house.vlp")
        made = subprocess.run([ARGS.service, "--state-dir", state, "--project-file", written], capture_output=True,
                              text=True, timeout=30)
        check(made.returncode == 0, "--project-file: %d %s" % (made.returncode, made.stderr))
        check(made.stdout == "project file %s: 13 modules, 0 left out (a type the server does not know), "
                             "0 without names heard yet\n" % written, made.stdout)
        with open(written, "rb") as f:
            check(project_modules(f.read()) == served, "--project-file differs from /house.vlp")


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}
