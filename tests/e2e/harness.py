"""Runs the built bridge the way a person does: its own working directory and configuration
file, a pseudo-terminal as the Velbus interface, TCP clients on loopback, a private Xvfb, and
xdotool clicks on the controls at their fixed places. Every wait is bounded."""
import contextlib
import ctypes
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import tty

MAIN_TITLE = "Tessel-Server 3.08*"
CONTROLS = {  # centre of each control, relative to the main window's inner area
    "Clear": (322, 20), "Save": (382, 20), "Filter": (622, 20), "!": (467, 20),
    "FilterText": (535, 20), "Disconnect All": (607, 367), "Quit": (587, 397), "Delay": (258, 365),
    "?": (636, 397),
}


def finish(thing):
    """Stops, closes or removes one thing a case started: a container (remove, without the checks
    its stop makes), a program (stop), a simulator or other child process (terminate, then kill),
    a bus, client or socket (close), a working directory (removed with what it holds), or each of
    a list of them. None: nothing."""
    if thing is None:
        return
    if isinstance(thing, (list, tuple)):
        for one in thing:
            finish(one)
    elif isinstance(thing, str):
        shutil.rmtree(thing, ignore_errors=True)
    elif isinstance(thing, subprocess.Popen):
        if thing.poll() is None:
            thing.terminate()
            try:
                thing.wait(5)
            except subprocess.TimeoutExpired:
                thing.kill()
                thing.wait()
    elif hasattr(thing, "remove"):
        thing.remove()
    elif hasattr(thing, "stop"):
        thing.stop()
    else:
        thing.close()


class Teardown(contextlib.ExitStack):
    """What a case starts is handed to this as it starts, and finished (see `finish`) in the
    reverse order however the case ends; what one teardown step raises does not keep the others
    from running.

        with Teardown() as down:
            bus = down.add(Bus())
            run = down.add(Service(...))
    """

    def add(self, *things):
        """Each thing, finished after those added later; returns the last."""
        for thing in things:
            self.callback(finish, thing)
        return things[-1]

    def later(self, names_of):
        """For names bound later in the case, or bound again: `names_of` is asked for the things
        at the end (a lambda returning the variables, finished in that order)."""
        self.callback(lambda: finish(names_of()))


class TestFailure(Exception):
    pass


class Skipped(Exception):
    """The case says nothing in this build; the reason is printed."""


def sanitized(program):
    """True for a build under the sanitizers, whose runtime needs descriptors and time of its own."""
    out = subprocess.run(["ldd", program], capture_output=True, text=True).stdout
    return "libasan" in out or "libubsan" in out


def check(condition, message):
    if not condition:
        raise TestFailure(message)


def wait_for(predicate, timeout, what):
    until = time.monotonic() + timeout
    while time.monotonic() < until:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise TestFailure("timed out waiting for " + what)


def frame(prio, address, data, rtr=False):
    body = bytes([0x0F, prio, address, (0x40 if rtr else 0) | len(data)]) + bytes(data)
    return body + bytes([(-sum(body)) & 0xFF, 0x04])


def split_frames(stream):
    """Cuts a byte stream into frames; returns (frames, leftover bytes that were not frames)."""
    frames, junk, p = [], 0, 0
    while p < len(stream):
        if stream[p] == 0x0F and p + 3 < len(stream):
            length = (stream[p + 3] & 0x0F) + 6
            if p + length <= len(stream) and stream[p + length - 1] == 0x04:
                frames.append(bytes(stream[p:p + length]))
                p += length
                continue
        junk += 1
        p += 1
    return frames, junk


def frame_times(received, frames):
    """The time of the read that completed each of `frames`, in order, from (time, bytes) reads."""
    stamps, stream, at = [], bytearray(), 0
    for t, data in list(received):
        stream += data
        while at < len(frames) and frames[at] in stream:
            stamps.append(t)
            del stream[:stream.index(frames[at]) + len(frames[at])]
            at += 1
    return stamps


class Display:
    """A private Xvfb. It picks a free display itself and writes its number once it accepts
    connections (-displayfd), so nothing probes display numbers or polls for readiness; it is
    started with -noreset because otherwise it resets whenever its last client leaves, and a
    program connecting at that moment is refused."""

    def __init__(self):
        read_end, write_end = os.pipe()
        try:
            self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-noreset",
                                          "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                                         pass_fds=[write_end], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
            os.close(write_end)
            write_end = -1
            number = b""
            until = time.monotonic() + 20
            while not number.endswith(b"\n") and time.monotonic() < until:
                ready, _, _ = select.select([read_end], [], [], 0.2)
                if ready:
                    chunk = os.read(read_end, 16)
                    if not chunk:
                        break  # Xvfb ended without a display
                    number += chunk
            if not number.endswith(b"\n"):
                self.stop()
                raise TestFailure("Xvfb did not start")
            self.name = ":" + number.decode().strip()
        finally:
            os.close(read_end)
            if write_end >= 0:
                os.close(write_end)

    def env(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.name
        return env

    def xdotool(self, *args, check_rc=False):
        r = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env(),
                           capture_output=True, text=True, timeout=20)
        if check_rc and r.returncode != 0:
            raise TestFailure("xdotool %s failed: %s" % (args, r.stderr))
        return r.stdout.strip()

    def find_window(self, title, timeout=30):
        def look():
            out = self.xdotool("search", "--onlyvisible", "--name", "^" + title.replace("*", "\\*") + "$")
            return out.split()[0] if out else None
        try:
            return wait_for(look, timeout, "window '%s'" % title)
        except TestFailure:
            shown = [self.xdotool("getwindowname", w)
                     for w in self.xdotool("search", "--onlyvisible", "--name", ".").split()]
            raise TestFailure("no window '%s'; the screen shows %s" % (title, shown))

    def window_gone(self, title):
        out = self.xdotool("search", "--onlyvisible", "--name", "^" + title.replace("*", "\\*") + "$")
        return not out

    def click(self, window, x, y):
        self.xdotool("mousemove", "--window", window, x, y, "click", 1, check_rc=True)

    def keys(self, window, *keys):
        self.xdotool("windowfocus", "--sync", window, check_rc=True)
        self.xdotool("key", "--clearmodifiers", *keys, check_rc=True)

    def type_text(self, window, text):
        self.xdotool("windowfocus", "--sync", window, check_rc=True)
        self.xdotool("type", "--delay", 5, text, check_rc=True)

    def close_request(self, window):
        """Asks the window to close, as a window manager's close button does."""
        x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                   ctypes.c_void_p]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                        ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                        ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]

        class Event(ctypes.Union):
            _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

        dpy = x11.XOpenDisplay(self.name.encode())
        ev = Event()
        ev.xclient.type = 33  # ClientMessage
        ev.xclient.window = int(window)
        ev.xclient.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
        ev.xclient.format = 32
        ev.xclient.l[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        x11.XSendEvent(dpy, int(window), 0, 0, ctypes.byref(ev))
        x11.XFlush(dpy)
        x11.XCloseDisplay(dpy)

    def stop(self):
        if self.proc:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()


class Bus:
    """The Velbus side: a pseudo-terminal whose other end the bridge opens. A reader thread
    time-stamps everything the bridge writes."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.received = []  # (monotonic seconds, bytes)
        self._stop = False
        self._paused = threading.Event()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        while not self._stop:
            if self._paused.is_set():
                time.sleep(0.01)
                continue
            r, _, _ = select.select([self.master], [], [], 0.05)
            if r:
                try:
                    data = os.read(self.master, 4096)
                except OSError:
                    return
                self.received.append((time.monotonic(), data))

    def write(self, data, line_rate=False):
        if not line_rate:
            os.write(self.master, data)
            return
        start = time.monotonic()
        for i, b in enumerate(data):  # 9600 bit/s: about 1.04 ms a byte
            delay = start + i * 0.0010417 - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            os.write(self.master, bytes([b]))

    def stream(self):
        return b"".join(d for _, d in self.received)

    def pause(self):
        """The interface stops taking bytes: what the bridge writes fills the line's buffer
        (about 20 KB for a pseudo-terminal) until it is taken again."""
        self._paused.set()

    def resume(self):
        self._paused.clear()

    def close(self):
        """Pulls the interface out; again is harmless."""
        if self._stop and self.master < 0:
            return
        self._stop = True
        self._thread.join(1)
        os.close(self.master)
        os.close(self.slave)
        self.master = self.slave = -1


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.data = bytearray()

    def send(self, data):
        self.sock.sendall(data)

    def read_until(self, count, timeout=10):
        until = time.monotonic() + timeout
        self.sock.settimeout(0.1)
        while len(self.data) < count and time.monotonic() < until:
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                break
            self.data += chunk
        return bytes(self.data)

    def collect(self, stop, chunk=65536, pause=0.0, stamps=None):
        """Reads until `stop` is set or the peer closes, `chunk` bytes at a time, resting `pause`
        seconds after each read (a slow reader); `stamps`, when given, gets (time, bytes) of each."""
        self.sock.settimeout(0.1)
        while not stop.is_set():
            try:
                data = self.sock.recv(chunk)
            except socket.timeout:
                continue
            except OSError:
                return
            if not data:
                return
            self.data += data
            if stamps is not None:
                stamps.append((time.monotonic(), data))
            time.sleep(pause)

    def closed_by_peer(self, timeout=5):
        until = time.monotonic() + timeout
        self.sock.settimeout(0.1)
        while time.monotonic() < until:
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            except ConnectionResetError:
                return True
            if not chunk:
                return True
            self.data += chunk
        return False

    def close(self):
        self.sock.close()


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Program:
    """A built program in a working directory of its own, its output kept in files there."""

    def __init__(self, command, config=None, env=None, prepare=None):
        """`config` is written as its Tessel-server.ini; `prepare(dir)` runs in the working
        directory before the start."""
        self.dir = tempfile.mkdtemp(prefix="tessel-e2e-")
        if config is not None:
            with open(os.path.join(self.dir, "Tessel-server.ini"), "w") as f:
                f.write(config)
        if prepare:
            prepare(self.dir)
        self.output = open(os.path.join(self.dir, "stdout.txt"), "wb+")
        self.errors = open(os.path.join(self.dir, "stderr.txt"), "w+")
        self.proc = subprocess.Popen(command, cwd=self.dir, env=env, stdout=self.output,
                                     stderr=self.errors)

    def stdout_lines(self):
        self.output.flush()
        with open(self.output.name, "rb") as f:
            return f.read().decode("utf-8").splitlines()

    def wait_for_line(self, predicate, timeout, what):
        """The first line of standard output that satisfies `predicate`."""
        def look():
            return next((line for line in self.stdout_lines() if predicate(line)), None)
        return wait_for(look, timeout, what)

    def stderr_text(self):
        self.errors.flush()
        with open(self.errors.name) as f:
            return f.read()

    def cpu_seconds(self):
        """User and system time the program has used so far."""
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def cpu_share(self, seconds):
        """The share of one core the program uses over the next `seconds`."""
        before, started = self.cpu_seconds(), time.monotonic()
        time.sleep(seconds)
        return (self.cpu_seconds() - before) / (time.monotonic() - started)

    def wait_exit(self, timeout=10):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise TestFailure("the program did not end")

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        """Ends it (SIGTERM, then SIGKILL after 5 s) and removes its folder; again is harmless."""
        if self.output.closed:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        said = self.stderr_text()
        self.errors.close()
        self.output.close()
        if said.strip():  # sanitizer reports and toolkit warnings end up in the test's log
            print("--- the program's standard error ---\n" + said, flush=True)
        shutil.rmtree(self.dir, ignore_errors=True)


class Bridge(Program):
    """The window program on a display."""

    def __init__(self, program, display, config=None, prefix=(), env=None, prepare=None):
        """`prefix` goes before the program (prlimit, say)."""
        self.display = display
        super().__init__(list(prefix) + [program], config,
                         env if env is not None else display.env(), prepare)


# What runs a service built for another machine (qemu-arm-static, say); empty for our own.
EMULATOR = []


class Service(Program):
    """The service, with its options; no display."""

    def __init__(self, program, args=(), config=None, prefix=(), prepare=None, env=None):
        """`env`: variables set for it besides the test's own."""
        env = dict(os.environ, **(env or {}))
        env.pop("DISPLAY", None)
        super().__init__(list(prefix) + EMULATOR + [program] + list(args), config, env, prepare)

    def wait_started(self, timeout=10):
        return self.wait_for_line(lambda line: " listening on " in line, timeout, "the service to start")


def make_tls_files(directory):
    """A self-signed certificate and its key, as --help says to make them."""
    cert, key = os.path.join(directory, "tls-cert.pem"), os.path.join(directory, "tls-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=tessel-server", "-keyout", key, "-out", cert],
                   check=True, capture_output=True, timeout=60)
    os.chmod(key, 0o600)
    return cert, key


def make_key_file(directory, key, mode=0o600):
    path = os.path.join(directory, "auth-key")
    with open(path, "w") as f:
        f.write(key + "\n")
    os.chmod(path, mode)
    return path


def velbus_terminal(root, name, bus):
    """A Velbus USB interface as sysfs shows it under `root`, its device node a link to `bus`."""
    usb = os.path.join(root, "sys", "devices", "usb1", "1-" + name)
    interface = os.path.join(usb, "1-%s:1.0" % name)
    os.makedirs(interface)
    for attribute, value in (("idVendor", "10cf"), ("idProduct", "0b1b")):
        with open(os.path.join(usb, attribute), "w") as f:
            f.write(value + "\n")
    os.makedirs(os.path.join(root, "sys", "class", "tty", name))
    os.symlink(interface, os.path.join(root, "sys", "class", "tty", name, "device"))
    os.makedirs(os.path.join(root, "dev"), exist_ok=True)
    os.symlink(bus.path, os.path.join(root, "dev", name))
