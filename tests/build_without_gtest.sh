#!/bin/sh
# Configures SOURCE in SCRATCH as if GoogleTest were not installed, builds the
# demo's programs and runs the demo from an empty directory, the programs
# found on PATH.
#   build_without_gtest.sh SOURCE SCRATCH
set -eu
source=$1
scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch/run"
cmake -S "$source" -B "$scratch/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  > "$scratch/configure.log"
grep -q "GoogleTest not found: the tests are left out" "$scratch/configure.log" ||
  { echo "no word that the tests are left out"; cat "$scratch/configure.log"; exit 1; }
cmake --build "$scratch/build" -j2 --target tarvo carrier hello ring pi > "$scratch/build.log" ||
  { tail -30 "$scratch/build.log"; exit 1; }
cd "$scratch/run"
PATH="$scratch/build/bin:$PATH" timeout -k 5 60 tarvo -np 4 ring 2 > out 2> err ||
  { echo "the demo failed: $?"; cat out err; exit 1; }
grep -q "^Console-> ring: 2 laps, 8 hops" out || { echo "unexpected output:"; cat out err; exit 1; }
test ! -s err || { cat err; exit 1; }
rm -rf "$scratch"
