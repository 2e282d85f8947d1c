"""End-to-end case of the service's container image (ARGS.image), run with Debian's podman as
README's "In a container" says: host networking, a simulated bus's pseudo-terminal as the
device (group dialout, mode 0660, as udev leaves a real interface), the state directory a
volume. A client gets the bus frames and its own reach the bus paced; podman's health check
passes, with the interface and without it; SIGTERM ends it within 2 s; after a restart the
module table is read from the volume."""
import grp
import os
import resource
import subprocess
import time

from harness import Bus, Client, Teardown, check, frame, frame_times, free_port, split_frames, wait_for
from module_cases import modules_json

ARGS = None
# On these machines podman needs runc (crun refuses their cgroup layout) and explicit limits,
# since its defaults are above what a process here may have: this process's number of files,
# and 4096 processes, as scripts/image gives them.
PODMAN = ["podman", "--runtime", "runc"]
LIMITS = ["--ulimit", "nofile=%d:%d" % resource.getrlimit(resource.RLIMIT_NOFILE), "--ulimit", "nproc=4096:4096"]


def podman(*args, timeout=60):
    """podman's standard output; a failure ends the case with what it said."""
    done = subprocess.run(PODMAN + list(args), capture_output=True, text=True, timeout=timeout)
    check(done.returncode == 0, "podman %s: %s" % (" ".join(args[:2]), done.stderr.strip()))
    return done.stdout


def case_image_runs_the_service(display):
    bus = Bus()
    os.chown(bus.path, -1, grp.getgrnam("dialout").gr_gid)
    os.chmod(bus.path, 0o660)
    name, volume = "tessel-e2e-%d" % os.getpid(), "tessel-e2e-state-%d" % os.getpid()
    port, web = free_port(), free_port()
    client = None

    def start():
        podman("run", "-d", "--name", name, "--network", "host", *LIMITS, "-v", bus.path + ":/dev/velbus",
               "-v", volume + ":/var/lib/tessel-serverd", "-e", "TESSEL_WEB_PORT=%d" % web, ARGS.image,
               "--device", "/dev/velbus", "--listen", "127.0.0.1:%d" % port, "--web", "127.0.0.1:%d" % web,
               "--state-dir", "/var/lib/tessel-serverd")
        wait_for(lambda: " listening on " in podman("logs", name), 30, "the service to start in its container")

    def stop_within_two_seconds():
        started = time.monotonic()
        podman("kill", "--signal", "TERM", name)
        code = podman("wait", name, timeout=10).strip()
        elapsed = time.monotonic() - started
        check(code == "0" and elapsed <= 2.0, "SIGTERM: exit %s after %.2f s" % (code, elapsed))
        check(podman("logs", name).rstrip("\n").endswith("stopped"), "no last 'stopped' line")
        podman("rm", name)

    with Teardown() as down:
        down.add(bus)
        down.callback(subprocess.run, PODMAN + ["volume", "rm", "-f", volume], capture_output=True, timeout=60)
        down.callback(subprocess.run, PODMAN + ["rm", "-f", "-t", "0", name], capture_output=True, timeout=60)
        down.later(lambda: client)
        podman("volume", "create", volume)
        start()
        client = Client(port)
        wait_for(lambda: " connected" in podman("logs", name), 5, "the client's line")
        # A module's type answer: the table learns the module, the client gets the frames whole.
        from_bus = [frame(0xFB, 0x10, [0xFF, 0x11, 0x12, 0x34, 0x01, 0x14, 0x20])] + \
            [frame(0xFB, 0x20 + i, [0xE6, 0x2B, i, 0, 0, 0, 0]) for i in range(10)]
        stream = b"".join(from_bus)
        bus.write(stream, line_rate=True)
        check(client.read_until(len(stream)) == stream, "the client did not get the bus frames whole")
        to_bus = [frame(0xF8, 0x30 + i, [0x02, 0x01]) for i in range(4)]
        client.send(b"".join(to_bus))
        wait_for(lambda: len(bus.stream()) >= sum(map(len, to_bus)), 10, "the client's frames on the bus")
        time.sleep(0.2)
        check(split_frames(bus.stream()) == (to_bus, 0), "the bus got %r" % bus.stream().hex())
        times = frame_times(bus.received, to_bus)
        gaps = [b - a for a, b in zip(times, times[1:])]
        check(min(gaps) >= 0.025 and times[-1] - times[0] >= 0.045 * 3, "not paced: gaps %s" % gaps)
        health = subprocess.run(PODMAN + ["healthcheck", "run", name], capture_output=True, text=True, timeout=30)
        check(health.returncode == 0, "the health check failed: %r" % (health.stdout + health.stderr))
        client.close()
        client = None
        stop_within_two_seconds()

        mountpoint = podman("volume", "inspect", "--format", "{{.Mountpoint}}", volume).strip()
        check(os.path.isfile(os.path.join(mountpoint, "modules.state")), "no module table in the volume")
        start()
        wait_for(lambda: 0x10 in modules_json(web), 5, "the module from the volume's table")
        # The interface pulled out: the service looks for it again by itself, and the health
        # check, which a restart would follow, still passes.
        bus.close()
        wait_for(lambda: "/dev/velbus lost" in podman("logs", name), 5, "the lost interface's line")
        health = subprocess.run(PODMAN + ["healthcheck", "run", name], capture_output=True, text=True, timeout=30)
        check(health.returncode == 0, "the health check failed without the interface: %r" % (health.stdout + health.stderr))
        stop_within_two_seconds()


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}
