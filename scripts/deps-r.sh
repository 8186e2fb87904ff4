#!/usr/bin/env bash
# Installs the Debian packages that the R package needs to build, check and
# test, only when missing: R with its headers, Rcpp, testthat, vegan (a
# peer of the tests, never a dependency of the package), and knitr and
# rmarkdown (with pandoc) to build the vignette.
set -euo pipefail
need=()
have() { dpkg -s "$1" >/dev/null 2>&1; }
for pkg in r-base-dev r-cran-rcpp r-cran-testthat r-cran-vegan r-cran-knitr r-cran-rmarkdown pandoc; do
  have "$pkg" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need[@]}"
fi
