#!/bin/sh
# Installs the packed tarball into an empty folder, offline, and runs the
# first example of the README it carries: its output must be the output
# that the README shows beneath it.
#
#   js/test/check-pack.sh dist/js/dwex-VERSION.tgz
set -eu
tarball=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
npm install --offline --no-audit --no-fund --silent "$tarball"
readme=node_modules/dwex/README.md
awk '/^```js$/ && !done { inside = 1; next } inside && /^```$/ { inside = 0; done = 1 } inside' "$readme" > example.mjs
awk '/^```js$/ { seen = 1 } seen && /^```text$/ && !done { inside = 1; next } inside && /^```$/ { inside = 0; done = 1 } inside' "$readme" > expected.txt
test -s example.mjs && test -s expected.txt
node example.mjs > actual.txt
diff -u expected.txt actual.txt
echo "check-pack: $(basename "$tarball") installs offline and its README example prints what the README shows"
