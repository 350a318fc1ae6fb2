"""The virtual-machine rig: Debian's own kernel under QEMU, with the real USB serial and USB
storage drivers, udev, and the build tree's programs.

What it prepares (cached in the build folder's vm/, made again only when missing or older than
the script that makes it):
  kernel/      Debian's linux-image package, fetched with `apt-get download`, unpacked and
               indexed with depmod; `vmlinux` is its image uncompressed (it boots faster).
  initramfs.cpio  busybox and the few modules needed to reach the host's root (virtio, 9p,
               overlay); its /init is initramfs_init.sh.

The guest mounts the host's root read-only over 9p under an overlay that keeps its writes in
memory, so it runs the host's programs at their host paths; its start is guest_init.sh, and the
agent (agent.py) takes commands on a virtio serial port. Devices are plugged in and out through
QEMU's machine protocol (QMP).

QEMU always ends with the rig: `Machine` is a context manager, its process gets SIGKILL when
the rig's process dies (PR_SET_PDEATHSIG), and `install_signal_handlers` turns SIGTERM, SIGINT
and SIGHUP into an orderly exit that runs the cleanups.
"""
import base64
import ctypes
import json
import lzma
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

# What the initramfs loads to reach the host's root; their dependencies come along.
INITRAMFS_MODULES = ["virtio_pci", "9pnet_virtio", "9p", "overlay"]


class RigError(Exception):
    pass


def log(text):
    print("vm: " + text, flush=True)


def _die_with_parent():
    """In a child before exec: SIGKILL when the process that started it dies."""
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_PDEATHSIG = 1
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def start_child(argv, **kwargs):
    """A host helper process that dies with the rig, whatever ends the rig."""
    return subprocess.Popen(argv, preexec_fn=_die_with_parent, **kwargs)


def install_signal_handlers():
    """SIGTERM, SIGINT and SIGHUP end the rig through its cleanups (context managers, finally)."""
    def stop(number, _frame):
        raise SystemExit(128 + number)
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, stop)


# ---------------------------------------------------------------------------------------------
# Preparation


def _run(argv, **kwargs):
    result = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise RigError("%s failed (%d): %s" % (" ".join(argv), result.returncode,
                                               result.stderr.strip()[-2000:]))
    return result.stdout


def _kernel_package():
    """The versioned image package that linux-image-amd64 stands for."""
    for line in _run(["apt-cache", "depends", "linux-image-amd64"]).splitlines():
        line = line.strip()
        if line.startswith("Depends: linux-image-"):
            return line.split()[1]
    raise RigError("apt-cache does not know linux-image-amd64's image package "
                   "(run apt-get update with Debian's archive configured)")


def _uncompressed(vmlinuz):
    """The ELF image inside a bzImage whose payload is XZ (Debian's)."""
    data = open(vmlinuz, "rb").read()
    at = data.find(b"\xfd7zXZ\x00")
    if at < 0:
        return None
    image = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[at:])
    return image if image.startswith(b"\x7fELF") else None


def prepare_kernel(cache):
    kernel = os.path.join(cache, "kernel")
    if os.path.exists(os.path.join(kernel, "version")):
        return kernel
    package = _kernel_package()
    log("fetching " + package)
    work = tempfile.mkdtemp(prefix="kernel.", dir=cache)
    try:
        _run(["apt-get", "download", package], cwd=work)
        deb = [name for name in os.listdir(work) if name.endswith(".deb")][0]
        tree = os.path.join(work, "tree")
        _run(["dpkg-deb", "-x", os.path.join(work, deb), tree])
        version = os.listdir(os.path.join(tree, "lib", "modules"))[0]
        _run(["depmod", "-b", tree, version])
        vmlinuz = os.path.join(tree, "boot", "vmlinuz-" + version)
        image = _uncompressed(vmlinuz)
        if image is not None:
            with open(os.path.join(tree, "vmlinux"), "wb") as f:
                f.write(image)
        else:
            shutil.copy(vmlinuz, os.path.join(tree, "vmlinux"))
        with open(os.path.join(tree, "version"), "w") as f:
            f.write(version + "\n")
        shutil.rmtree(kernel, ignore_errors=True)
        os.rename(tree, kernel)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return kernel


def kernel_version(kernel):
    return open(os.path.join(kernel, "version")).read().strip()


def _module_closure(modules_dir, names):
    """The modules' files (relative to modules_dir) in an order that loads: dependencies first."""
    deps = {}
    by_name = {}
    for line in open(os.path.join(modules_dir, "modules.dep")):
        path, _, rest = line.partition(":")
        deps[path] = rest.split()
        by_name[os.path.basename(path).split(".ko")[0].replace("-", "_")] = path
    order = []

    def visit(path):
        if path in order:
            return
        for dep in deps[path]:
            visit(dep)
        order.append(path)
    for name in names:
        if name in by_name:  # a module built into this kernel needs nothing
            visit(by_name[name])
    return order


def prepare_initramfs(cache, kernel):
    initramfs = os.path.join(cache, "initramfs.cpio")
    init = os.path.join(HERE, "initramfs_init.sh")
    if os.path.exists(initramfs) and os.path.getmtime(initramfs) > max(
            os.path.getmtime(init), os.path.getmtime(__file__)):
        return initramfs
    busybox = shutil.which("busybox")
    if not busybox:
        raise RigError("busybox is missing (scripts/install-deps installs busybox-static)")
    modules_dir = os.path.join(kernel, "lib", "modules", kernel_version(kernel))
    work = tempfile.mkdtemp(prefix="initramfs.", dir=cache)
    try:
        for folder in ("bin", "modules", "proc", "sys", "dev"):
            os.makedirs(os.path.join(work, folder))
        shutil.copy(busybox, os.path.join(work, "bin", "busybox"))
        shutil.copy(init, os.path.join(work, "init"))
        os.chmod(os.path.join(work, "init"), 0o755)
        names = []
        for path in _module_closure(modules_dir, INITRAMFS_MODULES):
            names.append(os.path.basename(path))
            shutil.copy(os.path.join(modules_dir, path), os.path.join(work, "modules"))
        with open(os.path.join(work, "modules", "order"), "w") as f:
            f.write("\n".join(names) + "\n")
        files = _run(["find", ".", "-mindepth", "1"], cwd=work)
        with open(initramfs + ".new", "wb") as out:
            subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], input=files.encode(),
                           cwd=work, stdout=out, check=True)
        os.rename(initramfs + ".new", initramfs)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return initramfs


# ---------------------------------------------------------------------------------------------
# A line-oriented JSON channel over a unix socket (QMP, the agent)


class _Channel:
    def __init__(self, path, deadline):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        while True:
            try:
                self.sock.connect(path)
                break
            except (FileNotFoundError, ConnectionRefusedError):
                if time.monotonic() > deadline:
                    raise RigError("QEMU did not open " + path)
                time.sleep(0.05)
        self.lock = threading.Condition()
        self.messages = []
        self.closed = False
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        buffer = b""
        while True:
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                chunk = b""
            if not chunk:
                with self.lock:
                    self.closed = True
                    self.lock.notify_all()
                return
            buffer += chunk
            while b"\n" in buffer:
                line, buffer = buffer.split(b"\n", 1)
                if line.strip():
                    with self.lock:
                        self.messages.append(json.loads(line))
                        self.lock.notify_all()

    def send(self, message):
        self.sock.sendall((json.dumps(message) + "\n").encode())

    def take(self, match, timeout, what):
        """The first message `match` accepts, waited for up to `timeout` seconds."""
        deadline = time.monotonic() + timeout
        with self.lock:
            while True:
                for i, message in enumerate(self.messages):
                    if match(message):
                        return self.messages.pop(i)
                left = deadline - time.monotonic()
                if self.closed:
                    raise RigError("the channel closed while waiting for " + what)
                if left <= 0:
                    raise RigError("no %s within %g s" % (what, timeout))
                self.lock.wait(left)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


# ---------------------------------------------------------------------------------------------
# The machine


class Result:
    def __init__(self, answer):
        self.rc = answer.get("rc")
        self.out = answer.get("out", "")
        self.err = answer.get("err", "")
        self.timed_out = answer.get("timedOut", False)
        self.ended = answer.get("ended")

    def __repr__(self):
        return "rc=%s timed_out=%s\n--- stdout\n%s--- stderr\n%s" % (
            self.rc, self.timed_out, self.out, self.err)


class Machine:
    """A running guest. Use as a context manager: leaving it always ends QEMU."""

    def __init__(self, cache, boot_timeout=240):
        self.cache = cache
        self.boot_timeout = boot_timeout
        self.work = tempfile.mkdtemp(prefix="kavo-vm.")
        self.qemu = None
        self.qmp = None
        self.agent = None
        self.next_id = 0
        self.id_lock = threading.Lock()
        self.start_seconds = None

    # -- life

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        os.makedirs(self.cache, exist_ok=True)
        kernel = prepare_kernel(self.cache)
        initramfs = prepare_initramfs(self.cache, kernel)
        qmp_path = os.path.join(self.work, "qmp.sock")
        agent_path = os.path.join(self.work, "agent.sock")
        self.console = os.path.join(self.work, "console.log")
        append = " ".join([
            "console=ttyS0", "panic=-1", "quiet", "loglevel=3",
            "kavo.init=" + os.path.join(HERE, "guest_init.sh"),
            "kavo.modules=" + os.path.join(kernel, "lib", "modules")])
        argv = [
            "qemu-system-x86_64", "-machine", "pc,accel=tcg", "-cpu", "max", "-smp", "2",
            "-m", "1024", "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
            "-kernel", os.path.join(kernel, "vmlinux"), "-initrd", initramfs, "-append", append,
            "-serial", "file:" + self.console,
            "-fsdev", "local,id=hostroot,path=/,security_model=none,readonly=on",
            "-device", "virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot",
            "-device", "virtio-serial-pci",
            "-chardev", "socket,id=agent,path=%s,server=on,wait=off" % agent_path,
            "-device", "virtserialport,chardev=agent,name=agent",
            # A fixed PCI address keeps the adapters' by-path names the same from run to run.
            "-device", "qemu-xhci,id=xhci,addr=5,p2=8,p3=8",
            "-qmp", "unix:%s,server=on,wait=off" % qmp_path,
        ]
        started = time.monotonic()
        self.qemu = start_child(argv, stdin=subprocess.DEVNULL,
                                stdout=open(os.path.join(self.work, "qemu.out"), "wb"),
                                stderr=subprocess.STDOUT)
        deadline = started + 30
        self.qmp = _Channel(qmp_path, deadline)
        self.qmp.take(lambda m: "QMP" in m, 30, "QMP greeting")
        self.command("qmp_capabilities")
        self.agent = _Channel(agent_path, deadline)
        try:
            ready = self.agent.take(lambda m: m.get("ready"), self.boot_timeout, "guest agent")
        except RigError:
            raise RigError("the guest did not start; its console:\n" + self.console_tail(200))
        self.start_seconds = time.monotonic() - started
        log("guest up in %.1f s (kernel uptime %.1f s at the agent's start)"
            % (self.start_seconds, ready["uptime"]))

    def stop(self):
        if self.qemu and self.qemu.poll() is None:
            try:
                if self.qmp:
                    self.qmp.send({"execute": "quit"})
                self.qemu.wait(timeout=10)
            except Exception:
                pass
            if self.qemu.poll() is None:
                self.qemu.kill()
                self.qemu.wait()
        for channel in (self.qmp, self.agent):
            if channel:
                channel.close()
        shutil.rmtree(self.work, ignore_errors=True)

    def console_tail(self, lines=40):
        try:
            return "".join(open(self.console, errors="replace").readlines()[-lines:])
        except OSError:
            return "(no console)"

    # -- QMP

    def command(self, name, timeout=60, **arguments):
        """A QMP command; its "return", or RigError with QEMU's error."""
        with self.id_lock:
            self.next_id += 1
            ident = "q%d" % self.next_id
        message = {"execute": name, "id": ident}
        if arguments:
            message["arguments"] = arguments
        self.qmp.send(message)
        answer = self.qmp.take(lambda m: m.get("id") == ident, timeout, "QMP answer to " + name)
        if "error" in answer:
            raise RigError("QMP %s: %s" % (name, answer["error"].get("desc")))
        return answer.get("return")

    def event(self, name, timeout, match=lambda data: True):
        return self.qmp.take(lambda m: m.get("event") == name and match(m.get("data", {})),
                             timeout, "QMP event " + name)

    def device_del(self, ident, timeout=60):
        """Unplugs a device and waits until QEMU has let it go."""
        self.command("device_del", id=ident)
        self.event("DEVICE_DELETED", timeout, lambda data: data.get("device") == ident)

    # -- the agent

    def _ask(self, request, timeout):
        with self.id_lock:
            self.next_id += 1
            request["id"] = self.next_id
        self.agent.send(request)
        answer = self.agent.take(lambda m: m.get("id") == request["id"], timeout,
                                 "agent answer to " + request["op"])
        if "error" in answer:
            raise RigError("agent: " + answer["error"])
        return answer

    def run(self, sh, timeout=120):
        """Runs a shell command in the guest; its exit code and output."""
        return Result(self._ask({"op": "run", "sh": sh, "timeout": timeout}, timeout + 30))

    def sh(self, sh, timeout=120):
        """Runs a command that must succeed; its standard output."""
        result = self.run(sh, timeout)
        if result.rc != 0:
            raise RigError("guest command failed: %s\n%r" % (sh, result))
        return result.out

    def spawn(self, sh):
        """Starts a command in the background; its pid (and process group) in the guest."""
        return self._ask({"op": "spawn", "sh": sh}, 60)

    def wait(self, spawned, timeout):
        """The spawned command's end; timed_out when it still runs after `timeout`."""
        return Result(self._ask({"op": "wait", "pid": spawned["pid"], "timeout": timeout},
                                timeout + 30))

    def signal(self, spawned, number=signal.SIGTERM):
        self._ask({"op": "signal", "pid": spawned["pid"], "sig": int(number)}, 60)

    def read(self, path):
        return self._ask({"op": "read", "path": path}, 60)["data"]

    def put(self, path, data):
        self._ask({"op": "put", "path": path, "data": base64.b64encode(data).decode()}, 60)

    def clock(self):
        return self._ask({"op": "clock"}, 60)["now"]

    def wait_for(self, condition_sh, timeout, what):
        """Waits until a guest shell condition holds, checking in the guest."""
        result = self.run("t=0; until %s; do [ $t -ge %d ] && exit 1; sleep 0.1; t=$((t+1)); done"
                          % (condition_sh, int(timeout * 10)), timeout + 30)
        if result.rc != 0:
            raise RigError("%s: not within %g s" % (what, timeout))


# ---------------------------------------------------------------------------------------------
# Host-side devices


def wait_line(process_out_path, text, timeout, process=None):
    """Waits until a file (a helper's output) holds a line with `text`; that line."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            for line in open(process_out_path, errors="replace"):
                if text in line:
                    return line
        except OSError:
            pass
        if process is not None and process.poll() is not None:
            break
        time.sleep(0.05)
    raise RigError("no line with %r in %s" % (text, process_out_path))


class Helper:
    """A simulator on the host, started with its output in a file; stopped with SIGTERM."""

    def __init__(self, argv, out_path):
        self.out_path = out_path
        self.process = start_child(argv, stdin=subprocess.DEVNULL, stdout=open(out_path, "wb"),
                                   stderr=subprocess.STDOUT)

    def wait_line(self, text, timeout=60):
        return wait_line(self.out_path, text, timeout, self.process)

    def output(self):
        return open(self.out_path, errors="replace").read()

    def wait(self, timeout):
        """The exit code, or None when it still runs after `timeout` seconds."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Adapter:
    """QEMU's FTDI adapter on a fixed port of the guest's USB controller. Its host side is end A
    of a line simulator paced like the terminal's line; a terminal simulator takes end B.

    plug() starts the line and plugs the adapter in; unplug() pulls it out and ends the line, so
    that a replug starts from a quiet line."""

    def __init__(self, machine, bin_dir, work, name, port, serial, baud=115200):
        self.machine, self.bin_dir, self.name = machine, bin_dir, name
        self.port, self.serial, self.baud = port, serial, baud
        self.work = os.path.join(work, name)
        os.makedirs(self.work, exist_ok=True)
        self.line = None
        self.terminal = None
        self.plugs = 0
        self.device = self.chardev = None

    def plug(self, terminal=None):
        """Plugs the adapter in; with `terminal` (out, size) its terminal is ready before."""
        self.plugs += 1
        tag = "%s-%d" % (self.name, self.plugs)
        self.line = Helper([os.path.join(self.bin_dir, "linesim"), "--baud", str(self.baud),
                            "--link-a", os.path.join(self.work, "A"),
                            "--link-b", os.path.join(self.work, "B")],
                           os.path.join(self.work, "linesim-%d.out" % self.plugs))
        ready = self.line.wait_line("linesim: ready", 60)
        end_a = ready.split("A=")[1].split()[0]
        if terminal:
            self.start_terminal(*terminal)
        self.chardev = "c-" + tag
        self.machine.command("chardev-add", id=self.chardev,
                             backend={"type": "serial", "data": {"device": end_a}})
        # always-plugged: the adapter is there whether or not its host side is open.
        self.machine.command("device_add", driver="usb-serial", id="u-" + tag,
                             chardev=self.chardev, bus="xhci.0", port=str(self.port),
                             serial=self.serial, **{"always-plugged": True})
        self.device = "u-" + tag

    def start_terminal(self, out, size, extra=()):
        self.terminal = Helper([os.path.join(self.bin_dir, "termsim"), os.path.join(self.work, "B"),
                                "--out", out, "--size", str(size)] + list(extra),
                               out + ".termsim")
        self.terminal.wait_line("termsim: ready", 60)
        return self.terminal

    def unplug(self):
        if self.device:
            self.machine.device_del(self.device)
            self.device = None
        if self.chardev:
            self.machine.command("chardev-remove", id=self.chardev)
            self.chardev = None
        self.stop_helpers()

    def stop_helpers(self):
        for helper in (self.terminal, self.line):
            if helper:
                helper.stop()
        self.terminal = self.line = None


class Disk:
    """QEMU's USB disk on a fixed port of the guest's USB controller, backed by a raw image on
    the host. QEMU lets the image go with the device, so each plug adds it again."""

    def __init__(self, machine, image, name, port):
        self.machine, self.image, self.name, self.port = machine, image, name, port
        self.plugs = 0
        self.device = self.node = None

    def plug(self):
        self.plugs += 1
        tag = "%s-%d" % (self.name, self.plugs)
        self.machine.command("blockdev-add", driver="raw", **{"node-name": "d-" + tag},
                             file={"driver": "file", "filename": self.image})
        self.node = "d-" + tag
        self.machine.command("device_add", driver="usb-storage", id="s-" + tag, drive=self.node,
                             bus="xhci.0", port=str(self.port), removable=True)
        self.device = "s-" + tag

    def unplug(self):
        if self.device:
            self.machine.device_del(self.device)
            self.device = None
        if self.node:
            self.machine.command("blockdev-del", **{"node-name": self.node})
            self.node = None
