#!/usr/bin/env python3
"""What `make dist` ships, read from Linux: the checksums, the debug links, the signatures (and that one
changed byte breaks each of them), the files inside the package and the archive, and what the package
says and schedules.

usage: dist_check.py DIST_DIR VERSION_FILE CA_CERT"""
import atexit
import os
import re
import shutil
import struct
import sys
import tempfile
import zipfile
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import Tally, read_version, run  # noqa: E402  (after the path it comes from)

dist, version_file, ca_cert = sys.argv[1:4]
version = read_version(version_file)
executables = ["orvanta-vpn-helper-windows.exe", "orvanta-vpn-client.exe"]
package = f"orvanta-vpn-helper-{version}-x64.msi"
archive = f"orvanta-vpn-helper-{version}-x64.zip"
templates = ["policy/OrvantaVpnHelper.admx", "policy/en-US/OrvantaVpnHelper.adml"]
shipped = executables + [exe + ".debug" for exe in executables] + [package, archive] + templates
tally = Tally()
scratch = tempfile.mkdtemp(prefix="dist-check-")
atexit.register(shutil.rmtree, scratch, ignore_errors=True)


def path(name):
    return os.path.join(dist, name)


def content(file):
    with open(file, "rb") as f:
        return f.read()


# --- checksums ---
sums = content(path("SHA256SUMS")).decode().splitlines()
listed = sorted(line.split(None, 1)[1].lstrip("*") for line in sums)
present = sorted(os.path.relpath(os.path.join(folder, name), dist).replace(os.sep, "/")
                 for folder, _, names in os.walk(dist) for name in names)
tally.check("SHA256SUMS lists every file shipped, and the folder holds nothing else",
            listed == sorted(shipped) and present == sorted(shipped + ["SHA256SUMS"]),
            f"listed {listed}, present {present}")
result = run("sha256sum", "-c", "SHA256SUMS", cwd=dist)
tally.check("sha256sum -c SHA256SUMS", result.returncode == 0, result.stdout + result.stderr)


# --- debug information ---
def section_names(file):
    result = run("x86_64-w64-mingw32-objdump", "-h", file)
    return set(re.findall(r"^\s*\d+\s+(\S+)", result.stdout, re.MULTILINE))


for exe in executables:
    link = os.path.join(scratch, exe + ".link")
    run("x86_64-w64-mingw32-objcopy", f"--dump-section=.gnu_debuglink={link}", path(exe),
        os.path.join(scratch, "ignored.exe"))
    raw = content(link) if os.path.exists(link) else b""
    name = raw.split(b"\0", 1)[0].decode(errors="replace")
    # The link ends with the CRC-32 of the debug file, after the NUL-padded name.
    crc = struct.unpack("<I", raw[-4:])[0] if len(raw) >= 8 else None
    tally.check(f"{exe}: its debug link names {exe}.debug", name == exe + ".debug", repr(raw[:64]))
    tally.check(f"{exe}: the link's checksum is that of the shipped debug file",
                crc == zlib.crc32(content(path(exe + ".debug"))), hex(crc or 0))
    tally.check(f"{exe}: stripped of debug sections",
                not any(s.startswith(".debug") for s in section_names(path(exe))), section_names(path(exe)))
    tally.check(f"{exe}.debug: holds the debug information",
                ".debug_info" in section_names(path(exe + ".debug")))


# --- signatures ---
def covered_offset(name, data):
    """An offset that the Authenticode digest covers: the middle of a PE's first section, or a byte of
    the product name in the package's string pool."""
    if name.endswith(".exe"):
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        first_section = pe + 24 + optional_size
        raw_size, raw_start = struct.unpack_from("<II", data, first_section + 16)
        return raw_start + raw_size // 2
    return data.index(b"Orvanta VPN helper") + 3


def verify(file):
    return run("osslsigncode", "verify", "-in", file, "-CAfile", ca_cert)


for name in executables + [package]:
    result = verify(path(name))
    tally.check(f"{name}: signature verifies", result.returncode == 0, result.stdout[-400:] + result.stderr)
    data = bytearray(content(path(name)))
    data[covered_offset(name, data)] ^= 0x01
    tampered = os.path.join(scratch, "tampered-" + name)
    with open(tampered, "wb") as f:
        f.write(data)
    tally.check(f"{name}: one changed byte fails verification", verify(tampered).returncode != 0)


# --- what the package and the archive carry: the signed executables themselves ---
unpacked = os.path.join(scratch, "msi")
run("msiextract", "-C", unpacked, path(package))
for exe in executables:
    inside = os.path.join(unpacked, "Orvanta VPN helper", exe)
    tally.check(f"the package installs the shipped {exe}",
                os.path.exists(inside) and content(inside) == content(path(exe)))
with zipfile.ZipFile(path(archive)) as z:
    tally.check("the archive holds the two executables and the policy templates",
                sorted(z.namelist()) == sorted(executables + templates), z.namelist())
    for name in executables + templates:
        if name in z.namelist():
            tally.check(f"the archive's {name} is the shipped one", z.read(name) == content(path(name)))


# --- what the package says and schedules ---
def table(name):
    lines = run("msiinfo", "export", path(package), name).stdout.splitlines()[3:]
    return [line.split("\t") for line in lines]


properties = {row[0]: row[1] for row in table("Property") if len(row) >= 2}
tally.check("ProductVersion is VERSION", properties.get("ProductVersion") == version,
            properties.get("ProductVersion"))
tables = set(run("msiinfo", "tables", path(package)).stdout.split())
every_action = " ".join(row[3] for row in table("CustomAction") if len(row) >= 4)
tally.check("nothing of ProgramData is removed: users and other products may own what is there",
            "CommonAppDataFolder" not in every_action, every_action)
tally.check("no permission tables: the install folder keeps Program Files' ACL",
            not tables & {"LockPermissions", "MsiLockPermissionsEx"}, tables)

sequence = {row[0]: (int(row[2]), row[1]) for row in table("InstallExecuteSequence") if len(row) == 3}
actions = {row[0]: (int(row[1]), row[3]) for row in table("CustomAction") if len(row) >= 4}
deferred, no_impersonate, continue_on_error = 0x400, 0x800, 0x40


def scheduled(target):
    """The sequence number, condition and type of the custom action that runs TARGET."""
    for action, (kind, text) in actions.items():
        if text == target and action in sequence:
            return sequence[action] + (kind,)
    return None


def seq(action):
    return sequence.get(action, (-1,))[0]


# A deferred action outside InstallInitialize..InstallFinalize never runs; the recovery actions need the
# service installed and should be set before it first starts; the token folder goes once the service has
# stopped, and before the files, so that the install folder is empty when they go.
expectations = [
    ("failure OrvantaVpnHelper reset= 86400 actions= restart/5000/restart/5000/restart/60000",
     "InstallServices", "StartServices", "NOT REMOVE"),
    ("failureflag OrvantaVpnHelper 1", "InstallServices", "StartServices", "NOT REMOVE"),
    ('/d /c rmdir /s /q "[INSTALLDIR]token"', "StopServices", "RemoveFiles", "NOT UPGRADINGPRODUCTCODE"),
]
for target, after, before, condition in expectations:
    found = scheduled(target)
    tally.check(f"scheduled: {target}", found is not None)
    if found:
        number, when, kind = found
        tally.check(f"  after {after}, before {before}", seq(after) < number < seq(before), number)
        tally.check("  inside the install script",
                    seq("InstallInitialize") < number < seq("InstallFinalize") and kind & deferred, kind)
        tally.check("  as the system, and its failure does not fail the install",
                    kind & no_impersonate and kind & continue_on_error, kind)
        tally.check(f"  only when {condition}", condition in when, when)

sys.exit(tally.finish())
