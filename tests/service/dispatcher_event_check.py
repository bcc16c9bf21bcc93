#!/usr/bin/env python3
"""The service's failures go to the Event Log. Wine stores no event (ReportEventW succeeds and keeps
nothing), but its trace of the calls a program makes shows the one the service makes when it is
started from a console and its dispatcher cannot start: source OrvantaVpnHelper, error type, the
dispatcher's event id, and the error text as its one string. Wine writes that trace to the process's
own standard error, which only a program outside Wine can read.

usage: dispatcher_event_check.py WINE_ENV_SCRIPT PREFIX SERVICE_EXE"""
import re
import subprocess
import sys

wine_env, prefix, service = sys.argv[1:4]
traced = subprocess.run(
    ["bash", "-c", '. "$0"; wine_setup_env "$1"; WINEDEBUG=+relay exec "$WINE" "$2"', wine_env, prefix, service],
    capture_output=True, text=True, errors="replace", timeout=120).stderr

checks = [
    ("the event source is OrvantaVpnHelper",
     re.search(r'advapi32\.RegisterEventSourceW\(00000000,[0-9a-f]+ L"OrvantaVpnHelper"\)', traced)),
    # handle, EVENTLOG_ERROR_TYPE, category 0, the dispatcher's message id, no user, one string
    ("an error event with the dispatcher's id and one string",
     re.search(r"advapi32\.ReportEventW\([0-9a-f]+,00000001,00000000,c0000001,00000000,00000001,", traced)),
    ("the string is the error text", 'ReportEventW L"IO error in winapi call"' in traced),
]
failed = 0
for name, ok in checks:
    failed += not ok
    print(f"{'ok' if ok else 'FAILED':7} {name}")
print(f"{len(checks) - failed} passed, {failed} failed")
sys.exit(1 if failed else 0)
