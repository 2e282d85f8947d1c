"""A client's scan of the house as real clients make it: a module-type request to 0x01..0xFE
60 ms apart, then for each module found its channel names, its name from memory (single bytes
and blocks of four) and its status, each within the time-outs those clients allow."""
import os
import re
import threading
import time

from harness import frame, split_frames

# The types' forms: channels, how a request names a channel, and where the module name lives.
TYPES = {
    0x10: (5, "bit", [(0x00E3, 0x00EF), (0x01E3, 0x01EF), (0x02E3, 0x02EF), (0x03E3, 0x03EF), (0x04E3, 0x04EE)]),
    0x11: (5, "bit", [(0x00E3, 0x00EF), (0x01E3, 0x01EF), (0x02E3, 0x02EF), (0x03E3, 0x03EF), (0x04E3, 0x04EE)]),
    0x15: (1, "number", [(0x00B0, 0x00EF)]),
    0x0C: (1, "number", []),
    0x0B: (8, "bit", []),
    0x1E: (9, "number", [(0x03C0, 0x03FF)]),
    0x22: (8, "bit", [(0x03AC, 0x03EB)]),
    0x1D: (2, "bit", [(0x004C, 0x008B)]),
}
TYPE_NAMES = {"VMB4RYLD": 0x10, "VMB4RYNO": 0x11, "VMBDMI": 0x15, "VMB1TS": 0x0C, "VMB4PD": 0x0B, "VMBGP1": 0x1E,
              "VMB7IN": 0x22, "VMB2BLE": 0x1D}


TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "modules", "module-memory.tsv")


def memory_table(path=TABLE):
    """The module types' table: {name: {"channels": {clients' channel: [(first, last)]},
    "name": [(first, last)], "map": {bus channel: clients' channel}}}."""
    def ranges(text):
        return [] if text == "-" else [tuple(int(x, 16) for x in r.split("-")) for r in text.split(";")]
    types = {}
    for line in open(path):
        if line.startswith("#") or not line.strip():
            continue
        code, name, naming, mapping, channels, module = line.rstrip("\n").split("\t")
        types[name] = {
            "code": int(code, 16), "naming": naming,
            "map": {} if mapping == "-" else {int(a): int(b) for a, b in (m.split("->") for m in mapping.split(","))},
            "channels": {} if channels == "-" else {int(c.split("=")[0]): ranges(c.split("=")[1])
                                                    for c in channels.split(",")},
            "name": ranges(module)}
    return types


def read_house(path):
    """The house file's modules: {address: {type, serial, name, channels: {n: name}, subs}}."""
    house, current = {}, None
    for line in open(path):
        line = line.split("#", 1)[0].strip()
        m = re.match(r'module (\w+) (\w+) (\w+) "([^"]*)"(?: sub (.*))?$', line)
        if m:
            current = {"type": TYPE_NAMES[m.group(2)], "serial": int(m.group(3), 16), "name": m.group(4),
                       "channels": {}, "subs": [int(s, 16) for s in (m.group(5) or "").split()]}
            house[int(m.group(1), 16)] = current
            continue
        m = re.match(r'channel (\d+) "([^"]*)"', line)
        if m:
            current["channels"][int(m.group(1))] = m.group(2)
    return house


class Scanner:
    """A client of the bridge that scans the bus; every frame it gets is kept with its time."""

    def __init__(self, client):
        self.client = client
        self.frames = []  # (time, frame)
        self._stream = bytearray()
        self._stop = threading.Event()
        self._reads = []
        self._thread = threading.Thread(target=client.collect, args=(self._stop,), kwargs={"stamps": self._reads},
                                        daemon=True)
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._thread.join(2)

    def _update(self):
        while self._reads:
            t, data = self._reads.pop(0)
            self._stream += data
            found, _ = split_frames(bytes(self._stream))
            consumed = sum(len(f) for f in found)
            # Whole frames only; a frame cut by the read waits for its rest.
            if found and bytes(self._stream).startswith(b"".join(found)):
                del self._stream[:consumed]
                self.frames.extend((t, f) for f in found)

    def answers(self, address, command, since):
        self._update()
        return [(t, f) for t, f in self.frames if t >= since and f[2] == address and f[3] & 0x40 == 0 and
                f[3] & 0x0F and f[4] == command]

    def wait(self, address, command, count, since, timeout):
        until = time.monotonic() + timeout
        while time.monotonic() < until:
            got = self.answers(address, command, since)
            if len(got) >= count:
                return got
            time.sleep(0.01)
        return self.answers(address, command, since)

    def send(self, data_frame, gap=0.06):
        self.client.send(data_frame)
        time.sleep(gap)

    def scan(self, newest=False):
        """Returns {address: what was learned} and the time-outs missed, as texts. `newest`: as the
        newest client scans, every channel's name at once (EF FF) whatever the type's naming, and
        the name's memory in blocks only."""
        started = time.monotonic()
        for address in range(0x01, 0xFF):
            self.send(frame(0xFB, address, [], rtr=True))
        time.sleep(3)
        missed, found = [], {}
        self._update()
        for t, f in self.frames:
            if t >= started and f[3] & 0x40 == 0 and f[3] & 0x0F >= 7 and f[4] == 0xFF:
                data = f[4:-2]
                code = data[1]
                if code == 0x0C:
                    found[f[2]] = {"type": code, "serial": data[3] << 8 | data[4], "build": (data[6], data[7])}
                else:
                    found[f[2]] = {"type": code, "serial": data[2] << 8 | data[3], "build": (data[5], data[6])}
            if t >= started and f[4] == 0xB0 and f[2] in found:
                found[f[2]]["subs"] = [s for s in f[8:12] if s != 0xFF]
        for address in sorted(found):
            module = found[address]
            channels, form, ranges = TYPES[module["type"]]
            begun = time.monotonic()
            answers = 0
            # Channel names: three parts per channel, one channel a reply.
            names = {}
            requests = [0xFF] if newest else [(1 << channels) - 1] if form == "bit" else list(range(1, channels + 1))
            since = time.monotonic()
            for r in requests:
                self.send(frame(0xFB, address, [0xEF, r]))
            named = channels if form == "bit" else channels
            parts = self.wait(address, 0xF2, named, since, 1 + 0.15 * 3 * channels)
            answers += 3 * channels
            for command, at in ((0xF0, 0), (0xF1, 6), (0xF2, 12)):
                for _, f in self.answers(address, command, since):
                    ch = f[5] if form == "number" else f[5].bit_length()
                    text = names.setdefault(ch, bytearray(b"\xff" * 16))
                    text[at:at + len(f) - 8] = f[6:-2]
            module["channels"] = {ch: bytes(t).split(b"\xff")[0].decode("latin-1") for ch, t in names.items()}
            if len(parts) < channels:
                missed.append("$%02X: %d of %d channel names" % (address, len(parts), channels))
            # The module name: in blocks of four, then the first range again byte by byte.
            if ranges:
                image = {}
                since = time.monotonic()
                blocks = [a for first, last in ranges for a in range(first, last + 1, 4)]
                for a in blocks:
                    self.send(frame(0xFB, address, [0xC9, a >> 8, a & 0xFF]))
                got = self.wait(address, 0xCC, len(blocks), since, 1 + 0.15 * len(blocks))
                answers += len(blocks)
                for _, f in got:
                    start = f[5] << 8 | f[6]
                    for i, b in enumerate(f[7:11]):
                        image[start + i] = b
                text = bytearray(image.get(a, 0xFF) for first, last in ranges for a in range(first, last + 1))
                module["name"] = bytes(text).split(b"\xff")[0].decode("latin-1")
                if len(got) < len(blocks):
                    missed.append("$%02X: %d of %d memory blocks" % (address, len(got), len(blocks)))
            if ranges and not newest:
                # Single bytes for the name's start: enough to see both forms agree.
                first, last = ranges[0][0], min(ranges[0][1], ranges[0][0] + 15)
                since = time.monotonic()
                for a in range(first, last + 1):
                    self.send(frame(0xFB, address, [0xFD, a >> 8, a & 0xFF]))
                single = self.wait(address, 0xFE, last - first + 1, since, 1 + 0.15 * (last - first + 1))
                answers += last - first + 1
                bytes_read = bytes(f[7] for _, f in sorted(single, key=lambda x: x[1][5] << 8 | x[1][6]))
                module["name by bytes"] = bytes_read.split(b"\xff")[0].decode("latin-1")
            # The status.
            since = time.monotonic()
            self.send(frame(0xFB, address, [0xFA, 0xFF]))
            time.sleep(0.3)
            self._update()
            module["status"] = [f for t, f in self.frames if t >= since and f[2] == address and f[4] in
                                (0xFB, 0xB8, 0xEA, 0xE6, 0xED, 0xEC)]
            answers += len(module["status"])
            took = time.monotonic() - begun
            if took > 1 + 0.15 * answers:
                missed.append("$%02X loaded in %.1f s" % (address, took))
        return found, missed
