#!/usr/bin/env bash
# Every test: the core's GoogleTest suite (plain and under AddressSanitizer
# and UndefinedBehaviorSanitizer) and the module's pytest suite.
source "$(dirname "$0")/env.sh"

missing=()
for pkg in libgtest-dev zlib1g-dev gzip; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

ensure_venv
python -m pip install --quiet 'cmake>=3.18,<5' 'ninja>=1.10,<2'
VEK_EXTRAS=test install_vek

core_tests() {  # build dir, extra cmake flags...
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja -DVEK_BUILD_MODULE=OFF -DVEK_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$dir" >/dev/null
    ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
}
echo "== core tests"
core_tests "$ROOT/build/core-tests" -DCMAKE_BUILD_TYPE=Release
echo "== core tests under AddressSanitizer and UndefinedBehaviorSanitizer"
core_tests "$ROOT/build/core-tests-sanitized" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_SANITIZE=ON

echo "== module tests"
cd "$ROOT"
python -m pytest -q tests/module
