#!/bin/sh
# Configures and builds the fuzz targets with clang in their own directory.
# Usage: fuzz_build.sh <clang++ or empty> <source dir> <build dir> <library list>
# Exit status 77 (skipped) when clang++ is not installed or cannot link
# libFuzzer; the reason is then left in <build dir>/SKIPPED for the targets.
clangxx=$1
src=$2
bin=$3
libs=$4
mkdir -p "$bin" || exit 1
rm -f "$bin/SKIPPED"
skip() {
    echo "fuzz targets skipped: $1" | tee "$bin/SKIPPED"
    exit 77
}
if [ -z "$clangxx" ] || ! command -v "$clangxx" >/dev/null 2>&1; then
    skip "clang++ not found (install clang and libclang-rt-14-dev)"
fi
# clang without its runtime libraries compiles but cannot link a fuzzer.
probe="$bin/link_probe"
printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }' >"$probe.cpp"
if ! "$clangxx" -fsanitize=fuzzer,address,undefined "$probe.cpp" -o "$probe" >"$probe.log" 2>&1; then
    skip "$clangxx cannot link libFuzzer (install libclang-rt-14-dev), see $probe.log"
fi
cmake -S "$src" -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER="$clangxx" \
    -DZORV_LIBS="$libs" >/dev/null || exit 1
cmake --build "$bin" --target fuzz_all
