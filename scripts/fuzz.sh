#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs them side by side for SECONDS each
# (default 60) from slices of the shared corpus. What they learn stays in
# build/fuzz/found for the next run; a failing input lands in
# build/fuzz/artifacts.
source "$(dirname "$0")/env.sh"
seconds=${1:-60}

ensure_debian_packages clang libclang-rt-14-dev zlib1g-dev
ensure_venv
ensure_build_tools

build=$ROOT/build/fuzz
cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVEK_BUILD_MODULE=OFF -DVEK_BUILD_FUZZ=ON -DVEK_SANITIZE=ON >/dev/null
cmake --build "$build" >/dev/null
python "$ROOT/fuzz/make_seeds.py" "$ROOT/../shared/corpus" "$build/seeds"

# The fragment fuzzer reads the same input layout as the round-trip one.
targets=(roundtrip fragment checksum)
seeds_of() { [ "$1" = fragment ] && echo roundtrip || echo "$1"; }
pids=()
for target in "${targets[@]}"; do
    mkdir -p "$build/found/$target" "$build/artifacts"
    "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -max_len=65600 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" "$build/found/$target" "$build/seeds/$(seeds_of "$target")" \
        >"$build/$target.log" 2>&1 &
    pids+=($!)
done
failed=0
for i in "${!targets[@]}"; do
    log=$build/${targets[$i]}.log
    if wait "${pids[$i]}"; then
        echo "${targets[$i]}: $(grep -E '^Done [0-9]+ runs' "$log"), $(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)"
    else
        echo "${targets[$i]}: FAILED"
        tail -60 "$log"
        failed=1
    fi
done
exit $failed
