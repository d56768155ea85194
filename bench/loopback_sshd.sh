# A private sshd on 127.0.0.1..127.0.0.4 for the benchmarks of remote runs,
# sourced by bench/remote and bench/mpi with $bin (the built programs, the
# far side's PATH) and $me (the script's name for its reports) set. Leaves
# $hosts, $dir (removed at exit), $port, $dir/shim/ssh (the ssh that every
# run uses: it notes each call in $dir/ssh.calls) and an empty $dir/run.
hosts=(127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4)
dir="$(realpath "$(mktemp -d)")"
sshd_pid=""
stop_sshd() {
  [ -n "$sshd_pid" ] || return 0
  kill "$sshd_pid" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 "$sshd_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$sshd_pid" 2>/dev/null || true
  wait "$sshd_pid" 2>/dev/null || true
  sshd_pid=""
}
trap 'stop_sshd; rm -rf "$dir"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

user="$(id -un)"
ssh-keygen -q -t ed25519 -N "" -f "$dir/hostkey"
ssh-keygen -q -t ed25519 -N "" -f "$dir/userkey"
cp "$dir/userkey.pub" "$dir/authorized_keys"
# sshd running as root wants its privilege separation directory.
if [ "$(id -u)" = 0 ] && [ ! -e /run/sshd ]; then mkdir -p /run/sshd; fi

accepts() { (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; }

# sshd on a port that nothing listens on; a few tries, since another program
# may take the port between the check and sshd's bind.
port=""
for _ in 1 2 3 4 5; do
  p=$((20000 + RANDOM % 40000))
  accepts 127.0.0.1 "$p" && continue
  {
    echo "Port $p"
    for h in "${hosts[@]}"; do echo "ListenAddress $h"; done
    cat <<EOF
HostKey $dir/hostkey
PidFile $dir/sshd.pid
AuthorizedKeysFile $dir/authorized_keys
StrictModes no
UsePAM no
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
AllowUsers $user
MaxStartups 200
MaxSessions 200
SetEnv PATH=$bin:/usr/bin:/bin
LogLevel ERROR
EOF
  } > "$dir/sshd_config"
  /usr/sbin/sshd -D -e -f "$dir/sshd_config" < /dev/null >> "$dir/sshd.log" 2>&1 &
  sshd_pid=$!
  for _ in $(seq 100); do
    kill -0 "$sshd_pid" 2>/dev/null || break
    up=1
    for h in "${hosts[@]}"; do accepts "$h" "$p" || { up=0; break; }; done
    [ "$up" = 1 ] && { port=$p; break; }
    sleep 0.1
  done
  [ -n "$port" ] && break
  stop_sshd
done
if [ -z "$port" ]; then
  echo "$me: sshd did not start:" >&2
  cat "$dir/sshd.log" >&2
  exit 1
fi

for h in "${hosts[@]}"; do echo "[$h]:$port $(cat "$dir/hostkey.pub")"; done > "$dir/known_hosts"
cat > "$dir/ssh_config" <<EOF
Host *
  Port $port
  User $user
  IdentityFile $dir/userkey
  IdentitiesOnly yes
  UserKnownHostsFile $dir/known_hosts
  StrictHostKeyChecking yes
  BatchMode yes
  ConnectTimeout 10
  LogLevel ERROR
EOF
mkdir "$dir/shim" "$dir/run"
# Every "ssh" of a run goes through this wrapper; it notes each call.
# shellcheck disable=SC2016
printf '#!/bin/sh\necho "$1" >> %s/ssh.calls\nexec /usr/bin/ssh -F %s/ssh_config "$@"\n' "$dir" "$dir" > "$dir/shim/ssh"
chmod 755 "$dir/shim/ssh"
