#!/usr/bin/env bash
# Makes the R package's source tarball, OUT/morvenak_VERSION.tar.gz (OUT:
# build/r by default). It first copies the engine into r/src: the sources of
# src/engine-sources.txt as r/src/engine-LAYER-NAME.cpp (R compiles every .cpp
# of src/), the headers of the library's layers (src/layers.txt: api and the
# layers below it that it builds on) under r/src/engine/FOLDER/, so that
# -Iengine finds them as the layers include them. The figures' model comes the
# same way: the sources of tools/plot/model-sources.txt as
# r/src/tools-DIR-NAME.cpp, the headers they include under r/src/tools/DIR/,
# found through -Itools/plot and -Itools/common, so that "../common/..." reads
# as in tools/. It writes r/src/Makevars.in, which r/configure completes with
# the flags of cairo and fontconfig into src/Makevars when the package is
# installed. Those copies are not kept in git; after this script r/ is a
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

rm -rf r/src/engine r/src/engine-*.cpp r/src/tools r/src/tools-*.cpp r/src/Makevars r/src/Makevars.in \
  r/src/*.o r/src/*.so
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

# The figures' model: each source as tools-DIR-NAME.cpp, and the headers that
# it includes ("NAME.hpp" or "../DIR/NAME.hpp"), and theirs, under tools/DIR/.
declare -A copied
copy_header() {  # DIR/NAME.hpp, relative to tools/
  local header=$1
  [ -z "${copied[$header]-}" ] || return 0
  [ -f "tools/$header" ] || { echo "r-package: tools/$header, included by the figures' model, is missing" >&2; exit 2; }
  copied[$header]=1
  mkdir -p "r/src/tools/${header%/*}"
  cp "tools/$header" "r/src/tools/$header"
  includes_of "$header"
}
includes_of() {  # the quoted includes of tools/DIR/FILE that are tools' own
  local file=$1 dir=${1%/*} included
  while IFS= read -r included; do
    case "$included" in
      ../*/*.hpp) copy_header "${included#../}" ;;
      */*) ;;  # the engine's, "morvenak/analysis.hpp", under -Iengine
      *.hpp) copy_header "$dir/$included" ;;
    esac
  done < <(sed -n 's/^#include "\(.*\)"$/\1/p' "tools/$file")
}
while IFS= read -r line; do
  case "$line" in '#'* | '') continue ;; esac
  [ -f "tools/$line" ] || { echo "r-package: tools/plot/model-sources.txt lists $line, which is missing" >&2; exit 2; }
  # The engine's sources turn floating-point contraction off themselves; the
  # figures' model is built without it by CMake's flags, and here by the same
  # pragma ahead of the source, so that its places are the command's.
  { echo '#include "core/fp_contract.hpp"'; cat "tools/$line"; } >"r/src/tools-${line%%/*}-$(basename "$line")"
  includes_of "$line"
done < tools/plot/model-sources.txt

cat > r/src/Makevars.in <<MAKEVARS
# Written by scripts/r-package.sh from src/layers.txt, src/engine-sources.txt and
# tools/plot/model-sources.txt; not kept in git. configure writes src/Makevars from
# it, with the compiler's and the linker's flags of cairo, fontconfig and nlohmann-json.
# No floating-point contraction: each engine source, and each copy of the figures'
# model, turns it off by a pragma (core/fp_contract.hpp), since R refuses such flags here.
CXX_STD = CXX17
PKG_CPPFLAGS = -Iengine -Itools/plot -Itools/common -DMORVENAK_VERSION='"$version"' @FIGURE_CFLAGS@
PKG_LIBS = -pthread @FIGURE_LIBS@
MAKEVARS

mkdir -p "$out"
cd "$out"
R CMD build "$root/r"
test -f "morvenak_$version.tar.gz"
echo "r-package: $out/morvenak_$version.tar.gz"
