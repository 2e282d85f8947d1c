"""End-to-end case of the serial line's settings: the built service at --baud 38400 is answered
by a simulated RS232 interface at that rate, and at 9600 it is not, as a real one would not.
The cases take their programs from ARGS, which run_e2e.py sets."""
import os
import subprocess
import tempfile
import time

from harness import Client, Service, check, frame, free_port, split_frames, wait_for

ARGS = None


def case_service_baud_for_the_rs232_interface(display):
    """--baud 38400: the interface at 38400 answers, and the start line says the rate and the
    lines it wants; without --baud the same interface hears nothing it understands."""
    work = tempfile.mkdtemp(prefix="tessel-baud-")
    log = os.path.join(work, "sim.log")
    sim = subprocess.Popen([ARGS.simulator, "--quiet", "--baud", "38400", "--log", log],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    device = sim.stdout.readline().strip()
    run = client = None
    try:
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
    finally:
        if client is not None:
            client.close()
        if run is not None:
            run.stop()
        sim.terminate()
        sim.wait(5)
        subprocess.run(["rm", "-rf", work])


CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_")}
