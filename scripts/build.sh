#!/usr/bin/env bash
# Configures and builds one configuration: ./scripts/build.sh [plain|asan|tsan]
# into build/<name>. Prints the build folder on the last line.
set -euo pipefail
cd "$(dirname "$0")/.."
config=${1:-plain}
case "$config" in
  plain) sanitizer="" ;;
  asan) sanitizer=address ;;
  tsan) sanitizer=thread ;;
  *) echo "unknown configuration $config" >&2; exit 2 ;;
esac
dir=build/$config
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_SANITIZER="$sanitizer" >/dev/null
cmake --build "$dir" -j"$(nproc)"
echo "$dir"
