#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) for a while with libFuzzer,
# starting from its seed corpus, and prints a summary: executions, executions
# per second, coverage (edges) and whether it crashed.
#
#   ./scripts/fuzz.sh [seconds] [target...]     default 60 seconds, all targets
#   FUZZ_JOBS=2 ./scripts/fuzz.sh 60            two targets at a time
#
# Builds with clang into build/fuzz (AddressSanitizer, UBSan, coverage). New
# inputs go to build/fuzz/work/<target>/, never into the repository's seed
# corpus; a crashing input is saved as build/fuzz/artifacts/<target>-crash-*.
# To keep a finding as a regression seed, copy it into fuzz/corpus/<target>/.
# Exits non-zero when any target crashed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
jobs=${FUZZ_JOBS:-1}

# clang with its libFuzzer runtime.
if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev ||
    $SUDO apt-get install -y -qq --no-install-recommends clang
fi
./scripts/deps.sh

all_targets=(control_request cloud_reply packet_reader base64 http_answer socks handler_line str_to_uint32 control_tool_args store_file)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

dir=build/fuzz
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DZEL_FUZZ=ON -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_BENCH=OFF >/dev/null
build_targets=()
for t in "${targets[@]}"; do build_targets+=("${t}_fuzz"); done
cmake --build "$dir" --target "${build_targets[@]}" -j"${BUILD_JOBS:-2}"

# Larger inputs only where the parser reads streams.
max_len() {
  case "$1" in
    packet_reader) echo 70000 ;;
    http_answer) echo 70000 ;;
    *) echo 4096 ;;
  esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$dir/artifacts" "$dir/logs"

run_one() {
  local t=$1
  local work="$dir/work/$t"
  mkdir -p "$work"
  local dict=()
  [ -f "fuzz/dict/$t.dict" ] && dict=(-dict="fuzz/dict/$t.dict")
  "$dir/fuzz/${t}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
    -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$dir/artifacts/$t-" "${dict[@]}" \
    "$work" "fuzz/corpus/$t" >"$dir/logs/$t.log" 2>&1
}

status=0
pids=()
names=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  names+=("$t")
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || { echo "$t: crashed (see $dir/logs/${names[0]}.log)"; status=1; }
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || { echo "${names[$i]}: crashed (see $dir/logs/${names[$i]}.log)"; status=1; }
done

printf '%-18s %12s %10s %8s %8s\n' target executions exec/s edges result
for t in "${targets[@]}"; do
  log="$dir/logs/$t.log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  edges=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | awk '{print $2}')
  result=ok
  grep -q -E '^==[0-9]+==ERROR|SUMMARY: |deadly signal|Test unit written' "$log" && result=CRASH
  printf '%-18s %12s %10s %8s %8s\n' "$t" "${execs:-?}" "${rate:-?}" "${edges:-?}" "$result"
done
exit $status
