#!/bin/sh
# Checks that a shared library exports exactly the functions listed in its
# version script, that no C++ (mangled) name leaks, and that every exported
# function is declared in a public header.
# Usage: check_exports.sh LIBRARY VERSION_SCRIPT INCLUDE_DIR
set -eu
lib=$1; map=$2; inc=$3
want=$(sed -n '/global:/,/local:/p' "$map" | grep -v -E 'global:|local:' | tr -d ' ;' | sort)
have=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRr]$/ {print $3}' | sed 's/@.*//' | sort)
if [ "$want" != "$have" ]; then
  echo "exports of $lib differ from $map:"
  printf 'expected:\n%s\nfound:\n%s\n' "$want" "$have"
  exit 1
fi
if printf '%s\n' "$have" | grep -q '^_Z'; then
  echo "C++ symbols exported by $lib"; exit 1
fi
for f in $want; do
  grep -q -E "\\b$f\\(" "$inc"/*.h || { echo "$f is exported but not declared in a header"; exit 1; }
done
echo "$lib: $(printf '%s\n' "$have" | wc -l) exports, as listed"
