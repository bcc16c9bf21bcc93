#!/usr/bin/env bash
# ctest's emulator for Windows test programs: wine-run.sh PREFIX PROGRAM [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/scripts/wine-env.sh"
wine_setup_env "$1"
shift
exec "$WINE" "$@"
