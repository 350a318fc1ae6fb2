#!/usr/bin/env python3
"""KavoDown on the real Linux drivers: the cases that scripts/vm-test runs in one guest.

Each case plugs QEMU's USB devices into the guest, runs the build tree's kavodown there as a user
would, and checks what that user would see: exit codes, the last line, the files the terminal
simulator received on the host, what udev and sysfs show. Cases run one after another in one
guest and leave no device plugged in.

usage: cases.py [--build DIR] [CASE...]   (no CASE: all of them)
"""
import argparse
import os
import random
import re
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vmrig  # noqa: E402
from vmrig import Adapter, RigError  # noqa: E402

CASES = []


def case(function):
    CASES.append(function)
    return function


def check(condition, message):
    if not condition:
        raise AssertionError(message)


class Context:
    def __init__(self, machine, build, work):
        self.machine, self.build, self.work = machine, build, work
        self.bin = os.path.join(build, "bin")
        self.kavodown = os.path.join(self.bin, "kavodown")
        self.adapters = []
        self.spawned = []

    def adapter(self, name, port, serial):
        adapter = Adapter(self.machine, self.bin, self.work, name, port, serial)
        self.adapters.append(adapter)
        return adapter

    def firmware(self, name, size, seed):
        """A random image on the host and the same bytes at /tmp/fw/NAME in the guest."""
        data = random.Random(seed).randbytes(size)
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        self.machine.put("/tmp/fw/" + name, data)
        return path, "/tmp/fw/" + name

    def spawn(self, sh):
        spawned = self.machine.spawn(sh)
        self.spawned.append(spawned)
        return spawned

    def cleanup(self):
        for spawned in self.spawned:
            self.machine.signal(spawned, 9)
        self.spawned = []
        for adapter in self.adapters:
            try:
                adapter.unplug()
            except RigError as error:
                vmrig.log("cleanup: %s" % error)
        self.adapters = []


# The environment of every kavodown run in the guest: settings of its own, the machine's lock
# folder (/run/lock, as a user's run has it).
ENV = "KAVODOWN_CONFIG_DIR=/tmp/cfg"


def last_line(text):
    lines = [line for line in text.splitlines() if line.strip()]
    return lines[-1] if lines else ""


def wait_node(m, node, timeout=60):
    m.wait_for("[ -c %s ]" % node, timeout, node + " to appear")


def by_path_link(m, port):
    """The adapter's /dev/serial/by-path link (udev makes it), waited for."""
    pattern = "/dev/serial/by-path/*-usb-0:%d:1.0-port0" % port
    m.wait_for("[ -e %s ]" % pattern, 60, "udev's by-path link of port %d" % port)
    return m.sh("ls %s" % pattern).strip()


def latency_timer(m, tty="ttyUSB0"):
    return int(m.sh("cat /sys/bus/usb-serial/devices/%s/latency_timer" % tty).strip())


def same_file(host_path, expected_path):
    return open(host_path, "rb").read() == open(expected_path, "rb").read()


def wait_progress(m, spawned, at_least, timeout=240):
    """Waits until a --progress json run has reported `at_least` bytes sent."""
    m.wait_for("grep -q '\"sent\":' %s && [ $(grep -o '\"sent\":[0-9]*' %s | tail -n 1 | cut -d: -f2)"
               " -ge %d ]" % (spawned["out"], spawned["out"], at_least), timeout,
               "%d bytes sent" % at_least)


# ---------------------------------------------------------------------------------------------


@case
def delivery(ctx):
    """--batch --device /dev/ttyUSB0 and by its by-path link, to a terminal at 115200 baud."""
    m = ctx.machine
    adapter = ctx.adapter("deliver", 1, "KVD0001")
    adapter.plug()
    wait_node(m, "/dev/ttyUSB0")
    link = by_path_link(m, 1)
    before = latency_timer(m)
    host_fw, guest_fw = ctx.firmware("KV100.bin", 60000, 1)

    out = os.path.join(ctx.work, "delivered-node.bin")
    terminal = adapter.start_terminal(out, 60000)
    run = ctx.spawn("%s %s --batch --progress json --device /dev/ttyUSB0 %s"
                    % (ENV, ctx.kavodown, guest_fw))
    wait_progress(m, run, 10240)
    during = latency_timer(m)
    result = m.wait(run, 300)
    check(result.rc == 0, "the run by /dev/ttyUSB0 ended with %r" % result)
    check(terminal.wait(60) == 0, "the terminal: " + terminal.output())
    check(same_file(out, host_fw), "the terminal received other bytes than the file")
    check(during == 1, "latency timer during the run: %d ms, not the low latency's 1 ms" % during)
    after = latency_timer(m)
    check(after == before, "latency timer after the run: %d ms, before it: %d ms" % (after, before))

    out = os.path.join(ctx.work, "delivered-link.bin")
    terminal = adapter.start_terminal(out, 60000)
    result = m.run("%s %s --batch --device %s %s" % (ENV, ctx.kavodown, link, guest_fw), 300)
    check(result.rc == 0, "the run by %s ended with %r" % (link, result))
    check(terminal.wait(60) == 0, "the terminal: " + terminal.output())
    check(same_file(out, host_fw), "the terminal received other bytes than the file (by-path)")
    adapter.unplug()


@case
def unplug_mid_transfer(ctx):
    """The adapter pulled during a transfer: 8 with the device-lost line at once, no lock left;
    plugged in again, the next run works."""
    m = ctx.machine
    adapter = ctx.adapter("unplug", 2, "KVU0002")
    adapter.plug()
    wait_node(m, "/dev/ttyUSB0")
    host_fw, guest_fw = ctx.firmware("KV200.bin", 300000, 2)
    adapter.start_terminal(os.path.join(ctx.work, "cut.bin"), 300000)
    monitor = ctx.spawn("exec udevadm monitor --kernel --subsystem-match=tty")
    run = ctx.spawn("%s %s --batch --progress json --device /dev/ttyUSB0 %s"
                    % (ENV, ctx.kavodown, guest_fw))
    wait_progress(m, run, 20480)
    adapter.unplug()
    result = m.wait(run, 60)
    check(not result.timed_out, "the run still runs 60 s after the unplug: %r" % result)
    check(result.rc == 8, "the run ended with %r, not 8" % result)
    check(last_line(result.err).startswith("kavodown: device lost:"),
          "the last line is not the device-lost line: %r" % result.err)
    # When the kernel saw the adapter go (udev's monitor stamps the event on the same clock as
    # the agent's end of the run).
    events = m.read(monitor["out"])
    removed = re.search(r"KERNEL\[(\d+\.\d+)\] remove\s+\S+/ttyUSB0 \(tty\)", events)
    check(removed, "udev's monitor did not see ttyUSB0 go:\n" + events)
    delay = result.ended - float(removed.group(1))
    vmrig.log("unplug: the run ended %.2f s after the kernel removed ttyUSB0" % delay)
    check(delay < 2.0, "the run ended %.2f s after the unplug" % delay)
    check(m.run("[ ! -e /run/lock/LCK..ttyUSB0 ]").rc == 0, "a lock file was left in /run/lock")

    adapter.plug()
    wait_node(m, "/dev/ttyUSB0")
    host_fw, guest_fw = ctx.firmware("KV201.bin", 20000, 3)
    out = os.path.join(ctx.work, "replugged.bin")
    terminal = adapter.start_terminal(out, 20000)
    result = m.run("%s %s --batch --device /dev/ttyUSB0 %s" % (ENV, ctx.kavodown, guest_fw), 300)
    check(result.rc == 0, "the run after the replug ended with %r" % result)
    check(terminal.wait(60) == 0 and same_file(out, host_fw), "the replugged terminal's file differs")
    adapter.unplug()


@case
def list_ports(ctx):
    """--list-ports shows the adapter with its by-id name, vendor and product ids and latency."""
    m = ctx.machine
    adapter = ctx.adapter("list", 3, "KVL0003")
    adapter.plug()
    wait_node(m, "/dev/ttyUSB0")
    m.wait_for("ls /dev/serial/by-id/*KVL0003* >/dev/null 2>&1", 60, "udev's by-id link")
    by_id = os.path.basename(m.sh("ls /dev/serial/by-id/*KVL0003*").strip())
    timer = latency_timer(m)
    result = m.run("%s %s --list-ports" % (ENV, ctx.kavodown))
    check(result.rc == 0, "--list-ports: %r" % result)
    lines = [line for line in result.out.splitlines() if "/dev/ttyUSB0" in line]
    check(len(lines) == 1, "no single line for /dev/ttyUSB0:\n" + result.out)
    line = lines[0]
    vmrig.log("list-ports: " + line)
    check(line.startswith("COM11"), "ttyUSB0 is not COM11: " + line)
    check(by_id in line, "the by-id name %s is missing: %s" % (by_id, line))
    check(re.search(r"\b0403\b.*\b6001\b", line), "vendor and product ids 0403/6001 missing: " + line)
    check("latency timer %d ms" % timer in line, "the latency timer (%d ms) is missing: %s"
          % (timer, line))
    adapter.unplug()


@case
def busy_and_permission(ctx):
    """Another process holds the adapter (with and without its own lock file): 5 naming it.
    A user outside dialout: 6 with the hint."""
    m = ctx.machine
    adapter = ctx.adapter("busy", 4, "KVB0004")
    adapter.plug()
    wait_node(m, "/dev/ttyUSB0")
    host_fw, guest_fw = ctx.firmware("KV300.bin", 1000, 4)
    holder = ctx.spawn("exec 3<>/dev/ttyUSB0; exec sleep 600")
    m.wait_for("[ -e /proc/%d/fd/3 ] && [ \"$(cat /proc/%d/comm)\" = sleep ]"
               % (holder["pid"], holder["pid"]), 30, "the holder to open the port")
    for lock in (False, True):
        if lock:
            m.sh("printf '%%10d\\n' %d > /run/lock/LCK..ttyUSB0" % holder["pid"])
        result = m.run("%s %s --batch --device /dev/ttyUSB0 %s" % (ENV, ctx.kavodown, guest_fw))
        what = "with its lock file" if lock else "without a lock file"
        check(result.rc == 5, "a holder %s: %r" % (what, result))
        line = last_line(result.err)
        check(line.startswith("kavodown: port busy:") and "pid %d (sleep)" % holder["pid"] in line,
              "a holder %s is not named: %s" % (what, line))
    m.signal(holder, 9)
    m.sh("rm -f /run/lock/LCK..ttyUSB0")

    m.sh("id kavo >/dev/null 2>&1 || useradd -M -N -s /bin/sh kavo")
    check("dialout" not in m.sh("id -nG kavo"), "the guest's user kavo is in dialout")
    result = m.run("runuser -u kavo -- env KAVODOWN_CONFIG_DIR=/tmp/cfg-kavo %s --batch --device "
                   "/dev/ttyUSB0 %s" % (ctx.kavodown, guest_fw))
    check(result.rc == 6, "a user outside dialout: %r" % result)
    line = last_line(result.err)
    check(line.startswith("kavodown: permission denied:") and "dialout" in line,
          "no hint at dialout: " + line)
    adapter.unplug()


# ---------------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.environ.get("KAVO_BUILD_DIR",
                                                          os.path.join(vmrig.ROOT, "build")))
    parser.add_argument("cases", nargs="*")
    args = parser.parse_args()
    chosen = [c for c in CASES if not args.cases or c.__name__ in args.cases]
    unknown = set(args.cases) - {c.__name__ for c in CASES}
    if unknown:
        parser.error("no case %s (cases: %s)" % (", ".join(sorted(unknown)),
                                                  " ".join(c.__name__ for c in CASES)))
    vmrig.install_signal_handlers()
    started = time.monotonic()
    failed = []
    work = tempfile.mkdtemp(prefix="kavo-vm-cases.")
    try:
        with vmrig.Machine(os.path.join(args.build, "vm")) as machine:
            print("guest start: %.1f s" % machine.start_seconds, flush=True)
            ctx = Context(machine, args.build, work)
            for function in chosen:
                begun = time.monotonic()
                try:
                    function(ctx)
                    verdict = "ok"
                except (AssertionError, RigError) as error:
                    verdict = "FAILED"
                    failed.append(function.__name__)
                    print("  %s: %s" % (type(error).__name__, error), flush=True)
                finally:
                    ctx.cleanup()
                print("%-24s %-6s %6.1f s" % (function.__name__, verdict,
                                              time.monotonic() - begun), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("vm cases: %d of %d passed, %.1f s in all"
          % (len(chosen) - len(failed), len(chosen), time.monotonic() - started), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
