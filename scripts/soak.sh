#!/usr/bin/env bash
# Long fault and soak runs of the real agent (the tests labelled soak, which
# the test command runs with short settings).
#
#   ./scripts/soak.sh [minutes] [plain|asan|tsan]     default: 10 minutes, plain
#
# The steady-traffic soak runs for the given minutes with one message a
# second and a reconnection a minute, printing the agent's descriptors,
# threads and resident memory after every reconnection; then 1,000 broker
# link cycles, 1,000 failed cloud requests, the fault tests and 50 kills.
# The asan build adds LeakSanitizer at every agent exit. Override any run
# length through the environment (ZEL_SOAK_SECONDS, ZEL_SOAK_RECONNECT_SECONDS,
# ZEL_SOAK_CYCLES, ZEL_SOAK_CLOUD_FAILURES, ZEL_SOAK_KILLS, ZEL_SOAK_SEED).
# The test binaries are run directly: ctest's per-test time limit is far
# shorter than a soak.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-10}
config=${2:-plain}

export ZEL_SOAK_SECONDS=${ZEL_SOAK_SECONDS:-$((minutes * 60))}
export ZEL_SOAK_RECONNECT_SECONDS=${ZEL_SOAK_RECONNECT_SECONDS:-60}
export ZEL_SOAK_CYCLES=${ZEL_SOAK_CYCLES:-1000}
export ZEL_SOAK_CLOUD_FAILURES=${ZEL_SOAK_CLOUD_FAILURES:-1000}
export ZEL_SOAK_KILLS=${ZEL_SOAK_KILLS:-50}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

./scripts/deps.sh
dir=$(./scripts/build.sh "$config" zelagent zelagent_control soak_agent_resources_test soak_agent_faults_test \
  soak_agent_kill_test | tail -n 1)
export ZEL_BUILD_DIR=$PWD/$dir

status=0
for test in soak_agent_resources_test soak_agent_faults_test soak_agent_kill_test; do
  echo "=== $test"
  if ! ./scripts/private-net.sh "$dir/tests/soak/$test" --gtest_color=no; then
    status=1
  fi
done
[ $status -eq 0 ] && echo "soak: all passed" || echo "soak: FAILED"
exit $status
