#!/usr/bin/env bash
# `make dist`: builds the release configuration and writes what we ship to build/dist (or to the folder
# given as the only argument):
#   orvanta-vpn-helper-windows.exe, orvanta-vpn-client.exe   optimised, stripped, each with a debug link
#   *.exe.debug                                              the debug information split off them
#   orvanta-vpn-helper-VERSION-x64.msi                       the installer package
#   orvanta-vpn-helper-VERSION-x64.zip                       the two executables and the policy templates
#   policy/OrvantaVpnHelper.admx, policy/en-US/*.adml        the Group Policy templates
#   SHA256SUMS                                               sha256sum -c of all of the above
# With SIGN_CERT and SIGN_KEY (PEM files: the certificate chain and its unencrypted key), the
# executables are Authenticode-signed before they go into the package and the archive, and so is the
# package.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/build/dist}")
version=$(tr -d '[:space:]' <"$root/VERSION")
executables=(orvanta-vpn-helper-windows.exe orvanta-vpn-client.exe)
templates=(policy/OrvantaVpnHelper.admx policy/en-US/OrvantaVpnHelper.adml)
name=orvanta-vpn-helper-$version-x64

signing=
if [ -n "${SIGN_CERT:-}" ] || [ -n "${SIGN_KEY:-}" ]; then
  if [ -z "${SIGN_CERT:-}" ] || [ -z "${SIGN_KEY:-}" ]; then
    echo "dist: set both SIGN_CERT and SIGN_KEY to sign, or neither" >&2
    exit 2
  fi
  signing=1
fi

cd "$root"
cmake --preset windows-release >/dev/null
cmake --build --preset windows-release
bin=$root/build/windows-release/bin

# Signs IN to OUT, or copies it when nothing is to be signed.
sign() {
  if [ -n "$signing" ]; then
    osslsigncode sign -certs "$SIGN_CERT" -key "$SIGN_KEY" -n "Orvanta VPN helper" -h sha256 \
      -in "$1" -out "$2" >/dev/null
  else
    cp "$1" "$2"
  fi
}

# A staging folder of this run's own: the tests run this script too, maybe beside `make dist`.
stage=$(mktemp -d "$root/build/windows-release/dist-stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
rm -rf "$out"
mkdir -p "$out"
for exe in "${executables[@]}"; do
  # The debug link names the .debug file and holds its checksum, so a debugger finds and trusts it
  # beside the executable; the link must be in place before signing, which covers it.
  x86_64-w64-mingw32-objcopy --only-keep-debug "$bin/$exe" "$out/$exe.debug"
  chmod -x "$out/$exe.debug"
  x86_64-w64-mingw32-strip --strip-all -o "$stage/$exe" "$bin/$exe"
  x86_64-w64-mingw32-objcopy --add-gnu-debuglink="$out/$exe.debug" "$stage/$exe"
  sign "$stage/$exe" "$out/$exe"
done

"$root/packaging/build-msi.sh" "$version" "$out" "$stage/$name.msi"
sign "$stage/$name.msi" "$out/$name.msi"
mkdir -p "$out/policy/en-US"
for template in "${templates[@]}"; do
  cp "$root/packaging/$template" "$out/$template"
done
(cd "$out" && zip -q -X "$name.zip" "${executables[@]}" "${templates[@]}")

(cd "$out" && sha256sum -- "${executables[@]}" "${executables[@]/%/.debug}" "$name.msi" "$name.zip" "${templates[@]}" \
  >SHA256SUMS)
echo "dist: $out${signing:+ (signed)}"
(cd "$out" && ls -l)
