#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when missing.
set -euo pipefail
need=()
have() { dpkg -s "$1" >/dev/null 2>&1; }
# The plotting front end (morvenak-plot) draws through cairo with fonts found by
# fontconfig, reads results.json with nlohmann-json, and its tests read PDFs back with
# poppler's pdftotext and pdftoppm.
plot_pkgs="libcairo2-dev libfontconfig-dev fonts-dejavu-core nlohmann-json3-dev poppler-utils pkg-config"
for pkg in cmake g++ libgtest-dev python3 libcli11-dev libcsv-dev librsvg2-bin clang libclang-rt-14-dev $plot_pkgs; do
  have "$pkg" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need[@]}"
fi
