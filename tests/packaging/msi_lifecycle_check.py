#!/usr/bin/env python3
"""The installer package under Wine, in a prefix of its own: a silent install starts the service, which
answers on 127.0.0.1:49877; a newer package replaces it in place; a silent uninstall leaves no service,
no files (the token folder beside the service included), no event source and no listener, and leaves
ProgramData alone. Along the way, what Windows reads from the
installed executables: their version records, and the client's --version and --help.

A service under Wine lives only while an ordinary Wine process does, so a keep-alive runs in the
prefix throughout; the prefix's wineserver is ended at the end whatever happened.

usage: msi_lifecycle_check.py --dist DIR --version-file FILE --prefix DIR --work DIR --wine-run SCRIPT
                              --wine-prefix SCRIPT --build-msi SCRIPT --keepalive EXE --file-version EXE"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import (Tally, eventually, exchange, read_version, run, service_state, windows_path,  # noqa: E402
                    wine_runner)

parser = argparse.ArgumentParser()
for option in ("dist", "version-file", "prefix", "work", "wine-run", "wine-prefix", "build-msi", "keepalive",
               "file-version"):
    parser.add_argument("--" + option, required=True)
args = parser.parse_args()

version = read_version(args.version_file)
major, minor, patch = (int(n) for n in version.split("."))
newer = f"{major}.{minor}.{patch + 1}"
prefix = os.path.abspath(args.prefix)
work = os.path.abspath(args.work)
executables = ["orvanta-vpn-helper-windows.exe", "orvanta-vpn-client.exe"]
service = "OrvantaVpnHelper"
product_name = "Orvanta VPN helper"
install_dir = os.path.join(prefix, "drive_c", "Program Files", "Orvanta VPN helper")
data_dir = os.path.join(prefix, "drive_c", "ProgramData", "Orvanta")
installed = {exe: "C:\\Program Files\\Orvanta VPN helper\\" + exe for exe in executables}
services_key = "HKLM\\SYSTEM\\CurrentControlSet\\Services"
event_source_key = services_key + "\\EventLog\\Application\\" + service
uninstall_key = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
status_request = '{"cmd":"status"}'
stopped_reply = '{"ok":true,"message":"stopped","pid":null}\n'

tally = Tally()
wine = wine_runner(args.wine_run, prefix, 180)


class Abort(Exception):
    """A step the rest depends on failed; what follows would only repeat it."""


def require(name, ok, detail=""):
    if not tally.check(name, ok, detail):
        raise Abort(name)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


# --- what the system shows ---
def reg_values(key):
    """The values of KEY as {name: (type, data)}, or None when the key does not exist."""
    result = wine("reg", "query", key)
    if result.returncode != 0:
        return None
    values = {}
    for line in result.stdout.splitlines():
        match = re.match(r"^    (.+?)    (REG_[A-Z_]+)    ?(.*)$", line)
        if match:
            values[match.group(1)] = (match.group(2), match.group(3))
    return values


def reg_subkeys(key):
    result = wine("reg", "query", key)
    names = [line.strip() for line in result.stdout.splitlines() if line.startswith("HKEY_")]
    return [name for name in names if name.lower() != expand_root(key).lower()]


def expand_root(key):
    return key.replace("HKLM\\", "HKEY_LOCAL_MACHINE\\", 1)


def our_products():
    """{uninstall key: DisplayVersion} of every registered product named like ours."""
    found = {}
    for key in reg_subkeys(uninstall_key):
        values = reg_values(key) or {}
        if values.get("DisplayName", ("", ""))[1] == product_name:
            found[key] = values.get("DisplayVersion", ("", ""))[1]
    return found


def our_service_keys():
    return [key for key in reg_subkeys(services_key) if "orvanta" in key.lower()]


def service_processes():
    """Ids of the service's processes that run in our prefix (others may run in other prefixes)."""
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if b"orvanta-vpn-helper-windows.exe" not in f.read():
                    continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if f"WINEPREFIX={prefix}".encode() in f.read().split(b"\0"):
                    pids.append(int(pid))
        except OSError:
            pass
    return sorted(pids)


def msiexec(*command):
    return wine("msiexec", *command, timeout=300).returncode


# --- the checks of one installed version ---
def check_installed(expected_version):
    reply = eventually(lambda: exchange(status_request), 30)
    require(f"{expected_version}: a status request is answered", reply == stopped_reply, repr(reply))
    state = service_state(wine, service)
    tally.check(f"{expected_version}: the service runs", state == "RUNNING", state)
    tally.check(f"{expected_version}: one service process", len(service_processes()) == 1, service_processes())
    tally.check(f"{expected_version}: one registered product, this version",
                list(our_products().values()) == [expected_version], our_products())

    keys = our_service_keys()
    tally.check(f"{expected_version}: one service registration", len(keys) == 1, keys)
    config = reg_values(services_key + "\\" + service) or {}
    image = config.get("ImagePath", ("", ""))[1].strip('"')
    expected_config = [
        ("the installed executable", image, installed["orvanta-vpn-helper-windows.exe"]),
        ("automatic start", config.get("Start"), ("REG_DWORD", "0x2")),
        ("its own process", config.get("Type"), ("REG_DWORD", "0x10")),
        ("LocalSystem", config.get("ObjectName", ("", ""))[1], "LocalSystem"),
        ("its display name", config.get("DisplayName", ("", ""))[1], product_name),
    ]
    for what, seen, expected in expected_config:
        tally.check(f"{expected_version}: the service's configuration: {what}", seen == expected, seen)
    tally.check(f"{expected_version}: the service has a description", config.get("Description", ("", ""))[1] != "")

    present = sorted(os.listdir(install_dir)) if os.path.isdir(install_dir) else None
    tally.check(f"{expected_version}: the install folder holds the two executables",
                present == sorted(executables), present)
    for exe in executables:
        path = os.path.join(install_dir, exe)
        tally.check(f"{expected_version}: {exe} is the shipped one",
                    os.path.exists(path) and digest(path) == digest(os.path.join(args.dist, exe)))

    source = reg_values(event_source_key)
    tally.check(f"{expected_version}: the event source is registered", source is not None)
    if source is not None:
        message_file = source.get("EventMessageFile")
        tally.check(f"{expected_version}: its EventMessageFile is the installed service",
                    message_file is not None and message_file[0] in ("REG_SZ", "REG_EXPAND_SZ")
                    and message_file[1] == installed["orvanta-vpn-helper-windows.exe"], message_file)
        tally.check(f"{expected_version}: it supports error, warning and information events",
                    source.get("TypesSupported") == ("REG_DWORD", "0x7"), source.get("TypesSupported"))


try:
    os.makedirs(work, exist_ok=True)
    subprocess.run([args.wine_prefix, prefix, "cleanup"], check=False)
    shutil.rmtree(prefix, ignore_errors=True)
    require("nothing else serves 127.0.0.1:49877", exchange(status_request) is None)
    require("a new Wine prefix", subprocess.run([args.wine_prefix, prefix, "setup"]).returncode == 0)
    keepalive = subprocess.Popen([args.wine_run, prefix, args.keepalive], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    package = os.path.join(args.dist, f"orvanta-vpn-helper-{version}-x64.msi")
    newer_package = os.path.join(work, f"orvanta-vpn-helper-{newer}-x64.msi")
    rebuilt_package = os.path.join(work, f"orvanta-vpn-helper-{newer}-x64-rebuilt.msi")
    for path in (newer_package, rebuilt_package):
        require(f"a package of {newer} from the same executables: {os.path.basename(path)}",
                run(args.build_msi, newer, args.dist, path).returncode == 0)

    # --- install ---
    log = os.path.join(work, "install.log")
    require("msiexec /i /qn succeeds", msiexec("/i", windows_path(package), "/qn", "/l*v", windows_path(log)) == 0,
            f"see {log}")
    check_installed(version)

    probe = wine(windows_path(args.file_version), *installed.values())
    expected_record = f"{version}.0 {version}.0 {version} {version}"
    tally.check("both version records carry VERSION",
                probe.returncode == 0 and probe.stdout.splitlines() == [expected_record] * 2,
                probe.stdout + probe.stderr)
    client = installed["orvanta-vpn-client.exe"]
    for arguments, expected_output in [
        (["--version"], lambda out: out == f"orvanta-vpn-client {version}\n"),
        (["--help"], lambda out: out.startswith("usage: orvanta-vpn-client")),
        (["status"], lambda out: out == stopped_reply),
    ]:
        result = wine(client, *arguments)
        tally.check(f"the installed client: {' '.join(arguments)}",
                    result.returncode == 0 and expected_output(result.stdout),
                    f"exit {result.returncode}: {result.stdout!r} {result.stderr!r}")

    # --- upgrade ---
    before = our_products()
    service_before = service_processes()
    log = os.path.join(work, "upgrade.log")
    require(f"msiexec /i /qn of {newer} succeeds",
            msiexec("/i", windows_path(newer_package), "/qn", "/l*v", windows_path(log)) == 0, f"see {log}")
    check_installed(newer)
    tally.check("the upgrade replaced the product", not set(before) & set(our_products()), our_products())
    tally.check("the upgrade restarted the service", service_processes() != service_before,
                f"{service_before} -> {service_processes()}")

    # The same version built again is another product: it must not go in beside the one installed.
    tally.check(f"a rebuilt {newer} package is refused",
                msiexec("/i", windows_path(rebuilt_package), "/qn") != 0)
    tally.check(f"{newer} is still the one product", list(our_products().values()) == [newer], our_products())

    # --- uninstall ---
    # The token folder the service makes beside itself, as a service that did not stop in order left
    # it; the uninstall must take it. ProgramData\Orvanta may belong to anybody: it must stay.
    os.makedirs(os.path.join(install_dir, "token"), exist_ok=True)
    with open(os.path.join(install_dir, "token", "client.token"), "w") as f:
        f.write("0" * 64)
    os.makedirs(data_dir, exist_ok=True)
    with open(os.path.join(data_dir, "other.txt"), "w") as f:
        f.write("not ours\n")
    log = os.path.join(work, "uninstall.log")
    require("msiexec /x /qn succeeds",
            msiexec("/x", windows_path(newer_package), "/qn", "/l*v", windows_path(log)) == 0, f"see {log}")
    tally.check("the port is closed", eventually(lambda: exchange(status_request) is None, 15))
    tally.check("no service process is left", eventually(lambda: not service_processes(), 15),
                service_processes())
    tally.check("no service is registered", our_service_keys() == [], our_service_keys())
    tally.check("the install folder is gone", not os.path.exists(install_dir))
    tally.check("ProgramData\\Orvanta is left as it was", os.path.exists(os.path.join(data_dir, "other.txt")))
    tally.check("the event source is gone", reg_values(event_source_key) is None)
    tally.check("no product is registered", our_products() == {}, our_products())
except Abort:
    pass
except subprocess.TimeoutExpired as e:
    tally.check("every step finished in time", False, str(e))
finally:
    subprocess.run([args.wine_prefix, prefix, "cleanup"], check=False)
    if "keepalive" in globals():
        keepalive.wait(timeout=30)

status = tally.finish()
# A failed run keeps its prefix and logs for a look; a passed one frees the space.
if status == 0:
    shutil.rmtree(prefix, ignore_errors=True)
sys.exit(status)
