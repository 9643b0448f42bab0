#!/usr/bin/env bash
# The project as a user takes it: a Release build with the other compiler
# (clang when the normal build uses GCC) of what is installed, an install
# into a temporary prefix, and the example built against that install alone
# (with CMake and with pkg-config), run against the installed
# quorvalen-phone. (The tests are built and run with that compiler in the
# sanitizer build.)
#
#   scripts/check-install.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-install}
generator=${GENERATOR:-Ninja}

if "${CXX:-c++}" --version 2>/dev/null | grep -qi clang; then other=g++; else other=clang++; fi
echo "== Release build with $other in $build"
cmake -S . -B "$build" -G "$generator" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$other" \
  -DQUORVALEN_WERROR=ON -DBUILD_TESTING=OFF -DQUORVALEN_BENCH=OFF
cmake --build "$build"

work=$(mktemp -d)
phone_pid=
cleanup() {
  [ -n "$phone_pid" ] && kill "$phone_pid" 2>/dev/null && wait "$phone_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix
echo "== install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
"$prefix/bin/quorvalen" --version | grep -qx "quorvalen [0-9]*\.[0-9]*\.[0-9]*"
"$prefix/bin/quorvalen-phone" --version | grep -qx "quorvalen-phone [0-9]*\.[0-9]*\.[0-9]*"

echo "== the example against the install: CMake"
cmake -S examples -B "$work/example" -G "$generator" -DCMAKE_CXX_COMPILER="$other" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
echo "== the example against the install: pkg-config"
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name quorvalen.pc)")
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
"$other" -std=c++20 -o "$work/fetch_file_pc" examples/fetch_file.cpp \
  $(pkg-config --cflags --libs quorvalen)

# Starts the installed phone with the given options and sets device.
start_phone() {
  "$prefix/bin/quorvalen-phone" "$@" >"$work/phone.out" &
  phone_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/phone.out" ] && break
    sleep 0.1
  done
  device=$(head -n 1 "$work/phone.out")
  [ -n "$device" ] || { echo "quorvalen-phone printed no device" >&2; exit 1; }
}
stop_phone() { kill "$phone_pid"; wait "$phone_pid" || true; phone_pid=; }

echo "== fetch_file: the sample tree"
start_phone --sample
"$work/example/fetch_file" "$device" readme.txt "$work/readme.txt" >"$work/listing.txt"
stop_phone
for name in Documents Pictures readme.txt; do
  grep -q "name=\"$name\"" "$work/listing.txt" || { echo "listing lacks $name" >&2; exit 1; }
done
head -n 1 "$work/readme.txt" | grep -qx "This is the sample tree of the simulated phone."

echo "== fetch_file: every byte value, through the pkg-config build"
mkdir "$work/root"
for round in 1 2 3 4 5 6 7 8; do
  for i in $(seq 0 255); do printf "\\$(printf %03o "$i")"; done
done >"$work/root/bytes.bin"
start_phone --root "$work/root"
"$work/fetch_file_pc" "$device" bytes.bin "$work/bytes.bin" >/dev/null
stop_phone
cmp "$work/root/bytes.bin" "$work/bytes.bin"
echo "== install check passed"
