"""End-to-end cases of where bridges live: the service's everyday work in one run (the case that a
build for another machine runs under its emulator); the built service at --baud 38400 is
answered by a simulated RS232 interface at that rate, and at 9600 it is not, as a real one would
not; and --announce answers the clients' LAN discovery, from another host's address, and nothing
else; one service per interface, each holding its own alone. The cases take their programs from
ARGS, which run_e2e.py sets."""
import errno
import json
import os
import socket
import subprocess
import tempfile
import time

from harness import (Bus, Client, Service, Teardown, check, frame, frame_times, free_port, make_key_file, split_frames,
                     velbus_terminal, wait_for)

ARGS = None


def http_get(port, path):
    """(status, body) of one GET on loopback."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(b"GET %s HTTP/1.1\r\nHost: bridge\r\nConnection: close\r\n\r\n" % path.encode())
        answer = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            answer += chunk
    head, _, body = answer.partition(b"\r\n\r\n")
    return int(head.split(b" ")[1]), body


def case_service_bridges_and_answers_healthz(display):
    """Bus frames reach two clients whole and in order, one client's frames reach the bus 50 ms
    apart (and not the other client), and /healthz answers while the device is there."""
    bus, port, web = Bus(), free_port(), free_port()
    run = Service(ARGS.service, ["--device", bus.path, "--port", str(port), "--web", str(web)])
    clients = []
    with Teardown() as down:
        down.add(bus, run)
        down.later(lambda: clients)
        run.wait_started(30)
        clients = [Client(port), Client(port)]
        for c in clients:
            run.wait_for_line(lambda l, c=c: l == "client 127.0.0.1:%d connected" % c.sock.getsockname()[1], 10,
                              "the client")
        from_bus = [frame(0xFB, 0x20 + i, [0xE6, 0x2B, i, 0, 0, 0, 0]) for i in range(20)]
        stream = b"".join(from_bus)
        bus.write(stream, line_rate=True)
        for c in clients:
            got = c.read_until(len(stream))
            check(got == stream, "a client got %d of %d bytes, or in another order" % (len(got), len(stream)))
        to_bus = [frame(0xF8, 0x30 + i, [0x02, 0x01]) for i in range(5)]
        clients[0].send(b"".join(to_bus))
        wait_for(lambda: len(bus.stream()) >= sum(map(len, to_bus)), 10, "the client's frames on the bus")
        time.sleep(0.2)
        check(split_frames(bus.stream()) == (to_bus, 0), "the bus got %r" % bus.stream().hex())
        times = frame_times(bus.received, to_bus)
        gaps = [b - a for a, b in zip(times, times[1:])]
        check(min(gaps) >= 0.025 and times[-1] - times[0] >= 0.045 * 4, "not paced: gaps %s" % gaps)
        check(clients[1].read_until(len(stream) + 1, 0.5) == stream, "the other client got a client frame")
        status, body = http_get(web, "/healthz")
        check((status, body) == (200, b"ok\n"), "/healthz: %d %r" % (status, body))


def case_service_baud_for_the_rs232_interface(display):
    """--baud 38400: the interface at 38400 answers, and the start line says the rate and the
    lines it wants; without --baud the same interface hears nothing it understands."""
    work = tempfile.mkdtemp(prefix="tessel-baud-")
    log = os.path.join(work, "sim.log")
    sim = subprocess.Popen([ARGS.simulator, "--quiet", "--baud", "38400", "--log", log],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    device = sim.stdout.readline().strip()
    run = client = None
    with Teardown() as down:
        down.add(work, sim)
        down.later(lambda: (client, run))
        request = frame(0xFB, 0x10, [], rtr=True)  # the module type of $10, which the house has
        for extra, answered in ((["--baud", "38400"], True), ([], False)):
            port = free_port()
            run = Service(ARGS.service, ["--device", device, "--port", str(port)] + extra)
            started = run.wait_started()
            check((" Velbus serial %s (38400 bit/s, RTS high, DTR low)" % device in started) == answered,
                  "start line %r" % started)
            client = Client(port)
            run.wait_for_line(lambda l: l.endswith(" connected"), 5, "the client")
            client.send(request)
            if answered:
                got = wait_for(lambda: [f for f in split_frames(client.read_until(1, 0.2))[0] if f[2] == 0x10], 5,
                               "the module's answer")
                check(got[0][4] == 0xFF, "the type reply %r" % got[0].hex())
            else:
                wait_for(lambda: "BAUD 9600, not 38400: " + request.hex().upper() in open(log).read(), 5,
                         "the interface to hear the request at the wrong rate")
                time.sleep(0.5)
                check(not any(f[2] == 0x10 for f in split_frames(client.read_until(1, 0.2))[0]), "an answer at 9600")
            client.close()
            client = None
            run.stop()
            run = None


def free_udp_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def discover(port, datagram=b"Velbus Navigation Request", count=1, wait=0.5):
    """What comes back to a client on another host (127.0.0.2) that sends `datagram` `count` times."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.2", 0))
    with Teardown() as down:
        down.add(s)
        for _ in range(count):
            s.sendto(datagram, ("127.0.0.1", port))
        s.settimeout(wait)
        got = []
        while True:
            try:
                data, source = s.recvfrom(4096)
            except socket.timeout:
                return got
            got.append((json.loads(data), source))


def case_service_answers_the_lan_discovery(display):
    """--announce: the request gets one JSON object with the six keys the clients need, the
    version and every listener's port, never the key; anything else gets nothing and no line;
    a flood gets at most ten answers a second; without --announce nothing answers."""
    work = tempfile.mkdtemp(prefix="tessel-announce-")
    bus = Bus()
    run = None
    key = "announce-key-0123456789"
    with Teardown() as down:
        down.add(work, bus)
        down.later(lambda: run)
        udp, plain, guarded = free_udp_port(), free_port(), free_port()
        env = {"TESSEL_ANNOUNCE_PORT": str(udp)}
        run = Service(ARGS.service, ["--device", bus.path, "--announce", "--listen", "0.0.0.0:%d" % plain,
                                     "--listen-guarded", "0.0.0.0:%d" % guarded,
                                     "--auth-key-file", make_key_file(work, key)], env=env)
        run.wait_started()
        answers = discover(udp)
        check(len(answers) == 1, "answers %r" % answers)
        answer, source = answers[0]
        check(source == ("127.0.0.1", udp), "answered from %r" % (source,))
        for field in ("message", "hostname", "model", "id", "velbus_port", "velbus_auth"):
            check(field in answer, "no %s in %r" % (field, answer))
        check(answer["model"] == "tessel-serverd" and answer["hostname"] == socket.gethostname() and
              answer["velbus_port"] == plain and answer["velbus_auth"] is False, repr(answer))
        check(answer["listeners"] == [{"port": plain, "auth": False, "tls": False},
                                      {"port": guarded, "auth": True, "tls": False}], repr(answer))
        check(key not in json.dumps(answer), "the key is in the answer")
        for other in (b"Velbus Navigation Request\n", b"Velbus", b"x" * 2000, b""):
            check(discover(udp, other, wait=0.2) == [], "an answer to %r" % other[:30])
        flood = discover(udp, count=50, wait=0.6)
        check(1 <= len(flood) <= 10, "%d answers to a flood of 50" % len(flood))
        bus.write(frame(0xF8, 0x30, [0x00, 0x01, 0x00, 0x00]))  # the bridge goes on meanwhile
        lines = run.stdout_lines()
        check(len(lines) == 1, "lines beyond the start: %r" % lines[1:])
        run.stop()
        run = Service(ARGS.service, ["--device", bus.path, "--port", str(free_port())], env=env)
        run.wait_started()
        check(discover(udp, wait=0.3) == [], "an answer without --announce")




def refused_start(args, env=None):
    """What a service that must not start says on standard error; it ends with 1."""
    run = Service(ARGS.service, args, env=env)
    with Teardown() as down:
        down.add(run)
        rc = run.wait_exit(10)
        check(rc == 1, "exit code %s, not 1; it said %r" % (rc, run.stderr_text()))
        return run.stderr_text()


def open_errno(path):
    """The error another program that does not look for the lock gets opening `path`, or 0 when
    it opens; as nobody, since TIOCEXCL does not stop root."""
    pid = os.fork()
    if pid == 0:  # the child makes system calls only, then leaves without cleaning up
        code = 0
        try:
            if os.geteuid() == 0:
                os.setgroups([])
                os.setresgid(65534, 65534, 65534)
                os.setresuid(65534, 65534, 65534)
            os.close(os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
        except OSError as e:
            code = e.errno
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


def case_service_holds_its_interface_alone(display):
    """Two services side by side, each on its own interface found by --device auto; a third told
    that every interface is busy, one naming a held device told it is busy, and another program
    refused by the device while a service holds it and let in once it stopped."""
    root = tempfile.mkdtemp(prefix="tessel-e2e-held-")
    lookup = {"TESSEL_SYSFS_ROOT": root}
    buses = [Bus(), Bus()]
    runs, clients = [], []
    with Teardown() as down:
        down.add(root, buses, runs)
        down.later(lambda: clients)
        os.makedirs(os.path.join(root, "sys", "class", "tty"))
        for i, bus in enumerate(buses):
            velbus_terminal(root, "ttyACM%d" % i, bus)
            os.chmod(bus.path, 0o666)  # so that the other program's refusal is the device's, not the mode's
        devices = [os.path.join(root, "dev", "ttyACM%d" % i) for i in range(2)]
        ports = []
        for device in devices:
            ports.append(free_port())
            run = Service(ARGS.service, ["--device", "auto", "--port", str(ports[-1])], env=lookup)
            runs.append(run)
            check(run.wait_started().endswith(", Velbus serial " + device), "not started on " + device)
        err = refused_start(["--device", "auto", "--port", str(free_port())], lookup)
        check(err == "tessel-serverd: every Velbus interface found is busy, held by another program: %s, %s\n"
              % tuple(devices), "a third on auto said %r" % err)
        err = refused_start(["--device", buses[0].path, "--port", str(free_port())])
        check(err == "tessel-serverd: the Velbus serial device %s is busy: another program holds it\n"
              % buses[0].path, "a second on a held device said %r" % err)
        check(open_errno(buses[0].path) == errno.EBUSY, "another program opened a held interface")
        # Each bridges its own bus, and only that.
        clients = [Client(port) for port in ports]
        for i, run in enumerate(runs):
            run.wait_for_line(lambda l: l.endswith(" connected"), 5, "the client")
        f = [frame(0xFB, 0x05 + i, [0xE6, 0x2B, i, 0, 0, 0, 0]) for i in range(2)]
        for bus, one in zip(buses, f):
            bus.write(one)
        for client, one in zip(clients, f):
            check(client.read_until(len(one) + 1, 1) == one, "a client got another bus's frames")
        runs[0].stop()
        check(open_errno(buses[0].path) == 0, "the interface stayed held after its service stopped")


CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_")}
