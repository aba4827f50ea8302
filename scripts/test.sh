#!/usr/bin/env bash
# The test command: installs what is missing, then builds and runs every test
# in four configurations in turn: plain, AddressSanitizer+UBSan and
# ThreadSanitizer on this machine, then the 32-bit ARM cross-build under
# qemu-user (scripts/test-arm.sh, which leaves out the soak tests). Exits
# non-zero on any failure.
#   ./scripts/test.sh                 all four
#   ./scripts/test.sh plain tsan      some of them (plain, asan, tsan, arm)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(plain asan tsan arm)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

status=0
for config in "${configs[@]}"; do
  if [ "$config" = arm ]; then
    echo "=== arm: cross-build and test under qemu-user"
    ./scripts/test-arm.sh || status=1
    continue
  fi
  echo "=== $config: build"
  dir=$(./scripts/build.sh "$config" | tail -n 1)
  echo "=== $config: test"
  # In a private network namespace when possible: nothing else on this machine
  # can then hold the fixed control port.
  if ! ./scripts/private-net.sh ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure --timeout 600; then
    status=1
  fi
done
exit $status
