#!/usr/bin/env bash
# usage: fuzz/run.sh BUILD SECONDS TARGET...
# For each target: replays the inputs kept from earlier crashes (each must now
# pass), then fuzzes for SECONDS from a copy of the seed corpus, so the corpus in
# the repository only changes by hand. A crash, a leak, a time-out or a
# sanitizer report fails the run and leaves the input in BUILD/fuzz-artifacts/.
# setsid: without a controlling terminal a pause cannot wait for an answer.
set -euo pipefail
build=$1
seconds=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$build/fuzz-artifacts"
for target in "$@"; do
  name=${target#fuzz_}
  kept=$root/tests/fuzz/$name
  work=$build/fuzz-corpus/$name
  rm -rf "$work"
  mkdir -p "$work"
  cp "$kept"/seeds/* "$work"/
  shopt -s nullglob
  crashes=("$kept"/crashes/*)
  shopt -u nullglob
  if [ ${#crashes[@]} -gt 0 ]; then
    echo "== $target: replaying ${#crashes[@]} kept crash inputs"
    setsid -w "$build/fuzz/$target" "${crashes[@]}"
  fi
  echo "== $target: fuzzing for $seconds s"
  dict=()
  [ -f "$kept/$name.dict" ] && dict=(-dict="$kept/$name.dict")
  setsid -w "$build/fuzz/$target" "$work" "${dict[@]}" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$target-"
done
