#!/usr/bin/env bash
# Installs what the README's two commands need on Debian 12: building, testing
# and demonstrating the library and its front end. The fuzzers and the macOS
# check install their own toolchains (scripts/fuzz.sh, scripts/check-macos.sh).
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

packages=(
  # toolchain
  g++ cmake ninja-build pkg-config
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev python3 procps unzip zip time openssl
  # the archive tests: an exFAT file system (no hard links) through FUSE, a terminal
  exfatprogs exfat-fuse util-linux
  # the delayed archive benchmark's file system (libfuse 3; fuse3 replaces fuse 2's tools)
  libfuse3-dev fuse3
  # library dependencies
  libzip-dev libplist-dev libprotobuf-dev protobuf-compiler libutf8proc-dev
  # parallel deflate for the folder archive
  zlib1g-dev libdeflate-dev
  # front end and its manual page; the shells whose completions the tests run
  libcli11-dev nlohmann-json3-dev help2man zsh fish
  # the front end's Prometheus exporter (serve): prometheus-cpp's core, served by libmicrohttpd with GnuTLS;
  # its web configuration (YAML, bcrypt)
  prometheus-cpp-dev libmicrohttpd-dev libgnutls28-dev libyaml-cpp-dev libcrypt-dev
  # a decimal-comma locale for the locale-independence tests
  locales
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${packages[@]}"
# The tests read numbers while a host locale with a decimal comma is active.
if ! locale -a 2>/dev/null | grep -qi '^de_DE.utf8$'; then
  $sudo localedef -i de_DE -c -f UTF-8 de_DE.UTF-8
fi
echo "setup: all packages installed"
