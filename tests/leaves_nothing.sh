#!/bin/sh
# A part of the suite, and a run of tarvo with its PMIx server, leave their
# temporary directory ($TMPDIR, a fresh one here) and /dev/shm as they found
# them. Arguments: the tests' build directory, tarvo's bin directory.
tests="$1"
bin="$2"
TMPDIR="$(mktemp -d /tmp/tarvo-leaves-XXXXXX)" || exit 1
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT
# /dev/shm's entries of tarvo's and Open MPI's, but the PMIx directories of a
# server that still runs (its pid is in the name: another run's).
shm_entries() {
  for e in $(ls /dev/shm 2>/dev/null | grep -E '^(tarvo-|vader_segment)'); do
    pid="$(echo "$e" | sed -n 's/^tarvo-pmix-\([0-9]*\)-.*/\1/p')"
    [ -n "$pid" ] && [ -d "/proc/$pid" ] && continue
    echo "$e"
  done | sort
}
shm_before="$(shm_entries)"
status=0
"$tests/rank_place_test" --gtest_filter='RankPlaceRun.*' >"$TMPDIR.log" 2>&1 || status=1
"$tests/output_e2e_test" >>"$TMPDIR.log" 2>&1 || status=1
"$tests/run_control_test" --gtest_filter='RunControl.ARank*:RunControl.TheTimeLimit*' >>"$TMPDIR.log" 2>&1 || status=1
(cd "$TMPDIR" && PATH="$bin:$PATH" TARVO_PMIX=1 tarvo -np 2 true) >>"$TMPDIR.log" 2>&1 || status=1
if [ "$status" != 0 ]; then
  echo "a test or the run failed:"; cat "$TMPDIR.log"
fi
rm -f "$TMPDIR.log"
left="$(ls -A "$TMPDIR")"
if [ -n "$left" ]; then
  echo "left in the temporary directory:"; echo "$left"; status=1
fi
# What another run on this machine has there meanwhile goes with that run:
# only what stays counts.
for try in 1 2 3 4 5 6 7 8 9 10; do
  shm_after="$(shm_entries)"
  [ -z "$(echo "$shm_after" | grep -vxF "$shm_before")" ] && break
  sleep 1
done
if [ -n "$(echo "$shm_after" | grep -vxF "$shm_before")" ]; then
  echo "left in /dev/shm:"; echo "$shm_after" | grep -vxF "$shm_before"; status=1
fi
exit "$status"
