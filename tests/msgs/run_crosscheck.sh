#!/usr/bin/env bash
# Cross-check of the wire format: eclipse-zenoh writes random messages, our decoders read
# them back. Usage: run_crosscheck.sh PYTHON CHECKER WORKDIR
# The seed is printed; KQ_CROSSCHECK_SEED=<seed> replays a run.
set -euo pipefail
python=$1 checker=$2 workdir=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$workdir"
seed_args=()
[[ -n ${KQ_CROSSCHECK_SEED:-} ]] && seed_args=(--seed "$KQ_CROSSCHECK_SEED")
"$python" "$here/wire_gen.py" crosscheck "$workdir" --count 200 "${seed_args[@]}"
KQ_CROSSCHECK_DIR=$workdir "$checker"
