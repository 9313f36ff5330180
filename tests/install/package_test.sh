#!/bin/sh
# Builds the Debian package with CPack into a scratch folder, checks its
# control fields and contents, unpacks it and runs the unpacked program on the
# bundled example. Skipped (77) without dpkg-deb or objdump.
# Usage: package_test.sh CPACK BUILD_DIR EXAMPLE_DATA
set -eu
cpack=$1 build=$2 example=$3
for tool in dpkg-deb objdump; do
  command -v $tool > /dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
. "$(dirname "$0")/run_example.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvin-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" ||
  { cat "$work/cpack.log"; echo "FAIL: cpack failed"; exit 1; }
set -- "$work"/out/quorvin_*.deb
test -f "$1" || { echo "FAIL: no quorvin_*.deb"; exit 1; }
deb=$1

test "$(dpkg-deb -f "$deb" Package)" = quorvin || { echo "FAIL: wrong package name"; exit 1; }
for field in Version Maintainer Description; do
  test -n "$(dpkg-deb -f "$deb" $field)" || { echo "FAIL: no $field"; exit 1; }
done
dpkg-deb -c "$deb" > "$work/contents"
for file in ./usr/bin/quorvin ./usr/share/man/man1/quorvin.1; do
  grep -q " $file\$" "$work/contents" || { echo "FAIL: the package lacks $file"; exit 1; }
done
dpkg-deb -x "$deb" "$work/root"
program=$work/root/usr/bin/quorvin

# The package that holds library file $1, under either of the names that a
# merged /usr gives it.
owner() {
  for candidate in "$1" "$(readlink -f "$1")" "/usr$1"; do
    dpkg -S "$candidate" 2>/dev/null | sed -n '1s/:.*//p' | grep . && return 0
  done
  return 1
}

# Every library that the program links, the OpenMP run-time (libgomp1) among
# them, must come from a package that Depends names.
dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/^ *//; s/ .*//' > "$work/depends"
for library in $(objdump -p "$program" | awk '$1 == "NEEDED" { print $2 }'); do
  # ldd shows "name => path (address)", or "path (address)" for the loader.
  path=$(ldd "$program" | awk -v name="$library" '
    $1 == name { print $3 } $1 ~ ("/" name "$") { print $1 }')
  test -n "$path" || { echo "FAIL: ldd does not find $library"; exit 1; }
  package=$(owner "$path") || continue
  grep -qxF "$package" "$work/depends" ||
    { echo "FAIL: Depends lacks $package, which holds $library: $(dpkg-deb -f "$deb" Depends)"; exit 1; }
done

run_example "$program" "$work/run"
echo "PASS: $(basename "$deb") holds the program and its manual page, and runs"
