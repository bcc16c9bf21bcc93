#!/usr/bin/env python3
"""The administrator's policy as an administrator sets it: `reg add` under
HKLM\\SOFTWARE\\Policies\\Orvanta\\VpnHelper in the test prefix, and the service, started through the
Service Control Manager, answering real clients on 127.0.0.1:49877.

  - some of the three path lists without the others refuse every connect, a configuration from
    anywhere included;
  - OpenVpnPrograms: a listed program is launched however it is written; a copy elsewhere is refused,
    nothing is launched and the OpenVPN that runs keeps running;
  - ConfigDirectories and LogDirectories: outside and through .. are refused; a log that does not
    exist yet is accepted; a native network path is refused;
  - a value of the wrong type refuses connect; a changed value applies to the next request;
  - RequireClientToken: the token file beside the service (64 hex digits, no access for other Linux
    users, new at every start, gone at stop), whatever squats where it once was;
    requests without it, with a wrong one, and in the array form are refused; the Windows client sends
    it from its default place beside itself, and from --token-file over a wrong default;
  - a ClientGroups entry that is not a real group, or a RequireClientToken of the wrong type, refuses
    every command.

The key is deleted at the end, whatever happened; a keep-alive holds the Wine session open meanwhile.

usage: policy_check.py --prefix DIR --wine-run SCRIPT --service EXE --standin EXE --keepalive EXE
                       --windows-client EXE"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import Tally, eventually, exchange, service_state, windows_path, wine_runner  # noqa: E402

parser = argparse.ArgumentParser()
for option in ("prefix", "wine-run", "service", "standin", "keepalive", "windows-client"):
    parser.add_argument("--" + option, required=True)
args = parser.parse_args()

prefix = os.path.abspath(args.prefix)
key = "HKLM\\SOFTWARE\\Policies\\Orvanta\\VpnHelper"
service = "OrvantaVpnHelper"
drive_c = os.path.join(prefix, "drive_c")
sandbox = os.path.join(drive_c, "orvanta-policy")
token_file = os.path.join(os.path.dirname(os.path.abspath(args.service)), "token", "client.token")
old_token_place = os.path.join(drive_c, "ProgramData", "Orvanta")
tally = Tally()
wine = wine_runner(args.wine_run, prefix)


def at(relative):
    return "C:\\orvanta-policy\\" + relative


def linux(relative):
    return os.path.join(sandbox, *relative.split("\\"))


# --- the policy ---
def set_value(name, kind, data):
    result = wine("reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f")
    tally.check(f"reg add {name} {kind}", result.returncode == 0,
                f"exit {result.returncode}: {result.stdout}{result.stderr}")


def clear_policy():
    wine("reg", "delete", key, "/f")


# --- the service ---
def start_service():
    wine("sc", "start", service)
    return eventually(lambda: service_state(wine, service) == "RUNNING" and
                      exchange('{"cmd":"status"}') is not None)


def stop_service():
    if service_state(wine, service) not in (None, "STOPPED"):
        wine("sc", "stop", service)
        eventually(lambda: service_state(wine, service) == "STOPPED", 40)


def refusal(reason):
    return '{"ok":false,"message":"Not allowed: ' + reason + '","pid":null}\n'


def connect_line(openvpn, config, auth, log):
    return json.dumps({"cmd": "connect", "openvpn": openvpn, "config": config, "auth": auth, "log": log},
                      separators=(",", ":"))


plans = 0


def plan():
    """A stand-in plan in the allowed config folder; its config text and the file where it writes its id."""
    global plans
    plans += 1
    name = f"run-{plans}"
    with open(linux(f"cfg\\{name}.ovpn"), "w", encoding="utf-8") as f:
        f.write(f"pid_out={at('pids')}\\{name}.pid\n")
    return at(f"cfg\\{name}.ovpn"), linux(f"pids\\{name}.pid")


def launched(pid_file):
    return eventually(lambda: os.path.exists(pid_file), 10)


def started_with(reply):
    match = re.fullmatch(r'\{"ok":true,"message":"OpenVPN started","pid":(\d+)\}\n', reply or "")
    return match.group(1) if match else None


def check_connect(name, openvpn, config=None, log=None, expect=None):
    """A connect and what it must give: None for a launch, or the refusal's reason."""
    config_path, pid_file = (config, None) if config else plan()
    reply = exchange(connect_line(openvpn, config_path, at("cfg\\auth.txt"), log or at("logs\\openvpn.log")))
    if expect is None:
        tally.check(name + ": launched", started_with(reply) is not None and launched(pid_file), reply)
    else:
        tally.check(name + ": refused", reply == refusal(expect), reply)
        if pid_file:
            time.sleep(0.3)
            tally.check(name + ": nothing was launched", not os.path.exists(pid_file))
    return reply


def lay_out_sandbox():
    shutil.rmtree(sandbox, ignore_errors=True)
    for folder in ("OpenVPN\\bin", "elsewhere", "cfg", "logs", "pids"):
        os.makedirs(linux(folder))
    for copy in ("OpenVPN\\bin\\openvpn.exe", "elsewhere\\openvpn.exe"):
        shutil.copyfile(args.standin, linux(copy))
    for text_file in ("cfg\\auth.txt", "outside.ovpn"):
        with open(linux(text_file), "w", encoding="ascii") as f:
            f.write("pid_out=" + at("pids\\never.pid") + "\n")


# --- the checks ---
def path_values():
    program = at("OpenVPN\\bin\\openvpn.exe")
    set_value("OpenVpnPrograms", "REG_MULTI_SZ", program)
    check_connect("only OpenVpnPrograms: a configuration from anywhere", program, config=at("outside.ovpn"),
                  expect="the policy is incomplete: ConfigDirectories and LogDirectories are not set (a "
                         "lock-down needs all three of OpenVpnPrograms, ConfigDirectories and LogDirectories)")
    set_value("ConfigDirectories", "REG_MULTI_SZ", at("cfg"))
    set_value("LogDirectories", "REG_MULTI_SZ", at("logs"))
    first = started_with(check_connect("the listed program as listed", program))
    for how, written in (("with /", "C:/orvanta-policy/OpenVPN/bin/openvpn.exe"),
                         ("through ..", at("OpenVPN\\bin\\..\\..\\OpenVPN\\bin\\openvpn.exe"))):
        first = started_with(check_connect(f"the listed program written {how}", written)) or first
    check_connect("a copy of the program elsewhere", at("elsewhere\\openvpn.exe"),
                  expect="openvpn is not one of the programs in OpenVpnPrograms")
    tally.check("a refused connect stops nothing",
                exchange('{"cmd":"status"}') == '{"ok":true,"message":"running","pid":' + str(first) + "}\n")

    check_connect("a config inside, a log that does not exist yet", program, log=at("logs\\new.log"))
    outside = "config is not a file in a folder in ConfigDirectories"
    check_connect("a config outside the folders", program, config=at("outside.ovpn"), expect=outside)
    check_connect("a config through ..", program, config=at("cfg\\..\\outside.ovpn"), expect=outside)
    check_connect("a log outside the folders", program, log=at("openvpn.log"),
                  expect="log is not in a folder in LogDirectories")
    check_connect("a native network path", program, config="\\??\\UNC\\127.0.0.2\\share\\x.ovpn",
                  expect="config is a network or device path")

    set_value("OpenVpnPrograms", "REG_MULTI_SZ", at("elsewhere\\openvpn.exe"))
    check_connect("a changed list applies to the next request", at("elsewhere\\openvpn.exe"))
    check_connect("... and what it no longer lists is refused", program,
                  expect="openvpn is not one of the programs in OpenVpnPrograms")
    set_value("OpenVpnPrograms", "REG_SZ", program)
    check_connect("a value of the wrong type", program,
                  expect="OpenVpnPrograms cannot be used: it is not a REG_MULTI_SZ")
    tally.check("... refuses connect alone", exchange('{"cmd":"disconnect"}') ==
                '{"ok":true,"message":"OpenVPN stopped","pid":null}\n')
    tally.check("no refused configuration ran", not os.path.exists(linux("pids\\never.pid")))
    clear_policy()


def read_token():
    try:
        with open(token_file, encoding="ascii") as f:
            return f.read()
    except OSError:
        return None


def client_tokens():
    set_value("RequireClientToken", "REG_DWORD", "1")
    set_value("ClientGroups", "REG_MULTI_SZ", "S-1-5-32-556")
    # Where the token once went, any user could make a file first; it changes nothing now.
    shutil.rmtree(old_token_place, ignore_errors=True)
    with open(old_token_place, "w", encoding="ascii") as f:
        f.write("squatted")
    stop_service()
    tally.check("the service starts with a token required", start_service())
    token = read_token()
    tally.check("the token file beside the service holds 64 lower-case hex digits", token is not None and
                re.fullmatch("[0-9a-f]{64}", token) is not None, token)
    # Wine keeps no DACL: it maps the one given at creation onto the mode bits, and it maps an entry for
    # Administrators, which its one user belongs to, onto both the owner's and the group's bits. So the
    # mode comes out 0750 rather than 0600, and what Wine can show is that others have no access.
    mode = os.stat(token_file).st_mode & 0o777 if token else None
    tally.check(f"Everyone has no access: other Linux users have no mode bits (mode {oct(mode or 0)})",
                mode is not None and mode & 0o007 == 0)
    status = '{"cmd":"status"'
    for what, line, reason in (
            ("no token", status + "}", "the request carries no client token"),
            ("a wrong token", status + ',"token":"' + "0" * 64 + '"}', "the client token is not the service's"),
            ("the array form", '["status"]', "the array form carries no client token")):
        reply = exchange(line)
        tally.check(f"a request with {what} is refused", reply == refusal(reason), reply)
    stopped = '{"ok":true,"message":"stopped","pid":null}\n'
    tally.check("the right token is accepted", exchange(status + f',"token":"{token}"' + "}") == stopped)
    tally.check("a squatter's file at C:\\ProgramData\\Orvanta changes nothing, a disconnect included",
                exchange('{"cmd":"disconnect","token":"' + str(token) + '"}') ==
                '{"ok":true,"message":"OpenVPN stopped","pid":null}\n' and os.path.isfile(old_token_place))
    tally.check("a malformed request is still told what is wrong with it",
                exchange('{"cmd":') == '{"ok":false,"message":"Invalid request JSON: EOF while parsing a value at '
                                        'line 1 column 7","pid":null}\n')
    windows_client = wine(args.windows_client, "status")
    tally.check("the Windows client sends the token from its default place beside itself",
                windows_client.returncode == 0 and windows_client.stdout == stopped, windows_client.stdout)
    # A copy of the client whose default token file holds a wrong token.
    copy = linux("client\\orvanta-vpn-client.exe")
    os.makedirs(linux("client\\token"))
    shutil.copyfile(args.windows_client, copy)
    with open(linux("client\\token\\client.token"), "w", encoding="ascii") as f:
        f.write("0" * 64)
    wrong = wine(copy, "status")
    tally.check("a wrong token in the client's default place is sent, and refused",
                wrong.returncode == 1 and wrong.stdout == refusal("the client token is not the service's"), wrong.stdout)
    given = wine(copy, "--token-file", windows_path(token_file), "status")
    tally.check("--token-file is read instead of the default place",
                given.returncode == 0 and given.stdout == stopped, given.stdout + given.stderr)

    stop_service()
    tally.check("the token file is gone after the stop", read_token() is None)
    start_service()
    tally.check("a new start writes a new token", read_token() not in (None, token))
    stop_service()
    os.remove(old_token_place)


def broken_client_policy():
    for what, name, kind, data, problem in (
            ("a group that stands for every local account", "ClientGroups", "REG_MULTI_SZ", "S-1-5-32-556\\0S-1-5-113",
             "ClientGroups holds S-1-5-113, which is not a built-in group (S-1-5-32-<rid>) or a domain or "
             "computer group (S-1-5-21-<a>-<b>-<c>-<rid>)"),
            ("a RequireClientToken of the wrong type", "RequireClientToken", "REG_SZ", "1",
             "RequireClientToken is not a REG_DWORD of 0 or 1")):
        clear_policy()
        set_value(name, kind, data)
        start_service()
        expected = refusal("the client policy cannot be used: " + problem)
        for command in ("status", "disconnect"):
            reply = exchange('{"cmd":"' + command + '"}')
            tally.check(f"{what}: {command} is refused", reply == expected, reply)
        stop_service()


keepalive = subprocess.Popen([args.wine_run, prefix, args.keepalive], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
# The first Wine programs of a session start its background processes, which inherit their standard
# streams: a first command whose output were captured would never see its pipe close.
subprocess.run([args.wine_run, prefix, "cmd", "/c", "exit"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
               timeout=120)
try:
    clear_policy()
    lay_out_sandbox()
    wine("sc", "delete", service)
    created = wine("sc", "create", service, "binPath=", '"' + windows_path(args.service) + '"', "start=", "demand")
    if tally.check("the service is registered", created.returncode == 0, created.stdout) and \
            tally.check("the service starts", start_service()):
        path_values()
        client_tokens()
        broken_client_policy()
finally:
    stop_service()
    clear_policy()
    wine("sc", "delete", service)
    shutil.rmtree(sandbox, ignore_errors=True)
    keepalive.kill()
    keepalive.wait()
sys.exit(tally.finish())
