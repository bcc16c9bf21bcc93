#!/usr/bin/env bash
# build-msi.sh VERSION BINDIR OUTPUT: the x64 installer package of the service and the client in BINDIR.
set -euo pipefail
if [ $# -ne 3 ]; then
  echo "usage: $0 VERSION BINDIR OUTPUT.msi" >&2
  exit 2
fi
wxs=$(cd "$(dirname "$0")" && pwd)/orvanta-vpn-helper.wxs
output=$(realpath -m "$3")
# wixl takes no absolute Source path, only one relative to where it runs.
cd "$2"
wixl -a x64 -D Version="$1" -D BinDir=. -o "$output" "$wxs"
