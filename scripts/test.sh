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

status=0
for config in "${configs[@]}"; do
  echo "=== $config: build"
  dir=$(./scripts/build.sh "$config" | tail -n 1)
  echo "=== $config: test"
  if ! ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure --timeout 600; then
    status=1
  fi
done
exit $status
