#!/usr/bin/env python3
"""The guest's agent: runs the rig's commands in the virtual machine.

It reads one JSON request a line from the virtio serial port named on its command line and
answers each with one JSON line carrying the request's "id". Requests are served on threads of
their own, so a long "wait" never holds up a "run" beside it.

  {"op": "run", "sh": "...", "timeout": S}     -> {"rc", "out", "err", "timedOut"}
  {"op": "spawn", "sh": "..."}                 -> {"pid"}   (output to files, see "wait")
  {"op": "wait", "pid": P, "timeout": S}       -> {"rc", "out", "err", "timedOut", "ended"}
  {"op": "signal", "pid": P, "sig": N}         -> {}        (to the process group)
  {"op": "read", "path": "..."}                -> {"data"}  ("" when missing)
  {"op": "put", "path": "...", "data": b64}    -> {}
  {"op": "clock"}                              -> {"now"}   (CLOCK_MONOTONIC, as udevadm uses)

"rc" is the exit code, or 128 + n for a process that signal n ended; "ended" is the guest's
monotonic time at which a spawned process was seen to end.
"""
import base64
import json
import os
import signal
import subprocess
import sys
import threading
import time

port = open(sys.argv[1], "r+b", buffering=0)
write_lock = threading.Lock()
spawned = {}  # pid -> (Popen, stdout path, stderr path)
spawned_lock = threading.Lock()


def send(message):
    line = (json.dumps(message) + "\n").encode()
    with write_lock:
        port.write(line)


def text(data):
    return data.decode("utf-8", "replace")


def code_of(returncode):
    return 128 - returncode if returncode < 0 else returncode


def read_file(path):
    try:
        with open(path, "rb") as f:
            return text(f.read())
    except OSError:
        return ""


def finish(process, timeout):
    """Waits for a process; on timeout kills its group and reports it."""
    try:
        process.wait(timeout=timeout)
        return False
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        return True


def serve(request):
    op = request["op"]
    if op == "run":
        process = subprocess.Popen(["/bin/sh", "-c", request["sh"]], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                   start_new_session=True)
        try:
            out, err = process.communicate(timeout=request.get("timeout", 60))
            timed_out = False
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            out, err = process.communicate()
            timed_out = True
        return {"rc": code_of(process.returncode), "out": text(out), "err": text(err),
                "timedOut": timed_out}
    if op == "spawn":
        folder = "/tmp/agent"
        os.makedirs(folder, exist_ok=True)
        stamp = "%d-%d" % (os.getpid(), time.monotonic_ns())
        out_path, err_path = folder + "/" + stamp + ".out", folder + "/" + stamp + ".err"
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            process = subprocess.Popen(["/bin/sh", "-c", request["sh"]], stdout=out, stderr=err,
                                       stdin=subprocess.DEVNULL, start_new_session=True)
        with spawned_lock:
            spawned[process.pid] = (process, out_path, err_path)
        return {"pid": process.pid, "out": out_path, "err": err_path}
    if op == "wait":
        with spawned_lock:
            process, out_path, err_path = spawned[request["pid"]]
        try:
            process.wait(timeout=request.get("timeout", 60))
        except subprocess.TimeoutExpired:
            return {"timedOut": True, "out": read_file(out_path), "err": read_file(err_path)}
        ended = time.monotonic()
        with spawned_lock:
            spawned.pop(request["pid"], None)
        return {"rc": code_of(process.returncode), "out": read_file(out_path),
                "err": read_file(err_path), "timedOut": False, "ended": ended}
    if op == "signal":
        try:
            os.killpg(request["pid"], request.get("sig", signal.SIGTERM))
        except ProcessLookupError:
            pass
        return {}
    if op == "read":
        return {"data": read_file(request["path"])}
    if op == "put":
        os.makedirs(os.path.dirname(request["path"]) or ".", exist_ok=True)
        with open(request["path"], "wb") as f:
            f.write(base64.b64decode(request["data"]))
        return {}
    if op == "clock":
        return {"now": time.monotonic()}
    raise ValueError("unknown op " + op)


def handle(request):
    try:
        answer = serve(request)
    except Exception as error:  # the rig reports it; the agent carries on
        answer = {"error": "%s: %s" % (type(error).__name__, error)}
    answer["id"] = request.get("id")
    send(answer)


def main():
    send({"id": None, "ready": True, "uptime": float(open("/proc/uptime").read().split()[0])})
    buffer = b""
    while True:
        chunk = port.read(65536)
        if not chunk:
            time.sleep(0.05)  # the host side is not connected yet
            continue
        buffer += chunk
        while b"\n" in buffer:
            line, buffer = buffer.split(b"\n", 1)
            if line.strip():
                threading.Thread(target=handle, args=(json.loads(line),), daemon=True).start()


if __name__ == "__main__":
    main()
