#!/bin/sh
# Installs the build into a scratch prefix through CMake's install rules and
# runs the installed program on the bundled example: it must find its way
# alone and give the same results as the built program.
# Usage: install_test.sh CMAKE BUILD_DIR BUILT_PROGRAM EXAMPLE_DATA
set -eu
cmake=$1 build=$2 built=$3 example=$4
. "$(dirname "$0")/run_example.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvin-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$cmake" --install "$build" --prefix "$work/prefix" > "$work/install.log"
test -x "$work/prefix/bin/quorvin" || { echo "FAIL: no executable bin/quorvin"; exit 1; }
cmp "$(dirname "$0")/../../man/quorvin.1" "$work/prefix/share/man/man1/quorvin.1" ||
  { echo "FAIL: share/man/man1/quorvin.1 is not the manual page"; exit 1; }

"$work/prefix/bin/quorvin" --version | grep -q '^quorvin [0-9]' ||
  { echo "FAIL: the installed program gives no version"; exit 1; }

# Run from a folder of its own, with the build folder out of reach by name.
run_example "$work/prefix/bin/quorvin" "$work/installed"
run_example "$built" "$work/built"
for name in $results; do
  cmp "$work/built/$name" "$work/installed/$name" ||
    { echo "FAIL: the installed program's $name differs"; exit 1; }
done
echo "PASS: installed into a scratch prefix; the installed program gives the built one's results"
