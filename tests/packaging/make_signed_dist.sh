#!/usr/bin/env bash
# make_signed_dist.sh WORK: runs `make dist`'s script into WORK/dist, signing with a throwaway
# self-signed code-signing certificate made in WORK/signing, as the packaging checks need.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$1
rm -rf "$work/signing"
mkdir -p "$work/signing"
# Two days' validity: enough for any run, useless after it.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Orvanta test signing" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  -keyout "$work/signing/key.pem" -out "$work/signing/cert.pem" 2>/dev/null
SIGN_CERT=$work/signing/cert.pem SIGN_KEY=$work/signing/key.pem "$root/scripts/dist.sh" "$work/dist"
