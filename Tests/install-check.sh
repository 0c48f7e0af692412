#!/usr/bin/env bash
# Installs the build into a temporary prefix and starts the installed program from there: it must
# run and ship its tool, word model, desktop entry and icon; a probe placed beside the installed
# binary must resolve the word model to the installed copy.
set -euo pipefail
build=$1
probe=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/quillmere bin/quillmere-app bin/quillmere-screenshot share/quillmere/word-vectors.qwv \
         share/applications/quillmere.desktop share/icons/hicolor/scalable/apps/quillmere.svg; do
  [ -s "$prefix/$f" ] || { echo "missing after install: $f" >&2; exit 1; }
done
[ ! -L "$prefix/share/quillmere/word-vectors.qwv" ] || { echo "the word model was installed as a link" >&2; exit 1; }
"$prefix/bin/quillmere" --help >/dev/null
cp "$probe" "$prefix/bin/"
found=$("$prefix/bin/$(basename "$probe")")
[ "$found" = "$prefix/share/quillmere/word-vectors.qwv" ] || {
  echo "the installed program would look for its word model at: $found" >&2; exit 1; }
