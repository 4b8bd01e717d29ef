#!/bin/sh
# Configures and builds the fuzz targets with clang in their own directory.
# Usage: fuzz_build.sh <clang++ or empty> <source dir> <build dir> <library list>
# Exit status 77 (skipped) when clang++ is not installed.
clangxx=$1
src=$2
bin=$3
libs=$4
if [ -z "$clangxx" ] || ! command -v "$clangxx" >/dev/null 2>&1; then
    echo "fuzz targets skipped: clang++ not found (install clang and libclang-rt-14-dev)"
    exit 77
fi
cmake -S "$src" -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER="$clangxx" \
    -DZORV_LIBS="$libs" >/dev/null || exit 1
cmake --build "$bin" --target fuzz_all
