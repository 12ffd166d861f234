#!/usr/bin/env bash
# Runs scripts/demo on an existing build (no installing, no building):
#  1. to its end: it succeeds, the listener printed every notification that
#     it published, with module, severity and code, and nothing is left
#     running;
#  2. stopped with SIGTERM while its listener waits: it ends, and nothing
#     is left running.
# Each run has a session of its own, so that whatever it leaves behind can
# be found (and is then killed).
#   check_demo.sh DEMO BUILD_DIR
set -uo pipefail
demo=$1
build_dir=$2
log=$(mktemp)
trap 'rm -f "$log"' EXIT
failed=0

complain() {
  echo "check_demo: $*" >&2
  failed=1
}

# start_demo: runs the demo in a new session; sets pid.
start_demo() {
  : >"$log"
  KESTREL_DEMO_SKIP_SETUP=1 KESTREL_BUILD_DIR="$build_dir" setsid "$demo" >"$log" 2>&1 &
  pid=$!
  local session
  session=$(ps -o sid= -p "$pid" | tr -d ' ')
  [ "$session" = "$pid" ] || { echo "check_demo: the demo has no session of its own" >&2; exit 1; }
}

# finish_demo: waits at most 60 s for the demo; sets status. Then looks
# for what it left running in its session.
finish_demo() {
  local tenths=0
  while kill -0 "$pid" 2>/dev/null && [ $tenths -lt 600 ]; do
    sleep 0.1
    tenths=$((tenths + 1))
  done
  if kill -0 "$pid" 2>/dev/null; then
    complain "the demo did not end within 60 s"
    kill -KILL "$pid"
  fi
  status=0
  wait "$pid" || status=$?
  local left
  for left in $(pgrep -s "$pid"); do
    complain "left running: $(ps -o pid=,args= -p "$left")"
    kill -KILL "$left"
  done
}

echo "== The demo to its end"
start_demo
finish_demo
cat "$log"
[ $status -eq 0 ] || complain "the demo ended with status $status"

# Only what the listener printed counts: between its heading and the next.
received=$(sed -n '/^== kestrel-listen received$/,/^== /p' "$log" | grep -v '^== ')
expected=(
  'disk severity=3 code=0x00001001 disk /var is 92% full'
  'network severity=1 code=0x00002001 link eth0 is up at 1 Gb/s'
  'backup severity=5 code=0x00003002 nightly backup failed: target unreachable'
  'services severity=2 code=0x00004000 service web1 restarted'
  'services severity=2 code=0x00004000 service web2 restarted'
)
for line in "${expected[@]}"; do
  printf '%s\n' "$received" | grep -qF -- " $line" || complain "the listener did not print: $line"
done
count=$(printf '%s\n' "$received" | grep -c .)
[ "$count" -eq ${#expected[@]} ] || complain "the listener printed $count lines, not ${#expected[@]}"

echo "== The demo stopped with SIGTERM while its listener waits"
start_demo
tenths=0
until grep -q '^== Starting kestrel-listen' "$log" || [ $tenths -ge 300 ]; do
  sleep 0.1
  tenths=$((tenths + 1))
done
kill -TERM "$pid"
finish_demo
cat "$log"
[ $status -ne 0 ] || complain "the demo stopped by SIGTERM answered 0"

exit $failed
