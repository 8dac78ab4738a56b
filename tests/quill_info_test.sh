#!/bin/sh
# `quill info` on TIFF files of the kinds the library does not load: the
# message must say whether the header read, and name the kinds not loaded,
# so that a user can tell an unsupported file from a damaged one. The files
# are made by netpbm and libtiff's tiffcp from small images; the plain
# strips they start from load (the control).
# Usage: quill_info_test.sh PATH-TO-QUILL
set -eu
quill=${1:?usage: quill_info_test.sh QUILL}
work=$(mktemp -d "${TMPDIR:-/tmp}/quill-info-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
export TMPDIR="$work"
fail() { echo "quill_info_test: $*" >&2; exit 1; }
for tool in pnmtotiff tiffcp pbmmake pgmramp ppmpat; do
  command -v $tool >/dev/null || { echo "quill_info_test: no $tool, skipped"; exit 0; }
done

pbmmake -gray 200 120 | pnmtotiff > bw.tif 2>/dev/null
pgmramp -lr 200 120 | pnmtotiff > grey.tif 2>/dev/null
ppmpat -g2 200 120 | pnmtotiff -truecolor > rgb.tif 2>/dev/null
pgmramp -lr 200 120 | pnmdepth 65535 | pnmtotiff > grey16.tif 2>/dev/null
tiffcp -t -w 64 -l 64 grey.tif tiled.tif
tiffcp -p separate rgb.tif planar.tif
tiffcp -f lsb2msb bw.tif fill2.tif
tiffcp -c g3 bw.tif g3.tif

for f in bw grey rgb; do
  "$quill" info $f.tif >out 2>err || { cat err; fail "$f.tif does not load (the control)"; }
  if grep -q 'not loaded' err; then fail "$f.tif: a loaded file names kinds not loaded"; fi
done

# file, whether its header reads, a phrase the list must hold for it
check() {
  if "$quill" info "$1" >out 2>err; then fail "$1 loaded"; fi
  case $2 in
    reads) grep -q "$1: the header reads (200 x 120, .* image) but the pixels do not load" err \
             || { cat err; fail "$1: the message does not say that the header reads"; } ;;
    fails) grep -q "$1: the header does not read" err || { cat err; fail "$1: the message does not say that the header fails"; } ;;
  esac
  tr '\n' ' ' < err | grep -q "not loaded:.*$3" || { cat err; fail "$1: the message does not name $3"; }
}
check tiled.tif reads "tiled TIFF"
check planar.tif reads "planar colour"
check fill2.tif reads "bit-reversed fill order"
check g3.tif reads "Group 3 coding"
check grey16.tif fails "samples of more than 8 bits"
echo "quill_info_test: the messages name the kinds not loaded"
