"""End-to-end cases of the service under hostile load on loopback: connection churn with the web
monitor on, descriptors running out, one host holding the web port, weak TLS offers. The cases
take their programs from ARGS, which run_e2e.py sets."""
import os
import signal
import socket
import subprocess
import tempfile
import threading
import time

from harness import (Bus, Client, Service, Teardown, Skipped, check, frame, free_port, make_key_file, make_tls_files,
                     TestFailure, sanitized, wait_for)
import web_cases

ARGS = None

# 3,000 connections at 100 a second; TESSEL_CHURN_SECONDS shortens or lengthens it.
CHURN_RATE = 100


def churn(port, seconds, stop, counts):
    """Opens and closes a plain connection `CHURN_RATE` times a second for `seconds`."""
    start = time.monotonic()
    n = 0
    while not stop.is_set() and time.monotonic() - start < seconds:
        due = start + n / CHURN_RATE
        if due > time.monotonic():
            time.sleep(due - time.monotonic())
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=2)
            s.close()
            counts["made"] += 1
        except OSError:
            counts["failed"] += 1
        n += 1


def bus_traffic(bus, stop):
    """A frame on the bus every 100 ms, as a lively house makes them, until `stop`."""
    i = 0
    while not stop.is_set():
        bus.write(frame(0xFB, 0x05, [0xE6, i % 256, 0, 0, 0, 0, 0]))
        i += 1
        time.sleep(0.1)


def new_clients(port, stop, probes):
    """A new client each 1.5 s until `stop`: `probes` gets how long each waited for its first bus
    frame, None when none came within 3 s."""
    while not stop.is_set():
        probe = Client(port)
        connected = time.monotonic()
        got = probe.read_until(1, timeout=3)
        probes.append(time.monotonic() - connected if got else None)
        probe.close()
        stop.wait(1.5)


def trusted_sends(send, seconds):
    """A trusted client's 5 relay commands a second for `seconds`; returns (time, frame) of each."""
    sent, started, n = [], time.monotonic(), 0
    while time.monotonic() - started < seconds:
        f = frame(0xF8, 0x10, [0x02, 1 + n % 4])
        send(f)
        sent.append((time.monotonic(), f))
        n += 1
        time.sleep(max(0.0, started + n * 0.2 - time.monotonic()))
    return sent


def bus_waits(reads, sent):
    """Each sent frame's wait for the bus, found in order among the bus's (time, bytes) reads: the
    read that completed it; None for one that never came."""
    whole, ends, position = b"".join(d for _, d in reads), [], 0
    for t, d in reads:
        position += len(d)
        ends.append((position, t))
    waits, at = [], 0
    for t, f in sent:
        found = whole.find(f, at)
        if found < 0:
            waits.append(None)
            continue
        at = found + len(f)
        waits.append(next(ts for end, ts in ends if end >= at) - t)
    return waits


def read_pages(pages, stop, counts):
    """Pages that keep reading their stream, as a browser does; counts what they got."""
    for p in pages:
        p.setblocking(False)
    while not stop.is_set():
        for p in pages:
            try:
                while True:
                    chunk = p.recv(65536)
                    if not chunk:
                        break
                    counts["page bytes"] += len(chunk)
            except (BlockingIOError, OSError):
                pass
        time.sleep(0.02)


def case_service_connection_churn_with_web(display):
    """A storm of connections with three pages open: a trusted client's frames reach the bus
    within 1 s, every new client gets the bus's frames within 3 s, the pages stay, and the
    service is quiet again within 10 s of the end."""
    seconds = float(os.environ.get("TESSEL_CHURN_SECONDS", "30"))
    bus = Bus()
    port, web_port = free_port(), free_port()
    run = Service(ARGS.service, ["--device", bus.path, "--listen", "127.0.0.1:%d" % port,
                                 "--web", str(web_port)])
    stop = threading.Event()
    threads = []
    pages = []
    with Teardown() as down:
        down.add(bus, run)
        down.later(lambda: pages)
        down.callback(lambda: [t.join(5) for t in threads])
        down.callback(stop.set)
        run.wait_started()
        pages = [web_cases.open_stream(web_port)[0] for _ in range(3)]
        trusted = Client(port)
        counts = {"made": 0, "failed": 0, "page bytes": 0}
        threads = [threading.Thread(target=churn, args=(port, seconds, stop, counts), daemon=True),
                   threading.Thread(target=read_pages, args=(pages, stop, counts), daemon=True)]
        for t in threads:
            t.start()
        probes = []  # seconds a new client waited for its first bus frame, None: none came
        threads += [threading.Thread(target=bus_traffic, args=(bus, stop), daemon=True),
                    threading.Thread(target=new_clients, args=(port, stop, probes), daemon=True)]
        for t in threads[2:]:
            t.start()
        received_before = len(bus.received)
        sent = trusted_sends(trusted.send, seconds)
        threads[0].join(seconds + 10)
        ended = time.monotonic()
        check(counts["made"] >= 0.9 * CHURN_RATE * seconds,
              "the storm made only %d connections (%d failed)" % (counts["made"], counts["failed"]))
        wait_for(lambda: len(bus.stream()) >= sum(len(f) for _, f in sent), 10, "every trusted frame on the bus")
        lateness = bus_waits(bus.received[received_before:], sent)
        check(all(w is not None for w in lateness), "a trusted frame never reached the bus")
        check(max(lateness) < 1.0, "a trusted frame reached the bus %.2f s after its send" % max(lateness))
        check(all(p is not None for p in probes),
              "%d of %d new clients got no frame within 3 s" % (sum(p is None for p in probes), len(probes)))
        # A share of 0.0 is a success too: wrapped, so that wait_for sees it as one.
        quiet = wait_for(lambda: (lambda share: [share] if share < 0.05 else None)(run.cpu_share(1.0)),
                         max(1.0, 10 - (time.monotonic() - ended)), "the service under 5 % CPU after the storm")[0]
        print("churn: %d connections, trusted frames late by at most %.3f s, new clients served within "
              "%.2f s, %.1f %% CPU after, %.0f bytes a connection to each page" % (
                  counts["made"], max(lateness), max(probes), quiet * 100, counts["page bytes"] / 3 / counts["made"]), flush=True)
        # A page gets the rows that changed: a connection's two, not the list of the hour each time.
        per_connection = counts["page bytes"] / 3 / max(counts["made"], 1)
        check(per_connection < 2000, "a page got %.0f bytes per connection of the storm" % per_connection)
        values = web_cases.metrics(web_port)
        check(web_cases.metric(values, "tessel_web_streams") == 3, "a page was dropped during the storm")
        check(run.running(), "the service ended")


def case_service_out_of_descriptors_web(display):
    """Under a limit of 64 descriptors with 200 clients and a page's connection waiting on the web
    port: no busy loop, one journal line, and /healthz and new clients work once some are free."""
    if sanitized(ARGS.service):
        raise Skipped("the sanitizers' runtime itself needs free descriptors")
    bus = Bus()
    port, web_port = free_port(), free_port()
    run = Service(ARGS.service, ["--device", bus.path, "--port", str(port), "--web", str(web_port)],
                  prefix=["prlimit", "--nofile=64", "--"])
    clients = []
    with Teardown() as down:
        down.add(bus, run, clients)
        run.wait_started()
        for _ in range(200):
            clients.append(Client(port))
        waiting = [socket.create_connection(("127.0.0.1", web_port), timeout=2) for _ in range(3)]
        time.sleep(1.0)
        share = run.cpu_share(2.0)
        check(share < 0.10, "the service used %.0f %% of a core out of descriptors" % (share * 100))
        lines = [l for l in run.stdout_lines() if "out of descriptors" in l]
        check(len(lines) == 2, "journal lines of the shortage (one per port): %r" % lines)
        for c in clients[:100]:
            c.close()
        for w in waiting:
            w.close()
        time.sleep(0.5)
        health = wait_for(lambda: (lambda a: a if a.status == 200 else None)(web_cases.get(web_port, "/healthz")),
                          5, "/healthz once descriptors are free")
        check(health.body == b"ok\n", "/healthz: %r" % health)
        newcomer = Client(port)
        time.sleep(0.3)
        f = frame(0xFB, 0x05, [0xE6, 0x2B, 0, 0, 0, 0, 0])
        bus.write(f)
        check(newcomer.read_until(len(f), timeout=3) == f, "no new client taken once descriptors were free")
        values = web_cases.metrics(web_port)
        check(web_cases.metric(values, "tessel_web_connections_refused_total", reason="descriptors") >= 1,
              "web refusals for descriptors not counted")
        check(web_cases.metric(values, "tessel_clients_refused_total", reason="descriptors") >= 1,
              "TCP refusals for descriptors not counted")
        check(len([l for l in run.stdout_lines() if "out of descriptors" in l]) == 2, "more shortage lines")


def case_service_one_host_holds_the_web_port(display):
    """One address holding 1,000 idle connections to the web port: /healthz from another address
    answers within 2 s, and the refusals are counted by reason."""
    bus = Bus()
    web_port = free_port()
    run = Service(ARGS.service, ["--device", bus.path, "--port", str(free_port()), "--web", str(web_port)])
    held = []
    with Teardown() as down:
        down.add(bus, run, held)
        run.wait_started()
        for _ in range(1000):
            s = socket.socket()
            s.bind(("127.0.0.2", 0))
            s.settimeout(2)
            try:
                s.connect(("127.0.0.1", web_port))
            except OSError:
                s.close()
                continue
            held.append(s)
        for _ in range(3):
            s = socket.socket()
            s.bind(("127.0.0.3", 0))
            s.settimeout(5)
            started = time.monotonic()
            s.connect(("127.0.0.1", web_port))
            s.sendall(b"GET /healthz HTTP/1.1\r\nHost: bridge\r\n\r\n")
            answer = web_cases.read_to_end(s, 5)
            took = time.monotonic() - started
            s.close()
            check(answer is not None and answer.startswith(b"HTTP/1.1 200 "), "/healthz: %r" % (answer,))
            check(took < 2.0, "/healthz took %.2f s while one host held the port" % took)
        # Most held connections past the address's 16 are refused for their address. Not all: on
        # a loaded machine the 1,000 connects take longer than the 2 s after which the first are
        # closed for sending nothing, and later ones take their places (and the kernel may still
        # hold some not yet accepted), so the count is not a fixed 984.
        def counts():
            values = web_cases.metrics(web_port)
            return [web_cases.metric(values, "tessel_web_connections_refused_total", reason=r)
                    for r in ("per_address", "idle", "connection_limit")]
        seen = []

        def refused():
            seen[:] = counts()
            return seen if seen[0] >= 500 else None
        try:
            wait_for(refused, 10, "refusals for the address")
        except TestFailure:
            raise TestFailure("%d held; refused for the address, closed idle, over the limit: %r" % (len(held), seen))
        check(len(held) >= 900, "only %d of 1,000 connections were made" % len(held))
        print("one host: %d held; refused for the address, closed idle, over the limit: %r" % (len(held), seen))
        many = "&".join("a%d=%d" % (i, i % 10) for i in range(500))
        answer = web_cases.get(web_port, "/metrics?" + many)
        check(answer.status == 414, "500 query arguments: %r" % answer)
        check(run.running(), "the service ended")


def s_client(port, *args):
    """What `openssl s_client` agreed with the port: (protocol, cipher), or None."""
    done = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port] + list(args),
                          input=b"", capture_output=True, timeout=10)
    for line in done.stdout.decode("utf-8", "replace").splitlines():
        if ", Cipher is " in line:
            protocol, cipher = line.split(", ")[1], line.split("Cipher is ")[1]
            return None if cipher == "(NONE)" else (protocol, cipher)
    return None


def case_service_tls_profile_on_both_ports(display):
    """Both ports offer TLS 1.3 and TLS 1.2 with forward secrecy and AEAD suites only; the HTTPS
    web port says so with Strict-Transport-Security."""
    work = tempfile.mkdtemp(prefix="tessel-e2e-tls-profile-")
    bus = Bus()
    port, web_port = free_port(), free_port()
    cert, key = make_tls_files(work)
    run = Service(ARGS.service, ["--device", bus.path, "--port", str(port), "--tls-cert", cert, "--tls-key", key,
                                 "--auth-key-file", make_key_file(work, "tls-profile-key-0123"),
                                 "--web", str(web_port)])
    with Teardown() as down:
        down.add(work, bus, run)
        run.wait_started()
        for p in (port, web_port):
            for refused in ("AES128-GCM-SHA256", "ECDHE-RSA-AES128-SHA", "AES256-SHA"):
                got = s_client(p, "-tls1_2", "-cipher", refused)
                check(got is None, "port %d took %s: %r" % (p, refused, got))
            got = s_client(p, "-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256")
            check(got == ("TLSv1.2", "ECDHE-RSA-AES128-GCM-SHA256"), "port %d, ECDHE-RSA-AES128-GCM-SHA256: %r" % (p, got))
            got = s_client(p, "-tls1_3")
            check(got is not None and got[0] == "TLSv1.3", "port %d, TLS 1.3: %r" % (p, got))
            check(s_client(p, "-tls1_1") is None, "port %d took TLS 1.1" % p)
        answer = web_cases.get(web_port, "/healthz", tls=True)
        check(answer.headers.get("strict-transport-security") == "max-age=31536000", "HSTS: %r" % answer)


def case_service_refusals_told_once_and_counted(display):
    """A client that sends frames without its key is refused at once, saying why; its retries and
    failed web logins write one line each until their minute ends, and are all counted; nothing of
    a key or an Authorization header is written."""
    work = tempfile.mkdtemp(prefix="tessel-e2e-refusals-")
    bus = Bus()
    port, web_port = free_port(), free_port()
    key = "refusal-key-0123456789"
    run = Service(ARGS.service, ["--device", bus.path, "--port", str(port), "--web", str(web_port),
                                 "--auth-key-file", make_key_file(work, key)])
    with Teardown() as down:
        down.add(work, bus, run)
        run.wait_started()
        started = time.monotonic()
        for _ in range(6):
            c = Client(port)
            c.send(frame(0xF8, 0x10, [0x02, 0x01]))
            check(c.closed_by_peer(2), "a client that sent a frame first was not dropped")
            c.close()
        check(time.monotonic() - started < 3, "the frame-first clients were refused late")
        reason = "sent a frame before its key: a client that does not send its key again after reconnecting?"
        lines = run.wait_for_line(lambda l: l.endswith(" refused: " + reason), 2, "the refusal's line")
        for password in ("wrong-password", None, "another-wrong-one"):
            web_cases.get(web_port, "/metrics", key=password)
        time.sleep(0.5)
        said = run.stdout_lines()
        check(len([l for l in said if reason in l]) == 1, "retries were not folded: %r" % said)
        check(len([l for l in said if l.startswith("web request from 127.0.0.1 refused: ")]) == 1,
              "failed web logins were not folded: %r" % said)
        values = web_cases.metrics(web_port, key)
        check(web_cases.metric(values, "tessel_clients_refused_total", reason="frame_before_key") == 6,
              "frame-first refusals counted: %r" % web_cases.metric(values, "tessel_clients_refused_total",
                                                                    reason="frame_before_key"))
        check(web_cases.metric(values, "tessel_web_logins_failed_total", reason="wrong_key") == 2 and
              web_cases.metric(values, "tessel_web_logins_failed_total", reason="no_key") == 1, "failed logins counted")
        text = "\n".join(run.stdout_lines()) + run.stderr_text()
        check(key not in text and "wrong-password" not in text and "Authorization" not in text and
              "Basic " not in text, "a key or a header was written")
        check(lines is not None, "no refusal line")


def case_service_key_that_came_while_stopped(display):
    """A key sent in time while the service was stopped (SIGSTOP) for longer than the key's 5 s is
    judged on what came: the client gets in and its frames reach the bus."""
    work = tempfile.mkdtemp(prefix="tessel-e2e-stopped-")
    bus = Bus()
    port = free_port()
    key = "stopped-key-0123456789"
    run = Service(ARGS.service, ["--device", bus.path, "--port", str(port), "--auth-key-file", make_key_file(work, key)])
    with Teardown() as down:
        down.add(work, bus, run)
        run.wait_started()
        client = Client(port)
        time.sleep(0.5)  # taken by the service, its 5 s running
        run.proc.send_signal(signal.SIGSTOP)
        with Teardown() as stopped:  # the service goes on however this ends
            stopped.callback(run.proc.send_signal, signal.SIGCONT)
            f = frame(0xF8, 0x10, [0x02, 0x01])
            client.send(key.encode() + f)
            time.sleep(6.5)
        wait_for(lambda: f in bus.stream(), 5, "the client's frame on the bus")
        check(not [l for l in run.stdout_lines() if "refused" in l], "refused: %r" % run.stdout_lines())
        check(not client.closed_by_peer(0.5), "the client was dropped")


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}
