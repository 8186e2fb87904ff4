#!/usr/bin/env bash
# Runs the program on the bundled dune meadow example in a fresh temporary
# folder, answering the dialogue from answers.txt, and prints the report.
set -euo pipefail
program=$(realpath "${1:-build/morvenak}")
example=$(realpath "${2:-$(dirname "$0")/dune_nested}")
work=$(mktemp -d "${TMPDIR:-/tmp}/morvenak-demo-XXXXXX")
cp "$example"/Y.txt "$example"/F*.txt "$example"/files.txt "$work"/
cd "$work"
echo "== running $program in $work with the answers of $example/answers.txt"
status=0
"$program" < "$example/answers.txt" || status=$?
echo "== exit status $status; report $work/Morvenak.out:"
cat Morvenak.out
exit "$status"
