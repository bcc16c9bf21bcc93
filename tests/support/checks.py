"""What the checks written in Python share: a tally of named checks and the closing line, the version the
product should carry, plain process runs and runs under Wine, waiting for what can only be looked at,
a server host under Wine and its clients, and the service as a client and the Service Control
Manager see it."""
import os
import re
import socket
import subprocess
import time


class Tally:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print(f"ok      {name}", flush=True)
        else:
            self.failed += 1
            print(f"FAILED  {name}" + (f": {detail}" if detail else ""), flush=True)
        return ok

    def finish(self):
        print(f"{self.passed} passed, {self.failed} failed")
        return 0 if self.passed and not self.failed else 1


def read_version(path):
    with open(path, encoding="ascii") as f:
        return f.read().strip()


def run(*command, timeout=120, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, **options)


def eventually(probe, seconds=20):
    """The probe's value once it is true, or its last value when the time ran out; it is asked every
    tenth of a second."""
    deadline = time.monotonic() + seconds
    while True:
        value = probe()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.1)


def start_host(wine_run, prefix, exe, *arguments):
    """A server host under Wine that takes its commands on a pipe and answers on another; closing its
    standard input ends it."""
    return subprocess.Popen([wine_run, prefix, exe, *arguments], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)


def accepts(port):
    """Whether something accepts a connection on 127.0.0.1:PORT; the probe closes it at once."""
    try:
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
        return True
    except OSError:
        return False


def read_to_end(client):
    """What the peer sends until it closes or fails, and how it ended: "clean end", "reset" or the error."""
    reply = b""
    try:
        while chunk := client.recv(65536):
            reply += chunk
        return reply, "clean end"
    except ConnectionResetError:
        return reply, "reset"
    except OSError as error:
        return reply, str(error)


def wine_runner(wine_run, prefix, default_timeout=120):
    """A function that runs a command under Wine in PREFIX; its standard output has Unix line ends."""
    def wine(*command, timeout=default_timeout):
        result = run(wine_run, prefix, *command, timeout=timeout)
        result.stdout = result.stdout.replace("\r\n", "\n")
        return result
    return wine


def windows_path(linux_path):
    """A Linux path as Wine's programs see it: the Linux root is drive Z:."""
    return "Z:" + os.path.abspath(linux_path).replace("/", "\\")


def service_state(wine, service):
    """The service's state as `sc query` names it (RUNNING, STOPPED, ...), or None when it is not there."""
    match = re.search(r"STATE\s*:\s*\d+\s+(\w+)", wine("sc", "query", service).stdout)
    return match.group(1) if match else None


def exchange(request, timeout=20):
    """The whole reply to one request line sent to 127.0.0.1:49877, or None when nothing accepts the
    connection."""
    try:
        with socket.create_connection(("127.0.0.1", 49877), timeout=timeout) as s:
            s.sendall(request.encode() + b"\n")
            reply = b""
            while chunk := s.recv(4096):
                reply += chunk
            return reply.decode()
    except OSError:
        return None
