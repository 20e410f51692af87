#!/usr/bin/env bash
# Builds the API reference into build-docs/html with Doxygen: the public
# headers of include/velmora/, and the README's usage section as its front
# page. Fails on any warning, an undocumented public name among them.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh doxygen
out=build-docs
rm -rf "$out" && mkdir -p "$out"
# The README's "Using the library" section, up to the next section of its level.
awk '/^## /{keep = ($0 == "## Using the library")} keep' README.md > "$out/usage.md"
if [ ! -s "$out/usage.md" ]; then echo "docs: README.md has no '## Using the library' section" >&2; exit 1; fi
VELMORA_DOCS_OUT=$out VELMORA_DOCS_USAGE=$out/usage.md \
VELMORA_DOCS_VERSION=$(sed -n 's/^#define VELMORA_FSUTILS_VERSION "\([^"]*\)".*/\1/p' include/velmora/version.hpp) \
  doxygen docs/Doxyfile
echo "docs: $out/html/index.html"
