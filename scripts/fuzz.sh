#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for a
# bounded time (QOVI_FUZZ_SECONDS, default 60), starting from its seed corpus in
# fuzz/corpus/<target>/. Fails on the first crash, leak or broken check, and
# says where the input that caused it was kept: add it to fuzz/corpus/<target>/
# once fixed, so that every later run replays it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" --test

dir="$root/build-fuzz"
targets=(fuzz_debrouiller fuzz_trame)
[ -f "$root/server/protocole/requete.cpp" ] && targets+=(fuzz_requete)
[ -f "$root/server/reseau/protocoleproxy.cpp" ] && targets+=(fuzz_protocoleproxy)
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$dir" -G Ninja -DQOVI_FUZZ=ON -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOVI_WERROR=ON >/dev/null
cmake --build "$dir" --parallel "$(nproc)" --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
seconds=${QOVI_FUZZ_SECONDS:-60}
kept="$dir/crashes"
mkdir -p "$kept"

for target in "${targets[@]}"; do
    name=${target#fuzz_}
    # New inputs go to a scratch folder: the corpus in the repository stays small.
    mkdir "$work/$name"
    echo "== $target: ${seconds} s"
    if ! "$dir/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$kept/$name-" "$work/$name" "$root/fuzz/corpus/$name" >"$work/$name.log" 2>&1; then
        tail -n 60 "$work/$name.log"
        echo "$target failed; the input is in $kept/ (keep it in fuzz/corpus/$name/ once fixed)" >&2
        exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_units)' "$work/$name.log" || true
done
