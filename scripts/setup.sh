#!/usr/bin/env bash
# Installs everything needed to build, test and demo the library on Debian 12.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

packages=(
  # toolchain
  g++ cmake ninja-build pkg-config make file
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev python3 unzip zip time
  # the archive tests: an exFAT file system (no hard links) through FUSE, a terminal
  exfatprogs exfat-fuse util-linux
  # library dependencies
  libzip-dev libplist-dev libprotobuf-dev protobuf-compiler libutf8proc-dev
  # parallel deflate for the folder archive
  zlib1g-dev libdeflate-dev
  # front end
  libcli11-dev nlohmann-json3-dev
  # a decimal-comma locale for the locale-independence tests
  locales
  # fuzzers (libFuzzer comes with clang)
  clang libclang-rt-14-dev
)
# The macOS cross-compile check fetches its toolchain with npm; keep a Node.js
# that is already there.
if ! command -v npm >/dev/null 2>&1; then packages+=(nodejs npm); fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
# The tests read numbers while a host locale with a decimal comma is active.
if ! locale -a 2>/dev/null | grep -qi '^de_DE.utf8$'; then
  $sudo localedef -i de_DE -c -f UTF-8 de_DE.UTF-8
fi
echo "setup: all packages installed"
