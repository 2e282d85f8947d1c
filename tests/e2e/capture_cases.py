"""End-to-end cases of the capture: traffic through the built service comes back from
/capture in order, with its directions and clients and without the key; --capture-file keeps
what was written across a restart and a crash; a read-only or full directory (a small tmpfs)
gives one warning and the bridge goes on; and velbus-sim --replay of a capture gives a client
the bus frames it got that evening, byte for byte, and says whether the bridge wrote what the
capture's clients did. The cases take their programs from ARGS, which run_e2e.py sets."""
import os
import re
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.request
from base64 import b64encode

from harness import Bus, Client, Service, Teardown, check, frame, free_port, make_key_file, split_frames, wait_for
from web_cases import get

ARGS = None
KEY = "capture-key-0123456789"


def read_capture(text):
    """The ten-line script a developer would write: (direction, source, bytes, text) per record."""
    records = []
    for line in text.splitlines():
        if line.startswith("#"):
            continue
        when, mono, direction, source, hexbytes, words = line.split("\t")
        records.append((direction, source, bytes.fromhex(hexbytes), words))
    return records


def fetch(web_port, path="/capture", key=None):
    """A download as a browser makes it (chunked, with the key as the password): (status,
    headers, text)."""
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (web_port, path))
    if key is not None:
        request.add_header("Authorization", "Basic " + b64encode((":" + key).encode()).decode())
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            return answer.status, {k.lower(): v for k, v in answer.headers.items()}, answer.read().decode("utf-8")
    except urllib.error.HTTPError as refused:
        return refused.code, {}, ""


def frames_of(stream):
    return split_frames(stream)[0]


def headers_of(text):
    return [line for line in text.splitlines() if line.startswith("# tessel-serverd capture ")]


def bus_frames(n, first=0):
    """Sound frames as modules send them: button presses of $30 and temperatures of $40."""
    frames = []
    for i in range(first, first + n):
        if i % 2 == 0:
            frames.append(frame(0xF8, 0x30, [0x00, 1 << (i % 8), 0x00, 0x00]))
        else:
            frames.append(frame(0xFB, 0x40, [0xE6, 0x20 + i % 16, 0x20, 0x27, 0x20, 0x2F, 0x20]))
    return frames


def service(bus_path, extra=(), prefix=()):
    port = free_port()
    while str(port) in extra:  # a port just freed may be handed out again: not the web port's
        port = free_port()
    run = Service(ARGS.service, ["--device", bus_path, "--port", str(port)] + list(extra), prefix=prefix)
    try:
        run.wait_started()
    except BaseException:
        run.stop()  # one that never said it started may still hold its port
        raise
    return run, port


def case_service_capture_download(display):
    """GET /capture: every frame in order, each with its direction and client, the events of the
    clients, and neither the TCP key nor the web password; ?minutes=N and its refusals."""
    work = tempfile.mkdtemp(prefix="tessel-capture-")
    bus = Bus()
    web_port = free_port()
    run = first = second = None
    with Teardown() as down:
        down.add(work, bus)
        down.later(lambda: (first, second, run))
        run, port = service(bus.path, ["--web", str(web_port), "--auth-key-file", make_key_file(work, KEY)])
        first, second = Client(port), Client(port)
        names = {c: "127.0.0.1:%d on 0.0.0.0:%d (key)" % (c.sock.getsockname()[1], port) for c in (first, second)}
        for c in (first, second):
            c.send(KEY.encode())
        wait_for(lambda: sum(1 for l in run.stdout_lines() if l.endswith(" connected")) == 2, 5, "both clients")
        sent, order = bus_frames(6), []
        to_bus = {first: [frame(0xF8, 0x10, [0x01, 0x01]), frame(0xF8, 0x10, [0x02, 0x01])],
                  second: [frame(0xF8, 0x11, [0x01, 0x02])]}
        for i, f in enumerate(sent):
            bus.write(f)
            order.append(("from-bus", f))
            time.sleep(0.05)
            if i < 3:
                client = first if i != 1 else second
                if to_bus[client]:
                    out = to_bus[client].pop(0)
                    client.send(out)
                    order.append(("to-bus", out))
                    time.sleep(0.05)
        second.send(b"\x0f\x01\x02")  # not a frame: kept as it came
        bus.write(b"\x55\xaa")        # noise on the line, which no client gets
        time.sleep(0.3)
        second.close()
        wait_for(lambda: any(" gone" in l for l in run.stdout_lines()), 5, "the second client to go")
        check(fetch(web_port)[0] == 401, "a capture without the key")
        status, headers, text = fetch(web_port, key=KEY)
        check(status == 200, "GET /capture: %r" % status)
        check(headers.get("content-type") == "text/plain; charset=utf-8", repr(headers))
        check(re.fullmatch(r'attachment; filename="tessel-capture-\d{8}-\d{6}\.txt"',
                           headers.get("content-disposition", "")), repr(headers))
        check(KEY not in text, "the key is in the capture")
        heads = headers_of(text)
        check(len(heads) == 1 and "\tdevice=%s\t" % bus.path in heads[0] and "\tversion=" in heads[0], repr(heads))
        records = read_capture(text)
        frames_seen = [(d, b) for d, _, b, _ in records if d != "event" and b[:1] == b"\x0f" and b != b"\x0f\x01\x02"]
        check(frames_seen == order, "the frames in the capture: %r, sent %r" % (frames_seen, order))
        for d, source, b, words in records:
            if d == "from-bus" and b != b"\x55\xaa":
                check(source == "bus" and words.startswith("$%02X " % b[2]), "a bus record %r %r" % (source, words))
        sources = [s for d, s, b, _ in records if d == "to-bus"]
        check(sources == [names[first], names[second], names[first], names[second]], "to-bus sources %r" % sources)
        check(("to-bus", names[second], b"\x0f\x01\x02", "") in records, "the run that is not a frame")
        check(("from-bus", "bus", b"\x55\xaa", "") in records, "the noise on the line")
        events = [(s, w) for d, s, _, w in records if d == "event"]
        for c in (first, second):
            check((names[c], "client connected") in events, "%s connected in %r" % (names[c], events))
        check((names[second], "client gone") in events, "the second client gone in %r" % events)
        status, _, recent = fetch(web_port, "/capture?minutes=1", key=KEY)
        check(status == 200 and read_capture(recent) == records, "the last minute")
        for bad in ("0", "x", "100000000", "-1"):
            check(fetch(web_port, "/capture?minutes=" + bad, key=KEY)[0] == 400, "minutes=" + bad)
        check(get(web_port, "/capture", key=KEY, method="HEAD").status == 200, "HEAD /capture")


def case_service_capture_file_across_restart_and_crash(display):
    """--capture-file: a crash a second and more after the frames loses none of them, a restart
    appends to what was written, and every line of the file is whole."""
    work = tempfile.mkdtemp(prefix="tessel-capture-")
    path = os.path.join(work, "capture.txt")
    bus = Bus()
    run = client = None
    with Teardown() as down:
        down.add(work, bus)
        down.later(lambda: (client, run))
        sent = bus_frames(10)
        for round_, frames in enumerate((sent[:5], sent[5:])):
            run, port = service(bus.path, ["--capture-file", path])
            client = Client(port)
            for f in frames:
                bus.write(f)
                time.sleep(0.02)
            client.read_until(sum(len(f) for f in frames), 5)
            if round_ == 0:
                time.sleep(1.6)  # at most the last second may be lost to a crash
                run.proc.kill()
                run.proc.wait(5)
            client.close()
            client = None
            run.stop()
            run = None
        with open(path, "rb") as f:
            data = f.read()
        check(data.endswith(b"\n"), "the file ends in a half line")
        text = data.decode("utf-8")
        check(len(headers_of(text)) == 2, "the runs' headers: %r" % headers_of(text))
        kept = [b for d, _, b, _ in read_capture(text) if d == "from-bus"]
        check(kept == sent, "the frames in the file: %d of %d" % (len(kept), len(sent)))


def tmpfs_prefix(directory, read_only, fill=0):
    """The service in a mount namespace of its own, with a 16 KiB tmpfs over `directory`,
    read-only or with `fill` bytes taken; the pid stays the service's (exec)."""
    script = "mount -t tmpfs -o size=16k tmpfs %s && " % directory
    if read_only:
        script += "mount -o remount,ro %s && " % directory
    if fill:
        script += "head -c %d /dev/zero > %s/filler && " % (fill, directory)
    return unshare_mounts() + ["sh", "-c", script + 'exec "$0" "$@"']


def unshare_mounts():
    """A mount namespace of its own: root needs no user namespace for it (and gets none inside a
    chroot); anyone else is root in one of their own."""
    return ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-rm"]


def case_service_capture_file_full_or_read_only(display):
    """A read-only directory, and one that fills up: one warning line each, and the bridge goes on
    forwarding both ways with the capture in memory whole."""
    probe = subprocess.run(unshare_mounts() + ["true"], capture_output=True)
    check(probe.returncode == 0, "%s cannot make a mount namespace: %r" % (" ".join(unshare_mounts()), probe.stderr))
    for read_only, fill, why in ((True, 0, "Read-only file system"), (False, 12 * 1024, "No space left on device")):
        work = tempfile.mkdtemp(prefix="tessel-capture-")
        bus = Bus()
        web_port = free_port()
        run = client = None
        with Teardown() as down:
            down.add(work, bus)
            down.later(lambda: (client, run))
            run, port = service(bus.path, ["--capture-file", work + "/capture.txt", "--web", str(web_port)],
                                prefix=tmpfs_prefix(work, read_only, fill))
            client = Client(port)
            sent, commands = [], []
            # Batches of ten each way, a second apart, until the warning came and two more went.
            for batch in range(12):
                for f in bus_frames(10, len(sent)):
                    bus.write(f)
                    sent.append(f)
                    commands.append(frame(0xF8, 0x10, [0x02, 1 + len(commands) % 4]))
                    client.send(commands[-1])
                time.sleep(1.1)
                warned = [i for i, l in enumerate(run.stdout_lines()) if "capture file" in l]
                if warned and batch >= 2 + (0 if read_only else 1):
                    break
            got = client.read_until(sum(len(f) for f in sent), 10)
            check(frames_of(got) == sent, "the client's frames: %d of %d" % (len(frames_of(got)), len(sent)))
            wait_for(lambda: len(frames_of(bus.stream())) >= len(commands), 10, "the commands at the bus")
            check(frames_of(bus.stream()) == commands, "the frames written to the bus")
            warnings = [l for l in run.stdout_lines() if "capture file" in l]
            check(len(warnings) == 1 and why in warnings[0] and "goes on in memory only" in warnings[0],
                  "the warnings (%s): %r" % (why, warnings))
            records = read_capture(fetch(web_port)[2])
            check([b for d, _, b, _ in records if d == "from-bus"] == sent, "the capture in memory")
            check([b for d, _, b, _ in records if d == "to-bus"] == commands, "the capture in memory")


class Reacting(Client):
    """A client as an integration is: it answers each button press of $30 with a command to $10."""

    def __init__(self, port, reacts=True):
        super().__init__(port)
        self.reacts = reacts
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        self.sock.settimeout(0.05)
        seen = 0
        while not self.stop.is_set():
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                continue
            if not chunk:
                return
            self.data += chunk
            frames = frames_of(bytes(self.data))
            for f in frames[seen:]:
                if self.reacts and f[2] == 0x30 and f[4] == 0x00:
                    self.sock.sendall(frame(0xF8, 0x10, [0x02, f[5]]))
            seen = len(frames)

    def close(self):
        self.stop.set()
        self.thread.join(2)
        super().close()


def case_simulator_replays_a_capture(display):
    """velbus-sim --replay: the client gets the evening's bus frames byte for byte, and the
    simulator says the bridge wrote the capture's frames; a client that does not react differs."""
    work = tempfile.mkdtemp(prefix="tessel-capture-")
    path = os.path.join(work, "evening.txt")
    bus = Bus()
    run = client = None
    with Teardown() as down:
        down.add(work, bus)
        down.later(lambda: (client, run))
        run, port = service(bus.path, ["--capture-file", path])
        client = Reacting(port)
        run.wait_for_line(lambda l: l.endswith(" connected"), 5, "the client")
        for i, f in enumerate(bus_frames(8)):
            bus.write(f)
            if i == 3:
                bus.write(b"\x55\xaa")  # noise: played again, and passed over again
            time.sleep(0.15)
        time.sleep(0.5)
        evening = bytes(client.data)
        client.close()
        client = None
        run.stop()
        run = None
        check(len(frames_of(evening)) == 8, "the evening's frames: %d" % len(frames_of(evening)))
        for reacts, outcome in ((True, 0), (False, 1)):
            sim = subprocess.Popen([ARGS.simulator, "--replay", path, "--speed", "2"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            with Teardown() as each:
                each.add(sim)
                device = sim.stdout.readline().strip()
                run, port = service(device)
                client = Reacting(port, reacts)
                run.wait_for_line(lambda l: l.endswith(" connected"), 5, "the client")
                sim.stdin.write("\n")
                sim.stdin.flush()
                said, _ = sim.communicate(timeout=30)
                check(sim.returncode == outcome, "the replay's outcome %r: %s" % (sim.returncode, said))
                check(("replay: match:" in said) == reacts, "the replay's report: %s" % said)
                check("replay: 9 runs played onto the bus" in said, "the replay's report: %s" % said)
                wait_for(lambda: len(client.data) >= len(evening), 5, "the replayed frames")
                check(bytes(client.data) == evening, "the replayed frames differ from the evening's")
            client.close()
            client = None
            run.stop()
            run = None


CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_")}
