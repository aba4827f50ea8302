#!/usr/bin/env bash
# Configures and builds one configuration into build/<name>, everything or
# only the targets named, with BUILD_JOBS jobs (default: one per core). The
# benchmarks are built in the plain configuration only. Prints the build
# folder on the last line.
#   ./scripts/build.sh [plain|asan|tsan] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
config=${1:-plain}
[ $# -gt 0 ] && shift
case "$config" in
  plain) sanitizer="" ;;
  asan) sanitizer=address ;;
  tsan) sanitizer=thread ;;
  *) echo "unknown configuration $config" >&2; exit 2 ;;
esac
bench=OFF
[ "$config" = plain ] && bench=ON
dir=build/$config
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_SANITIZER="$sanitizer" \
  -DZEL_BUILD_BENCH="$bench" >/dev/null
targets=()
[ $# -eq 0 ] || targets=(--target "$@")
cmake --build "$dir" -j"${BUILD_JOBS:-$(nproc)}" "${targets[@]}"
echo "$dir"
