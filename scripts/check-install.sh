#!/usr/bin/env bash
# Installs the library into a scratch prefix and builds and runs a small
# consumer project against it with find_package(VelmoraFSUtils).
set -euo pipefail
cd "$(dirname "$0")/.."

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake -S . -B build-install -G Ninja -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=OFF \
      -DCMAKE_INSTALL_PREFIX="$prefix/usr" >/dev/null
cmake --build build-install -j "$(nproc)" >/dev/null
cmake --install build-install >/dev/null
cmake -S tests/consumer -B "$prefix/consumer-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix/usr" >/dev/null
cmake --build "$prefix/consumer-build" >/dev/null
output=$("$prefix/consumer-build/consumer")
[ "$output" = "consumer works" ] || { echo "check-install: unexpected output: $output" >&2; exit 1; }
test -x "$prefix/usr/bin/velmora-fsutil"
echo "check-install: the installed package builds and runs a consumer"
