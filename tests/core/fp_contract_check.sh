#!/usr/bin/env bash
# core/fp_contract.hpp against each compiler's own contraction default, as R
# compiles a package (-std=gnu++17 -O2, no -ffp-contract flag; GCC then
# fuses across statements, clang within them): a * b + c and a dot product,
# built for a machine with FMA, give fused multiply-adds without the header
# (so the probe can show them) and none with it.
# Usage: fp_contract_check.sh SRC_DIR COMPILER...
set -euo pipefail
src=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/probe.cpp" <<'CPP'
#ifdef WITH_HEADER
#include "core/fp_contract.hpp"
#endif
#include <cstddef>
#include <vector>
double axpy(double a, double b, double c) { return a * b + c; }
double dot(const std::vector<double>& x, const std::vector<double>& y) {
  double s = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) s += x[i] * y[i];
  return s;
}
CPP
failed=0
for cxx in "$@"; do
  flags=(-std=gnu++17 -O2 -mfma -I"$src/core" -S -o -)
  without=$("$cxx" "${flags[@]}" "$work/probe.cpp" | grep -c vfmadd || true)
  with=$("$cxx" "${flags[@]}" -DWITH_HEADER "$work/probe.cpp" | grep -c vfmadd || true)
  echo "$cxx: $without fused multiply-adds without the header, $with with it"
  if [ "$without" -eq 0 ]; then echo "FAIL: $cxx fuses nothing even when told to: the probe shows nothing"; failed=1; fi
  if [ "$with" -ne 0 ]; then echo "FAIL: $cxx fuses despite core/fp_contract.hpp"; failed=1; fi
done
exit $failed
