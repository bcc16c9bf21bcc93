#!/usr/bin/env bash
# wine-prefix.sh PREFIX setup|cleanup: makes the test prefix once, and ends its wineserver after a run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/wine-env.sh"
wine_setup_env "$1"
case "$2" in
  setup)
    mkdir -p "$WINEPREFIX"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$WINE" wineboot -i >/dev/null 2>&1 || true
    fi
    "$WINESERVER" -w >/dev/null 2>&1 || true
    test -f "$WINEPREFIX/system.reg"
    ;;
  cleanup)
    "$WINESERVER" -k >/dev/null 2>&1 || true
    ;;
  *) echo "usage: $0 PREFIX setup|cleanup" >&2; exit 2 ;;
esac
