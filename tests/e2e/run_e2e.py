#!/usr/bin/env python3
"""End-to-end tests of the built program. Each case starts a private Xvfb, the program in a
temporary working directory, a pseudo-terminal (or the bus simulator) as the bus, and TCP
clients on loopback.

    run_e2e.py --program PATH --simulator PATH --screenshot PATH [--case NAME] [--shots DIR]
"""
import argparse
import os
import random
import select
import shutil
import signal
import socket
import ssl
import stat
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (CONTROLS, MAIN_TITLE, Bridge, Bus, Client, Display, Service, Teardown, Skipped,  # noqa: E402
                     TestFailure, check, sanitized,
                     frame, frame_times, free_port, make_key_file, make_tls_files, split_frames,
                     velbus_terminal, wait_for)
import capture_cases  # noqa: E402
import container_cases  # noqa: E402
import addon_cases  # noqa: E402
import harness  # noqa: E402
import hostile_cases  # noqa: E402
import module_cases  # noqa: E402
import own_work_cases  # noqa: E402
import host_cases  # noqa: E402
import web_cases  # noqa: E402

ARGS = None
SKIP_EXIT = 77  # ctest's SKIP_RETURN_CODE


def start_bridge(display, bus_path, port, fast=False, prefix=(), prepare=None):
    """The program under test on that device and port: the window (configured by its file) or,
    with --front service, the service (by the same file in its working directory). `fast`: 5 ms
    between bus frames (the window's delay option off, the service's --no-delay). Returns the
    program and its main window (None for the service)."""
    config = "%s\n%d\n" % (bus_path, port)
    if ARGS.front == "service":
        service = Service(ARGS.service, ["--no-delay"] if fast else [], config, prefix, prepare)
        try:
            service.wait_started()
            return service, None
        except TestFailure:
            service.stop()
            raise
    bridge = Bridge(ARGS.program, display, config, prefix, prepare=prepare)
    try:
        window = display.find_window(MAIN_TITLE)
        if fast:
            display.click(window, *CONTROLS["Delay"])
            time.sleep(0.3)
        return bridge, window
    except TestFailure:
        bridge.stop()  # what the program said goes to the log
        raise


def program_under_test():
    return ARGS.service if ARGS.front == "service" else ARGS.program


def window_only():
    if ARGS.front == "service":
        raise Skipped("a case of the window")


class Running:
    """The program on a pseudo-terminal bus of its own; stopped, and the bus closed, on leaving."""

    def __init__(self, display, link=None, fast=False):
        self.bus, self.port = Bus(), free_port()
        device = self.bus.path
        if link:  # configured by a stable name, as a udev rule would give
            os.symlink(self.bus.path, link)
            device = link
        try:
            self.bridge, self.window = start_bridge(display, device, self.port, fast)
        except TestFailure:
            self.bus.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.bridge.stop()
        self.bus.close()

    def still_forwards(self):
        probe = Client(self.port)
        time.sleep(0.2)
        f = frame(0xFB, 0x05, [0xE6, 0x2B, 0, 0, 0, 0, 0])
        self.bus.write(f)
        check(f in probe.read_until(len(f)), "the program stopped answering")

    def saved_log(self):
        def written():
            names = [n for n in os.listdir(self.bridge.dir) if n.endswith(".log")]
            return latest_log(self.bridge.dir) if names else None
        path = wait_for(written, 5, "log file")
        time.sleep(0.2)  # written in one go; let it be closed
        return path


def connect_clients(port, count):
    clients = [Client(port) for _ in range(count)]
    time.sleep(0.3)  # one accept per pass: let every connection be taken
    return clients


def case_bus_frames_reach_three_clients(display):
    with Running(display) as run:
        clients = connect_clients(run.port, 3)
        rng = random.Random(1)
        frames = [frame(rng.choice([0xF8, 0xFB]), rng.randrange(256),
                        [rng.randrange(256) for _ in range(rng.randrange(9))]) for _ in range(60)]
        stream = b"".join(frames)
        run.bus.write(stream, line_rate=True)
        for c in clients:
            got = c.read_until(len(stream))
            check(got == stream, "a client got %d of %d bytes, or in another order" % (len(got), len(stream)))


def paced_frames_reach_the_bus(run, step):
    """Six frames and two runs that are not frames from one client: the frames reach the bus in
    order, one per step of more than `step` seconds; the runs use turns and never reach it."""
    sender, other = connect_clients(run.port, 2)
    good = [frame(0xF8, 0x10 + i, [0x02, 0x01]) for i in range(6)]
    garbage = [b"\x0f\x01\x02", b"\x0f\xfb\x05\x01\x06\xea\x05"]  # not frames: never on the bus
    sender.send(good[0] + garbage[0] + b"".join(good[1:3]) + garbage[1] + b"".join(good[3:]))
    wait_for(lambda: len(run.bus.stream()) >= sum(map(len, good)), 10, "frames on the bus")
    time.sleep(0.2)
    frames, junk = split_frames(run.bus.stream())
    check(frames == good and junk == 0, "bus got %r" % run.bus.stream().hex())
    # Time stamps come from a reader thread that may itself be late by a few milliseconds, so
    # the pacing is judged over spans; bench/bench.py measures the exact gaps.
    times = frame_times(run.bus.received, good)
    span = times[-1] - times[0]
    if step >= 0.05:
        gaps = [b - a for a, b in zip(times, times[1:])]
        check(min(gaps) >= 0.025, "two frames reached the bus in one step: gaps %s" % gaps)
        # Seven steps, the two garbage runs' turns among them, each more than 50 ms.
        check(span >= 0.045 * 7, "runs that are not frames did not use turns")
    else:  # seven steps of more than 5 ms, far below seven of 50 ms
        check(0.020 <= span < 0.250, "5 ms pacing broken: six frames spanned %.1f ms" % (span * 1000))
    check(other.read_until(1, timeout=0.5) == b"", "another client received a client frame")
    check(sender.read_until(1, timeout=0.2) == b"", "the sender got its frame back")
    sender.close()
    other.close()


def case_client_frames_reach_the_bus_paced(display):
    with Running(display) as run:
        paced_frames_reach_the_bus(run, 0.05)
        if run.window is not None:  # the window's option, switched while it runs
            display.click(run.window, *CONTROLS["Delay"])
            time.sleep(0.3)
            run.bus.received.clear()
            paced_frames_reach_the_bus(run, 0.005)
    if ARGS.front == "service":
        with Running(display, fast=True) as run:
            paced_frames_reach_the_bus(run, 0.005)


def case_bus_that_stops_taking_bytes(display):
    """The interface stops taking bytes long enough for the bridge's writes to fill the line, so
    that the device takes frames in pieces and then not at all; once it takes bytes again, every
    frame reaches the bus whole and each sender's in order, none lost."""
    with Running(display, fast=True) as run:
        senders = connect_clients(run.port, 2)
        count = 850  # each: 2 x 850 frames of 14 bytes, more than the pseudo-terminal holds
        sent = [[frame(0xFB, 0x20 + s, [0x0F, s, i >> 8, i & 0xFF, 1, 2, 3, 4]) for i in range(count)]
                for s in range(2)]
        run.bus.pause()
        for s, sender in enumerate(senders):
            sender.send(b"".join(sent[s]))
        # At 5 ms a frame, about 8 s fill the line; stay stopped past that.
        time.sleep(11)
        run.bus.resume()
        total = sum(len(f) for frames in sent for f in frames)
        wait_for(lambda: len(run.bus.stream()) >= total, 30, "every frame on the bus")
        time.sleep(0.3)
        frames, junk = split_frames(run.bus.stream())
        check(junk == 0, "%d bytes on the bus were no frame: a frame was torn" % junk)
        for s in range(2):
            mine = [f for f in frames if f[2] == 0x20 + s]
            check(mine == sent[s], "sender %d: %d of %d frames, or out of order" % (s, len(mine), count))
        run.still_forwards()


def case_disconnect_all(display):
    window_only()
    with Running(display) as run:
        clients = connect_clients(run.port, 3)
        display.click(run.window, *CONTROLS["Disconnect All"])
        for c in clients:
            check(c.closed_by_peer(), "a client stayed connected")
        fresh = wait_for(lambda: try_connect(run.port), 5, "the server to accept again")
        time.sleep(0.2)
        f = frame(0xFB, 0x05, [0xE6, 0x2B, 0, 0, 0, 0, 0])
        run.bus.write(f)
        check(fresh.read_until(len(f)) == f, "the server did not accept again")
        check(run.bridge.running(), "the program ended")


def try_connect(port):
    try:
        return Client(port)
    except OSError:
        return None


def latest_log(directory):
    logs = [n for n in os.listdir(directory) if n.startswith("Tessel-server_") and n.endswith(".log")]
    check(logs, "no log file written")
    return os.path.join(directory, max(logs, key=lambda n: os.path.getmtime(os.path.join(directory, n))))


def case_save_and_clear(display):
    window_only()
    with Running(display) as run:
        frames = [frame(0xFB, 0x05, [0xE6, 0x2B, 0, 0, 0, 0, 0]), frame(0xF8, 0x30, [0x00, 0x01, 0, 0])]
        for f in frames:
            run.bus.write(f)
            time.sleep(0.1)
        time.sleep(0.3)
        display.click(run.window, *CONTROLS["Save"])
        path = run.saved_log()
        lines = open(path, "rb").read().split(b"\n")
        check(lines[-1] == b"" and len(lines) == 3, "log has %d lines" % (len(lines) - 1))
        newest = lines[0].split(b"\t")
        check(len(newest) == 5 and newest[1] == frames[1].hex().upper().encode()
              and newest[2] == b"10" and newest[3] == b"C4/C4"
              and newest[4] == b"$30 (Push: Btn N\xb01 Pressed) from VELBUS", "log line %r" % lines[0])
        check(lines[1].split(b"\t")[4] == b"$05 (Temp: 21.5\xb0C) from VELBUS", "log line %r" % lines[1])

        display.click(run.window, *CONTROLS["Clear"])
        time.sleep(0.3)
        for name in os.listdir(run.bridge.dir):
            if name.endswith(".log"):
                os.remove(os.path.join(run.bridge.dir, name))
        display.click(run.window, *CONTROLS["Save"])
        path = run.saved_log()
        check(open(path, "rb").read() == b"", "Clear did not empty the monitor")


def case_filter_limits_the_monitor(display):
    window_only()
    with Running(display) as run:
        display.click(run.window, *CONTROLS["FilterText"])
        display.type_text(run.window, "0ff8")
        display.click(run.window, *CONTROLS["Filter"])
        time.sleep(0.3)
        high = frame(0xF8, 0x30, [0x00, 0x01, 0, 0])
        low = frame(0xFB, 0x05, [0xE6, 0x2B, 0, 0, 0, 0, 0])
        for f in (high, low, high):
            run.bus.write(f)
            time.sleep(0.1)
        display.click(run.window, *CONTROLS["!"])  # now only what does not contain 0FF8
        time.sleep(0.3)
        for f in (high, low):
            run.bus.write(f)
            time.sleep(0.1)
        time.sleep(0.3)
        display.click(run.window, *CONTROLS["Save"])
        path = run.saved_log()
        hexes = [line.split(b"\t")[1] for line in open(path, "rb").read().splitlines()]
        expected = [f.hex().upper().encode() for f in (low, high, high)]
        check(hexes == expected, "monitor lines %r" % hexes)


def case_pulled_interface_comes_back(display):
    work = tempfile.mkdtemp(prefix="tessel-e2e-link-")
    link = os.path.join(work, "velbus")
    with Teardown() as down:
        down.add(work)
        with Running(display, link=link) as run:
            clients = connect_clients(run.port, 2)
            f = frame(0xFB, 0x05, [0xE6, 0x2B, 0, 0, 0, 0, 0])
            run.bus.write(f)
            for c in clients:
                check(c.read_until(len(f)) == f, "no frame before the interface was pulled")
            run.bus.close()  # pulled out: the device node goes away
            time.sleep(0.5)
            run.bus = Bus()  # plugged in again, under another node behind the same name
            os.remove(link)
            os.symlink(run.bus.path, link)
            g = frame(0xF8, 0x30, [0x00, 0x01, 0, 0])
            started = time.monotonic()
            # The device is looked for every 2 s: forwarding resumes within that, plus a pass;
            # the extra margin is for loaded machines and sanitizer builds.
            while time.monotonic() - started < 4.5 and len(clients[0].data) < len(f) + len(g):
                run.bus.write(g)
                clients[0].read_until(len(f) + len(g), timeout=0.25)
            check(clients[0].data.endswith(g), "not forwarding 4.5 s after the interface came back")
            check(clients[1].read_until(len(f) + len(g), timeout=1).endswith(g), "the other client lost")
            request = frame(0xF8, 0x10, [0x02, 0x01])
            clients[0].send(request)
            wait_for(lambda: request in run.bus.stream(), 3, "a client frame on the new bus")
            check(run.bridge.running(), "the program ended")


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def case_soak(display):
    """Clients come and go, one floods, one reads slowly, one sends garbage, while the bus streams
    at line rate. TESSEL_SOAK_SECONDS sets the length (40 by default)."""
    seconds = float(os.environ.get("TESSEL_SOAK_SECONDS", "40"))
    stop = threading.Event()
    with Running(display) as run, Teardown() as down:
        down.callback(stop.set)
        bus, port, bridge = run.bus, run.port, run.bridge
        watchers = connect_clients(port, 2)
        slow = Client(port)
        flooder = Client(port)
        noisy = Client(port)
        time.sleep(0.3)
        sent = bytearray()
        failures = []

        def stream_bus():
            n = 0
            while not stop.is_set():
                f = frame(0xFB, n & 0xFF, [0xE6, (n >> 8) & 0xFF, 0, 0, 0, 0, 0])
                bus.write(f, line_rate=True)
                sent.extend(f)
                n += 1

        def churn():
            while not stop.is_set():
                try:
                    c = Client(port)
                    c.send(frame(0xF8, 0x10, [0x02, 0x01]))
                    time.sleep(0.05)
                    c.close()
                except OSError as e:
                    failures.append("churn: %s" % e)
                time.sleep(0.1)

        def flood():
            burst = frame(0xF8, 0x20, [0x07, 0x01, 0x32, 0, 0]) * 200
            flooder.sock.setblocking(False)
            while not stop.is_set():
                try:
                    flooder.sock.send(burst)
                except (BlockingIOError, OSError):
                    time.sleep(0.01)

        def garbage():
            rng = random.Random(3)
            while not stop.is_set():
                noisy.send(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 64))))
                time.sleep(0.03)

        threads = [threading.Thread(target=t, daemon=True) for t in (stream_bus, churn, flood, garbage)]
        threads.append(threading.Thread(target=slow.collect, args=(stop, 64, 0.1), daemon=True))
        threads += [threading.Thread(target=c.collect, args=(stop,), daemon=True) for c in watchers]
        for t in threads:
            t.start()
        time.sleep(min(20.0, seconds / 4))
        rss_start = rss_kib(bridge.proc.pid)
        time.sleep(seconds - min(20.0, seconds / 4))
        rss_end = rss_kib(bridge.proc.pid)
        stop.set()
        for t in threads:
            t.join(15)
        time.sleep(1.0)
        for c in watchers:
            c.read_until(len(sent), timeout=5)
            check(bytes(c.data) == bytes(sent), "a well-behaved client got %d of %d bytes" % (len(c.data), len(sent)))
        # Whatever it managed to read is the bus stream from its start: no frame torn apart
        # or reordered (it stopped reading at an arbitrary byte).
        check(bytes(sent).startswith(bytes(slow.data)),
              "the slow reader got torn or reordered frames (%d bytes, first difference at %d)"
              % (len(slow.data), next((i for i, (a, b) in enumerate(zip(sent, slow.data)) if a != b), -1)))
        frames, junk = split_frames(bus.stream())
        check(junk == 0, "%d bytes that are not frames reached the bus" % junk)
        check(not failures, "clients could not connect: %s" % failures[:3])
        check(rss_end - rss_start < 4096, "memory grew from %d to %d KiB" % (rss_start, rss_end))
        check(bridge.running(), "the program ended")
        run.still_forwards()
        print("soak: %d bus bytes to every client, %d frames on the bus, RSS %d -> %d KiB"
              % (len(sent), len(frames), rss_start, rss_end))


def case_quit_asks(display):
    window_only()
    with Running(display) as run:
        display.click(run.window, *CONTROLS["Quit"])
        box = display.find_window("Quit Tessel-Server")
        display.keys(box, "alt+n")
        wait_for(lambda: display.window_gone("Quit Tessel-Server"), 5, "the question to close")
        time.sleep(0.3)
        check(run.bridge.running(), "No ended the program")
        display.click(run.window, *CONTROLS["Quit"])
        box = display.find_window("Quit Tessel-Server")
        display.keys(box, "alt+y")
        check(run.bridge.wait_exit() == 0, "exit code was not 0")


def case_close_window(display):
    window_only()
    with Running(display) as run:
        display.close_request(run.window)
        check(run.bridge.wait_exit() == 0, "exit code was not 0")


def answer_first_start(display, bridge, device, port):
    """The "NOT FOUND" box, then the dialog filled in and confirmed; returns the main window."""
    box = display.find_window("Tessel-server.ini NOT FOUND")
    display.keys(box, "alt+o")
    dialog = display.find_window("Initial Configuration")
    for (x, y), text in (((270, 70), device), ((270, 100), str(port))):
        display.click(dialog, x, y)
        display.keys(dialog, "ctrl+a", "BackSpace")
        display.type_text(dialog, text)
    display.click(dialog, 270, 150)
    return display.find_window(MAIN_TITLE)


def forwards_to_new_client(bus, port):
    client = Client(port)
    time.sleep(0.2)
    f = frame(0xFB, 0x05, [0xE6, 0x2B, 0, 0, 0, 0, 0])
    bus.write(f)
    return client.read_until(len(f)) == f


def case_first_start(display):
    window_only()
    bus, port = Bus(), free_port()
    bridge = Bridge(ARGS.program, display, None)
    with Teardown() as down:
        down.add(bus, bridge)
        answer_first_start(display, bridge, bus.path, port)
        with open(os.path.join(bridge.dir, "Tessel-server.ini"), "rb") as f:
            content = f.read()
        check(content == ("%s\n%d\n" % (bus.path, port)).encode(), "configuration file %r" % content)
        check(forwards_to_new_client(bus, port), "the bridge did not forward after the first start")


def case_configuration_that_is_a_fifo(display):
    """A FIFO in the configuration's place neither blocks the start nor the writing after the
    dialog: it counts as a file that cannot be opened, and then as one that cannot be created."""
    window_only()
    bus, port = Bus(), free_port()
    bridge = Bridge(ARGS.program, display, None,
                    prepare=lambda d: os.mkfifo(os.path.join(d, "Tessel-server.ini")))
    with Teardown() as down:
        down.add(bus, bridge)
        answer_first_start(display, bridge, bus.path, port)
        check(stat.S_ISFIFO(os.stat(os.path.join(bridge.dir, "Tessel-server.ini")).st_mode),
              "the FIFO was replaced")
        check(forwards_to_new_client(bus, port), "the bridge did not forward")


def case_no_display(display):
    """Without a display: one clear line on stderr, exit code 0, for no display named and for
    one that does not answer."""
    window_only()
    unused = next(n for n in range(900, 1000) if not os.path.exists("/tmp/.X11-unix/X%d" % n))
    for name, expected in ((None, "DISPLAY is not set"), (":%d" % unused, 'display ":%d"' % unused)):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        if name:
            env["DISPLAY"] = name
        bridge = Bridge(ARGS.program, display, "/dev/null\n%d\n" % free_port(), env=env)
        with Teardown() as down:
            down.add(bridge)
            check(bridge.wait_exit() == 0, "exit code was not 0")
            said = bridge.stderr_text()
            check(said.count("\n") == 1 and "needs a graphical display" in said and expected in said,
                  "it said %r" % said)


def case_out_of_descriptors(display):
    """More clients than descriptors: the ones it cannot take are refused at once, the bridge does
    not spin, the others are served, and new clients are taken once descriptors are free."""
    if sanitized(program_under_test()):
        # Their runtime checks memory through a pipe: with no descriptor left it reports every
        # virtual call as a fault, which says nothing about the bridge.
        raise Skipped("the sanitizers' runtime itself needs free descriptors")
    bus, port = Bus(), free_port()
    bridge, _ = start_bridge(display, bus.path, port, prefix=["prlimit", "--nofile=48", "--"])
    clients = []
    with Teardown() as down:
        down.add(bus, bridge, clients)
        for _ in range(80):
            clients.append(Client(port))
        time.sleep(1.5)
        share = bridge.cpu_share(2.0)
        check(share < 0.25, "the bridge used %.0f %% of a core meanwhile" % (share * 100))
        f = frame(0xFB, 0x05, [0xE6, 0x2B, 0, 0, 0, 0, 0])
        bus.write(f)
        time.sleep(0.5)
        served = [c for c in clients if c.read_until(len(f), timeout=0.05) == f]
        check(10 <= len(served) < 80, "%d of 80 clients were served" % len(served))
        for c in served[:10]:
            c.close()
        time.sleep(0.5)
        check(forwards_to_new_client(bus, port), "no new client taken once descriptors were free")
        check(bridge.running(), "the program ended")


def case_device_that_is_not_a_terminal(display):
    """A plain file named as the device reads as ended: it is treated as a pulled interface, so
    the bridge idles and keeps its clients."""
    port = free_port()
    bridge, _ = start_bridge(display, "not-a-terminal", port,
                             prepare=lambda d: open(os.path.join(d, "not-a-terminal"), "w").close())
    with Teardown() as down:
        down.add(bridge)
        client = Client(port)
        time.sleep(0.5)
        share = bridge.cpu_share(2.5)
        check(share < 0.25, "the bridge used %.0f %% of a core" % (share * 100))
        check(not client.closed_by_peer(timeout=0.3), "the client was dropped")
        check(bridge.running(), "the program ended")


def case_first_start_quit(display):
    window_only()
    bridge = Bridge(ARGS.program, display, None)
    with Teardown() as down:
        down.add(bridge)
        display.keys(display.find_window("Tessel-server.ini NOT FOUND"), "alt+o")
        dialog = display.find_window("Initial Configuration")
        display.click(dialog, 185, 150)
        check(bridge.wait_exit() == 0, "exit code was not 0")
        check(not os.path.exists(os.path.join(bridge.dir, "Tessel-server.ini")), "a file was written")


def ends_after_box(display, bridge, title):
    """A failure box with that title comes up; once it is answered the program ends with 0."""
    display.keys(display.find_window(title), "alt+o")
    check(bridge.wait_exit() == 0, "exit code was not 0")


def case_missing_device(display):
    window_only()
    bridge = Bridge(ARGS.program, display, "/dev/nonexistent-velbus\n%d\n" % free_port())
    with Teardown() as down:
        down.add(bridge)
        ends_after_box(display, bridge, "Serial Error")


def case_busy_port(display):
    window_only()
    bus = Bus()
    holder = socket.socket()
    holder.bind(("0.0.0.0", 0))
    holder.listen(1)
    bridge = Bridge(ARGS.program, display, "%s\n%d\n" % (bus.path, holder.getsockname()[1]))
    with Teardown() as down:
        down.add(holder, bus, bridge)
        ends_after_box(display, bridge, "NOT ABLE TO CREATE SERVER")


def case_bad_input_never_reaches_the_bus(display):
    with Running(display, fast=True) as run:  # 5 ms steps: more runs reach their turn
        clients = connect_clients(run.port, 4)
        sender, noisy = clients[0], clients[1:]
        rng = random.Random(7)
        good = []
        until = time.monotonic() + 3
        while time.monotonic() < until:
            for c in noisy:
                kind = rng.randrange(3)
                if kind == 0:
                    data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 120)))
                elif kind == 1:
                    data = bytes([0x0F] * rng.randrange(1, 5))
                else:
                    f = bytearray(frame(0xFB, rng.randrange(256), [rng.randrange(256) for _ in range(rng.randrange(9))]))
                    f[rng.randrange(len(f))] ^= 0xFF
                    data = bytes(f)
                try:
                    c.send(data)
                except OSError:
                    pass
            f = frame(0xF8, len(good) & 0xFF, [0x02, (len(good) >> 8) & 0xFF])
            good.append(f)
            sender.send(f)
            time.sleep(0.05)

        def quiet():  # the queue has drained once nothing new reached the bus for a while
            return run.bus.received and time.monotonic() - run.bus.received[-1][0] > 1.5
        wait_for(quiet, 120, "the bus queue to drain")
        frames, junk = split_frames(run.bus.stream())
        check(junk == 0, "%d bytes that are not frames reached the bus" % junk)
        from_sender = [f for f in frames if f in good]
        check(from_sender == good, "the well-behaved client's frames: %d of %d arrived in order"
              % (len(from_sender), len(good)))
        check(run.bridge.running(), "the program ended")
        run.still_forwards()


def case_simulated_bus(display):
    sim = subprocess.Popen([ARGS.simulator, "--quiet"], stdout=subprocess.PIPE, text=True)
    port = free_port()
    with Teardown() as down:
        down.add(sim)
        device = sim.stdout.readline().strip()
        bridge, window = start_bridge(display, device, port)
        with Teardown() as down:
            down.add(bridge)
            client = Client(port)
            time.sleep(0.2)
            client.send(frame(0xFB, 0x10, [], rtr=True))
            answer = frame(0xFB, 0x10, [0xFF, 0x11, 0x12, 0x34, 0x01, 0x14, 0x20])
            check(answer in client.read_until(len(answer), timeout=5), "no module-type answer")
            client.send(frame(0xF8, 0x10, [0x02, 0x01]))
            status = frame(0xFB, 0x10, [0xFB, 0x01, 0x00, 0x01, 0x80, 0, 0, 0])
            check(status in client.read_until(len(answer) + len(status), timeout=5), "no relay status")
            if ARGS.shots:
                time.sleep(1.5)
                subprocess.run([ARGS.screenshot, os.path.join(ARGS.shots, "window.png")],
                               env=display.env(), timeout=20)


def case_simulated_house_scan(display):
    """A client's scan as real clients make it finds every module of the default house, with its
    type, serial, build, module name and channel names, within the clients' time-outs."""
    from house_scan import Scanner, read_house
    expected = read_house(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                       "default.house"))
    sim = subprocess.Popen([ARGS.simulator], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    port = free_port()
    with Teardown() as down:
        down.add(sim)
        device = sim.stdout.readline().strip()
        bridge, _ = start_bridge(display, device, port)
        scanner = None
        with Teardown() as down:
            down.add(bridge)
            down.later(lambda: scanner)
            scanner = Scanner(Client(port))
            time.sleep(0.3)
            found, missed = scanner.scan()
            check(not missed, "past the clients' time-outs: %s" % missed)
            check(sorted(found) == sorted(expected), "found %s, the house has %s" % (
                ["%02X" % a for a in sorted(found)], ["%02X" % a for a in sorted(expected)]))
            builds = {0x10: (0x14, 0x20), 0x11: (0x14, 0x20), 0x15: (0x14, 0x10), 0x0C: (0x14, 0x09),
                      0x0B: (0x14, 0x09), 0x1E: (0x14, 0x15), 0x22: (0x14, 0x24), 0x1D: (0x14, 0x09)}
            for address, want in expected.items():
                got = found[address]
                what = "$%02X" % address
                check(got["type"] == want["type"] and got["serial"] == want["serial"], "%s: %r" % (what, got))
                check(got["build"] == builds[want["type"]], "%s build %r" % (what, got["build"]))
                channels = {ch: got["channels"].get(ch, "") for ch in got["channels"]}
                check(all(channels.get(ch) == name for ch, name in want["channels"].items()),
                      "%s channel names %r, the house says %r" % (what, channels, want["channels"]))
                if "name" in got:
                    check(got["name"] == want["name"], "%s name %r" % (what, got["name"]))
                    check(want["name"].startswith(got["name by bytes"]) and got["name by bytes"],
                          "%s name by bytes %r" % (what, got["name by bytes"]))
                check(got["status"], "%s gave no status" % what)
                if want["subs"]:
                    check(got.get("subs") == want["subs"], "%s sub-addresses %r" % (what, got.get("subs")))


def case_simulator_usb_and_house_file(display):
    """The simulator with --usb hands over a whole frame per read, at the bus's rate; a house file
    that will not do is one line naming its line, and exit 2."""
    sim = subprocess.Popen([ARGS.simulator, "--quiet", "--usb"], stdout=subprocess.PIPE, text=True)
    with Teardown() as down:
        down.add(sim)
        device = sim.stdout.readline().strip()
        fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
        down.callback(os.close, fd)
        tty.setraw(fd)
        time.sleep(0.2)
        os.write(fd, frame(0xFB, 0x50, [], rtr=True) + frame(0xFB, 0x10, [0xEF, 0x1F]))
        reads, until = [], time.monotonic() + 3
        while sum(len(split_frames(d)[0]) for _, d in reads) < 17 and time.monotonic() < until:
            ready, _, _ = select.select([fd], [], [], 0.2)
            if ready:
                reads.append((time.monotonic(), os.read(fd, 4096)))
        # Whole frames in every read, about 6.7 ms apart: a reader that keeps up gets one a
        # read (a busy one may find two waiting, never a piece of one).
        frames = [split_frames(data) for _, data in reads]
        check(sum(len(f) for f, _ in frames) == 17 and all(junk == 0 for _, junk in frames),
              "a read held a piece of a frame: %r" % [d.hex() for _, d in reads])
        check(len(reads) >= 9, "the frames came in %d reads, not one or so a frame" % len(reads))
        took = reads[-1][0] - reads[0][0]
        check(took > 16 * 0.005, "17 frames in %.3f s: faster than the bus carries them" % took)
    work = tempfile.mkdtemp(prefix="tessel-e2e-house-")
    with Teardown() as down:
        down.add(work)
        bad = os.path.join(work, "my.house")
        with open(bad, "w") as f:
            f.write('module 10 VMB4RYNO 1234 "Kitchen"\n  channel 9 "Nine"\n')
        done = subprocess.run([ARGS.simulator, "--house", bad], capture_output=True, text=True, timeout=10)
        check(done.returncode == 2 and done.stderr == "velbus-sim: %s: line 2: a VMB4RYNO has channels 1 to 5\n" % bad,
              "a bad house file: %d %r" % (done.returncode, done.stderr))


def simulator_log(path):
    with open(path) as f:
        return f.read().splitlines()


def case_interface_fills_and_goes_off(display):
    """A client sends 200 frames in one burst to an interface that takes at most 8 frames in
    half a second: writes wait while it says its buffer is full, and every frame reaches the
    bus, none dropped. (The build before the hold lost 40 of the 200 here, measured once.) Then
    the bus goes off and comes back: nothing written meanwhile is lost either, and the service
    says so in its journal."""
    work = tempfile.mkdtemp(prefix="tessel-e2e-fills-")
    log = os.path.join(work, "bus.log")
    sim = subprocess.Popen([ARGS.simulator, "--quiet", "--log", log, "--buffer", "8", "--buffer-ms", "500",
                            "--bus-off-ms", "1500"], stdout=subprocess.PIPE, text=True)
    port = free_port()
    with Teardown() as down:
        down.add(work, sim)
        device = sim.stdout.readline().strip()
        bridge, _ = start_bridge(display, device, port)
        with Teardown() as down:
            down.add(bridge)
            client = Client(port)
            time.sleep(0.3)
            # To an address no module has: nothing answers, so only the interface speaks.
            frames = [frame(0xF8, 0x77, [0x02, i & 0xFF, i >> 8]) for i in range(200)]
            client.send(b"".join(frames))
            wanted = {f.hex().upper() for f in frames}

            def arrived():
                return {l.split()[2] for l in simulator_log(log) if l.split()[1:2] == ["RX"]} & wanted
            wait_for(lambda: len(arrived()) == 200, 40, "every frame on the bus")
            drops = [l for l in simulator_log(log) if " DROP " in l]
            check(not drops, "%d frames dropped by the interface: %r" % (len(drops), drops[:3]))
            full = bytes.fromhex("0FF800010BED04")
            check(full in client.read_until(len(full), timeout=1), "the interface's own frame did not reach the client")

            # Bus off for 1.5 s while frames wait: they go once it is back.
            sim.send_signal(signal.SIGUSR1)
            wait_for(lambda: any(l.endswith(" BUS OFF") for l in simulator_log(log)), 3, "bus off")
            time.sleep(0.1)
            later = [frame(0xF8, 0x77, [0x03, i, 0]) for i in range(5)]
            client.send(b"".join(later))
            wait_for(lambda: all("RX " + f.hex().upper() in "\n".join(simulator_log(log)) for f in later), 10,
                     "the frames held while the bus was off")
            check(not any(" DROP " in l for l in simulator_log(log)), "frames written while the bus was off")
            if ARGS.front == "service":
                for said in ("Velbus bus off: the interface left the bus after errors",
                             "writes to the bus held for over a second: the bus is off",
                             "Velbus bus active again", "writes to the bus resume"):
                    bridge.wait_for_line(lambda l: l == said, 3, said)
                check(sum(l == "Velbus bus off: the interface left the bus after errors" for l in bridge.stdout_lines())
                      == 1, "more than one bus-off line")


def case_service_sets_the_modules_clock(display):
    """--sync-clock: the simulated modules hold the host's local time within a minute of the
    start, set by three frames that the monitor names the service as the source of."""
    work = tempfile.mkdtemp(prefix="tessel-e2e-clock-")
    log = os.path.join(work, "bus.log")
    sim = subprocess.Popen([ARGS.simulator, "--quiet", "--log", log], stdout=subprocess.PIPE, text=True)
    run = None
    with Teardown() as down:
        down.add(work, sim)
        down.later(lambda: run)
        device = sim.stdout.readline().strip()
        run = service(["--device", device, "--port", str(free_port()), "--sync-clock", "--monitor"])
        run.wait_started()
        wait_for(lambda: any(" DST " in l for l in simulator_log(log)), 5, "the clock frames on the bus")
        now = time.localtime()
        said = {l.split()[1]: l.split(None, 2)[2] for l in simulator_log(log) if l.split()[1] in ("CLOCK", "DATE", "DST")}
        wday, hhmm = said["CLOCK"].split()
        set_at = time.mktime(time.strptime("%s %s" % (said["DATE"], hhmm), "%Y-%m-%d %H:%M"))
        check(int(wday) == now.tm_wday and abs(time.mktime(now) - set_at) < 120,
              "the modules hold %r, the host %s" % (said, time.strftime("%a %Y-%m-%d %H:%M", now)))
        check(said["DST"] == ("0" if now.tm_isdst > 0 else "1"), "summer time %r" % said["DST"])
        line = run.wait_for_line(lambda l: "(Clock " in l, 3, "the clock frame's monitor line")
        check(line.endswith(") from tessel-serverd"), "the monitor line %r" % line)


def case_help_opens_the_readme(display):
    """"?" hands the README to the desktop's opener: the installed one, or the source's."""
    window_only()
    opener = tempfile.mkdtemp(prefix="tessel-e2e-opener-")
    opened = os.path.join(opener, "opened")
    with open(os.path.join(opener, "xdg-open"), "w") as f:
        f.write('#!/bin/sh\nprintf "%%s" "$1" > "%s"\n' % opened)
    os.chmod(os.path.join(opener, "xdg-open"), 0o755)
    env = display.env()
    env["PATH"] = opener + ":" + env.get("PATH", "/usr/bin:/bin")
    bus, port = Bus(), free_port()
    bridge = Bridge(ARGS.program, display, "%s\n%d\n" % (bus.path, port), env=env)
    with Teardown() as down:
        down.add(opener, bus, bridge)
        window = display.find_window(MAIN_TITLE)
        display.click(window, *CONTROLS["?"])
        page = wait_for(lambda: os.path.exists(opened) and open(opened).read(), 5, "the opener")
        check(page.endswith("/README.md") and os.access(page, os.R_OK), "it opened %r" % page)
        check("Tessel-server lets several programs share one Velbus" in open(page).read(),
              "%s is not the README" % page)
        print("opened " + page)


# --- the service's own conventions -----------------------------------------------------------

def service(args=(), config=None, prepare=None, env=None):
    return Service(ARGS.service, args, config, prepare=prepare, env=env)


def ends_with(program, code, timeout=5):
    """The program ends with `code` within `timeout` seconds; returns what it said."""
    started = time.monotonic()
    rc = program.wait_exit(timeout)
    elapsed = time.monotonic() - started
    out, err = "\n".join(program.stdout_lines()), program.stderr_text()
    program.stop()
    check(rc == code, "exit code %s, not %d; it said %r %r" % (rc, code, out, err))
    return out, err, elapsed


def case_service_options_and_exit_codes(display):
    out, err, _ = ends_with(service(["--help"]), 0)
    check("Usage: tessel-serverd" in out and "--bind ADDRESS" in out and not err, "--help said %r" % out)
    out, _, _ = ends_with(service(["--version"]), 0)
    check(out == "tessel-serverd 3.08", "--version said %r" % out)
    # A usage error is one line for the journal, not the whole usage.
    for args, says in ((["--verbose"], "unknown option '--verbose'"),
                       (["--device", "/dev/null", "--port", "http"], "--port takes a number from 1 to 65535, not 'http'"),
                       (["--device", "/dev/null", "--port", "0"], "--port takes a number from 1 to 65535, not '0'"),
                       (["--bind", "localhost", "--device", "/dev/null"], "--bind takes an IPv4 or IPv6"),
                       ([], "no serial device")):
        out, err, _ = ends_with(service(args), 2)
        check(err.startswith("tessel-serverd: " + says) and err.endswith("; see tessel-serverd --help\n")
              and err.count("\n") == 1 and not out, "%s said %r" % (args, err))

    out, err, elapsed = ends_with(service(["--device", "/dev/nonexistent-velbus", "--port", str(free_port())]), 1)
    check(err.strip() == "tessel-serverd: cannot open the Velbus serial device /dev/nonexistent-velbus: "
          "No such file or directory" and elapsed < 1.0, "a missing device: %r after %.2f s" % (err, elapsed))

    bus = Bus()
    holder = socket.socket()
    holder.bind(("0.0.0.0", 0))
    holder.listen(1)
    with Teardown() as down:
        down.add(bus, holder)
        busy = holder.getsockname()[1]
        out, err, elapsed = ends_with(service(["--device", bus.path, "--port", str(busy)]), 1)
        check(err.strip() == "tessel-serverd: cannot listen on 0.0.0.0:%d: Address already in use" % busy
              and elapsed < 1.0, "a busy port: %r after %.2f s" % (err, elapsed))


def case_service_configuration_and_overrides(display):
    """The configuration file in the working directory, the options over it."""
    bus, other, port = Bus(), Bus(), free_port()
    with Teardown() as down:
        down.add(other, bus)
        run = service([], config="%s\n%d\n" % (bus.path, port))
        with Teardown() as down:
            down.add(run)
            line = run.wait_started()
            check(line == "tessel-serverd 3.08 listening on 0.0.0.0:%d (plain), Velbus serial %s" % (port, bus.path),
                  "start-up line %r" % line)
            check(forwards_to_new_client(bus, port), "not forwarding as configured")
        port2 = free_port()
        run = service(["--device", other.path, "--port", str(port2)], config="%s\n%d\n" % (bus.path, port))
        with Teardown() as down:
            down.add(run)
            run.wait_started()
            check(forwards_to_new_client(other, port2), "the options did not win over the file")
        work = tempfile.mkdtemp(prefix="tessel-e2e-conf-")
        path = os.path.join(work, "elsewhere.ini")
        with open(path, "w") as f:
            f.write("%s\n$%X\ncomments after the second line are never read\n" % (other.path, port))
        run = service(["--config", path])
        with Teardown() as down:
            down.add(work, run)
            run.wait_started()
            check(forwards_to_new_client(other, port), "--config not read with the number rule")
        # A port line that is not a port stops the start with exit 2, which systemd does not
        # retry; a missing one gives 8080.
        work = tempfile.mkdtemp(prefix="tessel-e2e-conf-")
        for line in ("abc", "0", "-1", "70000", "80 80", "$", "%2"):
            path = os.path.join(work, "bad.ini")
            with open(path, "w") as f:
                f.write("%s\n%s\n" % (bus.path, line))
            out, err, _ = ends_with(service(["--config", path]), 2)
            check(err == "tessel-serverd: %s: the port '%s' is not a number from 1 to 65535\n" % (path, line),
                  "port line %r: %r" % (line, err))
        out, err, _ = ends_with(service(["--config", work]), 2)
        check(err == "tessel-serverd: cannot read the configuration file %s: it is a directory\n" % work, "%r" % err)
        out, err, _ = ends_with(service(["--config", os.path.join(work, "none.ini")]), 2)
        check("No such file or directory" in err, "a missing --config: %r" % err)
        path = os.path.join(work, "one-line.ini")
        with open(path, "w") as f:
            f.write(bus.path + "\n")
        run = service(["--config", path])
        with Teardown() as down:
            down.add(work, run)
            check(run.wait_started().startswith("tessel-serverd 3.08 listening on 0.0.0.0:8080 (plain),"),
                  "a missing port line did not give 8080")


def case_service_stops_on_signals(display):
    for sig in (signal.SIGTERM, signal.SIGINT):
        bus, port = Bus(), free_port()
        run = service(["--device", bus.path, "--port", str(port)])
        with Teardown() as down:
            down.add(bus, run)
            run.wait_started()
            client = Client(port)
            time.sleep(0.2)
            run.proc.send_signal(sig)
            check(run.wait_exit(2) == 0, "exit code after %s was not 0" % sig.name)
            check(run.stdout_lines()[-1] == "stopped", "no last line 'stopped'")
            check(client.closed_by_peer(2), "the client's connection stayed open")
            check(try_connect(port) is None, "the port still listens")


def case_service_journal(display):
    """One line per event: clients (with the runs of theirs that were not frames), the serial
    device lost and back; with --monitor one line per run in either direction, in UTF-8."""
    work = tempfile.mkdtemp(prefix="tessel-e2e-link-")
    link = os.path.join(work, "velbus")
    bus, port = Bus(), free_port()
    os.symlink(bus.path, link)
    run = service(["--device", link, "--port", str(port), "--monitor"])
    with Teardown() as down:
        down.add(work)
        down.later(lambda: bus)
        down.add(run)
        run.wait_started()
        client = Client(port)
        name = "127.0.0.1:%d" % client.sock.getsockname()[1]
        run.wait_for_line(lambda l: l == "client %s connected" % name, 5, "the connected line")
        temperature = frame(0xFB, 0x05, [0xE6, 0x2B, 0, 0, 0, 0, 0])
        bus.write(temperature)
        check(client.read_until(len(temperature)) == temperature, "no bus frame")
        relay = frame(0xF8, 0x10, [0x02, 0x01])
        client.send(b"\x0f\x01\x02" + relay)
        wait_for(lambda: relay in bus.stream(), 5, "the client frame on the bus")
        line = run.wait_for_line(lambda l: "from VELBUS" in l, 5, "the bus frame's monitor line")
        fields = line.split("\t")
        check(len(fields) == 5 and fields[1] == temperature.hex().upper() and fields[2] == "13"
              and fields[4] == "$05 (Temp: 21.5\u00b0C) from VELBUS", "bus line %r" % line)
        line = run.wait_for_line(lambda l: l.split("\t")[1:2] == [relay.hex().upper()], 5, "the client frame's line")
        check(line.endswith(" from " + name), "client line %r" % line)
        client.close()
        run.wait_for_line(lambda l: l == "client %s gone, 1 run not frames" % name, 5, "the gone line")

        bus.close()  # pulled out
        run.wait_for_line(lambda l: l == "Velbus serial %s lost" % link, 5, "the lost line")
        bus = Bus()
        os.remove(link)
        os.symlink(bus.path, link)
        run.wait_for_line(lambda l: l == "Velbus serial %s back" % link, 5, "the back line")
        check(forwards_to_new_client(bus, port), "not forwarding once the device was back")


def tls_client(port, data=b"", source="127.0.0.1"):
    """A client as the home-automation library makes one: TLS without checking the
    certificate, then the key's bytes raw, its first frames maybe in the same write. `source`
    stands in for another host."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    sock = context.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=5,
                                                        source_address=(source, 0)))
    if data:
        sock.sendall(data)
    return sock


def receive_all(sock, count, timeout=5):
    sock.settimeout(0.2)
    got, until = b"", time.monotonic() + timeout
    while len(got) < count and time.monotonic() < until:
        try:
            chunk = sock.recv(65536)
        except (socket.timeout, ssl.SSLWantReadError):
            continue
        except OSError:
            break
        if not chunk:
            break
        got += chunk
    return got


def dropped(sock, timeout):
    """True once the service closed the connection, within `timeout` seconds; what it got
    before must be nothing."""
    sock.settimeout(0.2)
    until = time.monotonic() + timeout
    while time.monotonic() < until:
        try:
            chunk = sock.recv(65536)
        except (socket.timeout, ssl.SSLWantReadError):
            continue
        except OSError:
            return True
        if not chunk:
            return True
        raise TestFailure("a client that was not let in received %r" % chunk)
    return False


def case_service_tls_and_key(display):
    """TLS and the shared key together: the key's client drives modules on the simulated bus;
    a plain client, a wrong key, a half key and a silent client get not one bus byte, put not
    one byte on the bus, and are dropped in time with a journal line; the key is never said."""
    work = tempfile.mkdtemp(prefix="tessel-e2e-tls-")
    key = "k3y-long-enough-%d" % random.randrange(10 ** 9)
    sim = subprocess.Popen([ARGS.simulator, "--quiet", "--log", os.path.join(work, "bus.log")],
                           stdout=subprocess.PIPE, text=True)
    run = None
    with Teardown() as down:
        down.add(work, sim)
        down.later(lambda: run)
        cert, tls_key = make_tls_files(work)
        device = sim.stdout.readline().strip()
        port = free_port()
        run = service(["--device", device, "--port", str(port), "--tls-cert", cert, "--tls-key", tls_key,
                       "--auth-key-file", make_key_file(work, key), "--monitor"])
        run.wait_started()
        started = time.monotonic()
        # Each from a host of its own: the refusals of one host are folded into a line a minute.
        silent = socket.create_connection(("127.0.0.1", port), timeout=5,  # no handshake at all
                                          source_address=("127.0.0.2", 0))
        silent_tls = tls_client(port, source="127.0.0.3")                  # no key
        half = tls_client(port, key[:3].encode(), source="127.0.0.4")
        refused_frames = [frame(0xF8, 0x10, [0x02, 0x04]), frame(0xF8, 0x10, [0x02, 0x08])]
        wrong = tls_client(port, ("x" * len(key)).encode() + refused_frames[0], source="127.0.0.5")
        plain = socket.create_connection(("127.0.0.1", port), timeout=5, source_address=("127.0.0.6", 0))
        plain.sendall(key.encode() + refused_frames[1])

        # The client that holds the key scans a module and switches a relay, its first frame in
        # the same write as the key.
        good = tls_client(port, key.encode() + frame(0xFB, 0x10, [], rtr=True))
        answer = frame(0xFB, 0x10, [0xFF, 0x11, 0x12, 0x34, 0x01, 0x14, 0x20])
        check(answer in receive_all(good, len(answer)), "no module-type answer over TLS")
        good.sendall(frame(0xF8, 0x10, [0x02, 0x01]))
        status = frame(0xFB, 0x10, [0xFB, 0x01, 0x00, 0x01, 0x80, 0, 0, 0])
        check(status in receive_all(good, 64), "no relay status over TLS")

        check(dropped(plain, 2), "the plain client was not dropped")
        check(dropped(wrong, 2), "the wrong key was not dropped")
        check(dropped(half, 7) and dropped(silent_tls, 7), "a client without its whole key stayed past 5 s")
        check(time.monotonic() - started > 4.5, "dropped before its 5 s")
        check(dropped(silent, 12), "a client without a handshake stayed past 10 s")
        check(time.monotonic() - started > 9.5, "dropped before its 10 s")
        # The line is written in the pass that closed the connection, a moment after the close.
        short = "no complete key within 5 s: %d of %d bytes came"
        for reason, count in (("TLS handshake failed", 1), ("wrong key", 1), (short % (3, len(key)), 1),
                              (short % (0, len(key)), 1), ("no TLS handshake within 10 s", 1)):
            def lines():
                return [l for l in run.stdout_lines() if l.startswith("client 127.0.0.") and
                        l.endswith(" refused: " + reason)]
            wait_for(lambda: len(lines()) >= count, 2, "%d lines for '%s'" % (count, reason))
            check(len(lines()) == count, "%d lines for '%s', not %d" % (len(lines()), reason, count))
        with open(os.path.join(work, "bus.log")) as f:
            on_bus = f.read()
        logged = on_bus.replace(" ", "").upper()
        check(frame(0xF8, 0x10, [0x02, 0x01]).hex().upper() in logged, "the bus log shows no frame at all")
        check(not any(f.hex().upper() in logged for f in refused_frames), "a refused client's frame reached the bus")
        said = "\n".join(run.stdout_lines()) + run.stderr_text()
        check(key not in said, "the key appeared in the output")
        good.close()


def case_service_tls_alone_and_key_alone(display):
    """Each protection without the other: TLS alone lets any TLS client in at once; the key
    alone asks plain TCP clients for it (KEY@host:port)."""
    work = tempfile.mkdtemp(prefix="tessel-e2e-guard-")
    bus = Bus()
    with Teardown() as down:
        down.add(work, bus)
        cert, tls_key = make_tls_files(work)
        f = frame(0xFB, 0x05, [0xE6, 0x2B, 0, 0, 0, 0, 0])
        port = free_port()
        run = service(["--device", bus.path, "--port", str(port), "--tls-cert", cert, "--tls-key", tls_key])
        with Teardown() as down:
            down.add(run)
            run.wait_started()
            client = tls_client(port)
            run.wait_for_line(lambda l: l.endswith(" connected"), 5, "the TLS client")
            bus.write(f)
            check(receive_all(client, len(f)) == f, "a TLS client without a key got nothing")
        port = free_port()
        run = service(["--device", bus.path, "--port", str(port), "--auth-key-file", make_key_file(work, "plain-key-0123456789")])
        with Teardown() as down:
            down.add(run)
            run.wait_started()
            client = Client(port)
            client.send(b"plain-key-0123456789")
            run.wait_for_line(lambda l: l.endswith(" connected"), 5, "the key's client")
            bus.write(f)
            check(client.read_until(len(f)) == f, "a plain client with the key got nothing")


def case_service_plain_and_guarded_listeners(display):
    """--listen and --listen-guarded at once: a plain client of the one and a TLS+key client of
    the other get every bus frame; a plain client on the guarded one is refused; a frame from a
    client of each reaches the bus once, paced, and no other client; the start line and the
    client lines name the listeners."""
    work = tempfile.mkdtemp(prefix="tessel-e2e-listen-")
    bus = Bus()
    key = "l1sten-key-long-%d" % random.randrange(10 ** 6)
    plain_port, guarded_port = free_port(), free_port()
    run = None
    with Teardown() as down:
        down.add(work, bus)
        down.later(lambda: run)
        cert, tls_key = make_tls_files(work)
        web_port = free_port()
        run = service(["--device", bus.path, "--listen", "127.0.0.1:%d" % plain_port,
                       "--listen-guarded", "127.0.0.1:%d" % guarded_port, "--tls-cert", cert,
                       "--tls-key", tls_key, "--auth-key-file", make_key_file(work, key), "--web", str(web_port)])
        line = run.wait_started()
        check(" listening on 127.0.0.1:%d (plain), 127.0.0.1:%d (tls+key), Velbus serial " % (plain_port, guarded_port)
              in line, "start line %r" % line)
        plain = Client(plain_port)
        guarded = tls_client(guarded_port, key.encode())
        stranger = socket.create_connection(("127.0.0.1", guarded_port), timeout=5)
        stranger.sendall(b"a plain client on the guarded port")
        for sock, port, rule in ((plain.sock, plain_port, "plain"), (guarded, guarded_port, "tls+key")):
            said = "client 127.0.0.1:%d via 127.0.0.1:%d (%s) connected" % (sock.getsockname()[1], port, rule)
            run.wait_for_line(lambda l: l == said, 5, said)
        # The web monitor's client list says which listener each came in by.
        page, shown = web_cases.open_stream(web_port, key, tls=True)
        page.close()
        for sock, port, rule in ((plain.sock, plain_port, "plain"), (guarded, guarded_port, "tls+key")):
            row = '"127.0.0.1 (%d)",' % sock.getsockname()[1]
            check(row in shown.decode() and '"listener":"127.0.0.1:%d (%s)"' % (port, rule) in shown.decode(),
                  "the web monitor does not name the %s listener" % rule)
        frames = b"".join(frame(0xFB, 0x05, [0xE6, i, 0, 0, 0, 0, 0]) for i in range(5))
        bus.write(frames)
        check(plain.read_until(len(frames)) == frames, "the plain listener's client missed bus frames")
        check(receive_all(guarded, len(frames)) == frames, "the guarded listener's client missed bus frames")
        check(dropped(stranger, 12), "a plain client on the guarded port was not dropped")
        run.wait_for_line(lambda l: " via 127.0.0.1:%d (tls+key) refused: " % guarded_port in l, 3, "the refusal")

        one, other = frame(0xF8, 0x10, [0x02, 0x01]), frame(0xF8, 0x10, [0x02, 0x02])
        plain.send(one)
        guarded.sendall(other)
        wait_for(lambda: one in bus.stream() and other in bus.stream(), 3, "both clients' frames on the bus")
        time.sleep(0.3)
        stream = bus.stream()
        check(stream.count(one) == 1 and stream.count(other) == 1, "a frame reached the bus more than once")
        ordered = sorted((one, other), key=stream.index)
        first, second = frame_times(bus.received, ordered)
        check(second - first > 0.045, "two clients' frames %.1f ms apart on the bus" % ((second - first) * 1000))
        check(plain.read_until(len(frames) + 1, timeout=0.5) == frames and
              receive_all(guarded, 1, timeout=0.5) == b"", "a client's frame reached another client")
        guarded.close()


def case_service_listener_that_cannot_open(display):
    """A listener that cannot be opened ends the start, exit 1, with one line naming it; a
    guarded one without a guard is a usage error."""
    bus = Bus()
    holder = socket.socket()
    holder.bind(("127.0.0.1", 0))
    holder.listen(1)
    with Teardown() as down:
        down.add(bus, holder)
        busy = holder.getsockname()[1]
        out, err, _ = ends_with(service(["--device", bus.path, "--listen", "127.0.0.1:%d" % free_port(),
                                         "--listen", "127.0.0.1:%d" % busy]), 1)
        check(err == "tessel-serverd: cannot listen on 127.0.0.1:%d: Address already in use\n" % busy, "%r" % err)
        out, err, _ = ends_with(service(["--device", bus.path, "--listen-guarded", "127.0.0.1:%d" % free_port()]), 2)
        check("--listen-guarded needs --tls-cert and --tls-key, --auth-key-file, or both" in err, "%r" % err)


def case_service_device_auto(display):
    """--device auto finds the interface by its USB identity, and finds it again under another
    name after it was pulled while a client stays connected; none at start: exit 1."""
    root = tempfile.mkdtemp(prefix="tessel-e2e-sysfs-")
    lookup = {"TESSEL_SYSFS_ROOT": root}
    bus = Bus()
    run = None
    with Teardown() as down:
        down.add(root)
        down.later(lambda: (run, bus))
        os.makedirs(os.path.join(root, "sys", "class", "tty"))
        out, err, _ = ends_with(service(["--device", "auto", "--port", str(free_port())], env=lookup), 1)
        check(err == "tessel-serverd: no Velbus interface found: no USB device 10cf:0b1b, 10cf:0516, 10cf:0517, "
              "10cf:0518, 10cf:0b1c among the terminals of %s/sys/class/tty\n" % root, "no interface: %r" % err)

        velbus_terminal(root, "ttyACM5", bus)
        port = free_port()
        run = service(["--device", "auto", "--port", str(port)], env=lookup)
        first = os.path.join(root, "dev", "ttyACM5")
        check(run.wait_started().endswith(", Velbus serial " + first), "the start line names another device")
        client = Client(port)
        run.wait_for_line(lambda l: l.endswith(" connected"), 5, "the client")
        f = frame(0xFB, 0x05, [0xE6, 0x2B, 0, 0, 0, 0, 0])
        bus.write(f)
        check(client.read_until(len(f)) == f, "no frame from the interface found")
        # Pulled out; it comes back as ttyACM6.
        bus.close()
        shutil.rmtree(os.path.join(root, "sys", "class", "tty", "ttyACM5"))
        os.remove(first)
        run.wait_for_line(lambda l: l == "Velbus serial %s lost" % first, 5, "the lost line")
        bus = Bus()
        velbus_terminal(root, "ttyACM6", bus)
        second = os.path.join(root, "dev", "ttyACM6")
        run.wait_for_line(lambda l: l == "Velbus serial %s back" % second, 5, "the back line under its new name")
        g = frame(0xF8, 0x30, [0x00, 0x01, 0, 0])
        bus.write(g)
        check(client.read_until(len(f) + len(g)) == f + g, "the client got nothing from the interface's new name")
        request = frame(0xF8, 0x10, [0x02, 0x01])
        client.send(request)
        wait_for(lambda: request in bus.stream(), 3, "a client frame on the interface's new name")


def case_service_tells_systemd(display):
    """With NOTIFY_SOCKET: READY=1 once the port listens, the status as clients come and the
    device goes, watchdog pings at half the asked interval, STOPPING=1 at SIGTERM. With
    JOURNAL_STREAM naming its standard output, each line carries its priority."""
    work = tempfile.mkdtemp(prefix="tessel-e2e-notify-")
    link = os.path.join(work, "velbus")
    bus = Bus()
    os.symlink(bus.path, link)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    listener.bind(os.path.join(work, "notify"))
    listener.settimeout(0.1)
    messages = []  # (monotonic time, text)

    def receive(until_text, timeout):
        until = time.monotonic() + timeout
        while time.monotonic() < until:
            try:
                messages.append((time.monotonic(), listener.recv(4096).decode()))
            except socket.timeout:
                pass
            if any(until_text in m for _, m in messages):
                return True
        return False

    port = free_port()
    run = None
    with Teardown() as down:
        down.add(work, listener)
        down.later(lambda: run)
        env = {"NOTIFY_SOCKET": os.path.join(work, "notify"), "WATCHDOG_USEC": "400000"}
        run = Service(ARGS.service, ["--device", link, "--port", str(port)], env=env)
        check(receive("READY=1", 5), "no READY=1: %r" % messages)
        check(try_connect(port), "READY=1 before the port listens")
        ready = next(m for _, m in messages if "READY=1" in m)
        check("STATUS=Velbus serial %s, 0 clients" % link in ready, "status at start: %r" % ready)
        client = Client(port)
        check(receive("STATUS=Velbus serial %s, 1 client" % link, 3), "no status for a client: %r" % messages)
        # Pings at half of 400 ms, and nothing else wakes it.
        start = time.monotonic()
        time.sleep(1.6)
        receive("nothing", 0.05)
        pings = [t for t, m in messages if m == "WATCHDOG=1" and t >= start]
        check(5 <= len(pings) <= 10, "%d watchdog pings in 1.6 s at an interval of 200 ms" % len(pings))
        bus.close()
        os.remove(link)
        check(receive("STATUS=Velbus serial %s lost, 1 client" % link, 5), "no status for the lost device")
        client.close()
        run.proc.send_signal(signal.SIGTERM)
        check(receive("STOPPING=1", 5), "no STOPPING=1: %r" % messages[-3:])
        check(run.wait_exit(5) == 0, "the service did not stop")

    # The journal's priorities, when standard output and error are the journal's stream.
    work = tempfile.mkdtemp(prefix="tessel-e2e-journal-")
    bus = Bus()
    link = os.path.join(work, "velbus")
    os.symlink(bus.path, link)
    path = os.path.join(work, "journal.txt")
    proc = None
    with Teardown() as down:
        down.add(work, bus)
        down.later(lambda: proc)
        with open(path, "wb") as out:
            st = os.fstat(out.fileno())
            env = dict(os.environ, JOURNAL_STREAM="%d:%d" % (st.st_dev, st.st_ino))
            env.pop("NOTIFY_SOCKET", None)

            def said():
                with open(path, "rb") as f:
                    return f.read().decode().splitlines()
            proc = subprocess.Popen([ARGS.service, "--device", "/dev/nonexistent-velbus", "--port", str(free_port())],
                                    stdout=out, stderr=out, env=env, cwd=work)
            check(proc.wait(5) == 1, "a missing device did not end the start")
            check(said() == ["<3>tessel-serverd: cannot open the Velbus serial device /dev/nonexistent-velbus: "
                             "No such file or directory"], "the ending line: %r" % said())
            out.truncate(0)
            out.seek(0)
            proc = subprocess.Popen([ARGS.service, "--device", link, "--port", str(free_port())],
                                    stdout=out, stderr=out, env=env, cwd=work)
            wait_for(lambda: any(l.startswith("<6>tessel-serverd 3.08 listening on ") for l in said()), 5,
                     "the start line at level 6")
            bus.close()
            os.remove(link)
            wait_for(lambda: "<4>Velbus serial %s lost" % link in said(), 5, "the lost line at level 4")
            proc.send_signal(signal.SIGTERM)
            check(proc.wait(5) == 0 and said()[-1] == "<6>stopped", "the stop line: %r" % said()[-2:])


def case_service_guard_refuses_to_start(display):
    """Files that will not do: one line naming the file and why, exit 2 (no restart mends
    them), before the device is touched."""
    work = tempfile.mkdtemp(prefix="tessel-e2e-guard-")
    bus = Bus()
    with Teardown() as down:
        down.add(work, bus)
        cert, tls_key = make_tls_files(work)
        base = ["--device", bus.path, "--port", str(free_port())]

        def copy(source, name, mode):
            path = os.path.join(work, name)
            shutil.copy(source, path)
            os.chmod(path, mode)
            return path
        readable = copy(make_key_file(work, "s3cret", 0o600), "readable-key", 0o640)
        empty = copy(make_key_file(work, "", 0o600), "empty-key", 0o600)
        short = copy(make_key_file(work, "s3cret-15-chars", 0o600), "short-key", 0o600)
        open_key = copy(tls_key, "open-key.pem", 0o644)
        cert_as_key = copy(cert, "cert-as-key.pem", 0o600)
        os.makedirs(os.path.join(work, "other"))
        _, other_key = make_tls_files(os.path.join(work, "other"))
        for args, says in (
                (["--auth-key-file", readable], "the key file %s is readable by group or others" % readable),
                (["--auth-key-file", empty], "the key file %s has no key on its first line" % empty),
                (["--auth-key-file", short], "the key file %s holds a key of 15 characters: at least 16 are needed "
                                             "(make one with: openssl rand -hex 24)" % short),
                (["--auth-key-file", work], "cannot read the key file %s: it is a directory" % work),
                (["--tls-cert", cert, "--tls-key", open_key], "the TLS key %s is readable by group or others" % open_key),
                (["--tls-cert", work, "--tls-key", tls_key], "cannot read the TLS certificate %s: it is a directory" % work),
                (["--tls-cert", tls_key, "--tls-key", tls_key], "cannot load the TLS certificate %s" % tls_key),
                (["--tls-cert", cert, "--tls-key", cert_as_key], "cannot load the TLS key %s" % cert_as_key),
                (["--tls-cert", cert, "--tls-key", other_key], "the TLS key %s does not belong to the certificate" % other_key)):
            out, err, _ = ends_with(service(base + args), 2)
            check(err.startswith("tessel-serverd: " + says) and err.count("\n") == 1 and "s3cret" not in err,
                  "%s: %r" % (args, err))
        # After OpenSSL's own words, ours: what to look at.
        out, err, _ = ends_with(service(base + ["--tls-cert", tls_key, "--tls-key", tls_key]), 2)
        check("is it PEM? `openssl x509 -in %s -noout -text` shows what it holds" % tls_key in err, "%r" % err)
        out, err, _ = ends_with(service(base + ["--tls-cert", cert]), 2)
        check("--tls-cert and --tls-key go together" in err, "a certificate alone: %r" % err)
        out, _, _ = ends_with(service(["--help"]), 0)
        check("openssl req -x509" in out and "umask 077" in out, "--help does not say how to make the files")


def ipv6_loopback():
    try:
        s = socket.socket(socket.AF_INET6)
        s.bind(("::1", 0))
        s.close()
        return True
    except OSError:
        return False


def case_service_ipv6(display):
    """--bind :: takes IPv6 and IPv4 clients; IPv6 ones are named [address]:port."""
    if not ipv6_loopback():
        raise Skipped("this machine has no IPv6 loopback")
    bus, port = Bus(), free_port()
    run = service(["--device", bus.path, "--port", str(port), "--bind", "::"])
    with Teardown() as down:
        down.add(bus, run)
        check(run.wait_started().split(" listening on ")[1].startswith("[::]:%d (plain)," % port), "start-up line")
        v6 = socket.create_connection(("::1", port), timeout=5)
        v4 = Client(port)
        run.wait_for_line(lambda l: l == "client [::1]:%d connected" % v6.getsockname()[1], 5, "the IPv6 client")
        run.wait_for_line(lambda l: l == "client 127.0.0.1:%d connected" % v4.sock.getsockname()[1], 5,
                          "the IPv4 client")
        f = frame(0xFB, 0x05, [0xE6, 0x2B, 0, 0, 0, 0, 0])
        bus.write(f)
        check(v4.read_until(len(f)) == f, "the IPv4 client got nothing")
        v6.settimeout(5)
        check(v6.recv(64) == f, "the IPv6 client got nothing")
        v6.close()


class LazyDisplay:
    """A private Xvfb, started when a case first uses it: the service's cases need none, and a
    machine that only runs the service may have no X server at all."""

    def __init__(self):
        self._display = None

    def __getattr__(self, name):
        if self._display is None:
            self._display = Display()
        return getattr(self._display, name)

    def stop(self):
        if self._display is not None:
            self._display.stop()


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}
CASES.update(web_cases.CASES)
CASES.update(hostile_cases.CASES)
CASES.update(module_cases.CASES)
CASES.update(capture_cases.CASES)
CASES.update(host_cases.CASES)
CASES.update(own_work_cases.CASES)
CASES.update(container_cases.CASES)
CASES.update(addon_cases.CASES)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", help="the window program; absent in a build without it")
    parser.add_argument("--service", help="the service program, for --front service")
    parser.add_argument("--front", choices=("window", "service"), default="window",
                        help="which program the shared cases run against")
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--screenshot", help="the screenshot tool, built with the window")
    parser.add_argument("--emulator", help="runs the service when it was built for another machine")
    parser.add_argument("--image", help="the service's container image, for the image's case")
    parser.add_argument("--addon-image", help="the add-on's image, for the add-on's cases")
    parser.add_argument("--case", action="append")
    parser.add_argument("--shots")
    parser.add_argument("--list", action="store_true")
    ARGS = parser.parse_args()
    for attr in ("program", "service", "simulator", "screenshot"):
        if getattr(ARGS, attr):
            setattr(ARGS, attr, os.path.abspath(getattr(ARGS, attr)))
    if ARGS.emulator:
        harness.EMULATOR[:] = [ARGS.emulator]
    web_cases.ARGS = hostile_cases.ARGS = module_cases.ARGS = capture_cases.ARGS = host_cases.ARGS = ARGS
    own_work_cases.ARGS = container_cases.ARGS = addon_cases.ARGS = ARGS
    if ARGS.list:
        print("\n".join(CASES))
        return 0
    names = ARGS.case or list(CASES)
    passed = failed = skipped = 0
    for name in names:
        display = LazyDisplay()
        started = time.monotonic()
        try:
            CASES[name](display)
            passed += 1
            print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
        except Skipped as why:
            skipped += 1
            print("SKIP %s: %s" % (name, why), flush=True)
        except Exception:  # every failure is reported, the other cases still run
            failed += 1
            print("FAIL %s" % name, flush=True)
            traceback.print_exc()
        finally:
            display.stop()
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    if failed:
        return 1
    return SKIP_EXIT if skipped and not passed else 0


if __name__ == "__main__":
    sys.exit(main())
