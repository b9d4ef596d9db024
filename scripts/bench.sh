#!/usr/bin/env bash
# The benchmark: vek next to zlib, zlib-ng, ISA-L and libdeflate on the
# files or folders given (default: the shared corpus).
source "$(dirname "$0")/env.sh"
ensure_venv
VEK_EXTRAS=bench install_vek
cd "$ROOT"
python bench/bench.py "$@"
