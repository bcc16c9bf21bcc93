#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; quiet and quick when all are present.
set -euo pipefail

packages=(
  cmake ninja-build make g++ clang libclang-rt-14-dev clang-format
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine64 rapidjson-dev googletest procps python3
  wixl msitools osslsigncode zip openssl
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "bootstrap: missing packages: ${missing[*]}; run 'make bootstrap' as root" >&2
  exit 1
fi
echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
