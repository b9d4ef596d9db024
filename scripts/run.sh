#!/usr/bin/env bash
# The main job: compresses a file (default: a text of the shared corpus, else
# this README) in every container at both levels and checks it with zlib.
source "$(dirname "$0")/env.sh"
ensure_venv
install_vek
default="$ROOT/../shared/corpus/small/alice29.txt"
[ -f "$default" ] || default="$ROOT/README.md"
python "$ROOT/scripts/compress_file.py" "${1:-$default}"
