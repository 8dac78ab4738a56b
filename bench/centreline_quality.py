#!/usr/bin/python3
"""centreline_quality.py - how close `quill vectorise` puts centre lines and
widths to the truth, against scikit-image's medial_axis on the same rasters.

Synthetic drawings with known geometry are written as PostScript and
rendered by ghostscript as bilevel TIFF at 400 dpi (butt caps and no fill
adjustment, so a stroke of w pixels covers w pixels of area per pixel of
length at any angle): straight strokes of widths 1 to 20 pixels at
angles from 0 to 90 degrees, arcs, crossings, T-junctions, corners and
dashed lines. Each page holds strokes of one width and is vectorised with
`--width` set to it (the expected stroke width a user gives).

For every true stroke (a straight piece or an arc), away from its ends and
from junctions (by its width, at least 3 pixels), the output is sampled
every half pixel along each SVG polyline and each sample is given to the
nearest true stroke:
  mean, p95   distance of the samples from the true centre line (pixels)
  width err   |mean width - true width| / true width, the mean width being
              the polylines' stroke widths weighted by their samples
  lines       number of polylines that cover at least 5 pixels of the
              stroke's measured part (1 is one polyline per stroke)
  cover       share of the measured part that the samples cover
The peer's skeleton pixels (centres) are measured the same way, its width
being twice medial_axis's distance to the background.

Usage: centreline_quality.py PATH-TO-QUILL [WORKDIR]
"""
import math
import os
import re
import subprocess
import sys
import tempfile

import numpy as np
from skimage import io
from skimage.morphology import medial_axis

PX = 72.0 / 400.0  # points per pixel at 400 dpi


class Line:
    def __init__(self, x0, y0, x1, y1, w, exclude=()):
        self.a = np.array([x0, y0], float)
        self.b = np.array([x1, y1], float)
        self.w = w
        self.exclude = list(exclude)  # (x, y, radius) zones left out
        self.length = float(np.hypot(*(self.b - self.a)))

    def ps(self, h):
        return (f'{self.a[0] * PX:.4f} {(h - self.a[1]) * PX:.4f} moveto '
                f'{self.b[0] * PX:.4f} {(h - self.b[1]) * PX:.4f} lineto stroke\n')

    def measure(self, p):
        """(distance from the centre line, inside the measured part)"""
        d = self.b - self.a
        t = np.dot(p - self.a, d) / self.length
        dist = abs(d[0] * (p[1] - self.a[1]) - d[1] * (p[0] - self.a[0])) / self.length
        margin = max(self.w, 3.0)
        inside = margin <= t <= self.length - margin
        return dist, inside and not self._excluded(p)

    def near(self, p):
        d = self.b - self.a
        t = min(max(np.dot(p - self.a, d) / self.length ** 2, 0.0), 1.0)
        return float(np.hypot(*(p - self.a - t * d)))

    def measured_length(self):
        return max(self.length - 2 * max(self.w, 3.0), 1.0) - sum(2 * r for _, _, r in self.exclude)

    def _excluded(self, p):
        return any(math.hypot(p[0] - x, p[1] - y) < r for x, y, r in self.exclude)


class Arc:
    def __init__(self, cx, cy, r, a0, a1, w):
        self.c = np.array([cx, cy], float)
        self.r, self.a0, self.a1, self.w = r, a0, a1, w  # degrees, y down
        self.exclude = []

    def ps(self, h):
        # PostScript angles run counter-clockwise with y up: negate.
        return (f'newpath {self.c[0] * PX:.4f} {(h - self.c[1]) * PX:.4f} {self.r * PX:.4f} '
                f'{-self.a1:.4f} {-self.a0:.4f} arc stroke\n')

    def _angle(self, p):
        return math.degrees(math.atan2(p[1] - self.c[1], p[0] - self.c[0])) % 360

    def measure(self, p):
        dist = abs(float(np.hypot(*(p - self.c))) - self.r)
        margin = math.degrees(max(self.w, 3.0) / self.r)
        a = self._angle(p)
        return dist, self.a0 + margin <= a <= self.a1 - margin

    def near(self, p):
        a = self._angle(p)
        if self.a0 <= a <= self.a1:
            return abs(float(np.hypot(*(p - self.c))) - self.r)
        ends = [self.c + self.r * np.array([math.cos(math.radians(t)), math.sin(math.radians(t))])
                for t in (self.a0, self.a1)]
        return min(float(np.hypot(*(p - e))) for e in ends)

    def measured_length(self):
        return math.radians(self.a1 - self.a0) * self.r - 2 * max(self.w, 3.0)


def pages():
    """(class name, width, page width, page height, strokes)"""
    out = []
    for w in (1, 2, 3, 4, 6, 8, 12, 16, 20):
        strokes, x = [], 0
        for i, angle in enumerate((0, 15, 30, 45, 60, 75, 90)):
            o = 0.5 * (w % 2)
            cx, cy, half = 170 + 320 * (i % 4) + o, 170 + 320 * (i // 4) + o, 120
            t = math.radians(angle)
            strokes.append(Line(cx - half * math.cos(t), cy - half * math.sin(t),
                                cx + half * math.cos(t), cy + half * math.sin(t), w))
        out.append(('straight', w, 1300, 660, strokes))
    for w in (3, 6, 10, 16):
        out.append(('arc', w, 700, 380, [Arc(190.5, 190.5, 140, 0, 270, w), Arc(520.5, 190.5, 90, 30, 200, w)]))
    for w in (3, 6, 10):
        # Odd widths centred on pixel centres, even ones on pixel edges, so
        # that axis-parallel strokes render symmetric about their centre.
        o = 0.5 * (w % 2)
        # Strokes end at junctions: each arm of a cross, each half of a T's
        # bar and its stem, each leg of an L is one stroke of its own (the
        # goal is one polyline per stroke between its junctions).
        s = []
        for cx, cy, a in ((200 + o, 200 + o, 30), (560 + o, 200 + o, 0)):
            for turn in (0, 90, 180, 270):
                t = math.radians(a + turn)
                s.append(Line(cx, cy, cx + 150 * math.cos(t), cy + 150 * math.sin(t), w, [(cx, cy, 1.5 * w + 3)]))
        out.append(('crossing', w, 760, 400, s))
        j = (200 + o, 80 + o)
        s = [Line(j[0], j[1], 60 + o, j[1], w, [(j[0], j[1], 1.5 * w + 3)]),
             Line(j[0], j[1], 340 + o, j[1], w, [(j[0], j[1], 1.5 * w + 3)]),
             Line(j[0], j[1], j[0], 340 + o, w, [(j[0], j[1], 1.5 * w + 3)])]
        out.append(('t-junction', w, 400, 400, s))
        c = (100 + o, 320 + o)
        s = [Line(c[0], 60 + o, c[0], c[1], w, [(c[0], c[1], 1.5 * w + 3)]),
             Line(c[0], c[1], 360 + o, c[1], w, [(c[0], c[1], 1.5 * w + 3)])]
        out.append(('corner', w, 420, 400, s))
    for w in (3, 6):
        s = []
        for row, angle in enumerate((0, 30)):
            t = math.radians(angle)
            for k in range(5):  # dashes of 60 pixels, gaps of 30
                x0, y0 = 60 + 90 * k * math.cos(t), 80 + 120 * row + 90 * k * math.sin(t)
                s.append(Line(x0, y0, x0 + 60 * math.cos(t), y0 + 60 * math.sin(t), w))
        out.append(('dashed', w, 560, 400, s))
    return out


def render(work, name, w, pw, ph, strokes):
    ps = os.path.join(work, f'{name}-{w}.ps')
    tif = os.path.join(work, f'{name}-{w}.tif')
    with open(ps, 'w') as f:
        f.write(f'%!PS\n<< /PageSize [{pw * PX:.4f} {ph * PX:.4f}] >> setpagedevice\n')
        # No fill adjustment: ghostscript would otherwise widen every stroke
        # by up to a pixel (any pixel the stroke touches), and the drawn
        # width would not be the width rendered.
        f.write('0 0 .setfilladjust2\n')
        f.write(f'0 setlinecap 0 setlinejoin {w * PX:.5f} setlinewidth\n')
        for s in strokes:
            f.write(s.ps(ph))
        f.write('showpage\n')
    subprocess.run(['gs', '-q', '-dBATCH', '-dNOPAUSE', '-dSAFER', '-sDEVICE=tiffg4', '-r400',
                    '-sOutputFile=' + tif, ps], check=True)
    return tif


def black_pixels(tif):
    pnm = subprocess.run(['tifftopnm', tif], capture_output=True, check=True).stdout
    fields = pnm[2:].split(None, 2)
    w, h = int(fields[0]), int(fields[1])
    raw = pnm[len(pnm) - h * ((w + 7) // 8):]
    return np.unpackbits(np.frombuffer(raw, np.uint8)).reshape(h, -1)[:, :w].astype(bool)


def our_polylines(quill, tif, w):
    svg = tif[:-4] + '.svg'
    subprocess.run([quill, 'vectorise', tif, svg, '--width', str(max(w, 1))], check=True,
                   capture_output=True)
    lines = []
    text = open(svg).read()
    strokes = text.split('<g class="strokes"', 1)[1].split('</g>', 1)[0]
    for width, d in re.findall(r'<path stroke-width="([0-9.]+)" d="([^"]+)"', strokes):
        pts = np.array([float(v) for v in re.findall(r'-?[0-9.]+', d)]).reshape(-1, 2)
        lines.append((float(width), pts))
    return lines


def samples(pts):
    out = []
    for p, q in zip(pts, pts[1:]):
        n = max(int(np.hypot(*(q - p)) / 0.5), 1)
        for k in range(n):
            out.append(p + (q - p) * (k / n))
    out.append(pts[-1])
    return out


class Tally:
    def __init__(self, n):
        self.d = [[] for _ in range(n)]
        self.wsum = [0.0] * n
        self.wcount = [0] * n
        self.lines = [dict() for _ in range(n)]

    def add(self, strokes, p, width, line_id):
        i = min(range(len(strokes)), key=lambda k: strokes[k].near(p))
        s = strokes[i]
        if s.near(p) > s.w / 2 + 3:
            return
        dist, inside = s.measure(p)
        if not inside:
            return
        self.d[i].append(dist)
        self.wsum[i] += width
        self.wcount[i] += 1
        if line_id is not None:
            self.lines[i][line_id] = self.lines[i].get(line_id, 0) + 1


def summarise(tally, strokes, step):
    rows = []
    for i, s in enumerate(strokes):
        d = np.array(tally.d[i])
        if len(d) == 0:
            rows.append(None)
            continue
        width = tally.wsum[i] / tally.wcount[i]
        lines = sum(1 for c in tally.lines[i].values() if c * step >= 5)
        cover = min(len(d) * step / max(s.measured_length(), 1.0), 1.0)
        rows.append((d.mean(), np.percentile(d, 95), abs(width - s.w) / s.w, lines, cover))
    return rows


def main():
    quill = sys.argv[1]
    work = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp(prefix='quill-quality-')
    os.makedirs(work, exist_ok=True)
    print('Centre-line quality: fitted centre lines of quill vectorise against scikit-image medial_axis')
    print('(distances in pixels from the true centre line; width error relative; lines = polylines per stroke)')
    head = (f'{"drawing":11s} {"w":>3s} {"n":>3s} | {"mean":>6s} {"p95":>6s} {"width":>6s} {"lines":>5s} '
            f'{"cover":>5s} | {"peer mean":>9s} {"p95":>6s} {"width":>6s}')
    print(head)
    print('-' * len(head))
    totals = {'ours': [], 'peer': []}
    for name, w, pw, ph, strokes in pages():
        tif = render(work, name, w, pw, ph, strokes)
        ours = Tally(len(strokes))
        for k, (width, pts) in enumerate(our_polylines(quill, tif, w)):
            for p in samples(pts):
                ours.add(strokes, p, width, k)
        black = black_pixels(tif)
        skel, dist = medial_axis(black, return_distance=True)
        peer = Tally(len(strokes))
        for r, c in zip(*np.nonzero(skel)):
            peer.add(strokes, np.array([c + 0.5, r + 0.5]), 2 * dist[r, c], None)
        a, b = summarise(ours, strokes, 0.5), summarise(peer, strokes, 1.0)
        ok_a = [x for x in a if x]
        ok_b = [x for x in b if x]
        def avg(rows, k):
            return float(np.mean([x[k] for x in rows])) if rows else float('nan')
        print(f'{name:11s} {w:3d} {len(strokes):3d} | {avg(ok_a, 0):6.3f} {avg(ok_a, 1):6.3f} '
              f'{100 * avg(ok_a, 2):5.1f}% {avg(ok_a, 3):5.2f} {avg(ok_a, 4):5.2f} | '
              f'{avg(ok_b, 0):9.3f} {avg(ok_b, 1):6.3f} {100 * avg(ok_b, 2):5.1f}%'
              + ('' if len(ok_a) == len(strokes) else f'  ({len(strokes) - len(ok_a)} strokes without output)'))
        if w >= 3:
            totals['ours'] += ok_a
            totals['peer'] += ok_b
    o, p = totals['ours'], totals['peer']
    if o and p:
        mo, po = np.mean([x[0] for x in o]), np.mean([x[0] for x in p])
        m95, p95 = np.mean([x[1] for x in o]), np.mean([x[1] for x in p])
        wo, wp = np.mean([x[2] for x in o]), np.mean([x[2] for x in p])
        lines = np.mean([x[3] for x in o])
        print('-' * len(head))
        print(f'width >= 3: ours mean {mo:.3f} p95 {m95:.3f} width error {100 * wo:.1f}% lines/stroke {lines:.2f}; '
              f'peer mean {po:.3f} p95 {p95:.3f} width error {100 * wp:.1f}%')
        print(f'ratios ours / peer: mean {mo / po:.2f} (goal <= 0.5), p95 {m95 / p95:.2f} (goal <= 0.5); '
              f'width error {100 * wo:.1f}% (goal <= 5%); lines per stroke {lines:.2f} (goal 1)')


if __name__ == '__main__':
    main()
