#!/usr/bin/env python3
"""Linux clients against the request server under Wine with the product's own limits, not the lowered
ones the other tests use, so that a changed default shows: a line of 1 MiB is served and one byte more
is refused; a silent client and a client that never reads its reply are each cut at 10 s; 4,096
connections may wait, and the 4,097th turns the oldest away; 1,000 requests are carried out at once,
and the line of a 1,001st waits and is refused at its read deadline. The clients run natively, so that
Wine holds only the server's sockets, and so that they see what an in-process client under Wine cannot:
whether a refused line's reply ends cleanly or in a reset, which on Windows throws away a reply that
has not been read yet.

usage: default_limits_check.py WINE_RUN PREFIX LIMITS_HOST_EXE PORT"""
import os
import resource
import select
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import Tally, accepts, eventually, read_to_end, start_host  # noqa: E402

wine_run, prefix, host_exe, port = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
turned_away = b'{"ok":false,"message":"Failed to start connection worker: too many connections","pid":null}\n'
stopped = b'{"ok":true,"message":"stopped","pid":null}\n'
too_long = b'{"ok":false,"message":"Failed to read request: request line longer than 1048576 bytes","pid":null}\n'
started = b'{"ok":true,"message":"OpenVPN started","pid":4242}\n'
connect_line = b'{"cmd":"connect","openvpn":"o","config":"c","auth":"a","log":"l"}\n'
waiting_cap, worker_cap, deadline = 4096, 1000, 10.0

resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
tally = Tally()


def connect(receive_buffer=None):
    client = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if receive_buffer:
        client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    client.settimeout(60)
    client.connect(("127.0.0.1", port))
    return client


def readable(client, seconds=0, events=select.POLLIN):
    """Whether the server has sent something (or what EVENTS name) or closed, within SECONDS (poll:
    descriptors here go past select's 1024)."""
    poller = select.poll()
    poller.register(client, events | select.POLLRDHUP | select.POLLHUP | select.POLLERR)
    return bool(poller.poll(int(seconds * 1000)))


def status_of_length(length):
    """A status request padded with spaces to `length` bytes, its line feed included."""
    return b'{"cmd":"status"}'.ljust(length - 1) + b"\n"


def lines_at_the_bound():
    # The whole line is sent before the reply is read, and a reset is a race: each is tried three times.
    for name, line, expected in (("a line far past the bound", status_of_length(3 * 1024 * 1024), too_long),
                                 ("a line of 1 MiB", status_of_length(1024 * 1024), stopped),
                                 ("a line of 1 MiB and one byte", status_of_length(1024 * 1024 + 1), too_long)):
        for attempt in range(3):
            client = connect()
            threading.Thread(target=client.sendall, args=(line,), daemon=True).start()
            time.sleep(0.5)  # read only once the server has answered and closed
            reply, ending = read_to_end(client)
            client.close()
            tally.check(f"{name} is answered, then ends cleanly, attempt {attempt} ({ending}, {len(reply)} "
                        "reply bytes)", reply == expected and ending == "clean end")


def silent_client_is_cut():
    client = connect()
    began = time.monotonic()
    reply = read_to_end(client)[0]
    took = time.monotonic() - began
    client.close()
    tally.check(f"a silent client is told the time-out at 10 s (after {took:.1f} s)",
                reply.startswith(b'{"ok":false,"message":"Failed to read request: ') and b"10060" in reply
                and deadline - 0.5 <= took <= deadline + 1.5, reply[:120])


def non_reader_is_cut():
    # A top-level string of DEL bytes: its error text spells each one out, about 7 MB of reply.
    client = connect(receive_buffer=4096)
    client.sendall(b'"' + b"\x7f" * 1000000 + b'"\n')
    began = time.monotonic()
    cut_at = time.monotonic() - began if readable(client, deadline + 5, events=0) else None
    client.close()
    tally.check(f"a client that never reads its reply is cut at 10 s (after {cut_at} s)",
                cut_at is not None and deadline - 0.5 <= cut_at <= deadline + 1.5)


def listen_queue():
    """Connections waiting in the listener's accept queue, as the kernel counts them (0 when unknown)."""
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            fields = row.split()
            if fields[1].endswith(f":{port:04X}") and fields[3] == "0A":
                return int(fields[4].split(":")[1], 16)
    return 0


def full_pool_turns_the_oldest_away():
    # Paced by the listen queue: past its backlog the kernel drops a connect, and its retry a second
    # later would let the first connections time out before the last are made.
    held = []
    began = time.monotonic()
    while len(held) < waiting_cap:
        if listen_queue() < 64:
            held.extend(connect() for _ in range(min(32, waiting_cap - len(held))))
        else:
            time.sleep(0.002)
    opened = time.monotonic() - began
    time.sleep(1)
    newcomer = connect()
    newcomer.sendall(b'{"cmd":"status"}\n')
    served = read_to_end(newcomer)[0]
    newcomer.close()
    oldest = read_to_end(held[0])[0] if readable(held[0], 5) else b""
    others_wait = not any(readable(client) for client in held[1:])
    tally.check(f"the {waiting_cap + 1}th waiting connection is served and turns the oldest away "
                f"({waiting_cap} opened in {opened:.1f} s)",
                served == stopped and oldest == turned_away and others_wait,
                f"newcomer {served[:150]!r}, oldest {oldest[:150]!r}, the others {'wait' if others_wait else 'were answered'}")
    for client in held:
        client.close()
    # Each closed one is answered (its empty line is not a request): the next check starts after.
    time.sleep(3)


def busy_workers_make_a_line_wait():
    host_input, host_output = host.stdin, host.stdout

    def carried_out():
        host_input.write(b"count\n")
        host_input.flush()
        return int(host_output.readline())
    before = carried_out()
    busy = []
    for _ in range(worker_cap):
        client = connect()
        client.sendall(connect_line)
        busy.append(client)
    give_up = time.monotonic() + 120
    while carried_out() - before < worker_cap and time.monotonic() < give_up:
        time.sleep(0.5)
    count = carried_out() - before
    late = [connect() for _ in range(3)]  # a reset is a race: three chances to see one
    for client in late:
        client.sendall(b'{"cmd":"status"}\n')
    began = time.monotonic()
    reply, ending = read_to_end(late[0])
    took = time.monotonic() - began
    endings = [ending] + [read_to_end(client)[1] for client in late[1:]]
    for client in late:
        client.close()
    host_input.write(b"release\n")
    host_input.flush()
    answered = sum(read_to_end(client)[0] == started for client in busy)
    for client in busy:
        client.close()
    tally.check(f"{worker_cap} connects are carried out at once ({count} reached their operation, "
                f"{answered} answered once released)", count == worker_cap and answered == worker_cap)
    tally.check(f"the line of a {worker_cap + 1}th waits for a worker and is refused at 10 s (after {took:.1f} s)",
                reply == turned_away and deadline - 1.0 <= took <= deadline + 1.5, reply[:150])
    tally.check("the refused lines' replies end cleanly", endings == ["clean end"] * 3, endings)


host = start_host(wine_run, prefix, host_exe, str(port))
try:
    if not eventually(lambda: accepts(port), 60):
        sys.exit("the server never listened")
    # The probe above is a silent client of its own: its place is freed before the pool is filled.
    time.sleep(0.5)
    lines_at_the_bound()
    cuts = [threading.Thread(target=check) for check in (silent_client_is_cut, non_reader_is_cut)]
    for thread in cuts:
        thread.start()
    for thread in cuts:
        thread.join()
    full_pool_turns_the_oldest_away()
    busy_workers_make_a_line_wait()
finally:
    host.stdin.close()
    host.wait(timeout=60)
sys.exit(tally.finish())
