#!/usr/bin/env python3
"""A Linux client against the request server under Wine: a client that sends a line far past the
bound, all of it before reading, gets its reply and then a clean end of the stream, not a reset
(on Windows a reset throws away a reply that has not been read yet). So does a client that the
server turns away because it serves as many connections as it may, although that connection is
answered and closed by the accept loop itself, on a socket still in the listener's non-blocking mode.
An in-process client under Wine cannot see the difference, so this one runs natively.

usage: over_long_line_check.py WINE_RUN PREFIX BENCH_HOST_EXE PORT   (PORT and PORT+1 are used)"""
import os
import socket
import subprocess
import sys
import threading
import time

wine_run, prefix, host, port = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
too_long = (b'{"ok":false,"message":"Failed to read request: request line longer than 1048576 bytes",'
            b'"pid":null}\n')
turned_away = b'{"ok":false,"message":"Failed to start connection worker: too many connections","pid":null}\n'
over_long_line = b'{"cmd":"status","x":"' + b"a" * (3 * 1024 * 1024) + b'"}\n'
stopped = b'{"ok":true,"message":"stopped","pid":null}\n'


def status_of_length(length):
    """A status request padded with spaces to `length` bytes, its line feed included."""
    return b'{"cmd":"status"}'.ljust(length - 1) + b"\n"

servers = [subprocess.Popen([wine_run, prefix, host, str(port + offset)] + extra, stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
           for offset, extra in ((0, []), (1, ["0"]))]
failures = 0
cases = [("over-long line", port, over_long_line, too_long),
         ("line of the bound, 1 MiB", port, status_of_length(1024 * 1024), stopped),
         ("line of the bound and one byte", port, status_of_length(1024 * 1024 + 1), too_long),
         ("turned away", port + 1, b'{"cmd":"status"}\n', turned_away)]
try:
    deadline = time.time() + 60
    for listening in (port, port + 1):
        while True:
            try:
                socket.create_connection(("127.0.0.1", listening), timeout=5).close()
                break
            except OSError:
                if time.time() > deadline:
                    sys.exit("the server never listened")
                time.sleep(0.1)
    for (name, to, line, expected), attempt in [(case, attempt) for case in cases for attempt in range(3)]:
        client = socket.create_connection(("127.0.0.1", to), timeout=20)
        sender = threading.Thread(target=lambda: client.sendall(line), daemon=True)
        sender.start()
        time.sleep(0.5)  # read only once the server has answered and closed
        reply = b""
        try:
            while True:
                chunk = client.recv(4096)
                if not chunk:
                    break
                reply += chunk
            ending = "clean end"
        except ConnectionResetError:
            ending = "reset"
        client.close()
        ok = reply == expected and ending == "clean end"
        failures += not ok
        print(f"{name}, attempt {attempt}: {'ok' if ok else 'FAILED'} ({ending}, {len(reply)} reply bytes)")
finally:
    for server in servers:
        server.stdin.close()
        server.wait(timeout=30)
print(f"{3 * len(cases) - failures} passed, {failures} failed")
sys.exit(1 if failures else 0)
