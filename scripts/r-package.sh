#!/usr/bin/env bash
# Makes the R package's source tarball, OUT/morvenak_VERSION.tar.gz (OUT:
# build/r by default). It first copies the engine into r/src: the sources of
# src/engine-sources.txt as r/src/engine-LAYER-NAME.cpp (R compiles every .cpp
# of src/), the headers of the library's layers (src/layers.txt: api and the
# layers below it that it builds on) under r/src/engine/FOLDER/, so that
# -Iengine finds them as the layers include them, and writes r/src/Makevars. Those copies are not kept in git; after this script r/ is a
# whole package that `R CMD INSTALL r` also takes. R CMD build installs the
# package once more, in a library of its own, to build the vignette (knitr,
# rmarkdown and pandoc: scripts/deps-r.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/r}
mkdir -p "$out"
out=$(cd "$out" && pwd)
cd "$root"

version=$(sed -n 's/^project(morvenak VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
described=$(sed -n 's/^Version: *//p' r/DESCRIPTION)
if [ "$version" != "$described" ]; then
  echo "r-package: r/DESCRIPTION says version $described where CMakeLists.txt says $version: make them agree" >&2
  exit 2
fi

rm -rf r/src/engine r/src/engine-*.cpp r/src/*.o r/src/*.so
mkdir -p r/src/engine

# The layers, bottom up: NAME or NAME/FOLDER, then what it builds on.
declare -A folder_of below_of
order=()
while IFS= read -r line; do
  case "$line" in '#'* | '') continue ;; esac
  if ! [[ "$line" =~ ^([a-z_]+)(/([a-z_]+))?:(.*)$ ]]; then
    echo "r-package: src/layers.txt: '$line' is not 'NAME: BELOW...' nor 'NAME/FOLDER: BELOW...'" >&2
    exit 2
  fi
  name=${BASH_REMATCH[1]}
  folder_of[$name]=${BASH_REMATCH[3]:-$name}
  below_of[$name]=${BASH_REMATCH[4]}
  order+=("$name")
done < src/layers.txt
# The library's layers: api and, from the top down, what the wanted ones build on.
declare -A wanted=([api]=1)
layers=()
for ((i = ${#order[@]} - 1; i >= 0; i--)); do
  name=${order[i]}
  [ -n "${wanted[$name]-}" ] || continue
  layers=("$name" "${layers[@]}")
  for b in ${below_of[$name]}; do wanted[$b]=1; done
done
[ -n "${folder_of[api]-}" ] || { echo "r-package: src/layers.txt has no layer api" >&2; exit 2; }

while IFS= read -r line; do
  case "$line" in '#'* | '') continue ;; esac
  layer=${line%%/*}
  rest=${line#*/}
  folder=${rest%%/*}
  if [ -z "${wanted[$layer]-}" ] || [ "$folder" != "${folder_of[$layer]}" ]; then
    echo "r-package: src/engine-sources.txt lists $line, which is not a source of a layer that the library needs" >&2
    exit 2
  fi
  name=$(basename "$line" .cpp)
  cp "src/$line" "r/src/engine-$layer-$name.cpp"
done < src/engine-sources.txt
for layer in "${layers[@]}"; do
  folder=${folder_of[$layer]}
  mkdir -p "r/src/engine/$folder"
  cp src/"$layer/$folder"/*.hpp "r/src/engine/$folder/"
done

cat > r/src/Makevars <<MAKEVARS
# Written by scripts/r-package.sh from src/layers.txt and src/engine-sources.txt; not kept in git.
# No floating-point contraction: each engine source turns it off by a pragma
# (core/fp_contract.hpp), since R refuses such flags here.
CXX_STD = CXX17
PKG_CPPFLAGS = -Iengine -DMORVENAK_VERSION='"$version"'
PKG_LIBS = -pthread
MAKEVARS

mkdir -p "$out"
cd "$out"
R CMD build "$root/r"
test -f "morvenak_$version.tar.gz"
echo "r-package: $out/morvenak_$version.tar.gz"
