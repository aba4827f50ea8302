#!/usr/bin/env bash
# Long fault and soak runs of the real agent: the tests labelled soak, which
# the test command runs with short settings.
#
#   ./scripts/soak.sh [rounds] [plain|asan|tsan]     default: 1000 rounds, plain
#
# The resource soak drops and remakes the broker link ROUNDS times (every
# other time after failing advisor requests) with a message each round and
# compares the agent's descriptors, threads and resident memory at the end
# with those after a warm-up; the kill soak kills the agent ROUNDS/5 times
# (200 by default) in the middle of state changes and identity writes; the fault tests run once. The asan build
# adds LeakSanitizer at every agent exit. ZEL_SOAK_ROUNDS and ZEL_SOAK_KILLS
# override the lengths. The test program is run directly: ctest's per-test
# time limit is far shorter than a soak.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-1000}
config=${2:-plain}

export ZEL_SOAK_ROUNDS=${ZEL_SOAK_ROUNDS:-$rounds}
export ZEL_SOAK_KILLS=${ZEL_SOAK_KILLS:-$((rounds / 5 > 6 ? rounds / 5 : 6))}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

./scripts/deps.sh
dir=$(./scripts/build.sh "$config" zelagent zelagent_control soak_test | tail -n 1)
export ZEL_BUILD_DIR=$PWD/$dir
if ./scripts/private-net.sh "$dir/tests/agent/soak_test" --gtest_color=no; then
  echo "soak: all passed"
else
  echo "soak: FAILED"
  exit 1
fi
