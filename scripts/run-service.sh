#!/usr/bin/env bash
# `make run`: registers the service in a private Wine prefix, starts it, shows a status exchange and
# keeps it serving until interrupted; then stops it, removes it and leaves nothing running.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/wine-env.sh"
wine_setup_env "$top/build/windows/run-prefix"

exe="$top/build/windows/bin/orvanta-vpn-helper-windows.exe"
keepalive="$top/build/windows/bin/wine-keepalive.exe"
client="$top/build/native/bin/orvanta-vpn-client"
winexe="Z:${exe//\//\\}"
name=OrvantaVpnHelper

sc() { "$WINE" sc "$@" 2>/dev/null | tr -d '\r'; }
state() { sc query "$name" | awk '/STATE/ {print $4; exit}'; }

cleanup() {
  trap - EXIT INT TERM
  echo
  if [ "$(state)" = RUNNING ]; then
    echo "stopping $name"
    sc stop "$name" >/dev/null || true
    for _ in $(seq 1 100); do [ "$(state)" = STOPPED ] && break; sleep 0.1; done
  fi
  sc delete "$name" >/dev/null || true
  "$WINESERVER" -k 2>/dev/null || true
  echo "stopped; nothing is left running"
}
trap cleanup EXIT
trap 'cleanup; exit 0' INT TERM

mkdir -p "$WINEPREFIX"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "making the Wine prefix $WINEPREFIX"
  "$WINE" wineboot -i >/dev/null 2>&1 || true
  # A new prefix is finished only once its first Wine session has ended.
  "$WINESERVER" -w 2>/dev/null || true
fi

# A service under Wine lives only while some ordinary Wine process does.
# Its own session, so that the Ctrl-C meant for this script does not end it before the service stops.
setsid "$WINE" "$keepalive" >/dev/null 2>&1 &

sc delete "$name" >/dev/null 2>&1 || true
sc create "$name" binPath= "\"$winexe\"" start= demand >/dev/null
started=
for _ in $(seq 1 20); do
  if sc start "$name" >/dev/null; then started=1; break; fi
  sleep 0.5
done
[ -n "$started" ] || { echo "the Service Control Manager would not start $name" >&2; exit 1; }
for _ in $(seq 1 100); do "$client" status >/dev/null 2>&1 && break; sleep 0.1; done

echo "$name is $(state), serving 127.0.0.1:49877"
echo "> {\"cmd\":\"status\"}"
printf '< '; "$client" status || true
cat <<EOT

Try it from another terminal:
  $client status
  $client connect 'C:\\path\\to\\openvpn.exe' 'C:\\vpn\\client.ovpn' 'C:\\vpn\\auth.txt' 'C:\\vpn\\openvpn.log'
  $client disconnect
  $client raw '{"cmd":"status","extra":[1,2]}'
Press Ctrl-C to stop the service.
EOT
while [ "$(state)" = RUNNING ]; do sleep 1; done
echo "$name is no longer running ($(state))"
