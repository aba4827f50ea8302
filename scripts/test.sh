#!/usr/bin/env bash
# The test command: installs what is missing, then builds and runs every test
# in four configurations: the 32-bit ARM cross-build under qemu-user
# (scripts/test-arm.sh, which leaves out the soak tests), plain,
# AddressSanitizer+UBSan and ThreadSanitizer. Exits non-zero on any failure.
#   ./scripts/test.sh                 all four
#   ./scripts/test.sh plain tsan      some of them (arm, plain, asan, tsan)
#
# The builds run one after the other, each on every core; the tests of a
# configuration run in the background while the next one builds, each run in
# a private network namespace of its own (scripts/private-net.sh), so that
# two runs never share the fixed control port. A run's output goes to
# build/<config>/test.log and is printed when the run ends. Each run's
# temporary files go to a folder of its own (TMPDIR), removed when it ends:
# a test killed at its time-out leaves nothing in /tmp either.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(arm plain asan tsan)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

status=0
runs=()
declare -A run_pid run_tmp
trap 'for t in "${run_tmp[@]}"; do rm -rf "$t"; done' EXIT
for config in "${configs[@]}"; do
  echo "=== $config: build ($(date +%T))"
  if [ "$config" = arm ]; then
    if ! ./scripts/test-arm.sh --build-only; then status=1; continue; fi
    command=(./scripts/test-arm.sh --run-only)
  else
    if ! dir=$(./scripts/build.sh "$config" | tail -n 1); then status=1; continue; fi
    command=(./scripts/private-net.sh ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure --timeout 600)
  fi
  mkdir -p "build/$config"
  echo "=== $config: tests start in the background ($(date +%T))"
  run_tmp[$config]=$(mktemp -d "${TMPDIR:-/tmp}/zeltests-$config.XXXXXX")
  TMPDIR=${run_tmp[$config]} "${command[@]}" >"build/$config/test.log" 2>&1 &
  run_pid[$config]=$!
  runs+=("$config")
done

for config in "${runs[@]}"; do
  if wait "${run_pid[$config]}"; then result=passed; else result=FAILED; status=1; fi
  rm -rf "${run_tmp[$config]}"
  echo "=== $config: tests $result ($(date +%T))"
  if [ "$result" = passed ]; then
    grep -E 'tests passed|Total Test time' "build/$config/test.log" || true
  else
    cat "build/$config/test.log"
  fi
done
exit $status
