#!/usr/bin/env bash
# Runs the request-reader fuzzer for a bounded time: scripts/fuzz.sh SECONDS (after `make fuzz` built it).
# It works on a corpus in the build tree, seeded from fuzz/corpus and kept between runs; crashes,
# leaks and slow inputs land in the build tree's fuzz-artifacts folder and make the script fail.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANTA_FUZZ_BUILD_DIR:-$root/build/fuzz}
fuzzer=$build/fuzz/parse_request_fuzzer
if [ ! -x "$fuzzer" ]; then
  echo "fuzz: $fuzzer is not built; run 'make fuzz'" >&2
  exit 1
fi

corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
mkdir -p "$corpus" "$artifacts"
cp -n "$root"/fuzz/corpus/* "$corpus"/

# -timeout: seconds one input may take; -rss_limit_mb: memory of the whole run; -max_len leaves room
# for the deepest nesting the reader accepts.
"$fuzzer" "$corpus" \
  -dict="$root/fuzz/json.dict" \
  -max_total_time="$seconds" \
  -timeout=10 \
  -rss_limit_mb=2048 \
  -max_len=4096 \
  -artifact_prefix="$artifacts/" \
  -print_final_stats=1
