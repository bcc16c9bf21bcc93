#!/usr/bin/env bash
# Runs the fuzzers for a bounded time each: scripts/fuzz.sh SECONDS [TARGET...] (after `make fuzz` built
# them); without a TARGET, every one in turn.
# Each works on a corpus of its own in the build tree, seeded from fuzz/ and kept between runs; crashes,
# leaks and slow inputs land in the build tree's fuzz-artifacts folder and make the script fail.
set -euo pipefail

seconds=${1:-60}
shift || true
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANTA_FUZZ_BUILD_DIR:-$root/build/fuzz}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(parse_request_fuzzer openvpn_story_fuzzer)
fi

artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"

for target in "${targets[@]}"; do
  # Each target's seeds and dictionary; -max_len: the request reader's leaves room for the deepest
  # nesting it accepts, the story's for a line well past a detail's 512 bytes.
  case $target in
    parse_request_fuzzer) seeds=corpus dict=json.dict max_len=4096 ;;
    # The story's seeds are also the real OpenVPN output the tests replay.
    openvpn_story_fuzzer) seeds="story-corpus ../tests/support/openvpn" dict=story.dict max_len=4096 ;;
    *)
      echo "fuzz: no such target: $target" >&2
      exit 1
      ;;
  esac
  fuzzer=$build/fuzz/$target
  if [ ! -x "$fuzzer" ]; then
    echo "fuzz: $fuzzer is not built; run 'make fuzz'" >&2
    exit 1
  fi
  corpus=$build/fuzz-corpus-$target
  mkdir -p "$corpus"
  for folder in $seeds; do
    cp -n "$root"/fuzz/$folder/* "$corpus"/
  done

  # -timeout: seconds one input may take; -rss_limit_mb: memory of the whole run.
  "$fuzzer" "$corpus" \
    -dict="$root/fuzz/$dict" \
    -max_total_time="$seconds" \
    -timeout=10 \
    -rss_limit_mb=2048 \
    -max_len="$max_len" \
    -artifact_prefix="$artifacts/$target-" \
    -print_final_stats=1
done
