#!/bin/sh
# `quill vectorise` as a user runs it, its output read back by independent
# readers: drawings rendered by ghostscript (bilevel and grey), vectorised to
# SVG and DXF; rsvg-convert renders the SVG back at the drawing's size and
# must cover its black pixels (and draw little else); ezdxf reads the DXF
# and must find the polylines the tool reports, each stroke with a constant
# width close to the drawn one, on layers STROKES and AREAS. Then the
# refusals. Runs in a fresh directory that must hold nothing unexpected.
# Usage: vectorise_tool_test.sh PATH-TO-QUILL
set -u
quill=${1:?usage: vectorise_tool_test.sh QUILL}
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
TMPDIR=$work
export TMPDIR
# Debian's python3 carries python3-ezdxf, python3-skimage and numpy.
py=/usr/bin/python3
[ -x "$py" ] || py=python3

fail() {
    echo "FAIL: $*"
    exit 1
}
for tool in gs rsvg-convert tifftopnm; do
    command -v $tool >/dev/null 2>&1 || { echo "SKIP: $tool not installed"; exit 77; }
done
$py -c "import ezdxf, numpy, skimage" 2>/dev/null || { echo "SKIP: python3-ezdxf or python3-skimage missing"; exit 77; }

# A drawing: a T of 4-point lines, a zigzag, a circle, a thin line, a filled
# disc and a filled block (areas), text.
cat >drawing.ps <<'EOF'
%!PS
<< /PageSize [300 200] >> setpagedevice
4 setlinewidth
20 20 moveto 180 20 lineto stroke
100 20 moveto 100 130 lineto stroke
2 setlinewidth
30 60 moveto 60 120 lineto 80 60 lineto stroke
140 90 25 0 360 arc stroke
1 setlinewidth
200 30 moveto 280 170 lineto stroke
newpath 150 40 8 0 360 arc fill
240 40 30 20 rectfill
/Helvetica findfont 18 scalefont setfont
20 160 moveto (Quill 7) show
showpage
EOF
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=tiffg4 -r200 -sOutputFile=bilevel.tif drawing.ps || fail "gs bilevel"
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=tiffgray -r200 -sOutputFile=grey.tif drawing.ps || fail "gs grey"

cat >check.py <<'EOF'
import subprocess, sys
import numpy as np
import ezdxf
from skimage import io

tif, svg, dxf, report = sys.argv[1:5]
pnm = subprocess.run(['tifftopnm', tif], capture_output=True, check=True).stdout
# P4 (bilevel, 1 = black) or P5 (grey, thresholded as the tool does).
magic, rest = pnm[:2], pnm[2:].split(None, 3)
w, h = int(rest[0]), int(rest[1])
if magic == b'P4':
    raw = rest[2] if len(rest) == 3 else rest[3]
    raw = pnm[len(pnm) - h * ((w + 7) // 8):]
    black = np.unpackbits(np.frombuffer(raw, np.uint8)).reshape(h, -1)[:, :w].astype(bool)
else:
    raw = pnm[len(pnm) - h * w:]
    black = np.frombuffer(raw, np.uint8).reshape(h, w) < 128
subprocess.run(['rsvg-convert', '-w', str(w), '-h', str(h), '-b', 'white', '-o', 'render.png', svg], check=True)
img = io.imread('render.png')
drawn = (img[..., :3].mean(axis=2) if img.ndim == 3 else img) < 128
covered = (black & drawn).sum() / black.sum()
extra = (drawn & ~black).sum() / black.sum()
print(f'{tif}: {black.sum()} black pixels, {covered:.4f} covered, {extra:.4f} drawn beyond')
if covered < 0.97:
    sys.exit(f'the SVG covers only {covered:.4f} of the black pixels')
if extra > 0.15:
    sys.exit(f'the SVG draws {extra:.4f} beyond the black pixels')

# The tool's report: "OUT: N strokes, M areas".
words = open(report).read().split()
strokes, areas = int(words[1]), int(words[3])
doc = ezdxf.readfile(dxf)
msp = doc.modelspace()
lines = msp.query('LWPOLYLINE[layer=="STROKES"]')
rings = msp.query('LWPOLYLINE[layer=="AREAS"]')
print(f'{dxf}: {len(lines)} strokes, {len(rings)} area rings; the tool reported {strokes} and {areas}')
if len(lines) != strokes:
    sys.exit('the DXF holds another number of strokes than reported')
if len(rings) < areas or areas < 2:
    sys.exit('the DXF holds fewer area rings than areas, or the filled marks were not areas')
widths = sorted(e.dxf.const_width for e in lines)
for e in rings:
    if not e.closed:
        sys.exit('an area ring is not closed')
for e in lines:
    pts = e.get_points('xy')
    if len(pts) < 2 or any(not (0 <= x <= w and 0 <= y <= h) for x, y in pts):
        sys.exit('a stroke outside the drawing')
# The stem of the T: a vertical 4-point (11.1 pixel) line at x = 277.8.
stem = [e for e in lines if all(abs(x - 100 * 200 / 72) < 3 for x, y in e.get_points('xy'))
        and abs(e.get_points('xy')[0][1] - e.get_points('xy')[-1][1]) > 200]
if len(stem) != 1:
    sys.exit(f'{len(stem)} strokes along the stem of the T, not one')
if abs(stem[0].dxf.const_width - 4 * 200 / 72) > 1.5:
    sys.exit(f'the stem is {stem[0].dxf.const_width:.2f} wide, drawn {4 * 200 / 72:.2f}')
# Its free end is the middle of its square end (DXF y runs upwards: the
# drawing's own PostScript coordinates, scaled).
top = max(stem[0].get_points('xy'), key=lambda p: p[1])
if np.hypot(top[0] - 100 * 200 / 72, top[1] - 130 * 200 / 72) > 1.5:
    sys.exit(f'the stem ends at ({top[0]:.1f}, {top[1]:.1f}), drawn to ({100 * 200 / 72:.1f}, {130 * 200 / 72:.1f})')
EOF

for input in bilevel grey; do
    "$quill" vectorise $input.tif $input.svg >svg.txt 2>&1 || { cat svg.txt; fail "vectorise $input to SVG"; }
    "$quill" vectorise $input.tif $input.dxf >dxf.txt 2>&1 || { cat dxf.txt; fail "vectorise $input to DXF"; }
    $py check.py $input.tif $input.svg $input.dxf dxf.txt || fail "$input: the readers disagree"
done

# Refusals: exit 2 for usage errors, 1 for a file that does not load; no
# output file is left behind.
expect() {
    want=$1
    shift
    "$quill" "$@" >out.txt 2>&1
    got=$?
    [ "$got" -eq "$want" ] || { cat out.txt; fail "quill $* exited $got, expected $want"; }
}
expect 2 vectorise bilevel.tif out.png
expect 2 vectorise bilevel.tif
expect 2 vectorise bilevel.tif out.svg --width 0
expect 2 vectorise bilevel.tif out.svg --tolerance x
expect 1 vectorise missing.tif out.svg
printf 'not a drawing' >junk.tif
expect 1 vectorise junk.tif out.svg
[ ! -e out.svg ] || fail "a refused run left out.svg"
expect 0 vectorise --help
echo "vectorise: SVG and DXF read back"
