#!/usr/bin/env bash
# Every test: the GoogleTest suites of the core and the threaded engine
# (plain, under AddressSanitizer and UndefinedBehaviorSanitizer, and under
# ThreadSanitizer), the fuzz targets for a minute each, the
# module's and vekzip's pytest suites on Python 3.10, part of the module's
# suite under valgrind, the wheel installed into a fresh environment, and
# vekzip's suites (package, tool, integrations) on every later Python from
# 3.11 to 3.13 found on the machine, each from a wheel built for it.
source "$(dirname "$0")/env.sh"

# Each part's start, with the time, so that a slow run shows where it went.
section() { echo "== $* ($(date +%T))"; }

ensure_debian_packages libgtest-dev zlib1g-dev gzip pigz valgrind curl tar
python310=$(find_python310)
ensure_venv
ensure_build_tools
VEK_EXTRAS=test install_vek

core_tests() {  # build dir, extra cmake flags...
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja -DVEK_BUILD_MODULE=OFF -DVEK_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$dir" >/dev/null
    ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
}
section "core and engine tests"
core_tests "$ROOT/build/core-tests" -DCMAKE_BUILD_TYPE=Release
section "core and engine tests under AddressSanitizer and UndefinedBehaviorSanitizer"
core_tests "$ROOT/build/core-tests-sanitized" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_SANITIZE=ON
section "core and engine tests under ThreadSanitizer"
# Any report fails the test it comes from.
TSAN_OPTIONS=halt_on_error=1 core_tests "$ROOT/build/core-tests-thread-sanitized" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVEK_THREAD_SANITIZE=ON

section "fuzz targets"
bash "$ROOT/scripts/fuzz.sh" "${VEK_FUZZ_SECONDS:-60}"

cd "$ROOT"
# pytest's own script, not `python -m pytest`: that would put the checkout
# first on sys.path, where vekzip/ is the package's source without its
# compiled engine, hiding the installed package.
PYTEST=$VENV/bin/pytest
section "module, vekzip and command-line tests"
python "$PYTEST" -q

section "module tests under valgrind memcheck, on a small input set"
# pymalloc's arenas hide heap errors from valgrind; the plain allocator
# shows every block.
PYTHONMALLOC=malloc VEK_EXAMPLE_SCALE=0.05 valgrind -q --error-exitcode=99 --leak-check=no \
    --suppressions="$ROOT/tests/valgrind.supp" \
    python "$PYTEST" -q -p no:cacheprovider tests/module/test_compressobj.py tests/module/test_roundtrip.py \
    -k "not corpus_file"
section "vekzip's engine under valgrind memcheck: threads, fragments, the index"
PYTHONMALLOC=malloc valgrind -q --error-exitcode=99 --leak-check=no --suppressions="$ROOT/tests/valgrind.supp" \
    python "$PYTEST" -q -p no:cacheprovider tests/vekzip/test_compress.py tests/vekzip/test_index.py -k "not corpus"

section "the wheel in a fresh environment"
fresh=$ROOT/build/fresh-venv
rm -rf "$fresh"
"$python310" -m venv "$fresh"
"$fresh/bin/python" -m pip install --quiet "$WHEEL"
"$fresh/bin/vekzip" -c "$ROOT/README.md" | gzip -dc | cmp - "$ROOT/README.md"
(cd "$fresh" && bin/python -c 'import vek, vekzip; print("installed from", vek.__file__, vekzip.__file__)')

real_path() { "$1" -c 'import sys; print(sys.executable)'; }
used=("3.10 ($(real_path "$python310")): module, vekzip and tool suites")
for version in 3.11 3.12 3.13; do
    interpreter=$(find_python "$version") || { used+=("$version: not found, skipped"); continue; }
    section "vekzip, tool and integration tests on Python $version ($interpreter)"
    venv=$ROOT/build/venv-$version
    wheels=$ROOT/build/wheel-$version
    rm -rf "$venv" "$wheels"
    "$interpreter" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip wheel --quiet --no-deps --wheel-dir "$wheels" "$ROOT"
    "$venv/bin/python" -m pip install --quiet "$(ls "$wheels"/vek-*.whl)[test]"
    "$venv/bin/python" "$venv/bin/pytest" -q -p no:cacheprovider tests/vekzip tests/cli
    used+=("$version ($(real_path "$interpreter")): vekzip and tool suites")
done
section "interpreters used"
printf '%s\n' "${used[@]}"
