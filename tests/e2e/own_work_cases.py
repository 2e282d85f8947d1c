"""End-to-end cases of what the service does for itself under hostile or unlucky conditions:
its scan never shuts a client out (60 answering relay modules, 200 SIGHUPs), no file it writes
follows a link, a state file from the far future costs no CPU, the journal reads as UTF-8, and
SIGHUP without --scan keeps it running. The cases take their programs from ARGS, which
run_e2e.py sets."""
import os
import shutil
import signal
import subprocess
import tempfile
import time

from harness import Bus, Client, Service, Teardown, check, frame, free_port, wait_for
from web_cases import tcp_port_of

ARGS = None


class Simulator:
    """The bus simulator on a house of the test's, logging what reaches the bus."""

    def __init__(self, house_text, *extra):
        self.dir = tempfile.mkdtemp(prefix="tessel-own-")
        self.house = os.path.join(self.dir, "test.house")
        with open(self.house, "wb") as f:
            f.write(house_text)
        self.log = os.path.join(self.dir, "bus.log")
        self.proc = subprocess.Popen([ARGS.simulator, "--house", self.house, "--log", self.log] + list(extra),
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.device = self.proc.stdout.readline().decode().strip()

    def on_bus(self, data):
        try:
            with open(self.log) as f:
                return ("RX " + "".join("%02X" % b for b in data)) in f.read()
        except FileNotFoundError:
            return False

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


def relays(count):
    """A house of `count` four-relay modules from $10 on, each named."""
    lines = []
    for i in range(count):
        lines.append('module %02X VMB4RYNO %04X "Relays %d"' % (0x10 + i, 0x1000 + i, i))
        for ch in range(1, 5):
            lines.append('  channel %d "Relay %d.%d" off' % (ch, i, ch))
    return ("\n".join(lines) + "\n").encode()


def service(device, extra=()):
    run = Service(ARGS.service, ["--device", device, "--port", str(free_port())] + list(extra))
    return run, tcp_port_of(run)


def bus_wait(sim, client, command, limit=5.0):
    """Seconds from sending `command` until the bus has it, polled every 5 ms."""
    sent = time.monotonic()
    client.send(command)
    while time.monotonic() - sent < limit:
        if sim.on_bus(command):
            return time.monotonic() - sent
        time.sleep(0.005)
    return limit


def case_service_scan_never_shuts_a_client_out(display):
    """--scan of a bus of 60 answering relay modules: a client's command reaches the bus within
    0.5 s while the type requests go out, while the names are asked (1200 requests), and after
    200 SIGHUPs; the SIGHUPs start one scan more, not 200. At 5 ms a frame (--no-delay), so that
    two whole scans fit in the case's time; the queue's mark was passed all the same."""
    sim = Simulator(relays(60), "--usb", "--quiet")
    run = None
    with Teardown() as down:
        down.add(sim)
        down.later(lambda: run)
        run, port = service(sim.device, ["--scan", "--no-delay"])
        client = Client(port)
        run.wait_for_line(lambda line: line.startswith("scan of the bus: a type request"), 10, "the scan's start")
        time.sleep(0.3)
        waits = [bus_wait(sim, client, frame(0xF8, 0x10, [0x02, 0x01]))]
        run.wait_for_line(lambda line: line.startswith("scan of the bus: 60 modules answered"), 40,
                          "the scan's answers")
        time.sleep(0.5)
        waits.append(bus_wait(sim, client, frame(0xF8, 0x11, [0x02, 0x01])))
        for _ in range(200):
            run.proc.send_signal(signal.SIGHUP)
        time.sleep(0.5)
        waits.append(bus_wait(sim, client, frame(0xF8, 0x12, [0x02, 0x01])))
        check(all(w < 0.5 for w in waits), "a client's command waited %s s for the bus" % ["%.2f" % w for w in waits])
        check(run.running(), "the SIGHUPs stopped the service")
        # Signals that come while one waits are merged: a line for each that was taken.
        run.wait_for_line(lambda line: line.startswith("SIGHUP: one more scan of the bus after the one under way"), 5,
                          "the SIGHUPs taken")
        # The scan under way goes on; one more follows it, and no other.
        # (At 5 ms a request the modules' answers fall behind, so the second may hear fewer.)
        wait_for(lambda: len([x for x in run.stdout_lines() if x.startswith("scan of the bus: ") and
                              " answered; " in x]) == 2, 60, "the one scan that follows")
        # Its names asked, the bus falls quiet for good (a scan's own pause is 3 s).
        last = {"size": -1, "changed": time.monotonic()}

        def quiet_for_five_seconds():
            size = os.path.getsize(sim.log)
            if size != last["size"]:
                last.update(size=size, changed=time.monotonic())
            return time.monotonic() - last["changed"] >= 5

        wait_for(quiet_for_five_seconds, 60, "the bus quiet after the second scan")
        starts = [line for line in run.stdout_lines() if line.startswith("scan of the bus: a type")]
        check(len(starts) == 2, "%d scans began" % len(starts))


def case_service_writes_no_file_through_a_link(display):
    """A link given as --capture-file, or planted where the state file's temporary goes: the
    files they point at keep what they held, and the journal says why the capture is not kept."""
    work = tempfile.mkdtemp(prefix="tessel-links-")
    victim = os.path.join(work, "victim")
    with open(victim, "w") as f:
        f.write("precious\n")
    state = os.path.join(work, "state")
    os.mkdir(state)
    capture = os.path.join(work, "capture.txt")
    os.symlink(victim, capture)
    os.symlink(victim, os.path.join(state, "modules.state.tmp"))
    bus = Bus()
    run = None
    with Teardown() as down:
        down.add(work, bus)
        down.later(lambda: run)
        run, port = service(bus.path, ["--state-dir", state, "--capture-file", capture])
        Client(port)
        bus.write(frame(0xFB, 0x10, [0xFF, 0x11, 0x12, 0x34, 0x01, 0x14, 0x20]))
        run.wait_for_line(lambda line: "symbolic link" in line, 5, "the capture file's warning")
        time.sleep(0.5)
        run.proc.send_signal(signal.SIGTERM)
        run.wait_exit(5)
        with open(victim) as f:
            check(f.read() == "precious\n", "a file was written through a link")
        check(os.path.isfile(os.path.join(state, "modules.state")) and
              not os.path.islink(os.path.join(state, "modules.state")), "no state file of its own")
        check(os.path.islink(capture), "the link given was replaced")
        lines = run.stdout_lines()
        check(any(line == "cannot write the capture file %s: it is a symbolic link, which is not followed; "
                          "the capture goes on in memory only" % capture for line in lines), "no warning: %s" % lines)


def case_service_state_file_from_the_future_costs_nothing(display):
    """A state file whose module was last heard in the far future is set aside, and the idle
    service then uses no CPU to speak of (it spun at a whole core)."""
    state = tempfile.mkdtemp(prefix="tessel-future-")
    with open(os.path.join(state, "modules.state"), "w") as f:
        f.write("tessel-serverd modules 1\nmodule 10 11 1234 01 1420 FFFFFFFF 1000 9000000000000000000 1 0 0\n")
    bus = Bus()
    run = None
    with Teardown() as down:
        down.add(state, bus)
        down.later(lambda: run)
        run, _ = service(bus.path, ["--state-dir", state, "--silent-after", "24h"])
        run.wait_for_line(lambda line: "has a time more than a day ahead" in line, 5, "the file set aside")
        share = run.cpu_share(2)
        check(share < 0.05, "the idle service used %.0f %% of a core" % (share * 100))
        check(os.path.exists(os.path.join(state, "modules.state.damaged")), "not set aside")


def case_service_journal_speaks_utf8(display):
    """A module named "Entrée" (ISO-8859-15 on the bus): its journal line is UTF-8."""
    house = 'module 10 VMB4RYNO 1234 "Entr\xe9e"\n  channel 1 "Lampe" off\n'.encode("iso-8859-15")
    sim = Simulator(house, "--usb", "--quiet")
    run = None
    with Teardown() as down:
        down.add(sim)
        down.later(lambda: run)
        run, _ = service(sim.device, ["--scan"])
        wait_for(lambda: b"module $10 VMB4RYNO" in open(run.output.name, "rb").read(), 30, "the module's line")
        raw = open(run.output.name, "rb").read()
        line = next(x for x in raw.split(b"\n") if x.startswith(b"module $10 VMB4RYNO"))
        check(line.decode("utf-8").startswith('module $10 VMB4RYNO "Entr\u00e9e" serial 1234 build '), "the line %r" % line)
        raw.decode("utf-8")  # every line


def case_service_sighup_without_scan(display):
    """SIGHUP without --scan, as log rotation sends it: the service goes on, writes its table,
    reopens its capture file (the rotated one keeps what it had, the new one goes on) and says so."""
    work = tempfile.mkdtemp(prefix="tessel-hup-")
    capture = os.path.join(work, "capture.txt")
    bus = Bus()
    run = None
    with Teardown() as down:
        down.add(work, bus)
        down.later(lambda: run)
        run, port = service(bus.path, ["--state-dir", work, "--capture-file", capture])
        client = Client(port)
        bus.write(frame(0xFB, 0x10, [0xFF, 0x11, 0x12, 0x34, 0x01, 0x14, 0x20]))
        time.sleep(1.5)  # the capture file gets its lines
        os.rename(capture, capture + ".1")
        run.proc.send_signal(signal.SIGHUP)
        run.wait_for_line(lambda line: line.startswith("SIGHUP: "), 5, "the SIGHUP line")
        check(run.running(), "SIGHUP stopped the service")
        hup = next(line for line in run.stdout_lines() if line.startswith("SIGHUP: "))
        check(hup == "SIGHUP: module table written to %s/modules.state; capture file %s reopened" % (work, capture),
              "the line %r" % hup)
        check(os.path.exists(os.path.join(work, "modules.state")), "no state file")
        command = frame(0xF8, 0x10, [0x02, 0x01])
        client.send(command)
        wait_for(lambda: command in bus.stream(), 5, "the command on the bus")
        run.proc.send_signal(signal.SIGTERM)
        run.wait_exit(5)
        check(run.proc.returncode == 0 and run.stdout_lines()[-1] == "stopped", "not stopped as asked")
        with open(capture + ".1") as f:
            check("0F FB 10 07 FF 11 12 34 01 14 20" in f.read(), "the rotated file lost its frame")
        with open(capture) as f:
            check("0F F8 10 02 02 01 E4 04" in f.read(), "the new file lacks the command")


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}
