#!/usr/bin/env bash
# The main job: vekzip, with the arguments given (see `vekzip --help`).
# With none, it compresses a text of the shared corpus (else this README) to
# standard output, reports size, ratio and speed, and checks the result with
# GNU gzip.
source "$(dirname "$0")/env.sh"
ensure_venv
install_vek
if [ $# -gt 0 ]; then
    exec vekzip "$@"
fi
sample="$ROOT/../shared/corpus/small/alice29.txt"
[ -f "$sample" ] || sample="$ROOT/README.md"
echo "vekzip -v -c $sample | gzip -dc | cmp - $sample"
vekzip -v -c "$sample" | gzip -dc | cmp - "$sample"
echo "gzip -d gives back every byte"
