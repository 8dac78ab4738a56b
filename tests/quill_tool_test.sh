#!/bin/sh
# The quill command-line host run as a user runs it, in a fresh directory
# that is also its TMPDIR, so that anything it leaves behind is seen.
# Usage: quill_tool_test.sh demo|convert PATH-TO-QUILL
set -u
mode=${1:?usage: quill_tool_test.sh demo|convert QUILL}
quill=${2:?usage: quill_tool_test.sh demo|convert QUILL}
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
TMPDIR=$work
export TMPDIR

fail() {
    echo "FAIL: $*"
    exit 1
}

# Nothing but the files named may be left in the directory: the tool's own
# temporary directory (swap files, demo files) must be gone.
only_left() {
    extra=$(ls -A | grep -vx -e "$(echo "$@" | tr ' ' '\n')" || true)
    [ -z "$extra" ] || fail "left behind: $extra"
}

# Writes $1 as a 32-bit little-endian value.
le32() {
    v=$1
    for i in 0 1 2 3; do
        printf "\\$(printf '%03o' $((v & 255)))"
        v=$((v >> 8))
    done
}

# Runs quill expecting exit status $1; its output goes to out.txt.
expect() {
    want=$1
    shift
    "$quill" "$@" >out.txt 2>&1
    got=$?
    [ "$got" -eq "$want" ] || { cat out.txt; fail "quill $* exited $got, expected $want"; }
}

case $mode in
demo)
    mkdir kept
    expect 0 demo --keep kept
    cat out.txt
    grep -q "^all 15 round trips match$" out.txt || fail "the demo did not report all round trips matching"
    grep -q "every view shows the stroke and the square on the same drawing pixels: yes" out.txt ||
        fail "the tour's views do not agree after drawing"
    # The tour's windows: 1920 x 1080 PNGs that netpbm decodes.
    for png in kept/view-1-fitted.png kept/view-2-1to1.png kept/view-3-fitted.png kept/view-2-drawn-fitted.png; do
        [ -s "$png" ] || fail "the tour did not write $png"
        if command -v pngtopnm >/dev/null 2>&1; then
            pngtopnm "$png" 2>/dev/null | head -2 | tr '\n' ' ' | grep -q "1920 1080" || fail "$png is not a 1920 x 1080 PNG"
        fi
    done
    only_left out.txt kept
    # A peer reads the TIF and the PCX of each sample as the same pixels
    # (netpbm; bilevel widened to the same colour form).
    if command -v tifftopnm >/dev/null 2>&1 && command -v pcxtoppm >/dev/null 2>&1; then
        for stem in drawing grey colour map; do
            tifftopnm "kept/$stem.tif" 2>/dev/null | ppmtoppm | pamdepth 255 >tif.ppm || fail "netpbm cannot read $stem.tif"
            pcxtoppm "kept/$stem.pcx" 2>/dev/null | ppmtoppm | pamdepth 255 >pcx.ppm || fail "netpbm cannot read $stem.pcx"
            cmp -s tif.ppm pcx.ppm || fail "netpbm reads other pixels from $stem.tif than from $stem.pcx"
        done
    else
        echo "note: netpbm not installed, the demo's files not checked by a peer"
    fi
    # The 12 files and the drawing vectorised to SVG and DXF.
    # 12 round-trip files of the samples, 3 of the warped drawing, the tour's
    # 8 windows and the vectorised drawing's SVG and DXF.
    [ "$(ls kept | wc -l)" -eq 25 ] || fail "--keep did not keep the 25 files written"
    [ -s kept/drawing.svg ] && [ -s kept/drawing.dxf ] || fail "the demo did not vectorise its drawing"
    ;;
convert)
    # A 40 x 20 bilevel image as raw rows ("_PA", 1 = white) with its
    # ".bvl" header of three little-endian doubles: height 20, width 40,
    # 6 bytes a row. The same image as PBM (1 = black, 5 bytes a row) is the
    # peer's expected decoding of what we write.
    printf '\000\000\000\000\000\000\064\100\000\000\000\000\000\000\104\100\000\000\000\000\000\000\030\100' >sheet.bvl
    printf '\125\252\377\000\360\017%.0s' $(seq 20) >sheet._pa
    { printf 'P4\n40 20\n'; printf '\252\125\000\377\017%.0s' $(seq 20); } >expected.pbm

    expect 0 convert sheet._pa sheet.tif
    expect 0 info sheet.tif
    grep -q "sheet.tif: 40 x 20, bilevel image" out.txt || { cat out.txt; fail "info of the TIFF"; }
    grep -q "into a bilevel frame" out.txt || { cat out.txt; fail "info of the TIFF: frame kind"; }
    if command -v tifftopnm >/dev/null 2>&1; then
        tifftopnm sheet.tif 2>/dev/null >peer.pbm || fail "tifftopnm cannot read our TIFF"
        cmp -s peer.pbm expected.pbm || fail "tifftopnm reads other pixels from our TIFF"
    else
        echo "note: tifftopnm (netpbm) not installed, our TIFF not checked by a peer"
    fi

    expect 0 convert sheet.tif sheet.pcx --storage memory
    expect 0 info sheet.pcx
    grep -q "sheet.pcx: 40 x 20, bilevel image" out.txt || { cat out.txt; fail "info of the PCX"; }
    expect 0 convert sheet.pcx sheet.yx
    expect 0 info sheet.yx sheet.tif
    grep -q "sheet.yx: 40 x 20, bilevel image" out.txt || { cat out.txt; fail "info of the tile file"; }
    # The chain _PA -> TIF -> PCX -> YX kept every pixel: the tile file
    # converted back to TIFF is the first TIFF, byte for byte.
    expect 0 convert sheet.yx again.tif
    cmp -s sheet.tif again.tif || fail "the chain changed the image"
    expect 0 demo sheet.yx --keep .
    grep -q "^all 6 round trips match$" out.txt || { cat out.txt; fail "round trips of the converted file (and of it warped)"; }
    cmp -s sheet.roundtrip.tif sheet.tif || fail "the demo's TIFF of the tile file is not the first TIFF"
    rm sheet.roundtrip.tif sheet.roundtrip.pcx sheet.roundtrip.yx sheet.roundtrip-warped.tif sheet.roundtrip-warped.pcx sheet.roundtrip-warped.yx
    rm sheet.roundtrip.svg sheet.roundtrip.dxf view-*.png
    expect 2 demo --keep missing-directory

    # An EPS file whose TIFF preview is our TIFF loads as that image (the
    # preview is copied to a temporary file in the tool's own directory,
    # which must go with it).
    ps='%!PS-Adobe-3.0 EPSF-3.0
%%BoundingBox: 0 0 40 20
'
    pslength=$(printf '%s' "$ps" | wc -c)
    tifflength=$(wc -c <sheet.tif)
    { printf '\305\320\323\306'; le32 30; le32 "$pslength"; le32 0; le32 0
      le32 $((30 + pslength)); le32 "$tifflength"; printf '\377\377'
      printf '%s' "$ps"; cat sheet.tif; } >sheet.eps
    expect 0 convert sheet.eps fromeps.tif --storage memory
    grep -q "sheet.eps: 40 x 20, bilevel image" out.txt || { cat out.txt; fail "info of the EPS preview"; }
    cmp -s fromeps.tif sheet.tif || fail "the EPS preview did not load as the image"

    # Refusals: clear message, non-zero status, no file written.
    expect 2 convert sheet.tif out.eps
    grep -q "read, not written" out.txt || fail "no reason given for refusing EPS"
    expect 2 convert sheet.tif out.tiff
    expect 1 info missing.tif
    expect 1 convert missing.tif out.tif
    printf 'not a tiff' >broken.tif
    expect 1 info broken.tif
    expect 2 convert sheet.tif
    expect 2 frobnicate
    expect 2
    expect 0 --help
    grep -q "usage: quill info" out.txt || fail "--help shows no usage"
    [ ! -e out.eps ] && [ ! -e out.tif ] && [ ! -e out.tiff ] || fail "a refused command wrote a file"
    only_left sheet.bvl sheet._pa expected.pbm sheet.tif peer.pbm sheet.pcx sheet.yx again.tif broken.tif out.txt sheet.eps fromeps.tif
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
echo "ok"
