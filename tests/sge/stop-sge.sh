#!/bin/bash
# Stop the cluster started by start-sge.sh: delete its jobs (by id, asked of its own qmaster,
# whose port no other cluster shares), stop the PIDs it recorded (sge_execd, then sge_qmaster,
# each by PID, checked by name against reuse), then remove its directory.
# Knobs: SGE_CI_DIR (as for start-sge.sh, required);
#        SGE_CI_GRACEFUL_STOP=1: SIGTERM the qmaster and wait for its controlled shutdown (7-8 s)
#        instead of SIGKILL once sge_execd is gone (harmless: its spool is deleted anyway);
#        SGE_CI_DEBUG=1: print the time of each step.
set -uo pipefail
D=${SGE_CI_DIR:?SGE_CI_DIR: the clusters directory}
log() { echo "stop-sge: $*" >&2; }
[ -e "$D/.sge-ci" ] || { log "$D was not made by start-sge.sh (or is gone): nothing to do"; exit 0; }
[ -f "$D/pids" ] || { log "no $D/pids, nothing to stop"; rm -rf "$D"; exit 0; }
. "$D/default/common/settings.sh" 2>/dev/null || log "no settings.sh: cannot delete jobs"
alive() { [ -e "/proc/$1" ] && [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]; }
descendants() {   # every descendant of PID $1 (sge_shepherd and job processes)
  ps -e -o pid= -o ppid= | awk -v r="$1" '{p[$1]=$2} END{s[r]=1; do {c=0; for (x in p) if (!(x in s) && (p[x] in s)) {s[x]=1; c++; print x}} while (c)}'
}
since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN{printf "%.2f", b-a}'; }
t0=$(date +%s.%N)

# delete leftover jobs so that their shepherds and processes go away
qm=$(awk '$2=="sge_qmaster"{print $1}' "$D/pids")
if [ -n "$qm" ] && alive "$qm"; then
  jobs=$(timeout 5 qstat -u '*' 2>/dev/null | awk 'NR>2{print $1}' | sort -u | tr '\n' ' ')
  if [ -n "${jobs// }" ]; then
    timeout 10 qdel $jobs >/dev/null 2>&1 || true
    if ! timeout 10 bash -c 'while [ -n "$(qstat -u "*" 2>/dev/null)" ]; do sleep 0.2; done'; then
      timeout 10 qdel -f $jobs >/dev/null 2>&1 || true          # forget them; their processes go below
      timeout 5 bash -c 'while [ -n "$(qstat -u "*" 2>/dev/null)" ]; do sleep 0.2; done' || log "jobs still listed: $jobs"
    fi
  fi
  [ -n "${SGE_CI_DEBUG:-}" ] && log "jobs gone in $(since "$t0") s"
fi

# sge_execd first, then sge_qmaster (reverse start order)
tac "$D/pids" | while read -r pid name; do
  [ "$(cat /proc/$pid/comm 2>/dev/null)" = "$name" ] || continue   # guard against PID reuse
  kids=$(for k in $(descendants "$pid"); do echo "$k:$(cat /proc/$k/comm 2>/dev/null | tr -c 'A-Za-z0-9_.\n-' _)"; done)
  ts=$(date +%s.%N)
  if [ "$name" = sge_qmaster ] && [ -z "${SGE_CI_GRACEFUL_STOP:-}" ]; then kill -9 "$pid"; else kill "$pid"; fi
  for _ in $(seq 150); do alive "$pid" || break; sleep 0.1; done
  if alive "$pid"; then log "$name $pid ignored SIGTERM, SIGKILL"; kill -9 "$pid"; fi
  for kc in $kids; do                   # "pid:comm"; the comm must not have changed (PID reuse)
    k=${kc%%:*}
    alive "$k" && [ "$(cat /proc/$k/comm 2>/dev/null | tr -c 'A-Za-z0-9_.\n-' _)" = "${kc#*:}" ] \
      && { log "killing leftover ${kc#*:} $k"; kill -9 "$k" 2>/dev/null; }
  done
  [ -n "${SGE_CI_DEBUG:-}" ] && log "$name stopped in $(since "$ts") s"
done
# wait (5 s at most) until init has reaped them, so that ps shows no <defunct> sge_ entry
for _ in $(seq 50); do
  left=0; while read -r pid name; do [ -e "/proc/$pid" ] && left=1; done < "$D/pids"
  [ $left = 0 ] && break; sleep 0.1
done
rm -rf "$D"
log "stopped in $(since "$t0") s"
