#!/usr/bin/env bash
# The benchmark: vek next to zlib, zlib-ng, ISA-L and libdeflate on the
# files or folders given (default: the shared corpus); then vekzip next to
# gzip -1 and pigz -1 on the largest corpus file.
source "$(dirname "$0")/env.sh"
ensure_venv
VEK_EXTRAS=bench install_vek
cd "$ROOT"
python bench/bench.py "$@"
python bench/cli_bench.py
