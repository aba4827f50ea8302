#!/usr/bin/env bash
# The main job, end to end on this machine: installs what is missing, builds,
# starts a local zelCloud and zelbroker (zelcloud_sim), writes a temporary
# nvram store with `pvo`, starts `zelagent --foreground` with an "event_sink"
# handler and a sample handler, then walks through registration, a discovery
# pushed with zelagent_control, a claim, a plain message from the zelbroker,
# pause and resume, and a clean shut-down, printing what happened at each
# step and what each handler received.
#
#   ./scripts/demo.sh
#
# ZEL_DEMO_BUILD_DIR=<folder> uses an existing build instead of building.
# ZEL_DEMO_KEEP=1 keeps the temporary folder (store, logs) for a look after.
# Needs the control port 127.0.0.1:14369 free (no other agent running).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh
if [ -n "${ZEL_DEMO_BUILD_DIR:-}" ]; then
  dir=$ZEL_DEMO_BUILD_DIR
else
  echo "=== building (plain configuration)"
  dir=$(./scripts/build.sh plain | tail -n 1)
fi
agent_bin=$dir/src/agent/zelagent
control_bin=$dir/src/control/zelagent_control
pvo_bin=$dir/platform/pvo/pvo
sim_bin=$dir/tools/zelcloud_sim
sink_bin=$dir/tools/zelhandler_sink
for program in "$agent_bin" "$control_bin" "$pvo_bin" "$sim_bin" "$sink_bin"; do
  [ -x "$program" ] || { echo "missing $program: build the project first" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
agent_pid=""
cleanup() {
  local status=$?
  if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
    kill -TERM "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
  fi
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ $status -ne 0 ]; then
    echo
    echo "=== the demo failed; the last lines of the agent's log:"
    tail -n 30 "$work/agent.log" 2>/dev/null || true
    echo "=== the simulator's output:"
    cat "$work/sim.out" 2>/dev/null || true
  fi
  if [ "${ZEL_DEMO_KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

export PVO_STORE=$work/store
events=$work/event_sink.received
samples=$work/sample.received
sim_out=$work/sim.out
demo_start=$SECONDS

say() { printf '\n=== [%2ds] %s\n' $((SECONDS - demo_start)) "$*"; }

# Waits up to $1 seconds for the command "$2 ..." to succeed.
wait_for() {
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    if [ $SECONDS -ge $deadline ]; then
      echo "timed out waiting for: $*" >&2
      return 1
    fi
    sleep 0.1
  done
}
lines_in() { [ -f "$1" ] && wc -l <"$1" || echo 0; }
has_lines() { [ "$(lines_in "$1")" -ge "$2" ]; }
file_has() { grep -q -- "$2" "$1" 2>/dev/null; }

# What a handler received since line $2 of its file.
show_received() {
  local file=$1 from=$2 name=$3
  tail -n +"$((from + 1))" "$file" | while IFS= read -r line; do
    printf '  %-11s <- %s\n' "$name" "$line"
  done
}
# The simulator's lines since line $1 (the zelCloud and zelbroker side).
show_sim() {
  tail -n +"$(($1 + 1))" "$sim_out" | { grep -E '^(cloud|broker|sim:)' || true; } | sed 's/^/  /'
}

# Runs the control tool and shows its line and exit status.
control() {
  printf '  $ zelagent_control -c %s\n' "$*"
  local status=0 out
  out=$("$control_bin" --log_file "$work/zelagent_control.log" -c "$@") || status=$?
  printf '    %s  (exit status %d)\n' "$out" "$status"
}

# One command to the simulator over its command port.
sim_command() {
  local reply
  exec 3<>"/dev/tcp/127.0.0.1/$ZEL_SIM_COMMAND_PORT"
  printf '%s\n' "$*" >&3
  IFS= read -r reply <&3 || true
  exec 3<&-
  printf '  sim> %s\n    %s\n' "$*" "$reply"
}

if [ -e /proc/net/tcp ] && grep -q ':3821 00000000:0000 0A' /proc/net/tcp; then
  echo "127.0.0.1:14369 is in use (is an agent running?): stop it and run the demo again" >&2
  exit 1
fi

say "starting the local zelCloud and zelbroker (zelcloud_sim)"
"$sim_bin" --dir "$work/sim" --heartbeat 2 >"$sim_out" 2>&1 &
pids+=($!)
wait_for 30 test -e "$work/sim/sim.env"
# shellcheck disable=SC1091
. "$work/sim/sim.env"
sed -n '1,2p' "$sim_out" | sed 's/^/  /'

say "starting two local handlers: event_sink and sample"
"$sink_bin" --name event_sink --unix "$work/event_sink.sock" --out "$events" >/dev/null 2>&1 &
pids+=($!)
"$sink_bin" --name sample --unix "$work/sample.sock" --out "$samples" >/dev/null 2>&1 &
pids+=($!)
wait_for 10 test -S "$work/event_sink.sock"
wait_for 10 test -S "$work/sample.sock"

say "writing the agent's settings into a fresh store with pvo ($PVO_STORE)"
settings=(
  zel_register_url "$ZEL_SIM_CLOUD_URL/register"
  zel_claimed_url "$ZEL_SIM_CLOUD_URL/claimed"
  zel_discovery_url "$ZEL_SIM_CLOUD_URL/discovery"
  zel_advisor_url "$ZEL_SIM_CLOUD_URL/advisor"
  zel_handler_event_sink "$work/event_sink.sock"
  zel_handler_sample "$work/sample.sock"
  zel_use_discovery 1
  zel_agent_handler_name zelagent
  zel_claim_delay 2
  zel_advisor_delay 2
  zel_zelbroker_delay 2
  zel_register_aggressive_delay 2
)
for ((i = 0; i < ${#settings[@]}; i += 2)); do
  "$pvo_bin" set "${settings[i]}" "${settings[i + 1]}"
  printf '  $ pvo set %s %s\n' "${settings[i]}" "${settings[i + 1]}"
done

say "starting zelagent in the foreground"
echo "  \$ zelagent --foreground --hardware-id DEMO-0001 --model demo-gateway --ca-file <sim CA> ..."
sim_mark=$(lines_in "$sim_out")
"$agent_bin" --foreground --pid-file "$work/zelagent.pid" --log-file "$work/agent.log" \
  --log-level info --hardware-id DEMO-0001 --model demo-gateway --ca-file "$ZEL_SIM_CA_FILE" \
  2>"$work/agent.err" &
agent_pid=$!
wait_for 20 file_has "$events" '"event":2'
wait_for 10 file_has "$work/agent.log" 'Start-up done'
echo "  the agent (pid $agent_pid) registered; the zelCloud saw:"
show_sim "$sim_mark"
echo "  the store now holds: zel_agent_id=$("$pvo_bin" get zel_agent_id)," \
  "zel_agent_registered=$("$pvo_bin" get zel_agent_registered)"
show_received "$events" 0 event_sink
echo "  (not claimed and no discovery yet: the zelbroker link waits)"

say "a discovery pushed with zelagent_control opens a 4-second window"
sim_mark=$(lines_in "$sim_out")
event_mark=$(lines_in "$events")
control send_discovery -s demo_service -t 4 -discovery_data '{"room":"lab"}'
wait_for 20 file_has "$events" '"connected":true'
wait_for 10 file_has "$sim_out" 'broker <- broker keepalive'
show_sim "$sim_mark"
show_received "$events" "$event_mark" event_sink

say "a user claims the device in the zelCloud; the agent sees it when the window ends"
sim_mark=$(lines_in "$sim_out")
event_mark=$(lines_in "$events")
sim_command claim
wait_for 20 file_has "$events" '"event":3,.*"claimed":true'
show_sim "$sim_mark" | { grep -v 'heartbeat' || true; }
show_received "$events" "$event_mark" event_sink
echo "  (claimed: the link stays up after the window)"

say "the zelbroker sends a plain message to the sample handler"
sample_mark=$(lines_in "$samples")
sim_command send sample '{"greeting":"hello from the zelbroker"}'
wait_for 10 has_lines "$samples" $((sample_mark + 1))
show_received "$samples" "$sample_mark" sample

say "pause_connections: the link goes down and cloud requests wait"
event_mark=$(lines_in "$events")
control pause_connections
wait_for 10 file_has "$events" '"event":4,.*"connected":false'
show_received "$events" "$event_mark" event_sink
control send_discovery -s demo_service

say "resume_connections: the claimed device connects again"
event_mark=$(lines_in "$events")
control resume_connections -carrier_id carrier-7
wait_for 20 has_lines "$events" $((event_mark + 1))
show_received "$events" "$event_mark" event_sink
grep -m1 'X-Carrier-ID: carrier-7' "$sim_out" | sed 's/^/  /' || true

say "SIGTERM: a clean shut-down"
event_mark=$(lines_in "$events")
kill -TERM "$agent_pid"
status=0
wait "$agent_pid" || status=$?
agent_pid=""
echo "  zelagent exited with status $status"
wait_for 10 has_lines "$events" $((event_mark + 1))
show_received "$events" "$event_mark" event_sink
if [ -e "$work/zelagent.pid" ]; then echo "  the pid file is still there!"; else echo "  the pid file is gone"; fi
heartbeats=$(grep -c 'broker <- heartbeat' "$sim_out" || true)
echo "  heartbeats seen by the zelbroker during the demo: $heartbeats"

say "done in $((SECONDS - demo_start)) seconds"
[ "$status" -eq 0 ]
