/*
 * quill_vectorise.c - `quill vectorise IN OUT.svg|OUT.dxf`: a scanned
 * drawing in, centre lines with stroke widths out, ready for CAD. A host on
 * the public headers only, like any other.
 *
 * Pipeline, per piece of the drawing:
 *   outlines  QV_BWDmriOutline traces every black object (with its holes);
 *   graph     QV_MakeGraph triangulates each object into a stroke graph;
 *   merging   the segments of each stroke are chained between its ends and
 *             junctions: a walk from every end (a cap tip, or a node where
 *             other than two segments meet) through the nodes where exactly
 *             two segments meet, merged by QV_ConcatSegments; what is left
 *             are rings of such nodes, merged as closed lists;
 *   fitting   QV_SegmentCenterOptimize fits each merged stroke with straight
 *             pieces and gives its mean width (the raw centre line of
 *             QV_SegExtractCenterline stands in where a stroke is too short
 *             to fit); objects that are areas rather than strokes (no graph,
 *             or thicker than twice the expected width, or shorter than twice their
 *             thickness: blobs, filled marks, heavy text) are fitted as
 *             outlines with QV_ContourOptimize instead;
 *   writing   strokes as polylines with their width (SVG paths with that
 *             stroke width and round ends; DXF LWPOLYLINEs with constant
 *             width on layer STROKES), areas as closed outlines (an even-odd
 *             filled SVG path; closed LWPOLYLINEs on layer AREAS).
 *
 * Pieces: the library's coordinates are 16-bit and its fitted vertices stay
 * within 0 .. 32767.5 pixels, so a drawing larger than 32767 pixels a side
 * is cut into pieces of at most 32767 that overlap by 1024 pixels; an
 * object belongs to the piece whose core (the piece less half the overlap
 * on inner sides) holds the first point of its outer contour, so each
 * object is written once. An object longer than the overlap that crosses a
 * cut is written in part from each piece (accepted: the cut is rare on
 * sheets up to 2.7 m at 300 dpi, and a CAD user joins the two polylines).
 *
 * Thresholding: grey and colour drawings are read as grey (the luminance
 * byte) and pixels below 128 are black.
 */
#define _POSIX_C_SOURCE 200809L
#include "quill_vectorise.h"
#include "fixed_format.h"

#include "quillimg.h"
#include "quillvec.h"

#include <math.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { kPieceMax = 32767, kOverlap = 1024, kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

static double now_seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

void quill_vectorise_defaults(QuillVectoriseOptions *o) {
    o->strokeWidth = 6;
    o->tolerance = 3;
    o->progress = 0;
}

/* ---- Progress ------------------------------------------------------------- */

static void progress(const QuillVectoriseOptions *o, const char *stage, long done, long total) {
    enum { kWidth = 40 };
    static const char kHashes[] = "########################################";
    int percent, filled;
    if (!o->progress || total <= 0)
        return;
    percent = (int)(done * 100 / total);
    filled = percent * kWidth / 100;
    fprintf(stderr, "\r%-12s [%.*s%*s] %3d%%", stage, filled, kHashes, kWidth - filled, "", percent);
    if (done >= total)
        fprintf(stderr, "\r%*s\r", 60, "");
    fflush(stderr);
}

/* ---- Output ---------------------------------------------------------------- */

/* Output text is gathered in a buffer of our own and handed to the file in
 * large pieces: a call of the stdio functions for every number and
 * separator (some 30 million on the standard page) took 3 % of the run. */
typedef struct {
    FILE *file;
    size_t used;
    char text[1 << 14];
} Out;

static void out_flush(Out *o) {
    if (o->used)
        fwrite(o->text, 1, o->used, o->file);
    o->used = 0;
}

/* Makes room for n more bytes (n at most the buffer's size). */
static char *out_room(Out *o, size_t n) {
    if (o->used + n > sizeof o->text)
        out_flush(o);
    return o->text + o->used;
}

static void out_str(Out *o, const char *s) {
    size_t n = strlen(s);
    if (n > sizeof o->text) {
        out_flush(o);
        fwrite(s, 1, n, o->file);
        return;
    }
    memcpy(out_room(o, n), s, n);
    o->used += n;
}

static void out_char(Out *o, char c) {
    *out_room(o, 1) = c;
    o->used += 1;
}

typedef struct {
    Out *svg, *dxf;
    double height; /* of the whole drawing: DXF's y runs upwards */
    long handle;
    int failed;
} Writer;

static void svg_begin(FILE *f, int32_t width, int32_t height) {
    fprintf(f,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">\n"
            "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
            (int)width, (int)height, (int)width, (int)height);
}

static void dxf_begin(FILE *f) {
    fputs("0\nSECTION\n2\nHEADER\n9\n$ACADVER\n1\nAC1015\n9\n$INSUNITS\n70\n0\n0\nENDSEC\n"
          "0\nSECTION\n2\nTABLES\n0\nTABLE\n2\nLAYER\n70\n2\n"
          "0\nLAYER\n2\nSTROKES\n70\n0\n62\n7\n6\nCONTINUOUS\n"
          "0\nLAYER\n2\nAREAS\n70\n0\n62\n1\n6\nCONTINUOUS\n"
          "0\nENDTAB\n0\nENDSEC\n0\nSECTION\n2\nENTITIES\n",
          f);
}

static void dxf_end(FILE *f) { fputs("0\nENDSEC\n0\nEOF\n", f); }

/* Reads vertex i of a polyline block (doubles after a 4-byte count). */
static void vertex(const void *block, uint32_t i, double *x, double *y) {
    double v[2];
    memcpy(v, (const uint8_t *)block + 4 + 16 * (size_t)i, 16);
    *x = v[0], *y = v[1];
}

static uint32_t vertex_count(const void *block) {
    uint32_t n;
    memcpy(&n, block, 4);
    return n;
}

/* A coordinate or width as "%.Nf" would write it (fixed_format.c). */
static void put_fixed(Out *o, double v, int decimals) {
    o->used += quill_format_fixed(out_room(o, QUILL_FIXED_MAX), v, decimals);
}

/* The points of an SVG path: "M x y L x y ...", three decimals. */
static void svg_points(Out *f, const void *line, uint32_t n, double dx, double dy) {
    uint32_t i;
    double x, y;
    for (i = 0; i < n; ++i) {
        vertex(line, i, &x, &y);
        out_str(f, i ? " L" : "M");
        put_fixed(f, x + dx, 3);
        out_char(f, ' ');
        put_fixed(f, y + dy, 3);
    }
}

/* One polyline: a stroke of `width`, or (closed) a ring of an area. */
static void write_polyline(Writer *w, const void *line, double dx, double dy, double width, int area,
                           int closed) {
    uint32_t n = vertex_count(line), i;
    double x, y;
    if (n < 2 || w->failed)
        return;
    if (w->svg && !area) {
        out_str(w->svg, "<path stroke-width=\"");
        put_fixed(w->svg, width > 0.5 ? width : 0.5, 3);
        out_str(w->svg, "\" d=\"");
        svg_points(w->svg, line, n, dx, dy);
        out_str(w->svg, "\"/>\n");
    } else if (w->svg) {
        svg_points(w->svg, line, n, dx, dy);
        out_str(w->svg, " Z ");
    }
    if (w->dxf) {
        /* A closed ring's last vertex repeats the first: the closed flag
         * stands for it. */
        uint32_t m = closed && n > 2 ? n - 1 : n;
        enum { kHeadMax = 512 }; /* the head below with the widest numbers and %.4f of up to 1e300 */
        char *head = out_room(w->dxf, kHeadMax);
        int used = snprintf(head, kHeadMax,
                            "0\nLWPOLYLINE\n5\n%lX\n100\nAcDbEntity\n8\n%s\n100\nAcDbPolyline\n90\n%u\n70\n%d\n43\n%.4f\n",
                            w->handle++, area ? "AREAS" : "STROKES", m, closed ? 1 : 0, area ? 0.0 : width);
        if (used < 0 || used >= kHeadMax) {
            w->failed = 1;
            return;
        }
        w->dxf->used += (size_t)used;
        for (i = 0; i < m; ++i) {
            vertex(line, i, &x, &y);
            out_str(w->dxf, "10\n");
            put_fixed(w->dxf, x + dx, 4);
            out_str(w->dxf, "\n20\n");
            put_fixed(w->dxf, w->height - (y + dy), 4);
            out_char(w->dxf, '\n');
        }
    }
}

/* ---- Objects: areas or strokes ---------------------------------------------- */

static uint32_t word_at(const void *base, size_t offset) {
    uint32_t v;
    memcpy(&v, (const uint8_t *)base + offset, 4);
    return v;
}

/* Area and perimeter of a poly object (outer contour less its holes). */
static void object_measures(const int32_t *object, const uint8_t *contours, double *area, double *perimeter) {
    int32_t k;
    *area = 0, *perimeter = 0;
    for (k = 0; k < object[0]; ++k) {
        const uint8_t *c = contours + object[1 + k];
        uint32_t n = word_at(c, 0) & 0x7FFFFFFFu, i;
        double a = 0;
        for (i = 0; i < n; ++i) {
            uint32_t p = word_at(c, 4 + 4 * (size_t)i), q = word_at(c, 4 + 4 * (size_t)((i + 1) % n));
            double px = (double)(p & 0xFFFF), py = (double)(p >> 16), qx = (double)(q & 0xFFFF), qy = (double)(q >> 16);
            a += px * qy - qx * py;
            *perimeter += fabs(qx - px) + fabs(qy - py);
        }
        *area += k == 0 ? fabs(a) / 2 : -fabs(a) / 2;
    }
}

static int is_area(const int32_t *object, const uint8_t *contours, void **graph, int32_t o, int32_t strokeWidth) {
    double area, perimeter, thickness, length;
    if (graph[2 * o + 1] == NULL)
        return 1;
    object_measures(object, contours, &area, &perimeter);
    if (perimeter <= 0)
        return 1;
    thickness = 2 * area / perimeter;
    length = area / (thickness > 0 ? thickness : 1);
    return thickness > 2.0 * strokeWidth || (thickness > 2.0 && length < 2 * thickness);
}

static void write_area(Writer *w, const int32_t *object, const uint8_t *contours, double dx, double dy, int32_t tol) {
    int32_t k;
    if (w->svg)
        out_str(w->svg, "<path fill-rule=\"evenodd\" d=\"");
    for (k = 0; k < object[0]; ++k) {
        const uint8_t *c = contours + object[1 + k];
        uint32_t n = word_at(c, 0) & 0x7FFFFFFFu;
        /* The contour closed by repeating its first point. */
        uint8_t *closed = malloc(8 + 4 * (size_t)n);
        void *line;
        if (!closed) {
            w->failed = 1;
            break;
        }
        memcpy(closed, c, 4 + 4 * (size_t)n);
        memcpy(closed + 4 + 4 * (size_t)n, c + 4, 4);
        n += 1;
        memcpy(closed, &n, 4);
        line = QV_ContourOptimize(closed, tol);
        if (!line) {
            /* Too small to fit in three pieces: the contour's own corners. */
            uint32_t i;
            line = malloc(4 + 16 * (size_t)n);
            if (!line) {
                free(closed);
                w->failed = 1;
                break;
            }
            memcpy(line, &n, 4);
            for (i = 0; i < n; ++i) {
                uint32_t p = word_at(closed, 4 + 4 * (size_t)i);
                double v[2];
                v[0] = (double)(p & 0xFFFF), v[1] = (double)(p >> 16);
                memcpy((uint8_t *)line + 4 + 16 * (size_t)i, v, 16);
            }
            write_polyline(w, line, dx, dy, 0, 1, 1);
            free(line);
        } else {
            write_polyline(w, line, dx, dy, 0, 1, 1);
            qs_free(&line);
        }
        free(closed);
    }
    if (w->svg)
        out_str(w->svg, "\"/>\n");
}

/* ---- Strokes: merging and fitting ------------------------------------------ */

typedef struct {
    int32_t node[2], edge[2]; /* the segment's ends at nodes; -1 for a cap tip */
    int ends;
} SegEnds;

typedef struct {
    void **graph;
    int32_t object;
    const uint8_t *data; /* segment data */
    uint32_t nSegs;
    int32_t *offsets;
    const QV_GraphNode *nodes;
    uint32_t nNodes;
    uint8_t *degree;
    SegEnds *ends;
    uint8_t *visited;
    uint8_t *stub;
    int32_t *list;
    double *endXY;      /* per node: where a stroke ends beyond it */
    uint8_t *hasEnd;
    int32_t walkStart, walkEnd; /* the nodes at the ends of the last walk */
} StrokeGraph;

static int64_t seg_index(const StrokeGraph *g, int32_t offset) {
    uint32_t lo = 0, hi = g->nSegs;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (g->offsets[mid] < offset)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < g->nSegs && g->offsets[lo] == offset ? (int64_t)lo : -1;
}

static double side_width(const uint8_t *seg) {
    uint32_t n = word_at(seg, 0) & 0x3FFFFFFFu, k;
    double sum = 0;
    for (k = 0; k < n; ++k) {
        uint32_t a = word_at(seg, 4 + 8 * (size_t)k), b = word_at(seg, 8 + 8 * (size_t)k);
        sum += hypot((double)(a & 0xFFFF) - (double)(b & 0xFFFF), (double)(a >> 16) - (double)(b >> 16));
    }
    return n ? sum / n : 0;
}

static double line_length(const void *line) {
    uint32_t n = vertex_count(line), i;
    double len = 0, x0, y0, x1, y1;
    for (i = 1; i < n; ++i) {
        vertex(line, i - 1, &x0, &y0);
        vertex(line, i, &x1, &y1);
        len += hypot(x1 - x0, y1 - y0);
    }
    return len;
}

/* Fits one stroke (a segment record) and writes it. end0 and end1 (may be
 * null) are points where the stroke ends beyond its segments (the middle of
 * a square end whose corner caps were left out); each is put before or
 * after the elements, at the end it is nearer to. */
static void fit_and_write(Writer *w, const uint8_t *seg, const double *end0, const double *end1, double dx,
                          double dy, const QuillVectoriseOptions *o, QuillVectoriseStats *st, double *fitTime) {
    double width = 0, t0 = now_seconds(), t1;
    const double *start = NULL, *end = NULL;
    uint32_t n = word_at(seg, 0) & 0x3FFFFFFFu;
    void *line;
    if (n > 0 && (end0 || end1)) {
        uint32_t a0 = word_at(seg, 4), b0 = word_at(seg, 8);
        uint32_t a1 = word_at(seg, 4 + 8 * (size_t)(n - 1)), b1 = word_at(seg, 8 + 8 * (size_t)(n - 1));
        double fx = ((a0 & 0xFFFF) + (b0 & 0xFFFF)) / 2.0, fy = ((a0 >> 16) + (b0 >> 16)) / 2.0;
        double lx = ((a1 & 0xFFFF) + (b1 & 0xFFFF)) / 2.0, ly = ((a1 >> 16) + (b1 >> 16)) / 2.0;
        const double *e[2];
        int i;
        e[0] = end0, e[1] = end1;
        for (i = 0; i < 2; ++i) {
            if (!e[i])
                continue;
            if (hypot(e[i][0] - fx, e[i][1] - fy) <= hypot(e[i][0] - lx, e[i][1] - ly)) {
                if (!start)
                    start = e[i];
            } else if (!end) {
                end = e[i];
            }
        }
    }
    line = QV_SegmentCenterOptimize(seg, &width, o->tolerance, start, end);
    if (!line) {
        line = QV_SegExtractCenterline(seg, NULL, NULL);
        width = side_width(seg);
    }
    t1 = now_seconds();
    *fitTime += t1 - t0;
    if (!line) {
        w->failed = 1;
        return;
    }
    /* A stub shorter than half its width is a corner's or an end's cap,
     * covered by the round ends of the strokes it leaves. */
    if (vertex_count(line) >= 2 && line_length(line) >= 0.5 * width) {
        write_polyline(w, line, dx, dy, width, 0, QV_CircleSeg(seg));
        ++st->strokes;
    }
    qs_free(&line);
}

/* Writes the stroke made of list[0 .. k-1] (closed: list[k-1] = list[0]). */
static void emit_stroke(Writer *w, StrokeGraph *g, int32_t k, double dx, double dy, const QuillVectoriseOptions *o,
                        QuillVectoriseStats *st, double *mergeTime, double *fitTime) {
    int32_t i;
    void *merged;
    double t0;
    const double *end0 = g->walkStart >= 0 && g->hasEnd[g->walkStart] ? g->endXY + 2 * g->walkStart : NULL;
    const double *end1 = g->walkEnd >= 0 && g->hasEnd[g->walkEnd] ? g->endXY + 2 * g->walkEnd : NULL;
    if (k == 1) {
        fit_and_write(w, g->data + g->list[0], end0, end1, dx, dy, o, st, fitTime);
        return;
    }
    t0 = now_seconds();
    merged = QV_ConcatSegments(g->graph, g->object, g->list, k, 1);
    *mergeTime += now_seconds() - t0;
    if (merged) {
        fit_and_write(w, merged, end0, end1, dx, dy, o, st, fitTime);
        qs_free(&merged);
        return;
    }
    /* No path (should not happen between neighbours): each on its own. */
    for (i = 0; i < k; ++i)
        if (i == 0 || g->list[i] != g->list[0])
            fit_and_write(w, g->data + g->list[i], NULL, NULL, dx, dy, o, st, fitTime);
}

/* A stub: a cap segment shorter than it is wide (from the middle of its
 * first element to its tip), the corner of an L or a bump on the side of a
 * thick stroke, where the triangulation leaves a node with a third way out
 * that is no stroke of its own; or the corners of a square end, where the
 * triangulation splits the end into two or three short caps. Stubs are not
 * written (the round joins and ends of the strokes cover them) and do not
 * count as ways out. Returns the stub's length, or -1 for no stub. */
static double stub_length(const QV_GraphNode *node, int edge, const uint8_t *seg) {
    uint32_t n = word_at(seg, 0) & 0x3FFFFFFFu, a0, b0, a1, b1;
    double cx0, cy0, cx1, cy1, length;
    if (node->neighbour[edge] != NBR_CAP || n == 0)
        return -1;
    a0 = word_at(seg, 4), b0 = word_at(seg, 8);
    a1 = word_at(seg, 4 + 8 * (size_t)(n - 1)), b1 = word_at(seg, 8 + 8 * (size_t)(n - 1));
    cx0 = ((a0 & 0xFFFF) + (b0 & 0xFFFF)) / 2.0, cy0 = ((a0 >> 16) + (b0 >> 16)) / 2.0;
    cx1 = ((a1 & 0xFFFF) + (b1 & 0xFFFF)) / 2.0, cy1 = ((a1 >> 16) + (b1 >> 16)) / 2.0;
    length = hypot(cx1 - cx0, cy1 - cy0);
    return length < hypot((double)(a0 & 0xFFFF) - (double)(b0 & 0xFFFF), (double)(a0 >> 16) - (double)(b0 >> 16))
               ? length
               : -1;
}

/* The other segment of a node where exactly two strokes meet, or -1. */
static int64_t continue_through(const StrokeGraph *g, int32_t node, int32_t edge) {
    int j;
    if (node < 0 || g->degree[node] != 2)
        return -1;
    for (j = 0; j < 3; ++j)
        if (j != edge && g->nodes[node].link[j] >= 0) {
            int64_t idx = seg_index(g, g->nodes[node].link[j]);
            if (idx >= 0 && !g->stub[idx])
                return idx;
        }
    return -1;
}

/* Walks from segment s, entered at end `from`, through two-way nodes. */
static int32_t walk(StrokeGraph *g, uint32_t s, int from) {
    int32_t k = 0;
    g->walkStart = from < g->ends[s].ends ? g->ends[s].node[from] : -1;
    g->walkEnd = -1;
    for (;;) {
        const SegEnds *e = &g->ends[s];
        int to = 1 - from;
        int64_t next;
        int32_t node, edge;
        g->visited[s] = 1;
        g->list[k++] = g->offsets[s];
        if (to >= e->ends) /* the far end is a cap tip */
            break;
        node = e->node[to], edge = e->edge[to];
        g->walkEnd = node;
        next = continue_through(g, node, edge);
        if (next < 0 || g->visited[next])
            break;
        /* Enter the next segment at its end on this node. */
        s = (uint32_t)next;
        from = (g->ends[s].ends > 0 && g->ends[s].node[0] == node && g->ends[s].edge[0] != edge) ? 0 : 1;
        if (g->ends[s].ends < 2)
            from = 0;
    }
    return k;
}

static int write_strokes(Writer *w, void **graph, int32_t o, double dx, double dy, const QuillVectoriseOptions *opt,
                         QuillVectoriseStats *st, double *mergeTime, double *fitTime) {
    StrokeGraph g;
    const uint8_t *segBlock = graph[2 * o + 1], *nodeBlock = graph[2 * o];
    uint32_t i, s;
    size_t at = 0;
    int ok = 0;
    memset(&g, 0, sizeof g);
    g.graph = graph, g.object = o;
    g.nSegs = word_at(segBlock, 0);
    g.data = segBlock + 4;
    if (nodeBlock == NULL) { /* one segment round the object */
        fit_and_write(w, g.data, NULL, NULL, dx, dy, opt, st, fitTime);
        return 1;
    }
    g.nNodes = word_at(nodeBlock, 0);
    g.nodes = (const QV_GraphNode *)(nodeBlock + 4);
    g.offsets = malloc(sizeof(int32_t) * (g.nSegs + 1));
    g.ends = calloc(g.nSegs + 1, sizeof(SegEnds));
    g.visited = calloc(g.nSegs + 1, 1);
    g.stub = calloc(g.nSegs + 1, 1);
    g.degree = calloc(g.nNodes + 1, 1);
    g.list = malloc(sizeof(int32_t) * (g.nSegs + 2));
    g.endXY = calloc(2 * (size_t)g.nNodes + 2, sizeof(double));
    g.hasEnd = calloc(g.nNodes + 1, 1);
    if (!g.offsets || !g.ends || !g.visited || !g.stub || !g.degree || !g.list || !g.endXY || !g.hasEnd)
        goto done;
    for (s = 0; s < g.nSegs; ++s) {
        g.offsets[s] = (int32_t)at;
        at += 4 + 8 * (size_t)(word_at(g.data, at) & 0x3FFFFFFFu);
    }
    for (i = 0; i < g.nNodes; ++i) {
        int j, real = 0, stub[3] = {0, 0, 0}, longest = -1;
        double length[3] = {-1, -1, -1};
        int64_t idx[3];
        for (j = 0; j < 3; ++j) {
            idx[j] = g.nodes[i].link[j] >= 0 ? seg_index(&g, g.nodes[i].link[j]) : -1;
            if (idx[j] < 0)
                continue;
            length[j] = stub_length(&g.nodes[i], j, g.data + g.offsets[idx[j]]);
            stub[j] = length[j] >= 0;
            real += !stub[j];
            if (stub[j] && (longest < 0 || length[j] > length[longest]))
                longest = j;
        }
        /* Where two strokes go on through the node, every stub goes. At
         * the end of a stroke the stubs are the corners of its end: they go
         * too, and the stroke is taken on to the middle of their tips. A
         * node of stubs alone keeps them all. */
        if (real == 1 && longest >= 0) {
            double sx = 0, sy = 0;
            int tips = 0;
            for (j = 0; j < 3; ++j)
                if (stub[j]) {
                    const uint8_t *seg = g.data + g.offsets[idx[j]];
                    uint32_t n = word_at(seg, 0) & 0x3FFFFFFFu;
                    uint32_t a = word_at(seg, 4 + 8 * (size_t)(n - 1)), b = word_at(seg, 8 + 8 * (size_t)(n - 1));
                    sx += ((a & 0xFFFF) + (b & 0xFFFF)) / 2.0, sy += ((a >> 16) + (b >> 16)) / 2.0;
                    ++tips;
                }
            g.endXY[2 * i] = sx / tips, g.endXY[2 * i + 1] = sy / tips;
            g.hasEnd[i] = 1;
            real = 2; /* drop the stubs below */
        }
        for (j = 0; j < 3; ++j) {
            SegEnds *e;
            if (idx[j] < 0)
                continue;
            if (stub[j] && real >= 2) {
                g.stub[idx[j]] = 1;
                g.visited[idx[j]] = 1;
            } else {
                ++g.degree[i];
            }
            e = &g.ends[idx[j]];
            if (e->ends < 2) {
                e->node[e->ends] = (int32_t)i, e->edge[e->ends] = j;
                ++e->ends;
            }
        }
    }
    /* Strokes from their ends: a cap tip, or a node that is not two-way. */
    for (s = 0; s < g.nSegs; ++s) {
        const SegEnds *e = &g.ends[s];
        int32_t k;
        if (g.visited[s])
            continue;
        if (e->ends == 0) {
            g.list[0] = g.offsets[s];
            g.visited[s] = 1;
            emit_stroke(w, &g, 1, dx, dy, opt, st, mergeTime, fitTime);
            continue;
        }
        if (e->ends == 1) {
            /* A cap: from its tip (end 1), through its node when two-way. */
            k = walk(&g, s, 1);
            emit_stroke(w, &g, k, dx, dy, opt, st, mergeTime, fitTime);
            continue;
        }
        if (g.degree[e->node[0]] != 2)
            k = walk(&g, s, 0);
        else if (g.degree[e->node[1]] != 2)
            k = walk(&g, s, 1);
        else
            continue;
        emit_stroke(w, &g, k, dx, dy, opt, st, mergeTime, fitTime);
    }
    /* Rings of two-way nodes. */
    for (s = 0; s < g.nSegs; ++s) {
        int32_t k;
        if (g.visited[s])
            continue;
        k = walk(&g, s, 0);
        if (k > 1)
            g.list[k++] = g.list[0];
        emit_stroke(w, &g, k, dx, dy, opt, st, mergeTime, fitTime);
    }
    ok = 1;
done:
    free(g.offsets), free(g.ends), free(g.visited), free(g.stub), free(g.degree), free(g.list);
    free(g.endXY), free(g.hasEnd);
    return ok;
}

/* ---- Pieces ----------------------------------------------------------------- */

/* One piece: rows (x0, y0) .. of the drawing (rows of `line` bytes), the
 * objects whose first point lies in the core [cx0, cx1) x [cy0, cy1) of
 * piece coordinates. */
static int vectorise_piece(const uint8_t *rows, uint32_t line, int32_t x0, int32_t y0, int32_t pw, int32_t ph,
                           const int32_t core[4], const QuillVectoriseOptions *o, Writer *w, QuillVectoriseStats *st) {
    uint32_t pline = QV_GetLineBWi(1, pw), bline = QV_GetLineBWi(1, pw + 2);
    size_t bytes = (size_t)(ph + 2) * bline;
    uint8_t *bits = malloc(bytes > (size_t)ph * pline ? bytes : (size_t)ph * pline);
    void *contours = NULL, *objects = NULL, **graph = NULL;
    int32_t nObj, y, i;
    double t0, mergeTime = 0, fitTime = 0, tw0;
    const int32_t *object;
    int ok = 0;
    if (!bits)
        return 0;
    /* Copy the piece's rows, shifted to start at bit x0. */
    for (y = 0; y < ph; ++y) {
        const uint8_t *src = rows + (size_t)(y0 + y) * line;
        uint8_t *dst = bits + (size_t)y * pline;
        int32_t x;
        if ((x0 & 7) == 0) {
            memcpy(dst, src + x0 / 8, (size_t)(pw + 7) / 8);
        } else {
            memset(dst, 0xFF, pline);
            for (x = 0; x < pw; ++x)
                if (!((src[(x0 + x) >> 3] >> (7 - ((x0 + x) & 7))) & 1))
                    dst[x >> 3] &= (uint8_t) ~(0x80u >> (x & 7));
        }
    }
    t0 = now_seconds();
    nObj = QV_BWDmriOutline(bits, pw, ph, &contours, &objects);
    st->outlines += now_seconds() - t0;
    if (nObj < 0)
        goto done;
    if (nObj == 0) {
        ok = 1;
        goto done;
    }
    progress(o, "graph", 0, 1);
    t0 = now_seconds();
    if (!QV_MakeGraph(objects, contours, nObj, o->strokeWidth, &graph))
        goto done;
    st->graph += now_seconds() - t0;
    tw0 = now_seconds();
    if (w->svg)
        out_str(w->svg, "<g class=\"strokes\" fill=\"none\" stroke=\"black\" stroke-linecap=\"round\" stroke-linejoin=\"round\">\n");
    object = objects;
    for (i = 0; i < nObj; ++i, object += 1 + object[0]) {
        uint32_t first = word_at((const uint8_t *)contours + object[1], 4);
        int32_t fx = (int32_t)(first & 0xFFFF), fy = (int32_t)(first >> 16);
        if (fx < core[0] || fx >= core[2] || fy < core[1] || fy >= core[3])
            continue;
        if (!is_area(object, contours, graph, i, o->strokeWidth) &&
            !write_strokes(w, graph, i, x0, y0, o, st, &mergeTime, &fitTime))
            goto done;
        if ((i & 255) == 0)
            progress(o, "strokes", i, nObj);
    }
    if (w->svg)
        out_str(w->svg, "</g>\n<g class=\"areas\" fill=\"black\" stroke=\"none\">\n");
    object = objects;
    for (i = 0; i < nObj; ++i, object += 1 + object[0]) {
        uint32_t first = word_at((const uint8_t *)contours + object[1], 4);
        int32_t fx = (int32_t)(first & 0xFFFF), fy = (int32_t)(first >> 16);
        if (fx < core[0] || fx >= core[2] || fy < core[1] || fy >= core[3])
            continue;
        if (is_area(object, contours, graph, i, o->strokeWidth)) {
            double ta = now_seconds();
            write_area(w, object, contours, x0, y0, o->tolerance);
            fitTime += now_seconds() - ta;
            ++st->areas;
        }
    }
    if (w->svg)
        out_str(w->svg, "</g>\n");
    progress(o, "strokes", 1, 1);
    st->merging += mergeTime;
    st->fitting += fitTime;
    st->writing += now_seconds() - tw0 - mergeTime - fitTime;
    ok = !w->failed;
done:
    if (graph)
        QV_FreeGraphData(graph, nObj);
    qs_free(&contours);
    qs_free(&objects);
    free(bits);
    return ok;
}

int quill_vectorise_raster(const uint8_t *rows, int32_t width, int32_t height, const QuillVectoriseOptions *o,
                           FILE *svg, FILE *dxf, QuillVectoriseStats *st) {
    Writer w;
    Out svgOut, dxfOut;
    int32_t px, py, step = kPieceMax - kOverlap;
    uint32_t line = QV_GetLineBWi(1, width);
    int ok = 1;
    double t0 = now_seconds();
    memset(&w, 0, sizeof w);
    svgOut.file = svg, svgOut.used = 0, dxfOut.file = dxf, dxfOut.used = 0;
    w.svg = svg ? &svgOut : NULL, w.dxf = dxf ? &dxfOut : NULL, w.height = height, w.handle = 0x100;
    if (svg)
        svg_begin(svg, width, height);
    if (dxf)
        dxf_begin(dxf);
    st->writing += now_seconds() - t0;
    for (py = 0; ok && py < height; py += step) {
        for (px = 0; ok && px < width; px += step) {
            int32_t pw = width - px < kPieceMax ? width - px : kPieceMax;
            int32_t ph = height - py < kPieceMax ? height - py : kPieceMax;
            int32_t core[4];
            core[0] = px == 0 ? 0 : kOverlap / 2;
            core[1] = py == 0 ? 0 : kOverlap / 2;
            core[2] = px + pw >= width ? pw + 1 : pw - kOverlap / 2;
            core[3] = py + ph >= height ? ph + 1 : ph - kOverlap / 2;
            ok = vectorise_piece(rows, line, px, py, pw, ph, core, o, &w, st);
            ++st->pieces;
            if (px + pw >= width)
                break;
        }
        if (py + kPieceMax >= height)
            break;
    }
    t0 = now_seconds();
    if (svg)
        out_flush(&svgOut), fputs("</svg>\n", svg);
    if (dxf)
        out_flush(&dxfOut);
    if (dxf)
        dxf_end(dxf);
    st->writing += now_seconds() - t0;
    return ok && !w.failed && !(svg && ferror(svg)) && !(dxf && ferror(dxf));
}

/* ---- Frames in, files out ------------------------------------------------------ */

/* Reads a frame of any kind as bilevel rows (grey and colour thresholded
 * at 128 on their first byte). Null without memory or on a read error. */
static uint8_t *frame_rows(int frame, int32_t *width, int32_t *height) {
    QI_FrameRecord *r = QI_FrameGetData(frame);
    int32_t w, h, kind, y0, band = 256;
    uint32_t line, kline;
    uint8_t *rows, *buffer;
    int wasLocked;
    if (!r)
        return NULL;
    w = r->width, h = r->height, kind = r->kind;
    line = QV_GetLineBWi(1, w);
    kline = QI_GetLineBWi(kind, w);
    rows = malloc((size_t)line * h);
    buffer = malloc((size_t)kline * band);
    wasLocked = r->locked;
    if (!rows || !buffer || (!wasLocked && !QI_FrameLock(frame))) {
        free(rows), free(buffer);
        return NULL;
    }
    for (y0 = 0; y0 < h; y0 += band) {
        QI_Rect rect;
        int32_t n = h - y0 < band ? h - y0 : band, y, x;
        rect.left = 0, rect.top = y0, rect.right = w - 1, rect.bottom = y0 + n - 1;
        if (!QI_FrameGetRect(frame, &rect, buffer)) {
            free(rows), free(buffer);
            rows = NULL;
            break;
        }
        for (y = 0; y < n; ++y) {
            uint8_t *dst = rows + (size_t)(y0 + y) * line;
            const uint8_t *src = buffer + (size_t)y * kline;
            if (kind == QI_KIND_BILEVEL) {
                memcpy(dst, src, line);
                continue;
            }
            memset(dst, 0xFF, line);
            for (x = 0; x < w; ++x) {
                uint8_t grey = kind == QI_KIND_GREY ? src[x] : src[3 * (size_t)x];
                if (grey < 128)
                    dst[x >> 3] &= (uint8_t) ~(0x80u >> (x & 7));
            }
        }
    }
    if (!wasLocked)
        QI_FrameUnlock(frame);
    free(buffer);
    *width = w, *height = h;
    return rows;
}

static int write_files(int frame, const char *svgPath, const char *dxfPath, const QuillVectoriseOptions *o,
                       QuillVectoriseStats *st) {
    int32_t w = 0, h = 0;
    FILE *svg = NULL, *dxf = NULL;
    uint8_t *rows;
    int ok;
    double t0 = now_seconds();
    rows = frame_rows(frame, &w, &h);
    st->load += now_seconds() - t0;
    if (!rows) {
        fprintf(stderr, "quill: cannot read the drawing's pixels (out of memory?)\n");
        return 0;
    }
    if (svgPath && !(svg = fopen(svgPath, "w")))
        fprintf(stderr, "quill: cannot write %s\n", svgPath);
    if (dxfPath && !(dxf = fopen(dxfPath, "w")))
        fprintf(stderr, "quill: cannot write %s\n", dxfPath);
    ok = (!svgPath || svg) && (!dxfPath || dxf) && quill_vectorise_raster(rows, w, h, o, svg, dxf, st);
    if (svg && fclose(svg) != 0)
        ok = 0;
    if (dxf && fclose(dxf) != 0)
        ok = 0;
    if (!ok) {
        fprintf(stderr, "quill: vectorising failed (out of memory or a write error)\n");
        if (svgPath)
            unlink(svgPath);
        if (dxfPath)
            unlink(dxfPath);
    }
    free(rows);
    return ok;
}

static const char *extension_of(const char *path) {
    const char *dot = strrchr(path, '.');
    return dot ? dot + 1 : "";
}

static int same_text(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if ((*a | 0x20) != (*b | 0x20))
            return 0;
    return *a == *b;
}

static void usage(FILE *f) {
    fprintf(f, "usage: quill vectorise IN OUT.svg|OUT.dxf [--width N] [--tolerance T] [--stats]\n"
               "  IN: any drawing the library reads (grey and colour are thresholded at 128)\n"
               "  --width N      expected stroke width in pixels (default 6)\n"
               "  --tolerance T  fitting tolerance, squared distance in half pixels (default 3)\n"
               "  --stats        print the time of each stage\n");
}

static int parse_int(const char *text, int32_t lo, int32_t hi, int32_t *out) {
    char *end;
    long v = strtol(text, &end, 10);
    if (*text == 0 || *end != 0 || v < lo || v > hi)
        return 0;
    *out = (int32_t)v;
    return 1;
}

int quill_vectorise_main(int argc, char **argv) {
    QuillVectoriseOptions o;
    QuillVectoriseStats st;
    const char *in = NULL, *out = NULL, *ext;
    int i, stats = 0, frame, ok;
    double t0;
    quill_vectorise_defaults(&o);
    memset(&st, 0, sizeof st);
    for (i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0) {
            usage(stdout);
            return kExitOk;
        } else if (strcmp(argv[i], "--width") == 0 || strcmp(argv[i], "--tolerance") == 0) {
            int32_t *target = argv[i][2] == 'w' ? &o.strokeWidth : &o.tolerance;
            if (i + 1 >= argc || !parse_int(argv[i + 1], argv[i][2] == 'w' ? 1 : 0, 1000000, target)) {
                fprintf(stderr, "quill: %s takes a whole number%s\n", argv[i], argv[i][2] == 'w' ? " from 1" : "");
                return kExitUsage;
            }
            ++i;
        } else if (strcmp(argv[i], "--stats") == 0) {
            stats = 1;
        } else if (strncmp(argv[i], "--", 2) == 0) {
            fprintf(stderr, "quill: unknown option %s\n", argv[i]);
            return kExitUsage;
        } else if (!in) {
            in = argv[i];
        } else if (!out) {
            out = argv[i];
        } else {
            usage(stderr);
            return kExitUsage;
        }
    }
    if (!in || !out) {
        usage(stderr);
        return kExitUsage;
    }
    ext = extension_of(out);
    if (!same_text(ext, "svg") && !same_text(ext, "dxf")) {
        fprintf(stderr, "quill: %s: the output must end in .svg or .dxf\n", out);
        return kExitUsage;
    }
    o.progress = isatty(STDERR_FILENO);
    if (!QI_InitFrameFunctions("", "", NULL)) {
        fprintf(stderr, "quill: the library did not start (out of memory?)\n");
        return kExitFailed;
    }
    t0 = now_seconds();
    frame = QI_FrameFileLoad(in, QI_STORAGE_MEMORY);
    st.load = now_seconds() - t0;
    if (frame < 0) {
        fprintf(stderr, "quill: %s: cannot load (missing, unreadable or not a known format)\n", in);
        QI_CloseFrameFunctions();
        return kExitFailed;
    }
    ok = write_files(frame, same_text(ext, "svg") ? out : NULL, same_text(ext, "dxf") ? out : NULL, &o, &st);
    QI_FrameDelete(frame);
    QI_CloseFrameFunctions();
    if (!ok)
        return kExitFailed;
    printf("%s: %ld strokes, %ld areas\n", out, st.strokes, st.areas);
    if (stats)
        printf("load %.3f s  outlines %.3f s  graph %.3f s  merging %.3f s  fitting %.3f s  writing %.3f s\n",
               st.load, st.outlines, st.graph, st.merging, st.fitting, st.writing);
    return kExitOk;
}

int quill_vectorise_demo(int frame, const char *directory, const char *stem) {
    QuillVectoriseOptions o;
    QuillVectoriseStats st;
    char svg[1024], dxf[1024];
    double t0 = now_seconds();
    int ok;
    quill_vectorise_defaults(&o);
    o.progress = isatty(STDERR_FILENO);
    memset(&st, 0, sizeof st);
    snprintf(svg, sizeof svg, "%s/%s.svg", directory, stem);
    snprintf(dxf, sizeof dxf, "%s/%s.dxf", directory, stem);
    ok = write_files(frame, svg, dxf, &o, &st);
    if (ok)
        printf("%s vectorised in %.3f s: %ld strokes, %ld areas\n    %s\n    %s\n", stem, now_seconds() - t0,
               st.strokes, st.areas, svg, dxf);
    return ok;
}
