#!/usr/bin/env python3
"""Benchmarks of the built bridge, side by side with ser2net on the same machine in the same run.
Prints figures; asserts nothing.

    bench/bench.py --program build/bench/tessel-server [--service build/bench/tessel-serverd]
                   [--simulator build/bench/tools/velbus-sim] [--quick] [--soak] [--no-ser2net]
                   [--sections ...]

Each system gets its own pseudo-terminal as the bus and its own TCP port on loopback; the bridge
runs under a private Xvfb from a temporary working directory. ser2net (Debian package) is run
at 9600 8N1 raw ("local"), with enough connections, chardelay off (its fastest setting) and,
for one latency row, its default chardelay.
"""
import argparse
import os
import resource
import select
import shutil
import signal
import socket
import ssl
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import (MAIN_TITLE, Bridge, Bus, Display, Service, frame, frame_times, free_port,  # noqa: E402
                     split_frames)

STAMPER = r"""
import os, select, sys, time
fd = int(sys.argv[1])
while True:
    select.select([fd], [], [])
    try:
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data:
        break
    print("%.6f %s" % (time.monotonic(), data.hex()), flush=True)
"""


class BusStamps:
    """Reads what a bridge writes to the bus in a process of its own, so that the time stamps
    are not held up by this harness's threads."""

    def __init__(self, bus):
        bus._stop = True  # the bus's own reader thread gives way
        bus._thread.join(1)
        self.proc = subprocess.Popen([sys.executable, "-c", STAMPER, str(bus.master)],
                                     pass_fds=[bus.master], stdout=subprocess.PIPE, text=True)
        self.received = []
        self._thread = threading.Thread(target=self._collect, daemon=True)
        self._thread.start()

    def _collect(self):
        for line in self.proc.stdout:
            t, data = line.split()
            self.received.append((float(t), bytes.fromhex(data)))

    def stream(self):
        return b"".join(d for _, d in list(self.received))

    def stop(self):
        self.proc.kill()
        self.proc.wait()


# --- the systems under test -------------------------------------------------------------------

class Tessel:
    name = "tessel-server"

    def __init__(self, program, display, bus):
        self.port = free_port()
        self.bridge = Bridge(program, display, "%s\n%d\n" % (bus.path, self.port))
        self.window = display.find_window(MAIN_TITLE, timeout=20)
        self.display = display
        self.pid = self.bridge.proc.pid

    def set_fast_pacing(self, fast):
        # The "Delay messages to Velbus (50ms)" check box; it starts on.
        if fast != getattr(self, "_fast", False):
            self.display.click(self.window, 258, 365)
            self._fast = fast
            time.sleep(0.3)

    def stop(self):
        self.bridge.stop()


class TesselService:
    name = "tessel-serverd"

    def __init__(self, program, bus, extra=()):
        self.port = free_port()
        self.program, self.bus, self.extra = program, bus, list(extra)
        self._fast = False
        self._start()

    def _start(self):
        args = ["--device", self.bus.path, "--port", str(self.port)] + self.extra
        self.bridge = Service(self.program, args + (["--no-delay"] if self._fast else []))
        self.bridge.wait_started()
        self.pid = self.bridge.proc.pid

    def set_fast_pacing(self, fast):
        # The service's pacing is an option: started again with or without --no-delay.
        if fast == self._fast:
            return
        self.bridge.stop()
        self._fast = fast
        self._start()

    def stop(self):
        self.bridge.stop()


class TesselServiceTls(TesselService):
    """The service with TLS and a shared key; its clients connect as tls://KEY@host:port does."""
    name = "serverd TLS+key"

    def __init__(self, program, bus):
        self.dir = tempfile.mkdtemp(prefix="bench-tls-")
        cert, key = os.path.join(self.dir, "cert.pem"), os.path.join(self.dir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=bench", "-keyout", key, "-out", cert], check=True, capture_output=True)
        self.key = "bench-key-0123456789"
        auth = os.path.join(self.dir, "auth")
        with open(auth, "w") as f:
            f.write(self.key + "\n")
        os.chmod(auth, 0o600)
        super().__init__(program, bus, ["--tls-cert", cert, "--tls-key", key, "--auth-key-file", auth])

    def client(self):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        s = context.wrap_socket(socket.create_connection(("127.0.0.1", self.port), timeout=5))
        s.sendall(self.key.encode())
        return s

    def stop(self):
        self.bridge.stop()


class TesselServiceWeb(TesselService):
    """The service with its web monitor on a port of its own."""
    name = "serverd --web"

    def __init__(self, program, bus):
        self.web_port = free_port()
        super().__init__(program, bus, ["--web", str(self.web_port)])


class Pages:
    """Web pages following the live stream, as the browser's EventSource does: raw readers of
    /events, all read by one thread unless `reading` is false (a page that never reads)."""

    def __init__(self, port, count, reading=True):
        self.socks, self.received = [], 0
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            s.sendall(b"GET /events HTTP/1.1\r\nHost: bench\r\nAccept: text/event-stream\r\n\r\n")
            s.setblocking(False)
            self.socks.append(s)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._read, daemon=True)
        if reading:
            self.thread.start()
        time.sleep(0.5)

    def _read(self):
        while not self.stop.is_set():
            ready, _, _ = select.select(self.socks, [], [], 0.1)
            for s in ready:
                try:
                    self.received += len(s.recv(65536))
                except (BlockingIOError, ConnectionError):
                    pass

    def close(self):
        self.stop.set()
        if self.thread.is_alive():
            self.thread.join(2)
        close_all(self.socks)


class Ser2net:
    def __init__(self, bus, chardelay=False):
        self.name = "ser2net" + ("" if not chardelay else " (chardelay on)")
        self.port = free_port()
        self.dir = tempfile.mkdtemp(prefix="bench-ser2net-")
        conf = os.path.join(self.dir, "ser2net.yaml")
        with open(conf, "w") as f:
            f.write("connection: &bench\n"
                    "  accepter: tcp,127.0.0.1,%d\n"
                    "  connector: serialdev,%s,9600n81,local\n"
                    "  options:\n"
                    "    max-connections: 1100\n"
                    "    chardelay: %s\n"
                    "    kickolduser: false\n" % (self.port, bus.path, "true" if chardelay else "false"))
        self.proc = subprocess.Popen(["ser2net", "-n", "-u", "-c", conf, "-P", os.path.join(self.dir, "pid")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.pid = self.proc.pid
        until = time.monotonic() + 5
        while time.monotonic() < until:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        time.sleep(0.3)

    def set_fast_pacing(self, fast):
        pass

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()


# --- measuring --------------------------------------------------------------------------------

def connect(port, count, system=None):
    socks = []
    for _ in range(count):
        if hasattr(system, "client"):
            s = system.client()
        else:
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
        s.setblocking(False)
        socks.append(s)
    time.sleep(0.5 + count * 0.01)  # every connection accepted
    return socks


def watch(socks):
    """An epoll over the clients, each socket by descriptor, and an empty buffer for each."""
    ep = select.epoll()
    for s in socks:
        ep.register(s.fileno(), select.EPOLLIN)
    return ep, {s.fileno(): s for s in socks}, {s.fileno(): bytearray() for s in socks}


def drain(sock):
    """What the socket holds now, also what a TLS socket decrypted already."""
    got = b""
    while True:
        try:
            chunk = sock.recv(65536)
        except (BlockingIOError, ssl.SSLWantReadError):
            return got
        if not chunk:
            return got
        got += chunk
        if not (isinstance(sock, ssl.SSLSocket) and sock.pending()):
            return got


def close_all(socks):
    for s in socks:
        s.close()
    time.sleep(0.3)


def percentile(values, p):
    if not values:
        return float("nan")
    ordered = sorted(values)
    k = min(len(ordered) - 1, max(0, int(round(p / 100.0 * (len(ordered) - 1)))))
    return ordered[k]


def summary_ms(values):
    return {"p50": percentile(values, 50) * 1000, "p95": percentile(values, 95) * 1000,
            "p99": percentile(values, 99) * 1000, "max": max(values) * 1000 if values else float("nan"),
            "n": len(values)}


SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)  # Linux's value; not every Python names it


def drain_stamped(sock):
    """What the socket holds now, and when the kernel put its last piece there (wall clock)."""
    got, stamp = b"", None
    while True:
        try:
            chunk, ancillary, _, _ = sock.recvmsg(65536, socket.CMSG_SPACE(16))
        except BlockingIOError:
            return got, stamp
        if not chunk:
            return got, stamp
        got += chunk
        for level, kind, data in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                seconds, nanoseconds = struct.unpack("qq", data[:16])
                stamp = seconds + nanoseconds / 1e9


def latency(system, bus, clients, frames, rate=20.0, burst=1, kernel_stamps=False):
    """Time from the last byte written on the bus to the frame's arrival at each client. With
    `kernel_stamps`, arrival is when the kernel queued the bytes on the client's socket, so the
    figure no longer includes the time this harness takes to read a thousand sockets one by one."""
    socks = connect(system.port, clients, system)
    if kernel_stamps:
        for s in socks:
            s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    ep, by_fd, buffers = watch(socks)
    first, every = [], []
    start = time.perf_counter()
    sent = 0
    group = 0
    while sent < frames:
        batch = [frame(0xFB, (sent + i) & 0xFF, [0xE6, ((sent + i) >> 8) & 0xFF, group & 0xFF, 0, 0, 0, 0])
                 for i in range(burst)]
        data = b"".join(batch)
        os.write(bus.master, data)
        written = time.perf_counter()
        written_wall = time.time()
        waiting = {fd: list(batch) for fd in by_fd}
        deadline = written + 2.0
        while any(waiting.values()) and time.perf_counter() < deadline:
            for fd, _ in ep.poll(0.05):
                if kernel_stamps:
                    chunk, stamp = drain_stamped(by_fd[fd])
                    now = written + (stamp - written_wall) if stamp is not None else time.perf_counter()
                else:
                    chunk = drain(by_fd[fd])
                    now = time.perf_counter()
                if not chunk:
                    continue
                buf = buffers[fd]
                buf += chunk
                while waiting[fd] and waiting[fd][0] in buf:
                    f = waiting[fd].pop(0)
                    end = buf.index(f) + len(f)
                    del buf[:end]
                    every.append(now - written)
                    if f is batch[0]:
                        first.append(now - written)
        sent += burst
        group += 1
        next_slot = start + group / rate
        delay = next_slot - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
    ep.close()
    close_all(socks)
    return summary_ms(first), summary_ms(every)


def integrity(system, bus, frames):
    """Frames streamed at 9600 bit/s, arriving in pieces: lost, duplicated and corrupted."""
    socks = connect(system.port, 1)
    s = socks[0]
    s.setblocking(True)
    s.settimeout(0.05)
    sent = [frame(0xFB, i & 0xFF, [0xE6, (i >> 8) & 0xFF, 0, 0, 0, 0, 0]) for i in range(frames)]
    received = bytearray()
    stop = threading.Event()

    def reader():
        while not stop.is_set():
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                return
            received.extend(chunk)
    t = threading.Thread(target=reader, daemon=True)
    t.start()
    bus.write(b"".join(sent), line_rate=True)
    time.sleep(1.0)
    stop.set()
    t.join(2)
    got, junk = split_frames(bytes(received))
    counts = {}
    for f in got:
        counts[f] = counts.get(f, 0) + 1
    sent_set = set(sent)
    lost = sum(1 for f in sent if f not in counts)
    duplicated = sum(c - 1 for f, c in counts.items() if f in sent_set and c > 1)
    corrupted = sum(c for f, c in counts.items() if f not in sent_set) + (1 if junk else 0)
    close_all(socks)
    scale = 1000.0 / frames
    return {"lost": lost * scale, "duplicated": duplicated * scale, "corrupted": corrupted * scale}


def fanout(system, bus, clients, frames):
    """As many frames as the terminal takes, to 100 clients: the rate at which all arrive."""
    socks = connect(system.port, clients)
    ep, by_fd, counts = watch(socks)
    stream = b"".join(frame(0xFB, i & 0xFF, [0xE6, (i >> 8) & 0xFF, 0, 0, 0, 0, 0]) for i in range(frames))
    start = time.perf_counter()
    writer = threading.Thread(target=_write_all, args=(bus.master, stream), daemon=True)
    writer.start()
    done = 0
    last = start
    deadline = start + 60
    while done < len(socks) and time.perf_counter() < deadline:
        for fd, _ in ep.poll(0.1):
            try:
                chunk = by_fd[fd].recv(1 << 20)
            except BlockingIOError:
                continue
            buf = counts[fd]
            before = len(buf)
            buf += chunk
            if before < len(stream) <= len(buf):
                done += 1
                last = time.perf_counter()
    writer.join(5)
    complete = sum(1 for b in counts.values() if bytes(b[:len(stream)]) == stream)
    ep.close()
    close_all(socks)
    elapsed = last - start
    return {"rate": frames / elapsed if complete == len(socks) else 0.0, "complete": complete,
            "clients": len(socks), "seconds": elapsed}


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        n = os.write(fd, view[:4096])
        view = view[n:]


def pacing(system, bus, fast, count=50):
    """50 frames sent at once by one client: the gaps between them on the bus."""
    system.set_fast_pacing(fast)
    bus = bus.stamps
    socks = connect(system.port, 1)
    bus.received.clear()
    frames = [frame(0xF8, i, [0x02, 0x01]) for i in range(count)]
    socks[0].setblocking(True)
    socks[0].sendall(b"".join(frames))
    until = time.monotonic() + 10
    while len(bus.stream()) < sum(map(len, frames)) and time.monotonic() < until:
        time.sleep(0.05)
    time.sleep(0.2)
    stamps = frame_times(bus.received, frames)
    got, junk = split_frames(bus.stream())
    close_all(socks)
    gaps = [(b - a) * 1000 for a, b in zip(stamps, stamps[1:])]
    return {"in_order": got == frames and junk == 0, "received": len(got),
            "min": min(gaps) if gaps else float("nan"),
            "median": statistics.median(gaps) if gaps else float("nan"),
            "max": max(gaps) if gaps else float("nan")}


def cpu_seconds(pid):
    # Nanoseconds on a CPU: finer than the clock ticks of /proc/PID/stat.
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0]) / 1e9


def status_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def _line_rate_writer(fd, rate, stop, whole=False):
    """Frames at `rate` per second, each byte 1.04 ms after the last (9600 bit/s), as a real
    interface delivers them; `whole`: each frame in one write, as a USB interface hands them
    over (faster than a 9600 bit/s line can carry)."""
    n = 0
    start = time.perf_counter()
    while not stop.is_set():
        data = frame(0xFB, n & 0xFF, [0xE6, (n >> 8) & 0xFF, 0, 0, 0, 0, 0])
        slot = start + n / rate
        if whole:
            delay = slot - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
            os.write(fd, data)
            n += 1
            continue
        for i, b in enumerate(data):
            delay = slot + i * 0.0010417 - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
            os.write(fd, bytes([b]))
        n += 1


def cost(system, bus, seconds, clients=0, rate=0.0, display=None, whole=False):
    """CPU % of one core over `seconds`, with `clients` reading and `rate` bus frames a second
    arriving at the line rate (`whole`: frame by frame); with `display`, also the X server's
    share."""
    socks = connect(system.port, clients) if clients else []
    stop = threading.Event()
    writer = threading.Thread(target=_line_rate_writer, args=(bus.master, rate, stop, whole), daemon=True)
    x_before = cpu_seconds(display.proc.pid) if display else 0.0
    before = cpu_seconds(system.pid)
    start = time.monotonic()
    if rate:
        writer.start()
    ep, by_fd, _ = watch(socks)
    while time.monotonic() - start < seconds:
        for fd, _ in ep.poll(0.1):
            try:
                while by_fd[fd].recv(65536):
                    pass
            except BlockingIOError:
                pass
    used = cpu_seconds(system.pid) - before
    x_used = cpu_seconds(display.proc.pid) - x_before if display else 0.0
    elapsed = time.monotonic() - start
    stop.set()
    if rate:
        writer.join(2)
    ep.close()
    close_all(socks)
    if display:
        return 100.0 * used / elapsed, 100.0 * x_used / elapsed
    return 100.0 * used / elapsed


def soak(system, bus, seconds):
    """A client floods the bridge; RSS before and after."""
    sock = socket.create_connection(("127.0.0.1", system.port))
    sock.setblocking(False)
    burst = frame(0xF8, 0x20, [0x07, 0x01, 0x32, 0, 0]) * 500
    time.sleep(1)
    rss_before = status_kib(system.pid, "VmRSS")
    until = time.monotonic() + seconds
    next_report = time.monotonic() + 60
    while time.monotonic() < until:
        try:
            sock.send(burst)
        except BlockingIOError:
            time.sleep(0.01)
        if time.monotonic() > next_report:
            print("  soak: %d s left, RSS %d KiB" % (until - time.monotonic(), status_kib(system.pid, "VmRSS")), flush=True)
            next_report += 60
    rss_after = status_kib(system.pid, "VmRSS")
    sock.close()
    return rss_before, rss_after


def web_monitor(service, systems, buses, frames, quick):
    """The service with --web beside the same service without it and ser2net, in one run."""
    bus = Bus()
    web = TesselServiceWeb(service, bus)
    plain = systems[1][0]
    reference = [plain] + ([systems[-1][0]] if systems[-1][0].name.startswith("ser2net") else [])
    busy = 10 if quick else 20
    try:
        print("The web monitor (tessel-serverd --web), pages following its live stream")
        print("  %-44s %14s %14s %14s" % ("", "--web, 3 pages", "tessel-serverd", "ser2net"))
        # 150 frames/s is the bus's own rate, which only a USB interface hands over: frame by
        # frame. The frames come from every address, so the module table fills as it would.
        for rate in (20.0, 70.0, 150.0):
            whole = rate > 70
            pages = Pages(web.web_port, 3)
            with_pages = cost(web, bus, busy, 3, rate, whole=whole)
            pages.close()
            others = [cost(system, buses[system], busy, 3, rate, whole=whole) for system in reference]
            row("CPU %%, 3 clients, %d frames/s%s" % (rate, ", whole" if whole else ""), [with_pages] + others, 3)
        without = latency(web, bus, 1, frames)[1]
        pages = Pages(web.web_port, 3)
        with_pages = latency(web, bus, 1, frames)[1]
        stuck = Pages(web.web_port, 1, reading=False)
        with_stuck = latency(web, bus, 1, frames)[1]
        stuck.close()
        pages.close()
        print("  %-44s %14s %14s %14s %8s %8s" % ("1 client latency, ms", "no page", "3 pages", "+1 never read",
                                                   "ratios", ""))
        for key in ("p50", "p99"):
            print("  %-44s %14s %14s %14s %8s %8s" % (key, fmt(without[key]), fmt(with_pages[key]), fmt(with_stuck[key]),
                                                       fmt(with_pages[key] / without[key]),
                                                       fmt(with_stuck[key] / without[key])))
        pages = Pages(web.web_port, 32)
        cost(web, bus, busy // 2, 3, 20.0)
        print("  %-44s %14d" % ("RSS with 32 pages open after traffic, KiB", status_kib(web.pid, "VmRSS")))
        print("  %-44s %14d" % ("peak RSS, KiB", status_kib(web.pid, "VmHWM")))
        pages.close()
    finally:
        web.stop()
        bus.close()


def capture_section(service, systems, buses, quick):
    """The capture's cost at the bus's own rate, beside the service without it and ser2net, and
    the service's memory once its ring is full (and while a download of it is on its way)."""
    work = tempfile.mkdtemp(prefix="bench-capture-")
    runs = []
    try:
        for label, extra in (("capture (4M)", []), ("no capture", ["--capture-memory", "0"]),
                             ("+ --capture-file", ["--capture-file", os.path.join(work, "capture.txt")])):
            bus = Bus()
            system = TesselService(service, bus, extra + ["--web", str(free_port())])
            system.name = label
            runs.append((system, bus))
        reference = [systems[-1]] if systems[-1][0].name.startswith("ser2net") else []
        busy = 10 if quick else 20
        print("The capture: 150 frames/s handed over whole (a USB interface), 3 clients")
        print("  %-44s %s" % ("", " ".join("%14s" % s.name for s, _ in runs + reference)))
        row("CPU %", [cost(s, b, busy, 3, 150.0, whole=True) for s, b in runs + reference], 3)
        # 250,000 frames, more than the 4 MiB ring holds, as fast as the service takes them
        # (it keeps 2 ms between frames to the clients): some ten minutes, each service at once.
        block = b"".join(frame(0xFB, n & 0xFF, [0xE6, (n >> 8) & 0xFF, 0, 0, 0, 0, 0]) for n in range(1000))
        fillers = [threading.Thread(target=lambda b=bus: [_write_all(b.master, block) for _ in range(250)], daemon=True)
                   for _, bus in runs]
        started = time.monotonic()
        for t in fillers:
            t.start()
        for t in fillers:
            t.join()
        print("  (filled in %.0f s)" % (time.monotonic() - started))
        time.sleep(2)
        full = []
        for system, bus in runs:
            rss = status_kib(system.pid, "VmRSS")
            took = 0
            if "--capture-memory" not in system.extra:
                web_port = int(system.extra[system.extra.index("--web") + 1])
                sock = socket.create_connection(("127.0.0.1", web_port), timeout=10)
                sock.sendall(b"GET /capture HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n")
                while True:
                    data = sock.recv(1 << 16)
                    if not data:
                        break
                    took += data.count(b"\tfrom-bus\t")
                sock.close()
            full.append((rss, status_kib(system.pid, "VmHWM"), took))
        row("RSS, ring full (250,000 frames), KiB", [f[0] for f in full] + [None] * len(reference), 0)
        row("peak RSS with a download of it, KiB", [f[1] for f in full] + [None] * len(reference), 0)
        row("frames in the download", [f[2] for f in full] + [None] * len(reference), 0)
    finally:
        for system, bus in runs:
            system.stop()
            bus.close()
        shutil.rmtree(work, ignore_errors=True)


def slow_download(port, stop, got):
    """A browser on a slow line: /capture read 16 KiB at a time, 20 times a second, until `stop`."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 * 1024)
    sock.sendall(b"GET /capture HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n")
    while not stop.is_set():
        data = sock.recv(16 * 1024)
        if not data:
            break
        got[0] += len(data)
        time.sleep(0.05)
    sock.close()


def large_capture_section(service, systems, quick):
    """A 256 MiB capture memory filled with the bus's noise (records of 1 KiB), then the bus's
    latency to a client with and without two slow downloads of it on their way, and the service's
    memory meanwhile; ser2net's latency in the same run for reference."""
    bus = Bus()
    web_port = free_port()
    system = TesselService(service, bus, ["--capture-memory", "256M", "--web", str(web_port)])
    system.name = "capture 256M"
    try:
        # Noise until the ring is full: the memory stops growing once every page of it is used.
        noise = bytes(64 * 1024)
        last = 0
        for _ in range(40000):
            _write_all(bus.master, noise)
            rss = status_kib(system.pid, "VmRSS")
            if rss > 256 * 1024 and rss == last:
                break
            last = rss
        time.sleep(1)
        frames = 60 if quick else 200
        reference = [s for s, _ in systems if s.name.startswith("ser2net")]
        print("A 256 MiB capture and two slow downloads of it (16 KiB at a time, 20 a second), 1 client, "
              "%d frames at 20 frames/s" % frames)
        print("  %-44s %14s %14s%s" % ("", "no download", "2 downloads", " %14s" % reference[0].name if reference else ""))
        rss_before = status_kib(system.pid, "VmRSS")
        _, quiet = latency(system, bus, 1, frames)
        # The downloads begin 2 s into the measurement: the moment they start is in it.
        stop, got = threading.Event(), [[0], [0]]
        readers = [threading.Thread(target=lambda g=g: (time.sleep(2), slow_download(web_port, stop, g)), daemon=True)
                   for g in got]
        for t in readers:
            t.start()
        _, busy = latency(system, bus, 1, frames)
        rss_during = status_kib(system.pid, "VmRSS")
        peak = status_kib(system.pid, "VmHWM")
        stop.set()
        for t in readers:
            t.join(10)
        theirs = [latency(s, _bus_of(systems, s), 1, frames)[1] for s in reference]
        for key in ("p50", "p99", "max"):
            row("bus to client latency %s, ms" % key, [quiet[key], busy[key]] + [t[key] for t in theirs])
        row("RSS, KiB", [rss_before, rss_during] + [None] * len(reference), 0)
        row("peak RSS, KiB", [None, peak] + [None] * len(reference), 0)
        row("downloaded meanwhile, KiB", [None, (got[0][0] + got[1][0]) // 1024] + [None] * len(reference), 0)
    finally:
        system.stop()
        bus.close()


def house_file_section(service, systems, quick):
    """250 modules in the service's table, each named with five channel names; the bus's latency
    to a client with and without /house.vlp downloaded back to back meanwhile."""
    bus = Bus()
    web_port = free_port()
    system = TesselService(service, bus, ["--web", str(web_port)])
    system.name = "250 modules"
    try:
        for address in range(0x01, 0xFB):
            answers = [frame(0xFB, address, [0xFF, 0x11, address, 0x00, 0x01, 0x14, 0x20])]
            for bank in range(5):
                answers.append(frame(0xFB, address, [0xCC, bank, 0xE3] + list(b"Room")))
                answers.append(frame(0xFB, address, [0xF0, 1 << bank] + list(b"Lamp %d" % bank)))
            _write_all(bus.master, b"".join(answers))
        time.sleep(8)  # 2,750 frames, 2 ms apart to the clients: all handed on first
        frames = 60 if quick else 200
        reference = [s for s, _ in systems if s.name.startswith("ser2net")]
        print("The project file of 250 named modules (/house.vlp) downloaded back to back, 1 client, "
              "%d frames at 20 frames/s" % frames)
        print("  %-44s %14s %14s%s" % ("", "no download", "downloads", " %14s" % reference[0].name if reference else ""))
        _, quiet = latency(system, bus, 1, frames)
        stop, sizes = threading.Event(), []

        def download():
            while not stop.is_set():
                with urllib.request.urlopen("http://127.0.0.1:%d/house.vlp" % web_port, timeout=10) as answer:
                    sizes.append(len(answer.read()))
        reader = threading.Thread(target=download, daemon=True)
        reader.start()
        _, busy = latency(system, bus, 1, frames)
        stop.set()
        reader.join(10)
        theirs = [latency(s, _bus_of(systems, s), 1, frames)[1] for s in reference]
        for key in ("p50", "p99", "max"):
            row("bus to client latency %s, ms" % key, [quiet[key], busy[key]] + [t[key] for t in theirs])
        row("files downloaded meanwhile", [None, len(sizes)] + [None] * len(reference), 0)
        row("the file's size, KiB", [None, (sizes[0] if sizes else 0) / 1024] + [None] * len(reference), 0)
    finally:
        system.stop()
        bus.close()


def _bus_of(systems, system):
    return next(b for s, b in systems if s is system)


def scan_section(service, simulator, quick):
    """--scan of a house of 60 relay modules at the bus's usual pace: how long a client's command
    waits for the bus while the type requests go out, while the modules' names are asked, and
    after 200 SIGHUPs."""
    work = tempfile.mkdtemp(prefix="bench-scan-")
    house, log = os.path.join(work, "relays.house"), os.path.join(work, "bus.log")
    with open(house, "w") as f:
        for i in range(60):
            f.write('module %02X VMB4RYNO %04X "Relays %d"\n' % (0x10 + i, 0x1000 + i, i))
    sim = subprocess.Popen([simulator, "--house", house, "--log", log, "--usb", "--quiet"], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
    device = sim.stdout.readline().decode().strip()
    run = Service(service, ["--device", device, "--port", str(free_port()), "--scan"])
    try:
        port = int(run.wait_started().split(" listening on 0.0.0.0:")[1].split(" ")[0])
        client = socket.create_connection(("127.0.0.1", port))

        def wait(command):
            text = "RX " + command.hex().upper()
            sent = time.monotonic()
            client.sendall(command)
            while time.monotonic() - sent < 120:
                with open(log) as f:
                    if text in f.read():
                        return time.monotonic() - sent
                time.sleep(0.005)
            return float("nan")

        run.wait_for_line(lambda line: line.startswith("scan of the bus: a type request"), 10, "the scan")
        time.sleep(2)
        waits = [wait(frame(0xF8, 0x10, [0x02, 0x01]))]
        run.wait_for_line(lambda line: line.startswith("scan of the bus: 60 modules"), 60, "the answers")
        time.sleep(5)
        waits.append(wait(frame(0xF8, 0x11, [0x02, 0x01])))
        for _ in range(200):
            run.proc.send_signal(signal.SIGHUP)
        time.sleep(1)
        waits.append(wait(frame(0xF8, 0x12, [0x02, 0x01])))
        client.close()
        print("--scan of 60 relay modules: a client's command's wait for the bus, s")
        row("during the type requests", [waits[0]], 3)
        row("during the name requests", [waits[1]], 3)
        row("after 200 SIGHUPs", [waits[2]], 3)
    finally:
        run.stop()
        sim.terminate()
        sim.wait(5)
        shutil.rmtree(work, ignore_errors=True)


def burst_wait(system, bus):
    """One client sends 254 type requests in one burst (a scan); another sends one command a
    second later: how long that command waits for the bus, in seconds."""
    burst, other = connect(system.port, 2)
    bus.received.clear()
    scan = b"".join(frame(0xFB, a, [], rtr=True) for a in range(0x01, 0xFF))
    burst.setblocking(True)
    burst.sendall(scan)
    time.sleep(1)
    command = frame(0xF8, 0x10, [0x02, 0x01])
    sent = time.monotonic()
    other.setblocking(True)
    other.sendall(command)
    until = time.monotonic() + 30
    while command not in bus.stream() and time.monotonic() < until:
        time.sleep(0.01)
    stamps = frame_times(list(bus.received), [command])
    waited = stamps[0] - sent if stamps else float("nan")
    # The rest of the burst goes out before the next system's turn.
    while len(bus.stream()) < len(scan) + len(command) and time.monotonic() < until:
        time.sleep(0.05)
    close_all([burst, other])
    return waited


def bus_rate(system, bus, seconds, clients=100, rate=150.0):
    """The bus at its own rate, as a USB interface hands it over: whole frames of 8 data bytes,
    `rate` a second, to `clients` readers, while one more client sends a scan's 254 module-type
    requests in one burst. Returns the latency summary (ms), whether every client got every frame
    intact and in order, and the CPU %."""
    socks = connect(system.port, clients, system)
    scanner = socket.create_connection(("127.0.0.1", system.port), timeout=5)
    ep, by_fd, got = watch(socks)
    arrivals = {fd: [] for fd in by_fd}
    frames, stamps = [], []
    stop = threading.Event()

    def writer():
        n, start = 0, time.perf_counter()
        while not stop.is_set():
            due = start + n / rate
            if due > time.perf_counter():
                time.sleep(due - time.perf_counter())
            f = frame(0xFB, 0x05, [0xE6, n % 256, (n >> 8) % 256, 0, 0, 0, 0, 0])
            os.write(bus.master, f)
            frames.append(f)
            stamps.append(time.monotonic())
            n += 1

    thread = threading.Thread(target=writer, daemon=True)
    before = cpu_seconds(system.pid)
    started = time.monotonic()
    thread.start()
    burst_sent = False
    while time.monotonic() - started < seconds:
        if not burst_sent and time.monotonic() - started > 1.0:
            scanner.sendall(b"".join(frame(0xFB, a, [], rtr=True) for a in range(0x01, 0xFF)))
            burst_sent = True
        for fd, _ in ep.poll(0.05):
            data = drain(by_fd[fd])
            got[fd] += data
            arrivals[fd].append((time.monotonic(), data))
    stop.set()
    thread.join(2)
    until = time.monotonic() + 3
    while time.monotonic() < until and any(len(g) < sum(map(len, frames)) for g in got.values()):
        for fd, _ in ep.poll(0.05):
            data = drain(by_fd[fd])
            got[fd] += data
            arrivals[fd].append((time.monotonic(), data))
    cpu = (cpu_seconds(system.pid) - before) / (time.monotonic() - started) * 100
    whole = b"".join(frames)
    intact = sum(bytes(g) == whole for g in got.values())
    lateness = []
    for fd in by_fd:
        lateness += [t - s for t, s in zip(frame_times(arrivals[fd], frames), stamps)]
    ep.close()
    scanner.close()
    close_all(socks)
    return summary_ms(lateness), intact, cpu


def churn_storm(system, bus, seconds, pages_port=None):
    """Connections opened and closed at 100/s for `seconds` while a trusted client sends 5 frames
    a second and a new client comes every 1.5 s; with `pages_port`, 3 pages follow the stream.
    Returns the trusted frames' wait for the bus (p50, max, s), the new clients' wait for their
    first bus frame (max, s, and how many got none within 3 s), the CPU % during the storm and in
    the 10 s after it."""
    from hostile_cases import bus_traffic, bus_waits, churn, new_clients, trusted_sends
    stop = threading.Event()
    pages = Pages(pages_port, 3) if pages_port else None
    trusted = socket.create_connection(("127.0.0.1", system.port), timeout=5)
    counts = {"made": 0, "failed": 0}
    probes = []
    received_before = len(bus.received)
    threads = [threading.Thread(target=churn, args=(system.port, seconds, stop, counts), daemon=True),
               threading.Thread(target=bus_traffic, args=(bus, stop), daemon=True),
               threading.Thread(target=new_clients, args=(system.port, stop, probes), daemon=True)]
    before = cpu_seconds(system.pid)
    started = time.monotonic()
    for t in threads:
        t.start()
    sent = trusted_sends(trusted.sendall, seconds)
    threads[0].join(seconds + 600)
    storm_cpu = (cpu_seconds(system.pid) - before) / (time.monotonic() - started) * 100
    ended = time.monotonic()
    after_before = cpu_seconds(system.pid)
    time.sleep(10)
    after_cpu = (cpu_seconds(system.pid) - after_before) / (time.monotonic() - ended) * 100
    stop.set()
    for t in threads:
        t.join(5)
    trusted.close()
    if pages:
        pages.close()
    waits = sorted(float("inf") if w is None else w for w in bus_waits(bus.received[received_before:], sent))
    served = [p for p in probes if p is not None]
    return {"connections": counts["made"], "p50": waits[len(waits) // 2], "max": waits[-1],
            "probe max": max(served) if served else float("inf"), "unserved": len(probes) - len(served),
            "storm cpu": storm_cpu, "after cpu": after_cpu}


def churn_section(service, systems, buses, quick):
    """3,000 connections at 100/s (and 60 s of them with 3 pages): the service with --web, without
    it, and ser2net, one after the other in the same run."""
    bus = Bus()
    web = TesselServiceWeb(service, bus)
    others = [system for system, _ in systems[1:]]
    seconds = 10 if quick else 30
    try:
        print("Connection churn: %d connections opened and closed at 100/s, a trusted client's 5 frames/s"
              % (seconds * 100))
        results = [churn_storm(web, bus, seconds, web.web_port)] + [
            churn_storm(system, buses[system], seconds) for system in others]
        print("  %-44s %s" % ("", " ".join("%14s" % n for n in ["--web, 3 pages"] + [o.name for o in others])))
        for key, label, digits in (("connections", "connections made", 0), ("p50", "trusted frame to bus p50, s", 3),
                                   ("max", "trusted frame to bus max, s", 3), ("probe max", "new client's first frame max, s", 3),
                                   ("unserved", "new clients without a frame in 3 s", 0),
                                   ("storm cpu", "CPU % during the storm", 1), ("after cpu", "CPU % in the 10 s after", 1)):
            row(label, [r[key] for r in results], digits)
        if not quick:
            print("  the same for 60 s with 3 pages open (6000 connections)")
            r = churn_storm(web, bus, 60, web.web_port)
            for key, label in (("connections", "connections made"), ("max", "trusted frame to bus max, s"),
                               ("probe max", "new client's first frame max, s"), ("unserved", "new clients without a frame"),
                               ("storm cpu", "CPU % during the storm"), ("after cpu", "CPU % in the 10 s after")):
                row(label, [r[key]], 3)
    finally:
        web.stop()
        bus.close()


# --- the run ----------------------------------------------------------------------------------

def fmt(v, digits=2):
    if isinstance(v, float):
        return "%.*f" % (digits, v)
    return str(v)


def row(label, values, digits=2):
    """One figure per system; the ratios are each of ours to ser2net's, the last value."""
    cells = ["%14s" % (fmt(v, digits) if v is not None else "n/a") for v in values]
    ratios = []
    if len(values) > 1 and isinstance(values[-1], (int, float)) and values[-1]:
        for v in values[:-1]:
            ratios.append("%8s" % ("%.2f" % (v / values[-1]) if isinstance(v, (int, float)) else ""))
    print("  %-44s %s %s" % (label, " ".join(cells), " ".join(ratios)), flush=True)


class Run:
    """What every section of one run shares: the options, the systems side by side and their buses."""

    def __init__(self, args, display, systems, theirs_cd, theirs_cd_bus):
        self.args = args
        self.sections = set(args.sections.split(","))
        self.frames = 100 if args.quick else 300
        self.display = display
        self.systems = systems
        self.buses = {system: bus for system, bus in systems}
        self.ours = systems[0][0]
        self.theirs_cd, self.theirs_cd_bus = theirs_cd, theirs_cd_bus

    def each(self, measure, *a, **k):
        return [measure(system, self.buses[system], *a, **k) for system, _ in self.systems]


def latency_sections(run):
    frames, each, sections = run.frames, run.each, run.sections
    print("Bus to client latency, ms (%d frames at 20 frames/s; ser2net chardelay off)" % frames)
    for n in ((1, 10, 100) if "latency" in sections else ()):
        results = each(latency, n, frames)
        for key in ("p50", "p95", "p99", "max"):
            row("%3d client%s %s" % (n, "s" if n > 1 else " ", key), [r[1][key] for r in results])
    if run.theirs_cd and "latency" in sections:
        _, cd = latency(run.theirs_cd, run.theirs_cd_bus, 1, frames)
        print("  (ser2net with its default chardelay, 1 client: p50 %.2f ms, p99 %.2f ms)" % (cd["p50"], cd["p99"]))
    if "many" in sections:
        print("Bus to client latency with 1000 clients, ms (%d frames at 20 frames/s)" % (frames // 3))
        results = each(latency, 1000, frames // 3)
        for key in ("p50", "p95", "max"):
            row("1000 clients %s" % key, [r[1][key] for r in results])
        print("  the same, arrival stamped by the kernel on each client's socket")
        results = each(latency, 1000, frames // 3, kernel_stamps=True)
        for key in ("p50", "p95", "max"):
            row("1000 clients %s" % key, [r[1][key] for r in results])
    if "tls" in sections and run.args.service:
        print("What TLS and the key add, 1 client, ms (%d frames at 20 frames/s)" % frames)
        bus = Bus()
        tls = TesselServiceTls(os.path.abspath(run.args.service), bus)
        try:
            service = run.systems[1][0]
            plain = latency(service, run.buses[service], 1, frames)[1]
            secured = latency(tls, bus, 1, frames)[1]
            for key in ("p50", "p99"):
                print("  %-44s %14s %14s %8s" % ("1 client %s, plain / TLS+key" % key, fmt(plain[key]),
                                                 fmt(secured[key]), fmt(secured[key] - plain[key])))
        finally:
            tls.stop()
            bus.close()
    if "burst" in sections:
        print("Bursts of 10 back-to-back frames, 1 client, ms")
        results = each(latency, 1, frames, rate=2.0, burst=10)
        for key in ("p50", "p99", "max"):
            row("first frame of a burst %s" % key, [r[0][key] for r in results])
        for key in ("p50", "p99", "max"):
            row("every frame of a burst %s" % key, [r[1][key] for r in results])


def delivery_sections(run):
    each, quick = run.each, run.args.quick
    if "integrity" in run.sections:
        print("Integrity at 9600 bit/s (frames per 1000)")
        results = each(integrity, 300 if quick else 1000)
        for key in ("lost", "duplicated", "corrupted"):
            row(key, [r[key] for r in results])
    if "fanout" in run.sections:
        print("Fan-out throughput to 100 clients (terminal unthrottled)")
        results = each(fanout, 100, 500 if quick else 2000)
        row("frames/s delivered to all, none lost", [r["rate"] for r in results], 0)
        row("clients that got every frame", [r["complete"] for r in results], 0)
    if "pacing" in run.sections:
        for system, _ in run.systems:
            run.buses[system].stamps = BusStamps(run.buses[system])
        print("Client to bus pacing: 50 frames sent at once, gaps on the bus in ms")
        for fast in (False, True):
            results = each(pacing, fast)
            label = "delay option %s" % ("off (5 ms)" if fast else "on (50 ms)")
            for key in ("min", "median", "max"):
                row("%s %s" % (label, key), [r[key] for r in results])
            row("%s all 50, in order" % label, [r["in_order"] for r in results])
        for system, _ in run.systems:
            system.set_fast_pacing(False)


def cost_sections(run):
    each, quick = run.each, run.args.quick
    if "cost" in run.sections:
        print("Cost, CPU % of one core (bus frames arriving at 9600 bit/s)")
        idle = 5 if quick else 10
        busy = 10 if quick else 20
        row("%d s idle" % idle, each(cost, idle), 3)
        for rate in (20.0, 70.0):
            results = [cost(system, run.buses[system], busy, 3, rate, run.display if system is run.ours else None)
                       for system, _ in run.systems]
            row("3 clients, %d frames/s" % rate, [r[0] if isinstance(r, tuple) else r for r in results], 3)
            row("  the window's X server meanwhile", [results[0][1]] + [None] * (len(results) - 1), 3)
        row("peak RSS, KiB", [status_kib(system.pid, "VmHWM") for system, _ in run.systems], 0)
    if "usb" in run.sections:
        print("At the bus's own rate: 150 frames/s handed over whole, to 100 clients, with a 254-frame scan burst")
        results = each(bus_rate, 5 if quick else 15)
        for key in ("p50", "p99", "max"):
            row("latency %s, ms" % key, [r[0][key] for r in results])
        row("clients with every frame intact (of 100)", [r[1] for r in results], 0)
        row("CPU %", [r[2] for r in results], 2)


def service_sections(run):
    args, sections = run.args, run.sections
    if not args.service:
        return
    service = os.path.abspath(args.service)
    if "web" in sections:
        web_monitor(service, run.systems, run.buses, run.frames, args.quick)
    if "churn" in sections:
        churn_section(service, run.systems, run.buses, args.quick)
    if "capture" in sections:
        capture_section(service, run.systems, run.buses, args.quick)
    if "large-capture" in sections:
        large_capture_section(service, run.systems, args.quick)
    if "house-file" in sections:
        house_file_section(service, run.systems, args.quick)
    if "scan" in sections and args.simulator:
        scan_section(service, os.path.abspath(args.simulator), args.quick)


def turns_and_soak(run):
    if "turns" in run.sections:
        # The window keeps the single first-come queue the service had before its turns.
        print("Turns at the bus: one client's 254-frame burst, another client's command 1 s later")
        results = [burst_wait(system, getattr(run.buses[system], "stamps", run.buses[system]))
                   for system, _ in run.systems]
        row("the command's wait for the bus, s", results, 3)
    if run.args.soak:
        print("Soak: a client flooding for %d s" % run.args.soak_seconds)
        before, after = soak(run.ours, run.buses[run.ours], run.args.soak_seconds)
        row("RSS before, KiB", [before], 0)
        row("RSS after, KiB", [after], 0)
        row("RSS growth, KiB", [after - before], 0)


def stop_all(run):
    """Every system is stopped, also when one of them fails to: a service left running would keep
    reading the next run's pseudo-terminal."""
    for system in [s for s, _ in run.systems] + ([run.theirs_cd] if run.theirs_cd else []):
        try:
            system.stop()
        except Exception as e:  # noqa: BLE001
            print("could not stop %s: %s" % (system.name, e), file=sys.stderr)
    for b in list(run.buses.values()) + ([run.theirs_cd_bus] if run.theirs_cd_bus else []):
        if hasattr(b, "stamps"):
            b.stamps.stop()
    run.display.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--service", help="tessel-serverd, measured beside the window")
    parser.add_argument("--quick", action="store_true", help="fewer frames, for a fast look")
    parser.add_argument("--soak", action="store_true", help="also 10 minutes of a flooding client")
    parser.add_argument("--soak-seconds", type=float, default=600)
    parser.add_argument("--no-ser2net", action="store_true")
    parser.add_argument("--simulator", help="velbus-sim, for the scan's section")
    parser.add_argument("--sections",
                        default="latency,many,tls,burst,integrity,fanout,pacing,cost,usb,web,churn,turns,capture,"
                                "large-capture,house-file,scan",
                        help="comma-separated: latency,many,tls,burst,integrity,fanout,pacing,cost,usb,web,churn,turns,"
                             "capture,large-capture,house-file,scan")
    args = parser.parse_args()
    with_ser2net = not args.no_ser2net and subprocess.run(["which", "ser2net"], capture_output=True).returncode == 0
    # A thousand clients need a thousand descriptors here too.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    display = Display()
    systems = []  # (system, its own bus), ser2net last
    bus = Bus()
    systems.append((Tessel(os.path.abspath(args.program), display, bus), bus))
    if args.service:
        bus = Bus()
        systems.append((TesselService(os.path.abspath(args.service), bus), bus))
    if with_ser2net:
        bus = Bus()
        systems.append((Ser2net(bus), bus))
    theirs_cd_bus = Bus() if with_ser2net else None
    run = Run(args, display, systems, Ser2net(theirs_cd_bus, chardelay=True) if with_ser2net else None, theirs_cd_bus)
    try:
        print("%-46s %s" % ("", " ".join("%14s" % system.name for system, _ in systems)))
        latency_sections(run)
        delivery_sections(run)
        cost_sections(run)
        service_sections(run)
        turns_and_soak(run)
    finally:
        stop_all(run)


if __name__ == "__main__":
    main()
