#!/usr/bin/env bash
# Builds the front end and shows it working against the bundled LucidLink
# tool simulator.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -G Ninja -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)" --target velmora-fsutil lucid-sim >/dev/null

cli=build/cli/velmora-fsutil
sim=build/tools/lucid-sim
show() {
  printf '\n$ velmora-fsutil %s\n' "$*"
  "$cli" "$@" 2>&1 || printf '(exit status %d)\n' $?
}

show --version
show run /bin/echo a "" b
show run "$sim" println "output of any tool, returned exactly"
show --json run /bin/uname -s
show run /nonexistent/tool
show lucid --tool "$sim" raw echo-args list
show lucid --tool "$sim" --instance 2001 raw echo-args status
show lucid --tool "$sim" --instance 2001 raw print-hex ff
