#!/usr/bin/env bash
# `make bench`: the request server under Wine, measured against a bare thread-per-connection server
# under the same Wine by a Linux load client. Prints figures, ratios and targets; a benchmark, not a
# test. With the real service (the default) it then goes on to:
#   - hostile clients: peak memory under long lines of tiny values, threads under 3,000 silent
#     connections, a status client's latency while 3,000 silent connections (and 1,000 that never
#     read their replies) are held and reopened, a reader of 16 KiB/s, and a stop with OpenVPN running, a taskkill that hangs and connects queued behind
#     it (the stand-in OpenVPN and the hanging taskkill of the Windows test build);
#   - OpenVPN's state and stops: `state` beside `status` while the stand-in's log grows past 50 MiB,
#     and a disconnect when OpenVPN ends on its exit event and when it is forced after the grace;
#   - restarts: from a start to the first answered status, after the service's process was killed,
#     with an OpenVPN (the stand-in) to adopt and without;
#   - status latency over the pipe and over the port, from one Windows client taking turns;
#   - idle memory: the release service as shipped (scripts/dist.sh, stripped) beside the bare server
#     and beside a service that does nothing, all idle at the same time.
# The real service binds 127.0.0.1:49877: run it as `flock -o /tmp/orvanta-endpoint.lock make bench`
# where others may use that port.
#   BENCH_TARGET                  service (default): the real service, registered and started in the
#                                 bench prefix, on 127.0.0.1:49877; host: bench_host.exe on BENCH_PORT
#                                 (latency, throughput and idle wake-ups only)
#   BENCH_PORT, BENCH_BARE_PORT   ports of bench_host and of the bare server (49897, 49898); the bare
#                                 server of the idle memory comparison takes BENCH_BARE_PORT + 1
#   BENCH_ONLY                    openvpn: with the real service, only the stop with a hanging taskkill
#                                 and OpenVPN's state and stops (no Linux clients, no release build)
#   ORVANTA_WINDOWS_BUILD         the Windows build tree (build/windows)
#   arguments                     passed on to bench_client (--requests N, --seconds S, ...)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
windows_build=${ORVANTA_WINDOWS_BUILD:-$root/build/windows}
client_build=${ORVANTA_BENCH_CLIENT_BUILD:-$root/build/bench-client}
release_dist=$root/build/bench-dist
port=${BENCH_PORT:-49897}
bare_port=${BENCH_BARE_PORT:-49898}
idle_bare_port=$((bare_port + 1))
target=${BENCH_TARGET:-service}
only=${BENCH_ONLY:-}
if [ -n "$only" ] && { [ "$only" != openvpn ] || [ "$target" != service ]; }; then
  echo "bench: BENCH_ONLY knows only openvpn, with the real service" >&2
  exit 2
fi
began=$(date +%s)

needed=(bench_host.exe bench_bare_server.exe)
if [ "$target" = service ]; then
  needed+=(orvanta-vpn-helper-windows.exe bench_stop_hostage.exe bench_restart.exe bench_null_service.exe bench_endpoint_latency.exe
           bench_state_and_disconnect.exe ../tests/support/standin.exe ../tests/vpn/taskkill.exe)
fi
for exe in "${needed[@]}"; do
  if [ ! -f "$windows_build/bin/$exe" ]; then
    echo "bench: $windows_build/bin/$exe is missing (make build-windows)" >&2
    exit 1
  fi
done

# Optimised clients of their own, apart from the sanitised native tree.
mkdir -p "$client_build"
if [ -z "$only" ]; then
  cmake -S "$root" -B "$client_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANTA_TESTS=OFF >/dev/null
  cmake --build "$client_build" --target bench_client bench_hostile bench_idle_memory >/dev/null
fi
if [ "$target" = service ] && [ -z "$only" ]; then
  # The release service exactly as shipped, in a folder of the bench's own (build/dist is left alone).
  if ! "$root/scripts/dist.sh" "$release_dist" >"$client_build/bench-dist.log" 2>&1; then
    cat "$client_build/bench-dist.log" >&2
    exit 1
  fi
fi

. "$root/scripts/wine-env.sh"
wine_setup_env "$windows_build/bench-wineprefix"
"$root/cmake/wine-prefix.sh" "$WINEPREFIX" setup

work=$(mktemp -d)
winpath() { local path=$1; echo "Z:${path//\//\\}"; }
service=OrvantaVpnHelper
null_service=OrvantaBenchNullService
system32=$WINEPREFIX/drive_c/windows/system32
saved_taskkill=$system32/taskkill.exe.orvanta-bench-saved
sc() { "$WINE" sc "$@" 2>/dev/null | tr -d '\r'; }
state_of() { sc query "$1" | awk '/STATE/ {print $4; exit}'; }

# The Linux processes of this prefix's Wine session whose command line matches PATTERN: other prefixes
# may run programs of the same names meanwhile.
wine_pids() {
  local pid
  for pid in $(pgrep -f "$1"); do
    # A process that has ended but not been reaped yet shows no environment, and is not counted.
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      echo "$pid"
    fi
  done
}
serving() { bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null; }

# Starts service NAME and prints the pid of its process (matching PATTERN); with PORT, once it serves.
start_service() {
  local name=$1 pattern=$2 port=${3:-} pid=
  if [ -n "$(wine_pids "$pattern")" ]; then
    echo "bench: a process of $name still runs; not starting another" >&2
    return 1
  fi
  sc start "$name" >/dev/null
  for _ in $(seq 200); do
    pid=$(wine_pids "$pattern" | head -n 1)
    if [ -n "$pid" ] && [ "$(state_of "$name")" = RUNNING ] && { [ -z "$port" ] || serving "$port"; }; then
      echo "$pid"
      return 0
    fi
    sleep 0.1
  done
  echo "bench: $name would not start" >&2
  return 1
}
# Stops service NAME and waits until it reports STOPPED and its process (matching PATTERN) is gone,
# asking again every 10 s while it still runs; says so when that takes long, and fails after 90 s.
stop_service() {
  local name=$1 pattern=$2 began=$SECONDS asked= asks=0 stopped_after=never state
  while [ $((SECONDS - began)) -lt 90 ]; do
    state=$(state_of "$name")
    if [ "$state" = RUNNING ] && { [ -z "$asked" ] || [ $((SECONDS - asked)) -ge 10 ]; }; then
      sc stop "$name" >/dev/null || true
      asked=$SECONDS
      asks=$((asks + 1))
    fi
    if [ "$state" = STOPPED ] && [ "$stopped_after" = never ]; then
      stopped_after="$((SECONDS - began)) s"
    fi
    if [ "$state" != RUNNING ] && [ "$state" != STOP_PENDING ] && [ -z "$(wine_pids "$pattern")" ]; then
      if [ $((SECONDS - began)) -ge 20 ]; then
        echo "bench: $name took $((SECONDS - began)) s to stop and end (asked $asks times; STOPPED after $stopped_after)" >&2
      fi
      return 0
    fi
    sleep 0.2
  done
  echo "bench: $name did not stop within 90 s (state ${state:-unknown}; processes $(wine_pids "$pattern" | tr '\n' ' '))" >&2
  return 1
}
ours='orvanta-vpn-helper-windows\.exe'
restart_ours() {
  stop_service "$service" "$ours" && start_service "$service" "$ours" 49877
}

# The hanging taskkill stands in for the system's own while the stop is timed. Under Wine a file in
# the system folder is run only when the prefix is told to prefer it to Wine's built-in program.
place_taskkill() {
  [ -f "$saved_taskkill" ] || cp "$system32/taskkill.exe" "$saved_taskkill"
  cp "$windows_build/tests/vpn/taskkill.exe" "$system32/taskkill.exe"
  "$WINE" reg add 'HKCU\Software\Wine\DllOverrides' /v taskkill.exe /t REG_SZ /d native /f >/dev/null 2>&1
}
restore_taskkill() {
  rm -f "$system32/taskkill.hold" "$system32/taskkill.log"
  if [ -f "$saved_taskkill" ]; then
    mv -f "$saved_taskkill" "$system32/taskkill.exe"
    "$WINE" reg delete 'HKCU\Software\Wine\DllOverrides' /v taskkill.exe /f >/dev/null 2>&1 || true
  fi
}
# A run cut short may have left them in place.
restore_taskkill

pids=()
cleanup() {
  if [ "$target" = service ]; then
    stop_service "$service" "$ours" || true
    stop_service "$null_service" 'bench_null_service\.exe' || true
    sc delete "$service" >/dev/null 2>&1 || true
    sc delete "$null_service" >/dev/null 2>&1 || true
    restore_taskkill
  fi
  # Ending their standard input ends the hosts; whatever is still running goes with the wineserver.
  exec 7>&- 8>&- 9>&- || true
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

mkfifo "$work/host.in" "$work/bare.in" "$work/idle-bare.in"
if [ "$target" = service ]; then
  sc delete "$service" >/dev/null 2>&1 || true
  sc delete "$null_service" >/dev/null 2>&1 || true
else
  "$WINE" "$windows_build/bin/bench_host.exe" "$port" <"$work/host.in" &
  host_pid=$!
  pids+=("$host_pid")
  exec 7>"$work/host.in"
fi
# The service lives only while an ordinary Wine process does: the bare server is one.
"$WINE" "$windows_build/bin/bench_bare_server.exe" "$bare_port" <"$work/bare.in" &
bare_pid=$!
pids+=("$bare_pid")
exec 8>"$work/bare.in"

if [ "$target" = service ]; then
  sc create "$service" binPath= "\"$(winpath "$windows_build/bin/orvanta-vpn-helper-windows.exe")\"" \
    start= demand >/dev/null
  port=49877
  host_pid=$(start_service "$service" "$ours" "$port")
  echo "ours: the $service service on 127.0.0.1:$port (pid $host_pid); bare: bench_bare_server.exe on 127.0.0.1:$bare_port (pid $bare_pid)"
else
  echo "ours: bench_host.exe on 127.0.0.1:$port (pid $host_pid); bare: bench_bare_server.exe on 127.0.0.1:$bare_port (pid $bare_pid)"
fi
[ -n "$only" ] || "$client_build/bin/bench_client" "$@" "$port:$host_pid" "$bare_port:$bare_pid"

if [ "$target" = service ] && [ -z "$only" ]; then
  echo
  "$WINE" "$windows_build/bin/bench_endpoint_latency.exe" 500 | tr -d '\r' ||
    echo "bench: the pipe and the port could not both be timed"
fi

if [ "$target" != service ]; then
  echo
  echo "hostile clients and idle memory: only with the real service (BENCH_TARGET=service)"
  echo "bench took $(($(date +%s) - began)) s"
  exit 0
fi

# Each load meets a service of its own, so that each peak is its own. A load that fails is reported
# and the rest go on.
hostile() {
  local pid
  pid=$(restart_ours) && "$client_build/bin/bench_hostile" "$1" 49877 "$pid" "${@:2}" ||
    echo "bench: the $1 load failed"
}
hostile_loads() {
  echo
  echo "hostile clients, each load against a freshly started $service ($(winpath "$windows_build/bin")):"
  echo
  echo "long lines, 120 x 390 KiB:"
  hostile lines 120 $((390 * 1024))
  echo
  echo "long lines, 1000 x 1 MiB:"
  hostile lines 1000 $((1024 * 1024)) 400
  echo
  echo "silent connections:"
  hostile silent 3000
  echo
  echo "silent connections reopened as dropped, and a second client's status:"
  hostile crowd 3000 0 20
  echo
  echo "the same, and clients that never read the long replies to their malformed lines:"
  hostile crowd 3000 1000 25
  echo
  echo "a slow reader:"
  hostile trickle $((16 * 1024))
}
[ -n "$only" ] || hostile_loads
echo
if restart_ours >/dev/null; then
  place_taskkill
  mkdir -p "$work/stop"
  "$WINE" "$windows_build/bin/bench_stop_hostage.exe" "$service" \
    "$(winpath "$windows_build/tests/support/standin.exe")" "$(winpath "$work/stop")" | tr -d '\r' ||
    echo "bench: the stop could not be timed"
  stop_service "$service" "$ours"
  restore_taskkill
fi

echo
echo "OpenVPN's state and stops (the stand-in as OpenVPN):"
if restart_ours >/dev/null; then
  mkdir -p "$work/openvpn"
  "$WINE" "$windows_build/bin/bench_state_and_disconnect.exe" \
    "$(winpath "$windows_build/tests/support/standin.exe")" "$(winpath "$work/openvpn")" | tr -d '\r' ||
    echo "bench: OpenVPN's state and stops could not all be timed"
fi

if [ -n "$only" ]; then
  echo
  echo "bench took $(($(date +%s) - began)) s"
  exit 0
fi

echo
echo "restarts:"
if restart_ours >/dev/null; then
  mkdir -p "$work/restart"
  "$WINE" "$windows_build/bin/bench_restart.exe" "$service" \
    "$(winpath "$windows_build/tests/support/standin.exe")" "$(winpath "$work/restart")" | tr -d '\r' ||
    echo "bench: the restarts could not be timed"
fi

echo
echo "idle memory:"
stop_service "$service" "$ours"
sc delete "$service" >/dev/null
sc create "$service" binPath= "\"$(winpath "$release_dist/orvanta-vpn-helper-windows.exe")\"" start= demand >/dev/null
sc create "$null_service" binPath= "\"$(winpath "$windows_build/bin/bench_null_service.exe")\"" start= demand >/dev/null
"$WINE" "$windows_build/bin/bench_bare_server.exe" "$idle_bare_port" <"$work/idle-bare.in" &
pids+=("$!")
exec 9>"$work/idle-bare.in"
release_pid=$(start_service "$service" "$ours" 49877)
null_pid=$(start_service "$null_service" 'bench_null_service\.exe')
idle_bare_pid=
for _ in $(seq 100); do
  idle_bare_pid=$(wine_pids "bench_bare_server\\.exe $idle_bare_port" | head -n 1)
  [ -n "$idle_bare_pid" ] && serving "$idle_bare_port" && break
  sleep 0.1
done
"$client_build/bin/bench_idle_memory" "release service ($(basename "$release_dist")/, stripped)=$release_pid" \
  "bare server=$idle_bare_pid" "a service that does nothing=$null_pid"
echo
echo "bench took $(($(date +%s) - began)) s"
