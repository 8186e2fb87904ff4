"""The installed library from a user's side: the build installed into a fresh
prefix, then a small program that runs morvenak::analyse on six objects, two
species and one factor of two levels, built in a folder of its own twice --
by CMake with find_package(morvenak) and by the compiler with pkg-config --
with nothing but the prefix to find the engine. Each build's program must
print the main row's degrees of freedom and the F that the formula gives for
that data, F = (SS among groups / 1) / (SS within groups / 4).

usage: library_test.py --build BUILD --cmake CMAKE --cxx CXX [--cxx-flags F] [--link-flags F]"""

import argparse
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE_ROOT = Path(__file__).resolve().parents[2]
# Y, one list per species (column-major as the API takes it), and the groups.
Y = [[1.0, 4.0, 2.0, 7.0, 6.0, 3.0], [5.0, 2.0, 6.0, 1.0, 3.0, 4.5]]
LABELS = ["a", "b", "a", "b", "b", "a"]

PROGRAM = """#include <cstdio>

#include "morvenak/analysis.hpp"

int main() {{
  morvenak::Input in;
  in.n = {n};
  in.p = {p};
  in.y = {{{y}}};
  in.factors.push_back(morvenak::Factor::from_labels("Group", {{{labels}}}));
  morvenak::Options options;
  options.permutations = 99;
  const morvenak::Result result = morvenak::analyse(in, options);
  const morvenak::Row& row = result.rows.at(0);
  std::printf("%d %d %.17g\\n", row.df1, row.df2, row.f);
}}
"""

CMAKELISTS = """cmake_minimum_required(VERSION 3.16)
project(uses_morvenak LANGUAGES CXX)
find_package(morvenak 1 REQUIRED)
add_executable(uses_morvenak main.cpp)
target_link_libraries(uses_morvenak PRIVATE morvenak::morvenak)
"""


def expected_f():
    """Among and within sums of squares over both species, by the groups' means."""
    n = len(LABELS)
    groups = sorted(set(LABELS))
    among = within = 0.0
    for column in Y:
        mean = sum(column) / n
        for g in groups:
            values = [v for v, label in zip(column, LABELS) if label == g]
            group_mean = sum(values) / len(values)
            among += len(values) * (group_mean - mean) ** 2
            within += sum((v - group_mean) ** 2 for v in values)
    df1, df2 = len(groups) - 1, n - len(groups)
    return df1, df2, (among / df1) / (within / df2)


def run(command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        sys.exit(f"failed ({done.returncode}): {shlex.join(command)}\n{done.stdout}\n{done.stderr}")
    return done.stdout


def check_output(how, printed, want):
    df1, df2, f = printed.split()
    got = (int(df1), int(df2), float(f))
    print(f"{how}: df {got[0]}, {got[1]}, F {got[2]!r} (by the formula {want[2]!r})")
    if got[:2] != want[:2] or abs(got[2] - want[2]) > 1e-12 * abs(want[2]):
        sys.exit(f"{how}: printed {printed.strip()!r}, the formula gives {want[0]} {want[1]} {want[2]!r}")


def check_headers(prefix):
    """The installed headers include the standard library and each other only."""
    headers = sorted((prefix / "include" / "morvenak").glob("*.hpp"))
    names = {f"morvenak/{h.name}" for h in headers}
    if names != {"morvenak/analysis.hpp", "morvenak/model.hpp"}:
        sys.exit(f"installed headers: {sorted(names)}")
    for header in headers:
        for line in header.read_text().splitlines():
            found = re.match(r'\s*#\s*include\s*([<"])([^>"]+)[>"]', line)
            if found and not (found.group(1) == "<" and re.fullmatch(r"[a-z_]+", found.group(2))
                              or found.group(1) == '"' and found.group(2) in names):
                sys.exit(f"{header}: includes {found.group(2)}, which a user of the prefix does not have")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, type=Path)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--cxx", required=True)
    parser.add_argument("--cxx-flags", default="")
    parser.add_argument("--link-flags", default="")
    args = parser.parse_args()
    want = expected_f()
    build = args.build.resolve()

    with tempfile.TemporaryDirectory(prefix="morvenak-prefix-") as prefix_name, \
            tempfile.TemporaryDirectory(prefix="morvenak-user-") as user_name:
        prefix, user = Path(prefix_name), Path(user_name)
        run([args.cmake, "--install", str(build), "--prefix", str(prefix)])
        check_headers(prefix)

        y = ", ".join(repr(v) for column in Y for v in column)
        labels = ", ".join(f'"{label}"' for label in LABELS)
        (user / "main.cpp").write_text(PROGRAM.format(n=len(LABELS), p=len(Y), y=y, labels=labels))
        (user / "CMakeLists.txt").write_text(CMAKELISTS)

        # By CMake: the package found under the prefix and nowhere else.
        run([args.cmake, "-S", str(user), "-B", str(user / "build"), f"-DCMAKE_PREFIX_PATH={prefix}",
             f"-DCMAKE_CXX_COMPILER={args.cxx}", f"-DCMAKE_CXX_FLAGS={args.cxx_flags}",
             f"-DCMAKE_EXE_LINKER_FLAGS={args.link_flags}", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
             "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF", "-DCMAKE_BUILD_TYPE=Release"])
        cache = (user / "build" / "CMakeCache.txt").read_text()
        found = re.search(r"^morvenak_DIR:PATH=(.*)$", cache, re.M)
        if not found or Path(found.group(1)).resolve() != (prefix / "lib" / "cmake" / "morvenak").resolve():
            sys.exit(f"find_package(morvenak) found {found.group(1) if found else 'nothing'}, not the prefix's")
        run([args.cmake, "--build", str(user / "build")])
        compile_command = json.loads((user / "build" / "compile_commands.json").read_text())[0]["command"]
        for tree in (SOURCE_ROOT, build):
            if str(tree) in compile_command:
                sys.exit(f"the user's build compiles with a path of {tree}: {compile_command}")
        check_output("find_package", run([str(user / "build" / "uses_morvenak")]), want)

        # By pkg-config: its flags alone, and the library needs -pthread only.
        env = dict(os.environ, PKG_CONFIG_PATH=str(prefix / "lib" / "pkgconfig"))
        env.pop("PKG_CONFIG_LIBDIR", None)
        cflags = shlex.split(run(["pkg-config", "--cflags", "morvenak"], env=env))
        libs = shlex.split(run(["pkg-config", "--libs", "morvenak"], env=env))
        extra = [flag for flag in libs if not flag.startswith("-L") and flag != "-lmorvenak"]
        if extra != ["-pthread"]:
            sys.exit(f"pkg-config --libs morvenak: {libs}: the library should need -pthread alone beside itself")
        executable = user / "uses_morvenak_pc"
        run([args.cxx, "-std=c++17", *shlex.split(args.cxx_flags), str(user / "main.cpp"), *cflags,
             *shlex.split(args.link_flags), *libs, "-o", str(executable)], cwd=user)
        check_output("pkg-config", run([str(executable)]), want)


if __name__ == "__main__":
    main()
