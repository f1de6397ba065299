#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time:
#   sh tests/fuzz.sh [seconds]     (60 by default)
# New inputs are kept in build-fuzz/corpus, seeded from tests/corpus.
set -eu
seconds=${1:-60}
cd "$(dirname "$0")/.."
CXX=clang++ cmake -S . -B build-fuzz -DVESKLO_FUZZ=ON -DVESKLO_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j 2
for target in cmdline transfer; do
    mkdir -p build-fuzz/corpus/$target
    build-fuzz/fuzz_$target -max_total_time="$seconds" -print_final_stats=1 \
        build-fuzz/corpus/$target tests/corpus/$target 2>&1 | grep -E '^(#|stat::|==|INFO: seed)' | tail -12
done
