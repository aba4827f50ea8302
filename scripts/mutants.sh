#!/usr/bin/env bash
# Mutation check of the test suite: applies each mutant of a list to the
# source tree in turn, builds, runs the tests and reports which mutants some
# test kills (makes fail). Not part of the test command: a run takes about a
# minute or two per mutant.
#
#   ./scripts/mutants.sh [LIST] [MUTANT...]
#
# LIST (default scripts/mutants.list) holds one mutant per line, fields
# separated by tabs: FILE, ORIGINAL, REPLACEMENT, WHAT. ORIGINAL must occur
# exactly once in FILE. MUTANT numbers (1 = the first mutant of the list)
# pick some of them. The build goes to build/mutants (plain, no benchmarks);
# the tests run as the test command runs them (MUTANTS_CTEST_ARGS adds
# ctest arguments, e.g. "-R Broker"). Every file is restored
# afterwards, also when the run is interrupted. Prints one line per mutant
# and "killed K of N" at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
list=${1:-scripts/mutants.list}
[ $# -gt 0 ] && shift
only=("$@")
dir=build/mutants
log=$dir/mutants.log

# perl reads the file and replaces exactly one occurrence (mode apply), or
# only counts them (mode check).
edit() { # mode file original replacement
  MODE=$1 ORIG=$3 REPL=$4 perl -e '
    my $f = shift; local $/; open(my $in, "<", $f) or die "$f: $!\n"; my $t = <$in>; close $in;
    my $n = () = $t =~ /\Q$ENV{ORIG}\E/g;
    if ($n != 1) { print STDERR "$f: the original text is found $n times\n"; exit 2 }
    exit 0 if $ENV{MODE} eq "check";
    $t =~ s/\Q$ENV{ORIG}\E/$ENV{REPL}/;
    open(my $out, ">", $f) or die "$f: $!\n"; print $out $t; close $out;' "$2"
}

mapfile -t mutants < <(grep -v '^\s*#' "$list" | grep -v '^\s*$')
bad=0
for m in "${mutants[@]}"; do
  IFS=$'\t' read -r file orig repl what <<<"$m"
  edit check "$file" "$orig" "$repl" || bad=1
done
[ $bad -eq 0 ] || exit 2

mkdir -p "$dir"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_BUILD_BENCH=OFF >/dev/null
backup=$(mktemp -d)
current=""
restore() {
  if [ -n "$current" ]; then cp "$backup/saved" "$current"; current=""; fi
}
trap 'restore; rm -rf "$backup"' EXIT

run_tests() {
  ./scripts/private-net.sh ctest --test-dir "$dir" -j"$(nproc)" --timeout 300 --stop-on-failure \
    ${MUTANTS_CTEST_ARGS:-} >>"$log" 2>&1
}

: >"$log"
echo "baseline: build and run the unchanged suite"
cmake --build "$dir" -j"$(nproc)" >>"$log" 2>&1
if ! run_tests; then
  echo "the unchanged suite fails; see $log" >&2
  exit 1
fi

killed=0
total=0
index=0
for m in "${mutants[@]}"; do
  index=$((index + 1))
  if [ ${#only[@]} -gt 0 ] && [[ ! " ${only[*]} " =~ " $index " ]]; then continue; fi
  IFS=$'\t' read -r file orig repl what <<<"$m"
  cp "$file" "$backup/saved"
  current=$file
  edit apply "$file" "$orig" "$repl"
  echo "=== mutant $index: $file: $what" >>"$log"
  if ! cmake --build "$dir" -j"$(nproc)" >>"$log" 2>&1; then
    echo "mutant $index does not build: $file: $what"
    restore
    continue
  fi
  total=$((total + 1))
  if run_tests; then
    echo "SURVIVED $index: $file: $what"
  else
    killed=$((killed + 1))
    echo "killed   $index: $file: $what"
  fi
  restore
done
# Build the restored tree once more, so that build/mutants matches the sources.
cmake --build "$dir" -j"$(nproc)" >>"$log" 2>&1 || true
echo "killed $killed of $total"
