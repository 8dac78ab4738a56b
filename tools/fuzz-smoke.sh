#!/bin/sh
# Runs every fuzz target briefly under ASan + UBSan: its seed corpus, then a
# few thousand mutated inputs. Long runs are done by hand (see fuzz/).
# Usage: fuzz-smoke.sh BUILD_DIR [RUNS]
# New inputs and crash files go to a scratch directory, never to the seeds.
set -eu
build=${1:?usage: fuzz-smoke.sh BUILD_DIR [RUNS]}
runs=${2:-4000}
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for target in "$build"/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target" _fuzz)
  seeds="$root/fuzz/corpus/$name"
  mkdir -p "$scratch/$name"
  printf '%-18s ' "$name"
  if "$target" -runs="$runs" -seed=4711 -max_len=65536 -artifact_prefix="$scratch/$name/" \
       "$scratch/$name" "$seeds" >"$scratch/$name.log" 2>&1; then
    grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$scratch/$name.log" || echo done
  else
    echo FAILED
    tail -40 "$scratch/$name.log"
    status=1
  fi
done
exit $status
