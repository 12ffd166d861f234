# Shared by the scripts that run a cluster of their own (scripts/cluster-demo):
# free loopback ports, a cluster of NATS servers with JetStream in a folder
# of the caller's, and what their monitoring endpoints say. Sourced, not
# run; needs processes.sh, curl and jq.
#
#   free_ports COUNT            sets FREE_PORTS to COUNT unused loopback ports
#   nats_start DIR COUNT        writes a config per server into DIR and starts
#                               them; fills the NATS_* arrays below
#   nats_wait_ready I [SECONDS] until server I serves JetStream
#   nats_urls                   nats://127.0.0.1:PORT,... of every server
#   nats_stream_leader STREAM   the name of the server that leads STREAM
#   nats_kill I                 SIGKILL, the way a machine dies
#   nats_stop_all               SIGTERM (then SIGKILL) every server still running
#
# Servers are numbered from 0; server I is named n$((I + 1)).

# Debian puts it in /usr/sbin, which an ordinary user's PATH lacks.
KESTREL_NATS_SERVER=${KESTREL_NATS_SERVER:-$(command -v nats-server || echo /usr/sbin/nats-server)}

NATS_NAMES=()
NATS_CLIENT_PORTS=()
NATS_HTTP_PORTS=()
NATS_ROUTE_PORTS=()
NATS_PIDS=()
NATS_LOGS=()

# The ports that free_ports has handed out, so that two calls never give
# the same one before its program has bound it.
KESTREL_PORTS_TAKEN=" "

# free_ports COUNT: sets FREE_PORTS to COUNT loopback TCP ports that
# nothing uses now. They lie below the kernel's ephemeral range, from which
# the system picks the ports of outgoing connections and of port 0, so no
# program of this machine is handed one of them before its owner binds it.
# Not in a subshell: the ports handed out are remembered here.
FREE_PORTS=()
free_ports() {
  local count=$1 port tries=0 low=20000 high range
  range=$(cat /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo "32768 60999")
  high=$(( ${range%%[[:space:]]*} - 1 ))
  # A machine whose ephemeral range starts low: the usual range, come what may.
  [ "$high" -gt $((low + 1000)) ] || high=32767
  FREE_PORTS=()
  while [ "${#FREE_PORTS[@]}" -lt "$count" ]; do
    tries=$((tries + 1))
    [ "$tries" -le 10000 ] || { echo "free_ports: no free port found" >&2; return 1; }
    port=$(( low + (RANDOM * 32768 + RANDOM) % (high - low + 1) ))
    case "$KESTREL_PORTS_TAKEN" in *" $port "*) continue ;; esac
    # Any socket on it, listening or not, and any listener that answers.
    if command -v ss >/dev/null 2>&1 && [ -n "$(ss -Htan "( sport = :$port )" 2>/dev/null)" ]; then
      continue
    fi
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then continue; fi
    KESTREL_PORTS_TAKEN+="$port "
    FREE_PORTS+=("$port")
  done
}

# nats_start DIR COUNT: COUNT servers on loopback that form one JetStream
# cluster, each with a config file, a log and a store in DIR. Returns once
# they are started, not once they serve (nats_wait_ready).
nats_start() {
  local dir=$1 count=$2 i ports routes=""
  [ -x "$KESTREL_NATS_SERVER" ] || { echo "nats_start: no nats-server at $KESTREL_NATS_SERVER" >&2; return 1; }
  free_ports $((count * 3)) || return 1
  ports=("${FREE_PORTS[@]}")
  for ((i = 0; i < count; i++)); do
    NATS_NAMES[i]=n$((i + 1))
    NATS_CLIENT_PORTS[i]=${ports[i * 3]}
    NATS_HTTP_PORTS[i]=${ports[i * 3 + 1]}
    NATS_ROUTE_PORTS[i]=${ports[i * 3 + 2]}
    routes+="${routes:+, }nats-route://127.0.0.1:${NATS_ROUTE_PORTS[i]}"
  done
  for ((i = 0; i < count; i++)); do
    local name=${NATS_NAMES[i]}
    # Every server lists every route, itself included (it skips its own):
    # one config shape for all, and any of them can start first.
    # max_file_store bounds what streams may reserve here, not what is
    # written: each stream reserves its whole size on every replica.
    cat >"$dir/$name.conf" <<EOF
server_name: $name
listen: 127.0.0.1:${NATS_CLIENT_PORTS[i]}
http: 127.0.0.1:${NATS_HTTP_PORTS[i]}
jetstream {
  store_dir: "$dir/$name-store"
  max_memory_store: 64MB
  max_file_store: 1GB
}
cluster {
  name: kestrel-demo
  listen: 127.0.0.1:${NATS_ROUTE_PORTS[i]}
  routes: [$routes]
}
EOF
    NATS_LOGS[i]=$dir/$name.log
    "$KESTREL_NATS_SERVER" -c "$dir/$name.conf" -l "${NATS_LOGS[i]}" &
    NATS_PIDS[i]=$!
  done
}

# nats_urls: the client URLs of every server, comma-separated, in order.
nats_urls() {
  local i urls=""
  for i in "${!NATS_CLIENT_PORTS[@]}"; do
    urls+="${urls:+,}nats://127.0.0.1:${NATS_CLIENT_PORTS[i]}"
  done
  echo "$urls"
}

# nats_monitor I PATH: what server I's monitoring endpoint answers at PATH;
# fails when it does not answer 200 within 2 s.
nats_monitor() {
  curl -sf --max-time 2 "http://127.0.0.1:${NATS_HTTP_PORTS[$1]}$2"
}

# nats_wait_ready I [SECONDS]: until server I is in touch with the cluster's
# JetStream (its /healthz says ok only once it knows the meta leader), for at
# most SECONDS (default 30) and while it runs.
nats_wait_ready() {
  local i=$1 tenths=0 limit=$((${2:-30} * 10))
  until nats_monitor "$i" /healthz 2>/dev/null | grep -q '"status": *"ok"'; do
    kill -0 "${NATS_PIDS[i]}" 2>/dev/null || return 1
    [ $tenths -lt $limit ] || return 1
    sleep 0.1
    tenths=$((tenths + 1))
  done
}

# nats_stream_leader STREAM: prints the name of the server that leads
# STREAM, as the first running server that knows one says; fails when none
# does (no such stream, or an election under way).
nats_stream_leader() {
  local stream=$1 i leader
  for i in "${!NATS_PIDS[@]}"; do
    kill -0 "${NATS_PIDS[i]}" 2>/dev/null || continue
    leader=$(nats_monitor "$i" '/jsz?accounts=true&streams=true' 2>/dev/null |
      jq -r --arg stream "$stream" \
        '[.account_details[]?.stream_detail[]? | select(.name == $stream) | .cluster.leader // empty][0] // empty' \
        2>/dev/null) || continue
    if [ -n "$leader" ]; then
      echo "$leader"
      return 0
    fi
  done
  return 1
}

# nats_index_of NAME: prints the number of the server named NAME.
nats_index_of() {
  local i
  for i in "${!NATS_NAMES[@]}"; do
    if [ "${NATS_NAMES[i]}" = "$1" ]; then
      echo "$i"
      return 0
    fi
  done
  return 1
}

# nats_kill I: SIGKILL to server I, and waits until it is gone.
nats_kill() {
  local pid=${NATS_PIDS[$1]}
  [ -n "$pid" ] || return 0
  # Quietly: bash would report the kill of its job on stderr.
  { kill -KILL "$pid"; wait "$pid" || true; } 2>/dev/null
  NATS_PIDS[$1]=""
}

# nats_stop_all: stops every server still running (stop: SIGTERM, then
# SIGKILL after 10 s). Answers non-zero when one had to be killed or did
# not end as SIGTERM ends it: nats-server then exits with status 1.
nats_stop_all() {
  local i status=0 ended
  for i in "${!NATS_PIDS[@]}"; do
    [ -n "${NATS_PIDS[i]}" ] || continue
    ended=0
    stop "${NATS_PIDS[i]}" || ended=$?
    [ "$ended" -le 1 ] || status=1
    NATS_PIDS[i]=""
  done
  return $status
}
