#!/bin/sh
# quill render as a display host uses it, its PNGs read back by independent
# decoders (netpbm's pngtopnm, ImageMagick's identify): a drawing shown at
# 1:1 upright, turned a quarter and mirrored must give the drawing's pixels
# turned and mirrored by netpbm; an indexed window must decode to the same
# pixels; a fitted window must have the window's size.
# Usage: quill_render_test.sh PATH-TO-QUILL
set -u
quill=${1:?usage: quill_render_test.sh QUILL}
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
TMPDIR=$work
export TMPDIR

fail() {
    echo "FAIL: $*"
    exit 1
}

run() {
    "$quill" render "$@" >out.txt 2>&1 || { cat out.txt; fail "quill render $* failed"; }
}

# An asymmetric 301 x 187 drawing: a frame, diagonal strokes and a block
# near one corner, so that any wrong turn or mirror shows.
awk 'BEGIN {
    w = 301; h = 187; print "P1"; print w, h
    for (y = 0; y < h; ++y) {
        line = ""
        for (x = 0; x < w; ++x) {
            b = (x < 3 || y < 2 || x == w - 1 || y == h - 1)
            b = b || (x == int(y * 1.5)) || (x + 2 * y == 250) || (x > 20 && x < 60 && y > 30 && y < 45)
            b = b || ((x * 7 + y * 13) % 97 == 0)
            line = line (b ? "1" : "0") " "
        }
        print line
    }
}' >drawing.pbm
pnmtotiff -g4 drawing.pbm >drawing.tif 2>/dev/null || fail "netpbm could not make the TIFF"
pamdepth 255 drawing.pbm 2>/dev/null >upright.pgm
pnmflip -cw drawing.pbm | pamdepth 255 2>/dev/null >turned.pgm
pnmflip -lr drawing.pbm | pamdepth 255 2>/dev/null >mirrored.pgm

same() { # PNG, expected PGM
    pngtopnm "$1" >got.pnm 2>/dev/null || fail "pngtopnm cannot read $1"
    cmp -s got.pnm "$2" || fail "$1 does not hold the pixels of $2"
}

run drawing.tif upright.png --window 301x187 --zoom 1 --no-grey
same upright.png upright.pgm
run drawing.tif turned.png --window 187x301 --zoom 1 --rotate 90 --no-grey
same turned.png turned.pgm
run drawing.tif mirrored.png --window 301x187 --zoom 1 --mirror --no-grey
same mirrored.png mirrored.pgm

# Indexed through the colour cube: black and white are cube corners, so
# the dither leaves them alone.
run drawing.tif indexed.png --window 301x187 --zoom 1 --no-grey --palette
[ "$(identify -format '%r' indexed.png)" = "PseudoClass sRGB " ] || [ "$(identify -format '%r' indexed.png | cut -c1-11)" = PseudoClass ] ||
    fail "indexed.png is not a palette image"
pngtopnm indexed.png | ppmtopgm >got.pgm 2>/dev/null || fail "pngtopnm cannot read indexed.png"
cmp -s got.pgm upright.pgm || fail "indexed.png does not hold the drawing's pixels"

# Fitted, oblique, scaled to grey: a window of the size asked.
run drawing.tif fitted.png --window 640x480 --angle 30
[ "$(identify -format '%w %h' fitted.png)" = "640 480" ] || fail "fitted.png is not 640 x 480"
grep -q "through a mask" out.txt || fail "an oblique view renders without a mask"

# quill draw: a square drawn through the quarter-turned view lands where
# the turn puts it in the saved drawing, and nothing else changes. The view
# turns about the drawing's centre (150.5, -93.5): its 187 x 301 box starts
# at world (57, 57), so view pixels x 10..49, y 20..59 are world x 67..107,
# y 37..-3, and drawing columns 20..59, rows 137..176.
printf '# a square\npolygon 67 37 107 37 107 -3 67 -3\n' >shapes.txt
"$quill" draw drawing.tif drawn.tif --shapes shapes.txt --rotate 90 --png drawn.png --zoom 1 --window 187x301 --no-grey \
    >out.txt 2>&1 || { cat out.txt; fail "quill draw failed"; }
tifftopnm drawn.tif 2>/dev/null | pamcut -left 20 -top 137 -width 40 -height 40 | pamdepth 255 2>/dev/null >square.pgm
pbmmake -black 40 40 | pamdepth 255 2>/dev/null >black.pgm
cmp -s square.pgm black.pgm || fail "the square is not where the turned view puts it"
tifftopnm drawn.tif 2>/dev/null | pamcut -left 100 -top 10 -width 150 -height 100 >after.pbm
pamcut -left 100 -top 10 -width 150 -height 100 drawing.pbm >before.pbm
cmp -s after.pbm before.pbm || fail "quill draw changed pixels away from the square"
pngtopnm drawn.png | pamcut -left 10 -top 20 -width 40 -height 40 >shown.pgm 2>/dev/null
cmp -s shown.pgm black.pgm || fail "the rendered view does not show the square"
printf 'polygon 1 2\n' >bad.txt
"$quill" draw drawing.tif x.tif --shapes bad.txt >/dev/null 2>&1
[ $? -eq 2 ] || fail "a bad shape is not a usage error"

# Bad input: a usage error, and a file that is not there.
"$quill" render drawing.tif >/dev/null 2>&1
[ $? -eq 2 ] || fail "a missing OUT is not a usage error"
"$quill" render missing.tif x.png >/dev/null 2>&1
[ $? -eq 1 ] || fail "a missing file is not a failure"
[ ! -e x.png ] || fail "a failed render left a PNG"
echo "render: all checks passed"
