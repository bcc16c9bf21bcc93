#!/usr/bin/env bash
# Builds are done by make; the service host is not wired up yet, so this only shows what was built.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "built: build/windows/bin/orvanta-vpn-helper-windows.exe (the service host does not exist yet)"
