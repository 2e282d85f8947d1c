"""End-to-end cases of the service's web monitor: the built tessel-serverd with --web, a
pseudo-terminal as the bus, TCP clients and raw HTTP clients on loopback. The cases take their
programs from ARGS, which run_e2e.py sets."""
import base64
import os
import socket
import ssl
import tempfile
import threading
import time

from harness import (Bus, Client, Service, Teardown, check, frame, frame_times, free_port, make_key_file,
                     make_tls_files, wait_for)

ARGS = None


class Response:
    def __init__(self, raw):
        head, _, self.body = raw.partition(b"\r\n\r\n")
        lines = head.decode("iso-8859-1").split("\r\n")
        self.status_line = lines[0]
        self.status = int(lines[0].split(" ")[1]) if lines[0].startswith("HTTP/1.1 ") else 0
        self.headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            self.headers[name.strip().lower()] = value.strip()

    def __repr__(self):
        return "%s %r %r" % (self.status_line, self.headers, self.body[:200])


def connect(port, tls=False, receive_buffer=0, source=None):
    """`source`, an address such as 127.0.0.2, stands in for another host."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if source:
        sock.bind((source, 0))
    if receive_buffer:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.settimeout(5)
    sock.connect(("127.0.0.1", port))
    if tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        sock = context.wrap_socket(sock)
    return sock


def read_to_end(sock, timeout=5):
    """Everything until the server closes; None when it does not within `timeout`."""
    sock.settimeout(0.2)
    got, until = b"", time.monotonic() + timeout
    while time.monotonic() < until:
        try:
            chunk = sock.recv(65536)
        except (socket.timeout, ssl.SSLWantReadError):
            continue
        except (ConnectionResetError, ssl.SSLError):
            return got
        if not chunk:
            return got
        got += chunk
    return None


def request(port, raw, tls=False, timeout=5):
    """One raw request; the answer once the server closed the connection."""
    sock = connect(port, tls)
    with Teardown() as down:
        down.add(sock)
        sock.sendall(raw)
        got = read_to_end(sock, timeout)
        check(got is not None, "the server kept the connection open after %r" % raw[:60])
        return Response(got)


def get(port, path, key=None, tls=False, method="GET", extra=""):
    auth = ""
    if key is not None:
        auth = "Authorization: Basic %s\r\n" % base64.b64encode(("operator:" + key).encode()).decode()
    raw = "%s %s HTTP/1.1\r\nHost: bridge\r\nConnection: close\r\n%s%s\r\n" % (method, path, auth, extra)
    return request(port, raw.encode(), tls)


def open_stream(port, key=None, tls=False, receive_buffer=0, last_event_id=None, source=None):
    """A page's event stream, once its snapshot has come; returns (socket, what came)."""
    sock = connect(port, tls, receive_buffer, source)
    auth = ""
    if key is not None:
        auth = "Authorization: Basic %s\r\n" % base64.b64encode((":" + key).encode()).decode()
    resume = "Last-Event-ID: %s\r\n" % last_event_id if last_event_id else ""
    sock.sendall(("GET /events HTTP/1.1\r\nHost: bridge\r\nAccept: text/event-stream\r\n%s%s\r\n"
                  % (auth, resume)).encode())
    got = b""
    sock.settimeout(0.2)
    until = time.monotonic() + 5
    while b"event: snapshot" not in got or not got.rstrip(b"\r\n0123456789abcdef").endswith(b"}"):
        check(time.monotonic() < until, "no snapshot on the event stream: %r" % got[:300])
        try:
            chunk = sock.recv(65536)
        except (socket.timeout, ssl.SSLWantReadError):
            continue
        check(chunk, "the event stream closed: %r" % got[:300])
        got += chunk
    return sock, got


def read_for(sock, done, timeout):
    """What comes on `sock` until `done(what came)` holds or `timeout` seconds passed."""
    sock.settimeout(0.1)
    got, until = b"", time.monotonic() + timeout
    while not done(got) and time.monotonic() < until:
        try:
            chunk = sock.recv(65536)
        except (socket.timeout, ssl.SSLWantReadError):
            continue
        if not chunk:
            break
        got += chunk
    return got


def metrics(port, key=None, tls=False):
    """/metrics read with the Prometheus client library's own parser."""
    from prometheus_client.parser import text_string_to_metric_families
    answer = get(port, "/metrics", key, tls)
    check(answer.status == 200, "/metrics: %r" % answer)
    check(answer.headers.get("content-type", "").startswith("text/plain; version=0.0.4"), "/metrics type")
    values = {}
    for family in text_string_to_metric_families(answer.body.decode("utf-8")):
        for sample in family.samples:
            values[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
    return values


def metric(values, name, **labels):
    return values.get((name, tuple(sorted(labels.items()))))


def web_service(device, extra=()):
    """The service on `device` with its web monitor on a free port of 127.0.0.1."""
    web_port = free_port()
    run = Service(ARGS.service, ["--device", device, "--port", str(free_port()), "--web", str(web_port)]
                  + list(extra))
    return run, web_port


def tcp_port_of(run):
    return int(run.wait_started().split(" listening on 0.0.0.0:")[1].split(" ")[0])


def case_service_web_statuses(display):
    """Every status the web port gives, its headers, and /healthz following the device."""
    work = tempfile.mkdtemp(prefix="tessel-e2e-web-")
    link = os.path.join(work, "velbus")
    bus = Bus()
    os.symlink(bus.path, link)
    run, port = web_service(link)
    with Teardown() as down:
        down.add(work)
        down.later(lambda: bus)
        down.add(run)
        started = run.wait_started()
        check(started.endswith(", web monitor on http://127.0.0.1:%d/" % port), "start line %r" % started)
        for path, kind in (("/", "text/html; charset=utf-8"), ("/page.js", "text/javascript; charset=utf-8"),
                           ("/page.css", "text/css; charset=utf-8"), ("/icons/0.png", "image/png"),
                           ("/icons/5.png", "image/png")):
            answer = get(port, path)
            check(answer.status == 200 and answer.headers.get("content-type") == kind, "%s: %r" % (path, answer))
            check(answer.headers.get("content-security-policy") == "default-src 'self'", "%s: no CSP" % path)
        page = get(port, "/").body.decode("utf-8")
        # Relative, so that the page works under a proxy's path prefix too.
        check("src=\"/" not in page and "href=\"/" not in page, "a URL of the page from the root")
        check("<script src=\"page.js\"" in page and "http" not in page.replace("http-equiv", ""),
              "the page loads something from elsewhere")
        # Served from the service's one loop: the library has no thread of its own.
        threads = os.listdir("/proc/%d/task" % run.proc.pid)
        check(len(threads) == 1, "the service runs %d threads" % len(threads))
        head = get(port, "/", method="HEAD")
        check(head.status == 200 and head.body == b"", "HEAD /: %r" % head)
        check(get(port, "/healthz").body == b"ok\n", "/healthz while the device is open")

        for raw, status in ((b"GET /nope HTTP/1.1\r\nHost: b\r\n\r\n", 404),
                            (b"POST / HTTP/1.1\r\nHost: b\r\nContent-Length: 0\r\n\r\n", 405),
                            (b"DELETE /metrics HTTP/1.1\r\nHost: b\r\n\r\n", 405),
                            (b"GET / HTTP/1.1\r\nno colon here\r\n\r\n", 400),
                            (b"GET / HTTP/1.1\r\n\r\n", 400),
                            (b"GET / HTTP/1.1\r\nHost: b\r\nX-Big: " + b"a" * 8300 + b"\r\n\r\n", 431),
                            (b"GET / HTTP/1.1\r\nHost: b\r\nX-Big: " + b"a" * 60000 + b"\r\n\r\n", 431)):
            answer = request(port, raw)  # each closes the connection, or this fails
            check(answer.status == status, "%r: %r" % (raw[:40], answer))
        check(get(port, "/", method="POST").headers.get("allow") == "GET, HEAD", "405 without Allow")
        # A head that never completes: 408 after 10 s, and the connection closed.
        slow = connect(port)
        slow.sendall(b"GET / HTTP/1.1\r\nHost: b")
        started = time.monotonic()
        answer = read_to_end(slow, 15)
        check(answer is not None and answer.startswith(b"HTTP/1.1 408 ") and 9 < time.monotonic() - started < 14,
              "a head cut short: %r after %.1f s" % (answer, time.monotonic() - started))
        slow.close()
        values = metrics(port)
        for status, count in ((404, 1), (405, 3), (408, 1)):
            check(metric(values, "tessel_web_refused_total", status=str(status)) == count,
                  "refusals %d counted: %r" % (status, values))
        check(not any("GET" in line or "/healthz" in line for line in run.stdout_lines()),
              "a journal line per request: %r" % run.stdout_lines())

        # The device goes: /healthz says so with 503, and so do the metrics.
        bus.close()
        os.remove(link)
        run.wait_for_line(lambda l: l == "Velbus serial %s lost" % link, 5, "the lost line")
        lost = get(port, "/healthz")
        check(lost.status == 503 and lost.body == ("Velbus serial %s lost\n" % link).encode(), "%r" % lost)
        values = metrics(port)
        check(metric(values, "tessel_serial_up") == 0 and metric(values, "tessel_serial_lost_total") == 1,
              "metrics of the lost device")
        bus = Bus()
        os.symlink(bus.path, link)
        run.wait_for_line(lambda l: l == "Velbus serial %s back" % link, 5, "the back line")
        check(get(port, "/healthz").status == 200, "/healthz once the device is back")


def case_service_web_shows_the_traffic(display):
    """The stream carries the window's texts in UTF-8; the metrics count what crossed."""
    bus = Bus()
    run, port = web_service(bus.path)
    with Teardown() as down:
        down.add(bus, run)
        tcp_port = tcp_port_of(run)
        client = Client(tcp_port)
        run.wait_for_line(lambda l: l.endswith(" connected"), 5, "the client")
        temperature = frame(0xFB, 0x40, [0xE6, 0x2B, 0x00, 0x26, 0x00, 0x30, 0x00])
        bus.write(temperature)
        check(client.read_until(len(temperature)) == temperature, "the client got no bus frame")
        request_frame = frame(0xF8, 0x10, [0x02, 0x01])
        junk = bytes([0x0F, 0xF8, 0x10, 0x02, 0x02, 0x01, 0xE4, 0x05])
        client.send(request_frame + junk)
        wait_for(lambda: request_frame in bus.stream(), 3, "the client frame on the bus")

        page, got = open_stream(port)
        # Lines of the last tenth of a second follow the snapshot in the next batch.
        got += read_for(page, lambda g: b"\"#c83232\"" in got + g, 3)
        text = got.decode("utf-8")
        check("(Temp: 21.5°C) from VELBUS" in text, "no decoded temperature in the snapshot: %r" % text[:500])
        check('"colour":"#149614"' in text and '"colour":"#3232c8"' in text and '"colour":"#c83232"' in text,
              "the window's colours")
        check("127.0.0.1 (%d)" % client.sock.getsockname()[1] in text, "the client row")
        check('"serialUp":true' in text and '"listening":["0.0.0.0:%d (plain)","http://127.0.0.1:%d/"]' % (tcp_port, port)
              in text, "the status")
        # Live: a new bus frame arrives as a batch within a second.
        bus.write(frame(0xF8, 0x30, [0x00, 0x01, 0x00, 0x00]))
        live = read_for(page, lambda g: b"0FF8300400010000C404" in g, 3)
        check(b"event: batch" in live and b"0FF8300400010000C404" in live, "no live line: %r" % live[:300])
        page.close()

        values = metrics(port)
        for name, value in (("tessel_bus_frames_received_total", 2), ("tessel_bus_frames_written_total", 1),
                            ("tessel_client_runs_not_frames_total", 1), ("tessel_clients_connected", 1),
                            ("tessel_serial_up", 1), ("tessel_bus_queue_frames", 0)):
            check(metric(values, name) == value, "%s: %r, not %r" % (name, metric(values, name), value))
        check(metric(values, "tessel_bus_bytes_total", direction="received") == 23, "bytes received")
        check(metric(values, "tessel_bus_bytes_total", direction="transmitted") == 8, "bytes written")
        check(metric(values, "tessel_build_info", version="3.08") == 1, "build info")


def case_service_web_tls_and_key(display):
    """With TLS and the key the web port speaks HTTPS and asks for the key, but for /healthz."""
    work = tempfile.mkdtemp(prefix="tessel-e2e-webtls-")
    bus = Bus()
    key = "w3b-key-for-tests-%d" % os.getpid()
    cert, tls_key = make_tls_files(work)
    run, port = web_service(bus.path, ["--tls-cert", cert, "--tls-key", tls_key,
                                  "--auth-key-file", make_key_file(work, key)])
    with Teardown() as down:
        down.add(work, bus, run)
        check(run.wait_started().endswith(", web monitor on https://127.0.0.1:%d/" % port), "https in the start line")
        denied = get(port, "/", tls=True)
        check(denied.status == 401 and denied.headers.get("www-authenticate") == 'Basic realm="tessel-server"',
              "no key: %r" % denied)
        check(get(port, "/", key + "x", tls=True).status == 401, "a wrong key let in")
        check(get(port, "/metrics", key[:-1], tls=True).status == 401, "a short key let in")
        check(get(port, "/", key, tls=True).status == 200, "the key did not let in")
        check(get(port, "/healthz", tls=True).status == 200, "/healthz asked for the key")
        values = metrics(port, key, tls=True)
        check(metric(values, "tessel_web_refused_total", status="401") == 3, "401s counted")
        page, got = open_stream(port, key, tls=True)
        check(b"event: snapshot" in got, "no stream over HTTPS")
        page.close()
        # Plain HTTP on the HTTPS port gets no page.
        plain = connect(port)
        plain.sendall(b"GET / HTTP/1.1\r\nHost: b\r\n\r\n")
        answer = read_to_end(plain, 5)
        check(answer is None or b"200 OK" not in answer, "plain HTTP served on the HTTPS port")
        plain.close()
        said = "\n".join(run.stdout_lines()) + run.stderr_text()
        check(key not in said, "the key was said")


def case_service_web_slow_page_and_stream_cap(display):
    """A page that never reads is dropped, never waited for: three TCP clients get every bus
    frame on time meanwhile. The 33rd page is refused with 503."""
    bus = Bus()
    run, port = web_service(bus.path)
    stop = threading.Event()
    threads, clients, pages = [], [], []
    with Teardown() as down:
        down.add(bus, run, pages)
        down.callback(stop.set)
        tcp_port = tcp_port_of(run)
        stuck, _ = open_stream(port, receive_buffer=4096)
        clients = [Client(tcp_port) for _ in range(3)]
        flooder = Client(tcp_port)
        wait_for(lambda: sum(l.endswith(" connected") for l in run.stdout_lines()) == 4, 5, "the clients")
        arrivals = [[] for _ in clients]  # (time, bytes) of each read
        for c, reads in zip(clients, arrivals):
            threads.append(threading.Thread(target=c.collect, args=(stop,), kwargs={"stamps": reads}, daemon=True))
            threads[-1].start()
        # Client runs of 4 KiB that are not frames: each a long monitor line for the pages.
        run_bytes = bytes([0x0F]) + bytes(4095)
        frames, stamps = [], []
        for i in range(40):
            flooder.send(run_bytes * 10)
            f = frame(0xFB, 0x05, [0xE6, i, 0, 0, 0, 0, 0])
            frames.append(f)
            stamps.append(time.monotonic())
            bus.write(f)
            time.sleep(0.05)
        wait_for(lambda: all(sum(len(d) for _, d in reads) >= sum(map(len, frames)) for reads in arrivals), 10,
                 "every bus frame at every client")
        stop.set()
        for reads in arrivals:
            check(b"".join(d for _, d in reads) == b"".join(frames), "a client lost or tore a frame")
            late = max(t - s for t, s in zip(frame_times(reads, frames), stamps))
            # Generous for a loaded machine or a sanitizer build; a page waited for would take
            # seconds, until its backlog ran over.
            check(late < 1.0, "a bus frame reached a client %.3f s after it was written" % late)
        values = wait_for(lambda: (lambda v: v if metric(v, "tessel_web_streams_dropped_total") == 1 else None)(
            metrics(port)), 10, "the stuck page to be dropped")
        check(read_to_end(stuck, 10) is not None, "the stuck page's connection was not closed")
        check(metric(values, "tessel_web_streams") == 0, "streams: %r" % metric(values, "tessel_web_streams"))

        # Four from each host: no host may hold more.
        for i in range(32):
            pages.append(open_stream(port, source="127.0.0.%d" % (2 + i // 4))[0])
        refused = get(port, "/events")
        check(refused.status == 503, "the 33rd page: %r" % refused)
        check(run.running(), "the service ended")


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}
