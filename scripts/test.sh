#!/usr/bin/env bash
# The test command: installs what is missing, then builds and runs every test
# in three configurations in turn (plain, AddressSanitizer+UBSan,
# ThreadSanitizer). Exits non-zero on any failure.
#   ./scripts/test.sh            all three
#   ./scripts/test.sh plain      one of them
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(plain asan tsan)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

# The tests run in a private network namespace with its own loopback when
# the machine allows one, so that an agent, a demo or another test run on this
# machine (they use fixed ports such as 127.0.0.1:14369) cannot answer in
# their place. ZEL_TEST_SHARED_NETWORK=1 runs them on the machine's network.
run_ctest() {
  if [ -z "${ZEL_TEST_SHARED_NETWORK:-}" ]; then
    for flags in -n -rn; do
      if unshare "$flags" sh -c 'ip link set lo up' 2>/dev/null; then
        unshare "$flags" sh -c 'ip link set lo up && exec "$@"' sh ctest "$@"
        return
      fi
    done
  fi
  ctest "$@"
}

status=0
for config in "${configs[@]}"; do
  echo "=== $config: build"
  dir=$(./scripts/build.sh "$config" | tail -n 1)
  echo "=== $config: test"
  if ! run_ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure --timeout 600; then
    status=1
  fi
done
exit $status
