#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while.
#   scripts/fuzz.sh [SECONDS]   (default 30 per target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
# libFuzzer comes with clang's runtime libraries.
scripts/install-packages.sh clang libclang-rt-14-dev
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVELMORA_BUILD_FUZZERS=ON -DVELMORA_BUILD_CLI=OFF \
  -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=OFF
cmake --build build-fuzz -j "$(nproc)"

for target in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$target")
  corpus=$(mktemp -d)
  cp -r "fuzz/corpus/$name/." "$corpus/" 2>/dev/null || true
  echo "fuzz: $name for ${seconds}s"
  status=0
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "$corpus" >"$corpus.log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$corpus.log" >&2
    echo "fuzz: $name found a failure" >&2
    exit 1
  fi
  grep -E "^Done" "$corpus.log" || true
  rm -rf "$corpus" "$corpus.log"
done
echo "fuzz: no failures"
