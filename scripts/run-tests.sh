#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the plain suite, the
# installed files and the Debian package (scripts/check-install.sh), the same
# suite under AddressSanitizer and UndefinedBehaviorSanitizer with leak
# checking, and each fuzzer for a short fixed time on the committed corpus.
# FUZZ_SECONDS (default 30) sets how long each fuzzer runs.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"
fuzz_seconds="${FUZZ_SECONDS:-30}"

# clang and its runtimes build the fuzzers (libFuzzer ships with them); the
# rest checks the format and the installation and builds the Debian package.
scripts/setup.sh clang-14 libclang-rt-14-dev clang-format \
    desktop-file-utils appstream man-db dpkg-dev file xvfb xdotool ser2net

echo "== format"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z '*.cpp' '*.h'
else
    find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print0
fi | xargs -0 clang-format --dry-run -Werror

echo "== build (warnings are errors) and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKC_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

echo "== installation and Debian package"
scripts/check-install.sh build

echo "== sanitizers: the whole suite with ASan + UBSan, leaks checked"
cmake -S . -B build-asan -DKC_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-asan -j"$jobs"
lsan_supp=""
[ -f tests/lsan.supp ] && lsan_supp=":suppressions=$PWD/tests/lsan.supp"
(cd build-asan &&
    ASAN_OPTIONS="detect_leaks=1" \
    LSAN_OPTIONS="print_suppressions=0$lsan_supp" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --output-on-failure -j"$jobs")

echo "== fuzzers: ${fuzz_seconds} s each"
cmake -S . -B build-fuzz -DKC_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzz_frame fuzz_reception fuzz_telnet
for target in frame reception telnet; do
    # New inputs and any crash go to a scratch directory, never into the checkout.
    work="$(mktemp -d)"
    echo "-- fuzz_$target (scratch: $work)"
    if ! build-fuzz/fuzz/fuzz_$target "$work" fuzz/corpus/$target \
        -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$work/" -print_final_stats=1 2>"$work/log"; then
        tail -n 60 "$work/log"
        echo "fuzz_$target found a failure; the input is in $work" >&2
        exit 1
    fi
    grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/log" || true
    rm -rf "$work"
done
