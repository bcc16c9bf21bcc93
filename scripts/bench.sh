#!/usr/bin/env bash
# `make bench`: the request server under Wine, measured against a bare thread-per-connection server
# under the same Wine by a Linux load client. Prints figures and ratios; a benchmark, not a test.
#   BENCH_TARGET                  service (default): the real service, registered and started in the
#                                 bench prefix, on 127.0.0.1:49877; host: bench_host.exe on BENCH_PORT
#   BENCH_PORT, BENCH_BARE_PORT   ports of bench_host and of the bare server (49897, 49898)
#   ORVANTA_WINDOWS_BUILD         the Windows build tree (build/windows)
#   arguments                     passed on to bench_client (--requests N, --seconds S, ...)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
windows_build=${ORVANTA_WINDOWS_BUILD:-$root/build/windows}
client_build=${ORVANTA_BENCH_CLIENT_BUILD:-$root/build/bench-client}
port=${BENCH_PORT:-49897}
bare_port=${BENCH_BARE_PORT:-49898}

for exe in bench_host.exe bench_bare_server.exe; do
  if [ ! -f "$windows_build/bin/$exe" ]; then
    echo "bench: $windows_build/bin/$exe is missing (make build-windows)" >&2
    exit 1
  fi
done

# An optimised client of its own, apart from the sanitised native tree.
cmake -S "$root" -B "$client_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANTA_TESTS=OFF >/dev/null
cmake --build "$client_build" --target bench_client >/dev/null

. "$root/scripts/wine-env.sh"
wine_setup_env "$windows_build/bench-wineprefix"
"$root/cmake/wine-prefix.sh" "$WINEPREFIX" setup

work=$(mktemp -d)
pids=()
cleanup() {
  # Ending their standard input ends the hosts; whatever is still running goes with the wineserver.
  exec 7>&- 8>&- || true
  for _ in $(seq 50); do
    running=0
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && running=1; done
    [ "$running" = 0 ] && break
    sleep 0.1
  done
  "$WINESERVER" -k 2>/dev/null || true
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

target=${BENCH_TARGET:-service}
service=OrvantaVpnHelper
sc() { "$WINE" sc "$@" 2>/dev/null | tr -d '\r'; }
service_state() { sc query "$service" | awk '/STATE/ {print $4; exit}'; }
stop_service() {
  if [ "$target" = service ] && [ "$(service_state)" = RUNNING ]; then
    sc stop "$service" >/dev/null || true
    for _ in $(seq 50); do [ "$(service_state)" = STOPPED ] && break; sleep 0.1; done
  fi
  [ "$target" = service ] && sc delete "$service" >/dev/null 2>&1 || true
}
trap 'stop_service; cleanup' EXIT

mkfifo "$work/host.in" "$work/bare.in"
if [ "$target" = service ]; then
  # The service lives only while an ordinary Wine process does: the bare server is one.
  exe="$windows_build/bin/orvanta-vpn-helper-windows.exe"
  sc delete "$service" >/dev/null 2>&1 || true
else
  "$WINE" "$windows_build/bin/bench_host.exe" "$port" <"$work/host.in" &
  host_pid=$!
  pids+=("$host_pid")
  exec 7>"$work/host.in"
fi
"$WINE" "$windows_build/bin/bench_bare_server.exe" "$bare_port" <"$work/bare.in" &
bare_pid=$!
pids+=("$bare_pid")
exec 8>"$work/bare.in"

if [ "$target" = service ]; then
  sc create "$service" binPath= "\"Z:${exe//\//\\}\"" start= demand >/dev/null
  sc start "$service" >/dev/null
  port=49877
  host_pid=
  for _ in $(seq 100); do
    host_pid=$(pgrep -f 'orvanta-vpn-helper-windows\.exe' | head -n 1 || true)
    [ -n "$host_pid" ] && bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null && break
    sleep 0.1
  done
  echo "ours: the $service service on 127.0.0.1:$port (pid $host_pid); bare: bench_bare_server.exe on 127.0.0.1:$bare_port (pid $bare_pid)"
else
  echo "ours: bench_host.exe on 127.0.0.1:$port (pid $host_pid); bare: bench_bare_server.exe on 127.0.0.1:$bare_port (pid $bare_pid)"
fi
"$client_build/bin/bench_client" "$@" "$port:$host_pid" "$bare_port:$bare_pid"
