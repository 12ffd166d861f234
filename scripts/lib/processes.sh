# Shared by the scripts that start Kestrel's programs in the background
# (scripts/demo, tests/install/check_install.sh): stopping them and waiting
# for what they print. Sourced, not run.

# stop PID: SIGTERM, up to 10 s to exit, then SIGKILL. Answers the exit status.
stop() {
  local pid=$1 tenths=0
  kill -TERM "$pid" 2>/dev/null || true
  while kill -0 "$pid" 2>/dev/null && [ $tenths -lt 100 ]; do
    sleep 0.1
    tenths=$((tenths + 1))
  done
  kill -KILL "$pid" 2>/dev/null || true
  local status=0
  wait "$pid" 2>/dev/null || status=$?
  return $status
}

# wait_for FILE PATTERN PID [SECONDS]: until FILE holds a line matching
# PATTERN, while PID runs and for at most SECONDS (default 10).
wait_for() {
  local file=$1 pattern=$2 pid=$3 tenths=0 limit=$((${4:-10} * 10))
  until grep -q -- "$pattern" "$file" 2>/dev/null; do
    kill -0 "$pid" 2>/dev/null || return 1
    [ $tenths -lt $limit ] || return 1
    sleep 0.1
    tenths=$((tenths + 1))
  done
}

# wait_exit PID SECONDS: until PID has ended, for at most SECONDS.
wait_exit() {
  local pid=$1 tenths=0
  while kill -0 "$pid" 2>/dev/null; do
    [ $tenths -lt $(($2 * 10)) ] || return 1
    sleep 0.1
    tenths=$((tenths + 1))
  done
}
