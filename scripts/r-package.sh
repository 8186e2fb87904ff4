#!/usr/bin/env bash
# Makes the R package's source tarball, OUT/morvenak_VERSION.tar.gz (OUT:
# build/r by default). It first copies the engine into r/src: the sources of
# src/engine-sources.txt as r/src/engine-LAYER-NAME.cpp (R compiles every .cpp
# of src/), the headers of their layers under r/src/engine/, and writes
# r/src/Makevars. Those copies are not kept in git; after this script r/ is a
# whole package that `R CMD INSTALL r` also takes.
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
layers=()
while IFS= read -r line; do
  case "$line" in '#'* | '') continue ;; esac
  layer=${line%%/*}
  rest=${line#*/}
  folder=${rest%%/*}
  name=$(basename "$line" .cpp)
  cp "src/$line" "r/src/engine-$layer-$name.cpp"
  case " ${layers[*]-} " in *" $layer/$folder "*) ;; *) layers+=("$layer/$folder") ;; esac
done < src/engine-sources.txt
for lf in "${layers[@]}"; do
  folder=${lf#*/}
  mkdir -p "r/src/engine/$folder"
  cp src/"$lf"/*.hpp "r/src/engine/$folder/"
done

cat > r/src/Makevars <<MAKEVARS
# Written by scripts/r-package.sh from src/engine-sources.txt; not kept in git.
# No floating-point contraction: each engine source turns it off by a pragma
# (core/fp_contract.hpp), since R refuses such flags here.
CXX_STD = CXX17
PKG_CPPFLAGS = -Iengine -DMORVENAK_VERSION='"$version"'
PKG_LIBS = -pthread
MAKEVARS

mkdir -p "$out"
cd "$out"
R CMD build --no-build-vignettes "$root/r"
test -f "morvenak_$version.tar.gz"
echo "r-package: $out/morvenak_$version.tar.gz"
