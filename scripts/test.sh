#!/usr/bin/env bash
# Builds the library, its tools and tests, and runs the test suite.
#
#   scripts/test.sh            normal build, whole suite
#   scripts/test.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer, whole suite
#   scripts/test.sh tsan       ThreadSanitizer, the concurrency tests ("registry", and the exporter's "serve": its server and its password checks)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-normal}
jobs=$(nproc)
case "$mode" in
  normal) dir=build;      flags=(-DVELMORA_BUILD_BENCH=ON);                                        select=(); targets=() ;;
  asan)   dir=build-asan; flags=(-DVELMORA_SANITIZE="address;undefined" -DVELMORA_BUILD_BENCH=OFF); select=(); targets=() ;;
  # Only what the concurrency tests run is built: the exporter's test runs
  # the front end and the simulator.
  tsan)   dir=build-tsan; flags=(-DVELMORA_SANITIZE=thread -DVELMORA_BUILD_BENCH=OFF)
          select=(-L 'registry|serve'); targets=(--target velmora_registry_tests velmora_web_config_tests velmora-fsutil lucid-sim) ;;
  *) echo "usage: $0 [normal|asan|tsan]" >&2; exit 2 ;;
esac

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

cmake -S . -B "$dir" -G Ninja -DVELMORA_BUILD_TESTS=ON -DVELMORA_WERROR=ON "${flags[@]}"
cmake --build "$dir" -j "$jobs" "${targets[@]}"
ctest --test-dir "$dir" -j "$jobs" --output-on-failure "${select[@]}"
