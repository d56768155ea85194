#!/bin/bash
# A throw-away Son of Grid Engine 8.1.9 cluster (Debian 12 packages) on this one machine, for the
# tests: one sge_qmaster and one sge_execd on the local hostname (which must resolve to a 127.x
# address), a queue all.q with SGE_CI_SLOTS slots and a tightly integrated parallel environment
# "mpi" (control_slaves TRUE, job_is_first_task FALSE, $fill_up). Everything talks over loopback.
# Packages:  gridengine-master gridengine-exec gridengine-client (.ci/run gives the debconf answers)
# Run as root.  Usage:  SGE_CI_DIR=... SGE_CI_QMASTER_PORT=... SGE_CI_EXECD_PORT=... ./start-sge.sh
#            prints export lines on stdout; stop with the same SGE_CI_DIR: ./stop-sge.sh
# The cluster is the caller's own: its directory (SGE_CI_DIR, absolute; it becomes SGE_ROOT, and
# the jobs' TMPDIRs are made under it) and its two ports are given, never defaults that another
# cluster on this machine may use, and it refuses to start (status 2, one line) when either is taken.
# Knobs:     SGE_CI_SLOTS (4), SGE_CI_LOOPBACK_ONLY (1: the daemons listen on 127.0.0.1 only,
#            through a tiny LD_PRELOAD shim built with cc; 0: on all addresses, SGE's only choice),
#            SGE_CI_DEBUG (1: print the time of each step)
set -euo pipefail
D=${SGE_CI_DIR:?SGE_CI_DIR: the clusters own directory}
SLOTS=${SGE_CI_SLOTS:-4}
QPORT=${SGE_CI_QMASTER_PORT:?SGE_CI_QMASTER_PORT: a free port of its own}
EPORT=${SGE_CI_EXECD_PORT:?SGE_CI_EXECD_PORT: a free port of its own}
LOOPBACK_ONLY=${SGE_CI_LOOPBACK_ONLY:-1}
CELL=default
ADMIN=sgeadmin
LIB=/usr/lib/gridengine
log() { echo "start-sge: $*" >&2; }
t0=$(date +%s.%N)
elapsed() { awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN{printf "%.2f", b-a}'; }

[ "$(id -u)" = 0 ] || { log "run as root"; exit 1; }
[ -x $LIB/sge_qmaster ] && [ -x $LIB/sge_execd ] && [ -x $LIB/qsub ] \
  || { log "install gridengine-master gridengine-exec gridengine-client first"; exit 1; }
id "$ADMIN" >/dev/null 2>&1 || { log "user $ADMIN missing (the gridengine-common postinst creates it)"; exit 1; }
case "$D" in /?*) ;; *) log "SGE_CI_DIR must be an absolute path"; exit 1;; esac
# Taken: status 2, so that a test can tell "someone else's" from "cannot start here".
[ -e "$D/pids" ] && { log "$D/pids exists: a cluster is already running there"; exit 2; }
if [ -d "$D" ] && [ ! -e "$D/.sge-ci" ] && [ -n "$(ls -A "$D")" ]; then
  log "$D exists, is not empty and was not made by start-sge.sh: not touching it"; exit 2
fi
[ "$QPORT" != "$EPORT" ] || { log "the two ports must differ"; exit 1; }
for p in "$QPORT" "$EPORT"; do
  if (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then log "port $p is in use on 127.0.0.1"; exit 2; fi
  if ss -Htln "sport = :$p" 2>/dev/null | grep -q .; then log "port $p is in use"; exit 2; fi
done
if [ "$LOOPBACK_ONLY" = 1 ] && ! command -v cc >/dev/null; then
  log "SGE_CI_LOOPBACK_ONLY=1 needs a C compiler (cc); install one or set SGE_CI_LOOPBACK_ONLY=0"; exit 1
fi

# ---- host name -------------------------------------------------------------
# SGE identifies hosts by name.  The local hostname must resolve to a loopback address,
# and a connection from 127.0.0.1 is checked by resolving that address back to a name
# (the first name of the 127.0.0.1 line of /etc/hosts, usually "localhost"): every such
# name is declared an alias of the hostname in the cell's host_aliases file.
HOST=$(hostname)
ADDR=$(getent ahostsv4 "$HOST" | awk 'NR==1{print $1}')
case "$ADDR" in
  127.*) ;;
  *) log "hostname '$HOST' resolves to '${ADDR:-nothing}', not a loopback address: add '127.0.0.1 $HOST' to /etc/hosts"; exit 1;;
esac
ALIASES=""
for a in 127.0.0.1 "$ADDR"; do
  n=$(getent hosts "$a" | awk 'NR==1{print $2}')
  [ -n "$n" ] && [ "$n" != "$HOST" ] && case " $ALIASES " in *" $n "*) ;; *) ALIASES="$ALIASES $n";; esac
done
ARCH=$(/usr/share/gridengine/util/arch)

# ---- SGE_ROOT = $D -----------------------------------------------------------
rm -rf "$D"
mkdir -p "$D/bin/$ARCH" "$D/utilbin" "$D/lib" "$D/log" "$D/tmp" "$D/tmpl"/{adminhosts,submithosts,exechosts,pes}
chmod 755 "$D"
chmod 1777 "$D/tmp"                           # the jobs' TMPDIRs: job ids start at 1 in every cluster
: > "$D/.sge-ci"                              # marks the directory as ours: stop-sge.sh removes it
: > "$D/pids"
ln -s $LIB "$D/utilbin/$ARCH"                 # qrsh_starter, etc.: found as $SGE_ROOT/utilbin/$ARCH/...
ln -s $LIB "$D/lib/$ARCH"
ln -s /usr/share/gridengine/util "$D/util"
# the user commands only ($LIB also holds generic names like "now", "work", "uidgid");
# the real binaries, not /usr/bin's wrapper script, which runs util/arch on every call
for c in qacct qalter qconf qdel qhold qhost qlogin qmod qping qquota qrls qrsh qselect qsh qstat qsub; do
  ln -s $LIB/$c "$D/bin/$ARCH/$c"
done

C=$D/$CELL
mkdir -p "$C/common" "$C/spool/qmaster" "$C/spool/execd"
cat > "$C/common/bootstrap" <<EOB
# Version: 8.1.9
admin_user              $ADMIN
default_domain          none
ignore_fqdn             true
spooling_method         classic
spooling_lib            libspoolc
spooling_params         $C/common;$C/spool/qmaster
binary_path             $LIB
qmaster_spool_dir       $C/spool/qmaster
security_mode           none
listener_threads        2
worker_threads          2
scheduler_threads       1
jvm_threads             0
EOB
echo "$HOST" > "$C/common/act_qmaster"
echo "ci" > "$C/common/cluster_name"
cat > "$C/common/settings.sh" <<EOS
export SGE_ROOT=$D SGE_CELL=$CELL SGE_QMASTER_PORT=$QPORT SGE_EXECD_PORT=$EPORT
export PATH=$D/bin/$ARCH:\$PATH
EOS
[ -n "$ALIASES" ] && echo "$HOST$ALIASES" > "$C/common/host_aliases"
# scheduler: run every second and 1 s after each submit/finish (default: every 15 s)
cat > "$C/common/sched_configuration" <<EOS
algorithm default
schedule_interval 0:0:1
maxujobs 0
queue_sort_method 0
job_load_adjustments NONE
load_adjustment_decay_time 0:0:0
load_formula np_load_avg
schedd_job_info true
flush_submit_sec 1
flush_finish_sec 1
params none
reprioritize_interval 0:0:0
halftime 168
usage_weight_list cpu=1.000000 mem=0.000000 io=0.000000
compensation_factor 5.000000
weight_user 0.250000
weight_project 0.250000
weight_department 0.250000
weight_job 0.250000
weight_tickets_functional 0
weight_tickets_share 0
weight_tickets_override 0
share_override_tickets TRUE
share_functional_shares TRUE
max_functional_jobs_to_schedule 200
report_pjob_tickets TRUE
max_pending_tasks_per_job 50
halflife_decay_list none
policy_hierarchy OFS
weight_ticket 0.500000
weight_waiting_time 0.278000
weight_deadline 3600000.000000
weight_urgency 0.500000
weight_priority 0.000000
max_reservation 0
default_duration INFINITY
EOS

# global configuration: root may run jobs (min_uid 0), no mail, no accounting file,
# processes of a job are tracked (and killed) by its additional group id
cat > "$D/tmpl/configuration" <<EOC
conf_version           0
execd_spool_dir        $C/spool/execd
mailer                 /bin/true
xterm                  /usr/bin/xterm
load_sensor            none
prolog                 none
epilog                 none
shell_start_mode       unix_behavior
login_shells           bash,sh,ksh,csh,tcsh
min_uid                0
min_gid                0
user_lists             none
xuser_lists            none
projects               none
xprojects              none
enforce_project        false
enforce_user           auto
load_report_time       00:00:10
max_unheard            00:05:00
reschedule_unknown     00:00:00
loglevel               log_warning
administrator_mail     none
set_token_cmd          none
pag_cmd                none
token_extend_time      none
shepherd_cmd           none
qmaster_params         none
execd_params           ENABLE_ADDGRP_KILL=TRUE
reporting_params       accounting=false reporting=false flush_time=00:00:15 joblog=false sharelog=00:00:00
finished_jobs          100
gid_range              65400-65500
qlogin_command         builtin
qlogin_daemon          builtin
rlogin_command         builtin
rlogin_daemon          builtin
rsh_command            builtin
rsh_daemon             builtin
max_aj_instances       2000
max_aj_tasks           75000
max_u_jobs             0
max_jobs               0
auto_user_oticket      0
auto_user_fshare       0
auto_user_default_project none
auto_user_delete_time  86400
delegated_file_staging false
reprioritize           0
jsv_url                none
jsv_allowed_mod        ac,h,i,e,o,j,M,N,p,w
EOC
printf 'hostname %s\n' "$HOST" > "$D/tmpl/adminhosts/$HOST"
printf 'hostname %s\n' "$HOST" > "$D/tmpl/submithosts/$HOST"
cat > "$D/tmpl/exechosts/$HOST" <<EOH
hostname              $HOST
load_scaling          NONE
complex_values        NONE
user_lists            NONE
xuser_lists           NONE
projects              NONE
xprojects             NONE
usage_scaling         NONE
report_variables      NONE
EOH
cat > "$D/tmpl/pes/mpi" <<EOP
pe_name            mpi
slots              9999
user_lists         NONE
xuser_lists        NONE
start_proc_args    NONE
stop_proc_args     NONE
allocation_rule    \$fill_up
control_slaves     TRUE
job_is_first_task  FALSE
urgency_slots      min
accounting_summary FALSE
qsort_args         NONE
EOP
cat > "$D/tmpl/all.q" <<EOQ
qname                 all.q
hostlist              $HOST
seq_no                0
load_thresholds       NONE
suspend_thresholds    NONE
nsuspend              1
suspend_interval      00:05:00
priority              0
min_cpu_interval      00:05:00
processors            UNDEFINED
qtype                 BATCH INTERACTIVE
ckpt_list             NONE
pe_list               mpi
rerun                 FALSE
slots                 $SLOTS
tmpdir                $D/tmp
shell                 /bin/bash
prolog                NONE
epilog                NONE
shell_start_mode      unix_behavior
starter_method        NONE
suspend_method        NONE
resume_method         NONE
terminate_method      NONE
notify                00:00:60
owner_list            NONE
user_lists            NONE
xuser_lists           NONE
subordinate_list      NONE
complex_values        NONE
projects              NONE
xprojects             NONE
calendar              NONE
initial_state         default
s_rt                  INFINITY
h_rt                  INFINITY
s_cpu                 INFINITY
h_cpu                 INFINITY
s_fsize               INFINITY
h_fsize               INFINITY
s_data                INFINITY
h_data                INFINITY
s_stack               INFINITY
h_stack               INFINITY
s_core                INFINITY
h_core                INFINITY
s_rss                 INFINITY
h_rss                 INFINITY
s_vmem                INFINITY
h_vmem                INFINITY
EOQ
chown -R "$ADMIN:$ADMIN" "$C" "$D/tmpl"
setpriv --reuid="$ADMIN" --regid="$ADMIN" --clear-groups test -w "$C/spool/qmaster" \
  || { log "$ADMIN cannot reach $C: every directory above $D must be searchable (o+x)"; rm -rf "$D"; exit 1; }

# the daemons get a clean environment: sge_execd passes its own to the jobs
DENV=(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C SGE_ROOT="$D" SGE_CELL=$CELL
      SGE_QMASTER_PORT=$QPORT SGE_EXECD_PORT=$EPORT)
PRELOAD=()
if [ "$LOOPBACK_ONLY" = 1 ]; then
  # SGE's commlib always binds INADDR_ANY.  This shim, preloaded into sge_qmaster and sge_execd
  # only, turns a bind to the wildcard address into a bind to loopback, and removes itself from
  # the environment at once so that nothing the daemons start (shepherds, jobs) inherits it.
  cat > "$D/lib/bindlo.c" <<'EOC'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
__attribute__((constructor)) static void drop_preload(void) { unsetenv("LD_PRELOAD"); }
int bind(int fd, const struct sockaddr *sa, socklen_t len) {
  static int (*real_bind)(int, const struct sockaddr *, socklen_t);
  if (!real_bind) real_bind = (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "bind");
  if (sa && sa->sa_family == AF_INET && len >= sizeof(struct sockaddr_in)) {
    struct sockaddr_in in;
    memcpy(&in, sa, sizeof in);
    if (in.sin_addr.s_addr == htonl(INADDR_ANY)) {
      in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      return real_bind(fd, (const struct sockaddr *)&in, sizeof in);
    }
  } else if (sa && sa->sa_family == AF_INET6 && len >= sizeof(struct sockaddr_in6)) {
    struct sockaddr_in6 in6;
    memcpy(&in6, sa, sizeof in6);
    if (IN6_IS_ADDR_UNSPECIFIED(&in6.sin6_addr)) {
      in6.sin6_addr = in6addr_loopback;
      return real_bind(fd, (const struct sockaddr *)&in6, sizeof in6);
    }
  }
  return real_bind(fd, sa, len);
}
EOC
  cc -shared -fPIC -O2 -o "$D/lib/bindlo.so" "$D/lib/bindlo.c" -ldl 2>"$D/log/cc.out" \
    || { log "building the bind shim failed:"; cat "$D/log/cc.out" >&2; exit 1; }
  chmod 755 "$D/lib/bindlo.so"
  PRELOAD=(LD_PRELOAD="$D/lib/bindlo.so")
fi
export SGE_ROOT=$D SGE_CELL=$CELL SGE_QMASTER_PORT=$QPORT SGE_EXECD_PORT=$EPORT
export PATH=$D/bin/$ARCH:$PATH
fail() {
  log "FAILED: $*"
  for f in "$D"/log/* "$C"/spool/qmaster/messages "$C"/spool/execd/*/messages; do
    [ -f "$f" ] && { echo "== $f" >&2; tail -n 20 "$f" >&2; }
  done
  SGE_CI_DIR="$D" "$(dirname "$0")/stop-sge.sh" >&2 || true
  exit 1
}

# ---- spool (classic, flat files) written before the qmaster starts ------------
SD=(setpriv --reuid="$ADMIN" --regid="$ADMIN" --init-groups "${DENV[@]}" LD_LIBRARY_PATH=$LIB $LIB/spooldefaults.bin)
T=$D/tmpl
{
  setpriv --reuid="$ADMIN" --regid="$ADMIN" --init-groups "${DENV[@]}" LD_LIBRARY_PATH=$LIB \
    $LIB/spoolinit.bin classic libspoolc "$C/common;$C/spool/qmaster" init
  "${SD[@]}" configuration "$T/configuration"
  "${SD[@]}" complexes /usr/share/gridengine/util/resources/centry
  "${SD[@]}" usersets /usr/share/gridengine/util/resources/usersets
  "${SD[@]}" managers root "$ADMIN"
  "${SD[@]}" adminhosts "$T/adminhosts"
  "${SD[@]}" submithosts "$T/submithosts"
  "${SD[@]}" exechosts "$T/exechosts"
  "${SD[@]}" pes "$T/pes"
} > "$D/log/spool-init.out" 2>&1 || fail "spool initialisation"
[ -n "${SGE_CI_DEBUG:-}" ] && log "spool initialised at $(elapsed) s"

# ---- daemons ------------------------------------------------------------------
# SGE_ND=1: stay in the foreground (a daemonizing sge_execd sleeps 2 s before it works);
# setsid: out of the caller's process group and session.  Started as root, both switch
# their effective uid to $ADMIN (sge_execd keeps real uid 0 to start jobs as their owner).
# The daemons keep none of the caller's descriptors past 0-2: a lock that the caller holds (flock)
# or a test runner's pipe would otherwise stay open for as long as the cluster runs.
without_fds() {
  local fd
  for fd in /proc/$BASHPID/fd/*; do fd=${fd##*/}; [ "$fd" -gt 2 ] && eval "exec $fd>&-"; done
  exec "$@"
}
(without_fds setsid "${DENV[@]}" "${PRELOAD[@]}" SGE_ND=1 $LIB/sge_qmaster) >"$D/log/qmaster.out" 2>&1 </dev/null &
echo "$! sge_qmaster" >> "$D/pids"
timeout 20 bash -c 'until qconf -sh >/dev/null 2>&1; do sleep 0.05; done' || fail "qmaster does not answer"
[ -n "${SGE_CI_DEBUG:-}" ] && log "qmaster answers at $(elapsed) s"
qconf -Aq "$D/tmpl/all.q" >"$D/log/qconf.out" 2>&1 || fail "qconf -Aq all.q"

(without_fds setsid "${DENV[@]}" "${PRELOAD[@]}" SGE_ND=1 $LIB/sge_execd) >"$D/log/execd.out" 2>&1 </dev/null &
echo "$! sge_execd" >> "$D/pids"
# up when the queue instance has a load value and no state (u = unknown, E = error, ...)
timeout 30 bash -c 'until qstat -f -q all.q 2>/dev/null | awk -v h="all.q@$0" '"'"'$1==h && $4 ~ /^[0-9.]+$/ && NF==5 {ok=1} END{exit !ok}'"'"'; do sleep 0.05; done' "$HOST" \
  || fail "queue instance all.q@$HOST did not come up"

log "up: 1 exec host ($HOST, $SLOTS slots) in $(elapsed) s; pids: $(cut -d' ' -f1 "$D/pids" | tr '\n' ' ')"
cat "$C/common/settings.sh"
