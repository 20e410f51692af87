#!/usr/bin/env bash
# Installs the package into scratch prefixes, static and shared, and builds
# and runs a small consumer against each, found once through CMake's
# find_package(VelmoraFSUtils) and once through pkg-config. The prefix is
# chosen at install time (`cmake --install --prefix`), as the README tells
# users to, so the package must not depend on the configured one.
set -euo pipefail
cd "$(dirname "$0")/.."

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

check_consumer() {  # name program
  local output
  output=$("$2") || fail "$1: the consumer failed"
  [ "$output" = "consumer works" ] || fail "$1: unexpected output: $output"
  echo "check-install: $1: the consumer builds and runs"
}

for kind in static shared; do
  prefix=$scratch/$kind/usr
  shared=OFF; [ "$kind" = shared ] && shared=ON
  cmake -S . -B "build-install-$kind" -G Ninja -DBUILD_SHARED_LIBS=$shared -DVELMORA_BUILD_TESTS=OFF \
        -DVELMORA_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/nonexistent/configured-prefix
  cmake --build "build-install-$kind" -j "$(nproc)"
  cmake --install "build-install-$kind" --prefix "$prefix"
  lib=$(find "$prefix" -name 'libvelmorafsutils.*' -not -type l | head -n 1)

  for file in bin/velmora-fsutil share/man/man1/velmora-fsutil.1 share/bash-completion/completions/velmora-fsutil \
              share/zsh/site-functions/_velmora-fsutil share/fish/vendor_completions.d/velmora-fsutil.fish \
              share/VelmoraFSUtils/proto/vlmproto.proto include/velmora/version.hpp; do
    [ -e "$prefix/$file" ] || fail "$kind: $file is not installed"
  done
  [ -n "$(find "$prefix" -name velmora-fsutils.pc)" ] || fail "$kind: no pkg-config file"
  "$prefix/bin/velmora-fsutil" --version | grep -qx "velmora-fsutil 0.1.0" || fail "$kind: the installed front end does not run"
  if [ "$kind" = shared ]; then
    readelf -d "$lib" | grep -q 'SONAME.*libvelmorafsutils\.so\.0\.1' || fail "shared: no SONAME libvelmorafsutils.so.0.1 in $lib"
  fi

  cmake -S tests/consumer -B "$scratch/$kind/cmake-consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
  cmake --build "$scratch/$kind/cmake-consumer"
  check_consumer "$kind, CMake" "$scratch/$kind/cmake-consumer/consumer"

  export PKG_CONFIG_PATH
  PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name velmora-fsutils.pc)")
  [ -f "$(pkg-config --variable=protodir velmora-fsutils)/vlmproto.proto" ] || fail "$kind: pkg-config's protodir is not the installed one"
  # shellcheck disable=SC2046
  g++ -std=c++20 tests/consumer/main.cpp -o "$scratch/$kind/pkg-config-consumer" \
      $(pkg-config --cflags --libs velmora-fsutils)
  LD_LIBRARY_PATH=$(dirname "$lib") check_consumer "$kind, pkg-config" "$scratch/$kind/pkg-config-consumer"
done
echo "check-install: the installed packages build and run consumers"
