#!/usr/bin/env bash
# Installs everything needed to build, test and demo the library on Debian 12.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

packages=(
  # toolchain
  g++ cmake ninja-build pkg-config make file
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev python3 unzip
  # library dependencies
  libzip-dev libplist-dev libprotobuf-dev protobuf-compiler libutf8proc-dev
  # front end
  libcli11-dev nlohmann-json3-dev
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
echo "setup: all packages installed"
