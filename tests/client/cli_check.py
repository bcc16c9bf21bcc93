#!/usr/bin/env python3
"""The client's command line: --help and --version answer on standard output with exit status 0;
wrong usage prints the usage on standard error with 2; a reply decides 0 or 1, and no listener gives 2;
a token file's token goes along with each command, and one that cannot be read is an error.
The replies come from a small server of this script's own on a port of its own.

usage: cli_check.py VERSION_FILE CLIENT...   (CLIENT: the program, after a runner such as wine-run.sh)"""
import atexit
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

version_file, client = sys.argv[1], sys.argv[2:]
with open(version_file, encoding="ascii") as f:
    version = f.read().strip()

ok_reply = '{"ok":true,"message":"stopped","pid":null}\n'
token_reply = '{"ok":true,"message":"token seen","pid":null}\n'
refusal = '{"ok":false,"message":"Failed to stop OpenVPN: access denied","pid":null}\n'
# A token file as an editor may leave it, with a line end.
token_folder = tempfile.mkdtemp()
atexit.register(shutil.rmtree, token_folder, ignore_errors=True)
token_file = os.path.join(token_folder, "client.token")
with open(token_file, "w", encoding="ascii") as f:
    f.write("0123abcd\n")
replies = {
    '{"cmd":"status"}\n': ok_reply,
    '{"cmd":"status","token":"0123abcd"}\n': token_reply,
    '{"cmd":"state"}\n': ok_reply,
    '{"cmd":"connect","openvpn":"o","config":"c","auth":"a","log":"l","token":"0123abcd"}\n': token_reply,
}


def serve(listener):
    while True:
        connection, _ = listener.accept()
        with connection:
            line = connection.makefile("rb").readline().decode()
            connection.sendall(replies.get(line, refusal).encode())


listener = socket.create_server(("127.0.0.1", 0))
threading.Thread(target=serve, args=(listener,), daemon=True).start()
port = str(listener.getsockname()[1])
# Bound but not listening: a connection there is refused.
closed = socket.socket()
closed.bind(("127.0.0.1", 0))
closed_port = str(closed.getsockname()[1])

# The Windows program under Wine sees the Linux root as drive Z:.
under_wine = len(client) > 1
token_path = "Z:" + token_file.replace("/", "\\") if under_wine else token_file

usage = ("starts", "usage: orvanta-vpn-client")
nothing = ("is", "")
cases = [
    # arguments                              exit  standard output                              standard error
    (["--help"],                               0, usage,                                         nothing),
    (["--version"],                            0, ("is", f"orvanta-vpn-client {version}\n"),     nothing),
    ([],                                       2, nothing,                                       usage),
    (["start"],                                2, nothing,                                       usage),
    (["status", "now"],                        2, nothing,                                       usage),
    (["connect", "a", "b", "c"],               2, nothing,                                       usage),
    (["--port", "0", "status"],                2, nothing,                                       usage),
    (["--port", closed_port, "status"],        2, nothing,                                       ("has", "nothing is listening")),
    (["--port", port, "status"],               0, ("is", ok_reply),                              nothing),
    (["--port", port, "disconnect"],           1, ("is", refusal),                               nothing),
    (["--port", port, "state"],                0, ("is", ok_reply),                              nothing),
    (["--port", port, "--token-file", token_path, "status"], 0, ("is", token_reply),            nothing),
    (["--token-file", token_path, "--port", port, "connect", "o", "c", "a", "l"], 0, ("is", token_reply), nothing),
    (["--port", port, "--token-file", token_path + ".gone", "status"], 2, nothing,          ("has", "cannot read the token file")),
    # No service runs here: under Wine no pipe of its own, or one a test serves falsely; nothing natively.
    (["--pipe", "status"],                     2, nothing,
     ("has", "OrvantaVpnHelper") if under_wine else ("has", "--pipe is for Windows only")),
]


def matches(expectation, text):
    how, expected = expectation
    return {"is": text == expected, "starts": text.startswith(expected), "has": expected in text}[how]


failures = 0
for arguments, status, out, err in cases:
    result = subprocess.run(client + arguments, capture_output=True, text=True, timeout=60)
    # A Windows program writes its line ends as CR LF.
    stdout, stderr = (s.replace("\r\n", "\n") for s in (result.stdout, result.stderr))
    ok = result.returncode == status and matches(out, stdout) and matches(err, stderr)
    failures += not ok
    print(f"{'ok' if ok else 'FAILED':7} {' '.join(arguments) or '(no arguments)'}"
          + ("" if ok else f": exit {result.returncode}, stdout {stdout!r}, stderr {stderr!r}"))

print(f"{len(cases) - failures} passed, {failures} failed")
sys.exit(1 if failures else 0)
