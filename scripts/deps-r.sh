#!/usr/bin/env bash
# Installs the Debian packages that the R package needs to build, check and
# test, only when missing: R with its headers, Rcpp, jsonlite (the figures'
# models), cairo, fontconfig and nlohmann-json with pkg-config (the figures'
# layout, compiled into the package), testthat, vegan (a peer of the tests,
# never a dependency of the package), ggplot2 (autoplot()), and knitr and
# rmarkdown (with pandoc) to build the vignette.
set -euo pipefail
need=()
have() { dpkg -s "$1" >/dev/null 2>&1; }
for pkg in r-base-dev r-cran-rcpp r-cran-jsonlite pkg-config libcairo2-dev libfontconfig-dev nlohmann-json3-dev \
  fonts-dejavu-core r-cran-testthat r-cran-vegan r-cran-ggplot2 r-cran-knitr r-cran-rmarkdown pandoc; do
  have "$pkg" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need[@]}"
fi
