/*
 * quill_render.c - `quill render` and `quill draw`: what a display host does
 * with a drawing. The file is loaded into a USFrame (swap-file base with reduced views), the
 * base is placed in world coordinates as a view (upright, turned by quarter
 * turns or any angle, mirrored), and one window of the view is rendered at
 * the zoom asked and written as a PNG: grey for bilevel and grey drawings,
 * RGB for colour, or indexed through a 6 x 6 x 6 colour cube with ordered
 * dither (--palette), as a host with a 256-colour display would show it.
 *
 * World coordinates: one unit per base pixel, y up; the base's top-left
 * corner at (0, 0) before it is turned. Turns go clockwise (as on screen)
 * about the base's centre, mirroring goes left to right before the turn.
 * The window shows, by default, the whole view fitted; --zoom Z (window
 * pixels per base pixel) with --centre X,Y (a base pixel, x right, y down)
 * shows a part; --rect X0,Y0,X1,Y1 gives the world rect itself.
 * Window pixels outside the view are painted a light grey.
 * `quill draw` edits through the view as a host's pen would: each shape is
 * drawn in world coordinates through the placed view (reaching the base and
 * the view's frame with its reduced views), the base is saved, and the
 * window can be rendered afterwards.
 */
#define _POSIX_C_SOURCE 200809L
#include "quill_tool.h"
#include "quillimg.h"
#include "quillstd.h"

#include <png.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kViewId = 1, kOutsideGrey = 0xC8 };

typedef struct {
    const char *in, *out;
    int width, height;    /* window */
    double rect[4];       /* world rect, when hasRect */
    int hasRect;
    double centre[2];     /* base pixel, when hasCentre */
    int hasCentre;
    double zoom;          /* window pixels per base pixel, 0: fitted */
    int quarterTurns;     /* --rotate */
    double angle;         /* --angle, degrees clockwise */
    int mirror;
    int grey;             /* scale to grey */
    int palette;
    const char *shapes;   /* draw: the shapes file, "-" for stdin */
    const char *png;      /* draw: render the result to this PNG too */
} RenderOptions;

static void render_usage(FILE *out) {
    fprintf(out,
            "usage: quill render IN OUT.png [options]\n"
            "  --window WxH        window size in pixels (default 1920x1080)\n"
            "  --zoom Z            window pixels per drawing pixel (default: the whole view fitted)\n"
            "  --centre X,Y        drawing pixel at the window's centre (x right, y down; default the middle)\n"
            "  --rect X0,Y0,X1,Y1  world rect to show instead (one unit per drawing pixel, y up)\n"
            "  --rotate 0|90|180|270  quarter turns, clockwise\n"
            "  --angle DEG         any further turn, clockwise (an oblique view)\n"
            "  --mirror            mirror left to right before turning\n"
            "  --no-grey           bilevel drawings reduced without scale to grey\n"
            "  --palette           indexed PNG through a 6x6x6 colour cube with ordered dither\n"
            "\n"
            "usage: quill draw IN OUT --shapes FILE [--png OUT.png] [the options above]\n"
            "  draws the shapes of FILE (\"-\": standard input) through the placed view and saves the\n"
            "  drawing as OUT; --png renders the view's window afterwards. One shape a line, world\n"
            "  coordinates (one unit per drawing pixel, y up):\n"
            "    polygon X Y X Y X Y ... [; X Y X Y X Y ...]   filled, even-odd\n"
            "    line WIDTH X Y X Y ...                        a polyline WIDTH wide\n"
            "    colour black|white|grey N|#RRGGBB             for the shapes that follow\n");
}

static int parse_numbers(const char *text, double *out, int count) {
    char *end;
    int i;
    for (i = 0; i < count; ++i) {
        out[i] = strtod(text, &end);
        if (end == text || !isfinite(out[i]))
            return 0;
        text = end;
        if (i + 1 < count) {
            if (*text != ',')
                return 0;
            ++text;
        }
    }
    return *text == 0;
}

static int parse_options(int argc, char **argv, RenderOptions *o, int drawing) {
    int i, operands = 0;
    memset(o, 0, sizeof *o);
    o->width = 1920;
    o->height = 1080;
    o->grey = 1;
    for (i = 0; i < argc; ++i) {
        const char *a = argv[i], *v = i + 1 < argc ? argv[i + 1] : NULL;
        double n[4];
        if (strcmp(a, "--window") == 0 && v && sscanf(v, "%dx%d", &o->width, &o->height) == 2 && o->width > 0 &&
            o->height > 0 && o->width <= 16384 && o->height <= 16384)
            ++i;
        else if (strcmp(a, "--zoom") == 0 && v && parse_numbers(v, n, 1) && n[0] > 0 && n[0] <= 1000)
            o->zoom = n[0], ++i;
        else if (strcmp(a, "--centre") == 0 && v && parse_numbers(v, o->centre, 2))
            o->hasCentre = 1, ++i;
        else if (strcmp(a, "--rect") == 0 && v && parse_numbers(v, o->rect, 4))
            o->hasRect = 1, ++i;
        else if (strcmp(a, "--rotate") == 0 && v && parse_numbers(v, n, 1) && fmod(n[0], 90) == 0)
            o->quarterTurns = ((int)(n[0] / 90) % 4 + 4) % 4, ++i;
        else if (strcmp(a, "--angle") == 0 && v && parse_numbers(v, n, 1))
            o->angle = n[0], ++i;
        else if (strcmp(a, "--mirror") == 0)
            o->mirror = 1;
        else if (strcmp(a, "--no-grey") == 0)
            o->grey = 0;
        else if (strcmp(a, "--palette") == 0)
            o->palette = 1;
        else if (drawing && strcmp(a, "--shapes") == 0 && v)
            o->shapes = v, ++i;
        else if (drawing && strcmp(a, "--png") == 0 && v)
            o->png = v, ++i;
        else if (strncmp(a, "--", 2) == 0) {
            fprintf(stderr, "quill: bad option or value: %s%s%s\n", a, v ? " " : "", v ? v : "");
            return 0;
        } else if (operands < 2)
            (operands++ == 0 ? (o->in = a) : (o->out = a));
        else {
            fprintf(stderr, "quill: one IN and one OUT\n");
            return 0;
        }
    }
    if (operands != 2 || (drawing && !o->shapes)) {
        render_usage(stderr);
        return 0;
    }
    return 1;
}

/* ---- Placement ----------------------------------------------------------- */

/* Where base point (u, v) (v down) lands in the world: mirrored, then
 * turned clockwise about the base's centre. Quarter turns use exact
 * cosines, so that they stay orthogonal placements. */
static void base_to_world(const RenderOptions *o, int W, int H, double u, double v, double *x, double *y) {
    static const int kCos[4] = {1, 0, -1, 0}, kSin[4] = {0, 1, 0, -1};
    double a = o->angle * 3.14159265358979323846 / 180;
    double c0 = kCos[o->quarterTurns], s0 = kSin[o->quarterTurns];
    double c = o->angle == 0 ? c0 : c0 * cos(a) - s0 * sin(a), s = o->angle == 0 ? s0 : s0 * cos(a) + c0 * sin(a);
    double px = (o->mirror ? W - u : u) - W / 2.0, py = H / 2.0 - v; /* y up about the centre */
    *x = W / 2.0 + c * px + s * py;
    *y = -H / 2.0 - s * px + c * py;
}

static void make_placement(const RenderOptions *o, int W, int H, double p[8]) {
    const double cu[4] = {0, W, W, 0}, cv[4] = {0, 0, H, H};
    int i;
    for (i = 0; i < 4; ++i)
        base_to_world(o, W, H, cu[i], cv[i], &p[2 * i], &p[2 * i + 1]);
}

/* The world rect (x0, y0 top, x1, y1 bottom) of the window. */
static void window_rect(const RenderOptions *o, int W, int H, const double placement[8], double r[4]) {
    double box[4], cx, cy, perPixel;
    if (o->hasRect) {
        r[0] = fmin(o->rect[0], o->rect[2]), r[2] = fmax(o->rect[0], o->rect[2]);
        r[1] = fmax(o->rect[1], o->rect[3]), r[3] = fmin(o->rect[1], o->rect[3]);
        return;
    }
    QI_DoubleBoundRect(placement, box);
    if (o->hasCentre)
        base_to_world(o, W, H, o->centre[0], o->centre[1], &cx, &cy);
    else
        cx = (box[0] + box[2]) / 2, cy = (box[1] + box[3]) / 2;
    perPixel = o->zoom > 0 ? 1 / o->zoom
                           : fmax((box[2] - box[0]) / o->width, (box[3] - box[1]) / o->height);
    r[0] = cx - perPixel * o->width / 2, r[2] = cx + perPixel * o->width / 2;
    r[1] = cy + perPixel * o->height / 2, r[3] = cy - perPixel * o->height / 2;
    if (o->zoom == 1 && !o->hasCentre) { /* 1:1 on whole pixels */
        r[0] = floor(r[0]), r[2] = r[0] + o->width;
        r[1] = ceil(r[1]), r[3] = r[1] - o->height;
    }
}

/* ---- The window ------------------------------------------------------------ */

typedef struct {
    int width, height, kind; /* kind 2 (grey) or 4 (Y, U, V) */
    uint32_t line;
    uint8_t *pixels;
} Canvas;

static int canvas_make(Canvas *c, int width, int height, int kind) {
    c->width = width, c->height = height, c->kind = kind;
    c->line = QI_GetLineBWi(kind, width);
    c->pixels = qs_malloc(c->line * (uint32_t)height);
    if (!c->pixels)
        return 0;
    QI_DmriUniformFill(c->pixels, width, height, kind == 2 ? kOutsideGrey : 0x7F7F00 | kOutsideGrey, kind);
    return 1;
}

static int mask_bit(const uint8_t *mask, uint32_t line, int x, int y) {
    return mask && (mask[y * line + (x >> 3)] >> (7 - (x & 7))) & 1;
}

/* Paints the zoom's raster, converted to the canvas kind, through its mask. */
static int canvas_paint(Canvas *c, const QI_Rect *rect, const uint8_t *raster, int kind, const uint8_t *mask) {
    int w = rect->right - rect->left + 1, h = rect->bottom - rect->top + 1, x, y;
    int bytes = c->kind == 4 ? 3 : 1;
    uint32_t line = QI_GetLineBWi(c->kind, w), maskLine = QI_GetLineBWi(1, w);
    uint8_t *converted = qs_malloc(line * (uint32_t)h);
    if (!converted)
        return 0;
    QI_DmriConvert(raster, w, h, kind, converted, c->kind);
    for (y = 0; y < h; ++y)
        for (x = 0; x < w; ++x)
            if (!mask_bit(mask, maskLine, x, y))
                memcpy(c->pixels + (size_t)(rect->top + y) * c->line + (size_t)(rect->left + x) * bytes,
                       converted + (size_t)y * line + (size_t)x * bytes, (size_t)bytes);
    qs_free((void **)&converted);
    return 1;
}

/* ---- PNG ------------------------------------------------------------------- */

typedef struct {
    int colourType;
    png_color palette[256];
    int paletteSize;
} PngForm;

static int write_png(const char *name, const Canvas *c, const uint8_t *rows, uint32_t line, const PngForm *form) {
    FILE *file = fopen(name, "wb");
    png_structp png;
    png_infop info;
    int y;
    if (!file)
        return 0;
    png = png_create_write_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    info = png ? png_create_info_struct(png) : NULL;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(file);
        remove(name);
        return 0;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, (png_uint_32)c->width, (png_uint_32)c->height, 8, form->colourType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (form->colourType == PNG_COLOR_TYPE_PALETTE)
        png_set_PLTE(png, info, form->palette, form->paletteSize);
    png_write_info(png, info);
    for (y = 0; y < c->height; ++y)
        png_write_row(png, rows + (size_t)y * line);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return fclose(file) == 0;
}

/* The canvas as RGB rows (Y, U, V to B, G, R, then R and B exchanged). */
static int save_colour(const char *name, Canvas *c) {
    PngForm form = {PNG_COLOR_TYPE_RGB, {{0, 0, 0}}, 0};
    int x, y;
    QI_DmriYUVtoBGR(c->pixels, c->width, c->height);
    for (y = 0; y < c->height; ++y)
        for (x = 0; x < c->width; ++x)
            QI_SwapBlueRed(c->pixels + (size_t)y * c->line + 3 * (size_t)x);
    return write_png(name, c, c->pixels, c->line, &form);
}

/* The canvas through a 6 x 6 x 6 cube with ordered dither. */
static int save_indexed(const char *name, Canvas *c) {
    uint8_t cube[216 * 4];
    PngForm form = {PNG_COLOR_TYPE_PALETTE, {{0, 0, 0}}, 216};
    PaletteObject *palette;
    int i, ok;
    for (i = 0; i < 216; ++i) {
        cube[4 * i] = (uint8_t)(i % 6 * 51);           /* blue */
        cube[4 * i + 1] = (uint8_t)(i / 6 % 6 * 51);   /* green */
        cube[4 * i + 2] = (uint8_t)(i / 36 * 51);      /* red */
        cube[4 * i + 3] = 0;
        form.palette[i].red = cube[4 * i + 2];
        form.palette[i].green = cube[4 * i + 1];
        form.palette[i].blue = cube[4 * i];
    }
    palette = QI_PaletteCreate(cube, 216, 6, NULL);
    if (!palette)
        return 0;
    QI_DmriToPaletteColors(c->pixels, c->width, c->height, c->kind, palette, 2, 0, 0);
    QI_PaletteDelete(palette);
    ok = write_png(name, c, c->pixels, QI_GetLineBWi(2, c->width), &form);
    return ok;
}

static int save_canvas(const char *name, Canvas *c, int indexed) {
    PngForm grey = {PNG_COLOR_TYPE_GRAY, {{0, 0, 0}}, 0};
    if (indexed)
        return save_indexed(name, c);
    return c->kind == 4 ? save_colour(name, c) : write_png(name, c, c->pixels, c->line, &grey);
}

/* ---- Loading, placing, rendering ------------------------------------------ */

/* Loads the file into a USFrame and places view 1; 0 (reported) on failure. */
static int load_and_place(const RenderOptions *o, const char *command, int *usfOut, int *W, int *H,
                          double placement[8]) {
    double start = seconds_now(), stored[8];
    const QI_FrameRecord *base;
    int usf = QI_USFrameLoad(o->in);
    if (!usf) {
        fprintf(stderr, "quill %s: %s: cannot load (unknown extension, damaged file, or out of memory)\n", command,
                o->in);
        return 0;
    }
    base = QI_FrameGetData(QI_USFrameGetData(usf)->baseFrame);
    *W = base->width, *H = base->height;
    printf("%s: %d x %d, loaded with reduced views in %.3f s\n", o->in, *W, *H, seconds_now() - start);
    make_placement(o, *W, *H, placement);
    memcpy(stored, placement, sizeof stored);
    start = seconds_now();
    if (!QI_USFramePlaceExt(usf, kViewId, stored)) {
        fprintf(stderr, "quill %s: the view cannot be placed (out of memory or disk)\n", command);
        return 0;
    }
    printf("view placed (%s) in %.3f s\n", QI_USFrameNormalPos(usf, kViewId) ? "upright" : "turned or mirrored",
           seconds_now() - start);
    *usfOut = usf;
    return 1;
}

/* Renders the world rect r (x0, y0 top, x1, y1 bottom) of a view into a
 * window of width x height written as the PNG `out`; 0 (reported) on
 * failure. */
int render_png(int usf, int viewId, int width, int height, const double r[4], int grey, int palette,
               const char *out) {
    double start;
    int kind, ok = 0;
    QI_Rect rect;
    uint8_t *raster = NULL, *mask = NULL;
    Canvas canvas = {0, 0, 0, 0, NULL};
    QI_SetScaleToGrayState(grey ? 1.0 : -1.0);
    start = seconds_now();
    kind = QI_USFrameZoomExt(usf, viewId, width, height, r[0], r[1], r[2], r[3], &rect, &raster, &mask);
    printf("window %d x %d of world (%.2f, %.2f) - (%.2f, %.2f) rendered in %.1f ms", width, height, r[0], r[1],
           r[2], r[3], 1000 * (seconds_now() - start));
    if (kind)
        printf(", view on pixels (%d, %d) - (%d, %d)%s\n", rect.left, rect.top, rect.right, rect.bottom,
               mask ? " through a mask" : "");
    else
        printf(": the view is not in the window\n");
    if (canvas_make(&canvas, width, height, kind == 4 || palette ? 4 : 2) &&
        (!kind || canvas_paint(&canvas, &rect, raster, kind, mask))) {
        start = seconds_now();
        ok = save_canvas(out, &canvas, palette);
        if (ok)
            printf("%s: %s PNG written in %.3f s, %s bytes\n", out, palette ? "indexed" : canvas.kind == 4 ? "RGB" : "grey",
                   seconds_now() - start, bytes_text(file_size(out)));
        else
            fprintf(stderr, "quill: %s: cannot write the PNG\n", out);
    } else
        fprintf(stderr, "quill: out of memory for the window\n");
    qs_free((void **)&canvas.pixels);
    qs_free((void **)&raster);
    qs_free((void **)&mask);
    return ok;
}

/* Renders the window of view 1 into the PNG `out`; 0 (reported) on failure. */
static int render_window(const RenderOptions *o, int usf, int W, int H, const double placement[8], const char *out) {
    double r[4];
    window_rect(o, W, H, placement, r);
    return render_png(usf, kViewId, o->width, o->height, r, o->grey, o->palette, out);
}

static int render(const RenderOptions *o) {
    double placement[8];
    int usf, W, H;
    if (!load_and_place(o, "render", &usf, &W, &H, placement))
        return g_interrupted ? kExitInterrupted : kExitFailed;
    return render_window(o, usf, W, H, placement, o->out) ? kExitOk : kExitFailed;
}

/* ---- Drawing ---------------------------------------------------------------
 *
 * Shapes, one a line, in world coordinates (one unit per drawing pixel, y
 * up, as for --rect), drawn through the placed view:
 *   polygon X Y X Y X Y ... [; X Y X Y X Y ...]   filled by the even-odd rule
 *   line WIDTH X Y X Y ...                        a polyline WIDTH wide, square ends
 *   colour black|white|grey N|#RRGGBB             for the shapes that follow
 * Blank lines and lines starting with # are skipped. */

typedef struct {
    double *values;
    int count, capacity;
} Numbers;

static int numbers_add(Numbers *n, double v) {
    if (n->count == n->capacity) {
        int capacity = n->capacity ? 2 * n->capacity : 64;
        double *grown = realloc(n->values, (size_t)capacity * sizeof *grown);
        if (!grown)
            return 0;
        n->values = grown, n->capacity = capacity;
    }
    n->values[n->count++] = v;
    return 1;
}

/* Reads the numbers of a text; ';' separates polygons (counted in `breaks`,
 * the index at which each polygon starts). */
static int read_numbers(const char *text, Numbers *n, Numbers *breaks) {
    char *end;
    n->count = 0;
    if (breaks) {
        breaks->count = 0;
        numbers_add(breaks, 0);
    }
    while (*text) {
        double v;
        if (*text == ' ' || *text == '\t' || *text == ',' || *text == '\n' || *text == '\r') {
            ++text;
            continue;
        }
        if (*text == ';' && breaks) {
            numbers_add(breaks, n->count);
            ++text;
            continue;
        }
        v = strtod(text, &end);
        if (end == text || !isfinite(v) || !numbers_add(n, v))
            return 0;
        text = end;
    }
    return 1;
}

static int parse_colour(const char *text, uint32_t *colour) {
    unsigned r, g, b;
    uint8_t pixel[4];
    int level;
    if (strcmp(text, "black") == 0)
        *colour = QI_COLOR_BLACK;
    else if (strcmp(text, "white") == 0)
        *colour = QI_COLOR_WHITE;
    else if (sscanf(text, "grey %d", &level) == 1 && level >= 0 && level <= 255)
        *colour = 0x7F7F00u | (uint32_t)level;
    else if (sscanf(text, "#%2x%2x%2x", &r, &g, &b) == 3) {
        pixel[0] = (uint8_t)b, pixel[1] = (uint8_t)g, pixel[2] = (uint8_t)r, pixel[3] = 0;
        QI_DmriBGRtoYUV(pixel, 1, 1);
        *colour = pixel[0] | (uint32_t)pixel[1] << 8 | (uint32_t)pixel[2] << 16;
    } else
        return 0;
    return 1;
}

/* The polygon set of the numbers: count, then each polygon's n and points. */
static uint8_t *polygon_set(const Numbers *n, const Numbers *breaks) {
    int k, polygons = breaks->count;
    size_t bytes = 4 + (size_t)polygons * 4 + (size_t)n->count * 8, at = 4;
    uint8_t *set = malloc(bytes);
    int32_t count = polygons;
    if (!set)
        return NULL;
    memcpy(set, &count, 4);
    for (k = 0; k < polygons; ++k) {
        int from = (int)breaks->values[k], to = k + 1 < polygons ? (int)breaks->values[k + 1] : n->count;
        int32_t vertices = (to - from) / 2;
        if ((to - from) % 2 != 0 || vertices < 3) {
            free(set);
            return NULL;
        }
        memcpy(set + at, &vertices, 4);
        memcpy(set + at + 4, n->values + from, (size_t)(to - from) * 8);
        at += 4 + (size_t)(to - from) * 8;
    }
    return set;
}

static uint8_t *polyline_of(const Numbers *n, int from) {
    int32_t points = (n->count - from) / 2;
    uint8_t *line;
    if ((n->count - from) % 2 != 0 || points < 2 || !(line = malloc(4 + (size_t)points * 16)))
        return NULL;
    memcpy(line, &points, 4);
    memcpy(line + 4, n->values + from, (size_t)points * 16);
    return line;
}

typedef struct {
    int polygons, lines, failed;
    double seconds;
} DrawTally;

/* Draws one line of the shapes text; 0 (reported) for a bad line. */
static int draw_shape(int usf, const char *text, int number, uint32_t *colour, DrawTally *t) {
    Numbers n = {NULL, 0, 0}, breaks = {NULL, 0, 0};
    uint8_t *shape = NULL;
    int ok = 1, done;
    double start;
    while (*text == ' ' || *text == '\t')
        ++text;
    if (*text == 0 || *text == '#' || *text == '\n' || *text == '\r')
        return 1;
    if (strncmp(text, "colour ", 7) == 0 || strncmp(text, "color ", 6) == 0) {
        char name[64] = "";
        sscanf(strchr(text, ' ') + 1, "%63[^\r\n]", name);
        if (!parse_colour(name, colour)) {
            fprintf(stderr, "quill draw: line %d: colour is black, white, grey N or #RRGGBB\n", number);
            return 0;
        }
        return 1;
    }
    start = seconds_now();
    if (strncmp(text, "polygon ", 8) == 0 && read_numbers(text + 8, &n, &breaks) && (shape = polygon_set(&n, &breaks))) {
        done = QI_USFrameBaseFillPolyExt(usf, kViewId, shape, *colour, 0);
        ++t->polygons;
    } else if (strncmp(text, "line ", 5) == 0 && read_numbers(text + 5, &n, NULL) && n.count >= 1 && n.values[0] > 0 &&
               (shape = polyline_of(&n, 1))) {
        done = QI_USFrameWidePolyline(usf, kViewId, shape, n.values[0] / 2, *colour);
        ++t->lines;
    } else {
        fprintf(stderr, "quill draw: line %d: expected polygon X Y X Y X Y ..., line WIDTH X Y X Y ... or colour C\n",
                number);
        ok = 0;
        done = 1;
    }
    t->seconds += seconds_now() - start;
    t->failed += !done;
    free(shape);
    free(n.values);
    free(breaks.values);
    return ok;
}

static int draw_shapes(int usf, const RenderOptions *o, DrawTally *t) {
    FILE *file = strcmp(o->shapes, "-") == 0 ? stdin : fopen(o->shapes, "r");
    char text[65536];
    uint32_t colour = QI_COLOR_BLACK;
    int number = 0, ok = 1;
    if (!file) {
        fprintf(stderr, "quill draw: %s: cannot read the shapes\n", o->shapes);
        return 0;
    }
    while (ok && fgets(text, sizeof text, file))
        ok = draw_shape(usf, text, ++number, &colour, t);
    if (file != stdin)
        fclose(file);
    return ok;
}

static int draw(const RenderOptions *o) {
    double placement[8], start;
    int usf, W, H;
    DrawTally tally = {0, 0, 0, 0};
    if (!load_and_place(o, "draw", &usf, &W, &H, placement))
        return g_interrupted ? kExitInterrupted : kExitFailed;
    if (!draw_shapes(usf, o, &tally))
        return kExitUsage;
    printf("%d polygon sets and %d polylines drawn through the view in %.3f s%s\n", tally.polygons, tally.lines,
           tally.seconds, tally.failed ? " (some failed: out of memory or disk)" : "");
    start = seconds_now();
    if (!QI_USFrameSaveExt(usf, -1, NULL, o->out)) {
        fprintf(stderr, "quill draw: %s: save failed\n", o->out);
        return kExitFailed;
    }
    printf("%s: drawing saved in %.3f s, %s bytes\n", o->out, seconds_now() - start, bytes_text(file_size(o->out)));
    if (o->png && !render_window(o, usf, W, H, placement, o->png))
        return kExitFailed;
    return tally.failed ? kExitFailed : kExitOk;
}

static int run_command(int argc, char **argv, int drawing) {
    RenderOptions options;
    Session session;
    int status;
    if (argc >= 1 && (strcmp(argv[0], "--help") == 0 || strcmp(argv[0], "-h") == 0)) {
        render_usage(stdout);
        return kExitOk;
    }
    if (!parse_options(argc, argv, &options, drawing))
        return kExitUsage;
    if (!session_start(&session))
        return kExitFailed;
    if (!QI_USFramesInit()) {
        session_stop(&session);
        return kExitFailed;
    }
    status = drawing ? draw(&options) : render(&options);
    QI_USFramesClose();
    session_stop(&session);
    return status;
}

int command_render(int argc, char **argv) { return run_command(argc, argv, 0); }

int command_draw(int argc, char **argv) { return run_command(argc, argv, 1); }
