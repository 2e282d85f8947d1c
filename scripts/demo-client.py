#!/usr/bin/env python3
"""A small TCP client for the demo: asks the simulated modules who they are and switches a relay
now and then, printing every frame the bridge forwards.   demo-client.py [PORT]"""
import socket
import sys
import time


def frame(prio, address, data, rtr=False):
    body = bytes([0x0F, prio, address, (0x40 if rtr else 0) | len(data)]) + bytes(data)
    return body + bytes([(-sum(body)) & 0xFF, 0x04])


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 8080
    for _ in range(50):
        try:
            sock = socket.create_connection(("127.0.0.1", port), timeout=1)
            break
        except OSError:
            time.sleep(0.2)
    else:
        sys.exit("demo-client: the bridge does not answer on port %d" % port)
    sock.settimeout(0.2)
    requests = [frame(0xFB, a, [], rtr=True) for a in (0x10, 0x20, 0x30, 0x40)]
    requests += [frame(0xFB, 0x10, [0xEF, 0x01]), frame(0xF8, 0x10, [0x02, 0x01]),
                 frame(0xFB, 0x40, [0xE5, 0x00]), frame(0xF8, 0x10, [0x01, 0x01]),
                 frame(0xF8, 0x20, [0x07, 0x01, 0x32, 0x00, 0x00])]
    step = 0
    next_request = time.monotonic()
    while True:
        if time.monotonic() >= next_request:
            sock.sendall(requests[step % len(requests)])
            step += 1
            next_request = time.monotonic() + 1.5
        try:
            data = sock.recv(4096)
        except socket.timeout:
            continue
        if not data:
            return
        print("from the bus:", data.hex(" ").upper(), flush=True)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
