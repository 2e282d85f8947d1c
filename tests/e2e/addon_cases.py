"""End-to-end cases of the home-automation server's add-on image (ARGS.addon_image), run as its
Supervisor runs it: as root, with /data holding the options.json its schema checked, and a
simulated bus's pseudo-terminal as the device. Host networking stands in for the add-on's own
network, and 127.0.0.2 for the Supervisor's proxy. Its config.yaml holds only what the
Supervisor's documented add-on configuration knows."""
import json
import os
import socket
import subprocess
import tempfile
import time

from harness import Bus, Client, Teardown, check, frame, free_port, wait_for
from container_cases import LIMITS, PODMAN, podman

ARGS = None
PROXY = "127.0.0.2"
ADDON = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging", "addon")


class Addon:
    """The add-on's container on `bus`, its /data a folder of its own holding `options`."""

    def __init__(self, bus, options, data=None):
        self.bus, self.web_port = bus, free_port()
        self.data = data or tempfile.mkdtemp(prefix="tessel-addon-")
        with open(os.path.join(self.data, "options.json"), "w") as f:
            json.dump(options, f)
        self.name = "tessel-e2e-addon-%d-%d" % (os.getpid(), free_port())
        podman("run", "-d", "--name", self.name, "--network", "host", *LIMITS, "-v", bus.path + ":/dev/velbus",
               "-v", self.data + ":/data", "-e", "TESSEL_INGRESS_PEER=" + PROXY,
               "-e", "TESSEL_INGRESS_PORT=%d" % self.web_port, ARGS.addon_image)

    def log(self):
        done = subprocess.run(PODMAN + ["logs", self.name], capture_output=True, text=True, timeout=30)
        return done.stdout + done.stderr

    def wait_started(self):
        wait_for(lambda: " listening on " in self.log() or not self.running(), 30, "the add-on to start")
        check(self.running(), "the add-on ended: %r" % self.log())

    def running(self):
        return podman("inspect", "--format", "{{.State.Running}}", self.name).strip() == "true"

    def stop(self):
        """SIGTERM, as the Supervisor stops it: ended within 2 s, exit status 0."""
        started = time.monotonic()
        podman("kill", "--signal", "TERM", self.name)
        code = podman("wait", self.name, timeout=10).strip()
        elapsed = time.monotonic() - started
        check(code == "0" and elapsed <= 2.0, "SIGTERM: exit %s after %.2f s" % (code, elapsed))
        self.remove()

    def remove(self):
        subprocess.run(PODMAN + ["rm", "-f", "-t", "0", self.name], capture_output=True, timeout=60)


def http(port, path, source=PROXY, timeout=5):
    """(status, body) of a GET from `source`; (None, b"") when the connection is closed unanswered."""
    with socket.socket() as s:
        s.settimeout(timeout)
        s.bind((source, 0))
        s.connect(("127.0.0.1", port))
        s.sendall(b"GET %s HTTP/1.1\r\nHost: addon\r\nConnection: close\r\n\r\n" % path.encode())
        answer = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
        except ConnectionResetError:
            pass
    if not answer:
        return None, b""
    head, _, body = answer.partition(b"\r\n\r\n")
    return int(head.split(b" ")[1]), body


def options(**changes):
    """The options as the Supervisor writes them: the defaults of config.yaml, and `changes`."""
    base = {"device": "/dev/velbus", "port": free_port(), "baud": 9600, "scan": False, "sync_clock": False,
            "silent_after": "24h", "capture_memory": "4M", "capture_file": True}
    base.update(changes)
    return base


def case_addon_runs_with_its_options(display):
    """The server's port bridges both ways; the configuration tool's port asks for TLS and the
    key, so a plain client gets nothing and is dropped; the web port answers only its proxy, and
    the watchdog's /livez there; the key is made once and shown once; everything kept is in
    /data; a bad option stops the start with one line saying which and why."""
    bus = Bus()
    lan = free_port()
    addon = client = None
    data = tempfile.mkdtemp(prefix="tessel-addon-")
    with Teardown() as down:
        down.add(data, bus)
        down.later(lambda: (client, addon))
        chosen = options(lan_port=lan)
        addon = Addon(bus, chosen, data)
        addon.wait_started()
        shown = [line for line in addon.log().splitlines() if "shown this once" in line]
        check(len(shown) == 1, "the key's line: %r" % shown)
        with open(os.path.join(data, "auth-key")) as f:
            key = f.read().strip()
        check(shown[0].endswith(": " + key) and len(key) == 48, "the key shown is not the one kept")
        client = Client(chosen["port"])
        wait_for(lambda: " connected" in addon.log(), 5, "the client's line")
        f = frame(0xFB, 0x10, [0xFF, 0x11, 0x12, 0x34, 0x01, 0x14, 0x20])
        bus.write(f)
        check(client.read_until(len(f)) == f, "the server's port got no bus frame")
        command = frame(0xF8, 0x30, [0x02, 0x01])
        client.send(command)
        wait_for(lambda: command in bus.stream(), 5, "the server's frame on the bus")

        # A plain client on the configuration tool's port: its frame is no TLS handshake.
        plain = socket.create_connection(("127.0.0.1", lan), timeout=5)
        plain.sendall(frame(0xF8, 0x31, [0x02, 0x01]))
        bus.write(f)
        got, dropped = b"", False
        try:
            while True:
                chunk = plain.recv(4096)
                if not chunk:
                    dropped = True
                    break
                got += chunk
        except ConnectionResetError:
            dropped = True
        except socket.timeout:
            pass
        plain.close()
        check(dropped and got == b"" and frame(0xF8, 0x31, [0x02, 0x01]) not in bus.stream(),
              "a client without TLS and the key got %r, dropped: %s" % (got, dropped))

        status, body = http(addon.web_port, "/livez")
        check((status, body) == (200, b"alive\n"), "the watchdog's /livez: %s %r" % (status, body))
        status, _ = http(addon.web_port, "/modules.json")
        check(status == 200, "the proxy asked for a key: %s" % status)
        check(http(addon.web_port, "/livez", source="127.0.0.1") == (None, b""),
              "the web port answered another address than its proxy")
        client.close()
        client = None
        addon.stop()
        for kept in ("modules.state", "auth-key", "tls-cert.pem", "tls-key.pem", "capture.txt"):
            check(os.path.isfile(os.path.join(data, kept)), "no %s in /data" % kept)

        addon = Addon(bus, chosen, data)
        addon.wait_started()
        check("shown this once" not in addon.log(), "the key was shown again")
        addon.stop()

        for bad, says in ((options(silent_after="soon"), "option silent_after: 'soon' is no duration"),
                          (options(port=lan, lan_port=lan), "option lan_port: %d is port's already" % lan),
                          (options(key="short"), "option key: it has 5 characters")):
            addon = Addon(bus, bad, data)
            code = podman("wait", addon.name, timeout=30).strip()
            log = addon.log().strip().splitlines()
            check(code == "2" and len(log) == 1 and log[0].startswith(says), "%r: exit %s, %r" % (bad, code, log))
            addon.remove()
        addon = None


# The Supervisor's documented add-on configuration: each key config.yaml may hold, with the YAML
# type it takes, and the types an option's schema may name (a trailing ? makes one optional).
CONFIG_KEYS = {
    "name": str, "version": str, "slug": str, "description": str, "arch": list, "machine": list, "url": str,
    "startup": str, "boot": str, "ports": dict, "ports_description": dict, "host_network": bool, "host_ipc": bool,
    "host_dbus": bool, "host_pid": bool, "host_uts": bool, "devices": list, "homeassistant": str,
    "hassio_role": str, "hassio_api": bool, "homeassistant_api": bool, "docker_api": bool, "privileged": list,
    "full_access": bool, "apparmor": bool, "map": list, "environment": dict, "audio": bool, "video": bool,
    "gpio": bool, "usb": bool, "uart": bool, "udev": bool, "devicetree": bool, "kernel_modules": bool,
    "stdin": bool, "legacy": bool, "options": dict, "schema": dict, "image": str, "codenotary": str,
    "timeout": int, "tmpfs": bool, "discovery": list, "services": list, "auth_api": bool, "ingress": bool,
    "ingress_port": int, "ingress_entry": str, "ingress_stream": bool, "panel_icon": str, "panel_title": str,
    "panel_admin": bool, "backup": str, "backup_pre": str, "backup_post": str, "backup_exclude": list,
    "advanced": bool, "stage": str, "init": bool, "watchdog": str, "realtime": bool, "journald": bool,
    "breaking_versions": list, "ulimits": dict, "webui": str, "tmpfs_size": str,
}
SCHEMA_TYPES = ("str", "bool", "int", "float", "email", "url", "password", "port", "match(", "list(",
                "device", "device(")


def case_addon_configuration_is_the_supervisors(display):
    """config.yaml: only keys and schema types the Supervisor knows, every option with a schema
    and a translation, the version the project's, both 64-bit architectures."""
    import yaml  # Debian's python3-yaml; only this case reads YAML
    with open(os.path.join(ADDON, "config.yaml")) as f:
        config = yaml.safe_load(f)
    with open(os.path.join(ADDON, "translations", "en.yaml")) as f:
        translations = yaml.safe_load(f)
    with open(os.path.join(ADDON, "build.yaml")) as f:
        build = yaml.safe_load(f)
    for key, value in config.items():
        check(key in CONFIG_KEYS, "config.yaml: %s is no key of the Supervisor's" % key)
        check(isinstance(value, CONFIG_KEYS[key]), "config.yaml: %s is not a %s" % (key, CONFIG_KEYS[key].__name__))
    for option, kind in config["schema"].items():
        check(kind.rstrip("?").startswith(SCHEMA_TYPES), "schema %s: %s is no type of the Supervisor's" % (option, kind))
        check(option in translations["configuration"], "no translation names %s" % option)
        check(option in config["options"] or kind.endswith("?"), "%s has neither a default nor a ?" % option)
    with open(os.path.join(ADDON, "..", "..", "CMakeLists.txt")) as f:
        version = f.read().split("project(tessel_server VERSION ", 1)[1].split()[0]
    check(config["version"] == version, "config.yaml's version %s, the project's %s" % (config["version"], version))
    check(sorted(config["arch"]) == ["aarch64", "amd64"] and sorted(build["build_from"]) == ["aarch64", "amd64"],
          "the architectures")
    check(config["slug"] == "tessel_serverd" and config["watchdog"].endswith("/livez") and config["uart"]
          and config["udev"] and config["init"] is False and config["ingress"], "the add-on's own settings")
    for name in ("DOCS.md", "CHANGELOG.md", "icon.png", "logo.png", "Dockerfile", "run.sh"):
        check(os.path.isfile(os.path.join(ADDON, name)), "no %s beside config.yaml" % name)


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}
