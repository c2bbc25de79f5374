#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the plain suite, the
# installed files and the Debian package (scripts/check-install.sh), the same
# suite under AddressSanitizer and UndefinedBehaviorSanitizer with leak
# checking, and each fuzzer for a short fixed time on the committed corpus.
# One line per stage on the screen; each stage's output is in build/*.log.
# FUZZ_SECONDS (default 30) sets how long each fuzzer runs, JOBS=N the
# parallelism of builds and tests (default: one job per processor).
set -euo pipefail
cd "$(dirname "$0")/.."
fuzz_seconds="${FUZZ_SECONDS:-30}"

# clang and its runtimes build the fuzzers (libFuzzer ships with them); the
# rest checks the format and the installation and builds the Debian package.
# tst_realtime starts its own system bus, polkitd and rtkit-daemon
# (scripts/unprivileged.sh) and needs them installed, not running; tshark
# reads the captures with the shipped dissector.
scripts/setup.sh clang-14 libclang-rt-14-dev clang-format \
    desktop-file-utils appstream man-db dpkg-dev file xvfb xdotool ser2net tshark \
    dbus polkitd rtkit
. scripts/common.sh

format_check() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -z '*.cpp' '*.h'
    else
        find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print0
    fi | xargs -0 clang-format --dry-run -Werror
}
stage "format" format format_check

stage "configure" configure cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKC_WERROR=ON -DBUILD_TESTING=ON
stage "build (warnings are errors)" build cmake --build build -j"$jobs"
stage "test" test sh -c "cd build && ctest --output-on-failure -j$jobs"
stage "installation and Debian package" check-install scripts/check-install.sh build

stage "configure with ASan + UBSan" asan-configure cmake -S . -B build-asan -DKC_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
stage "build with ASan + UBSan" asan-build cmake --build build-asan -j"$jobs"
lsan_supp=""
[ -f tests/lsan.supp ] && lsan_supp=":suppressions=$PWD/tests/lsan.supp"
stage "test with ASan + UBSan, leaks checked" asan-test sh -c "cd build-asan &&
    ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=print_suppressions=0$lsan_supp \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j$jobs"

fuzzers=(frame reception display telnet monitor)
stage "configure the fuzzers" fuzz-configure cmake -S . -B build-fuzz -DKC_FUZZ=ON \
    -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
stage "build the fuzzers" fuzz-build cmake --build build-fuzz -j"$jobs" \
    --target "${fuzzers[@]/#/fuzz_}"
# New inputs and any crash go to a scratch directory, never into the checkout.
fuzz() {
    local target="$1" work
    work="$(mktemp -d)"
    echo "scratch: $work"
    if ! build-fuzz/fuzz/fuzz_$target "$work" fuzz/corpus/$target \
        -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$work/" -print_final_stats=1; then
        echo "fuzz_$target found a failure; the input is in $work"
        return 1
    fi
    rm -rf "$work"
}
for target in "${fuzzers[@]}"; do
    stage "fuzz_$target, ${fuzz_seconds} s" fuzz-$target fuzz $target
done
