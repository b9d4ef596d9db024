# Sourced by the other scripts: finds Python 3.10, makes the project's virtual
# environment in .venv, builds vek's wheel and installs it there with the
# extras named in VEK_EXTRAS (for example "test"), and installs Debian
# packages on demand. Afterwards $VENV/bin comes first on PATH.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="$ROOT/.venv"

# The path of a working CPython of the given minor version ("3.12"), looked
# for on PATH, under pyenv's versions/ and in /usr/bin; nothing (status 1)
# when there is none.
find_python() {
    local version=$1 candidates=()
    command -v "python$version" >/dev/null 2>&1 && candidates+=("$(command -v "python$version")")
    local roots=("${PYENV_ROOT:-}" "$HOME/.pyenv" /root/.pyenv /opt/pyenv)
    command -v pyenv >/dev/null 2>&1 && roots=("$(pyenv root)" "${roots[@]}")
    for r in "${roots[@]}"; do
        [ -n "$r" ] || continue
        for p in $(ls -d "$r"/versions/"$version"*/bin/python"$version" 2>/dev/null | sort -rV); do candidates+=("$p"); done
    done
    candidates+=("/usr/bin/python$version")
    # A pyenv shim on PATH may exist without that version behind it: ask each one.
    for p in "${candidates[@]}"; do
        if "$p" -c "import sys, venv; sys.exit('%d.%d' % sys.version_info[:2] != '$version')" 2>/dev/null; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

find_python310() {
    find_python 3.10 || { echo "Python 3.10 not found on PATH or under pyenv's versions/" >&2; return 1; }
}

ensure_venv() {
    if [ ! -x "$VENV/bin/python" ] ||
        ! "$VENV/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))' 2>/dev/null; then
        rm -rf "$VENV"
        "$(find_python310)" -m venv "$VENV"
    fi
    export PATH="$VENV/bin:$PATH"
    python -m pip install --quiet --upgrade pip
}

ensure_debian_packages() {  # package...
    local missing=()
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

ensure_build_tools() {
    python -m pip install --quiet 'cmake>=3.18,<5' 'ninja>=1.10,<2'
}

# Builds the wheel into build/wheel (what `pip wheel .` gives a user) and
# installs that file, so every run exercises the package as shipped.
install_vek() {
    local extras=${VEK_EXTRAS:-}
    # zlib's headers: the engine links zlib to prove an indexed file's chunks.
    ensure_debian_packages zlib1g-dev
    rm -rf "$ROOT/build/wheel"
    python -m pip wheel --quiet --no-deps --wheel-dir "$ROOT/build/wheel" "$ROOT"
    WHEEL=$(ls "$ROOT"/build/wheel/vek-*.whl)
    # Same version as before: only a forced reinstall replaces the build.
    python -m pip install --quiet --no-deps --force-reinstall "$WHEEL"
    python -m pip install --quiet "$WHEEL${extras:+[$extras]}"
}
