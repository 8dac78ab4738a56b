/*
 * quill - the command-line host of the Quill libraries: what a host does
 * with image files, through the public C interface and the shipped shared
 * libraries only.
 *
 *   quill info FILE...                  size and kind, then a timed load
 *   quill convert IN OUT [--storage S]  load IN, save OUT (format by extension)
 *   quill demo [FILE] [--storage S] [--keep DIR]
 *                                       round trips through every writable
 *                                       format, checked pixel for pixel
 *
 * The demo works by default on samples that it makes itself: an engineering
 * drawing of 7000 x 5000 bilevel pixels (border, title block, parts list,
 * lines at many angles, circles, hatching, dense text-like marks), drawn 128
 * rows at a time straight into a frame (in a swap file unless --storage
 * memory), so that the whole page is never held raw; a grey and a colour picture; and a colour map whose frame
 * carries a palette. With FILE it takes the user's file instead. Each image
 * is saved as TIF, PCX and YX into the session's temporary directory, loaded
 * again, and compared with the frame saved, band by band.
 *
 * What "match" means: grey and bilevel pixels, and every pixel of a YX file
 * (which keeps the coded tiles themselves), must come back identical. TIF and
 * PCX files hold colour as B,G,R bytes while frames hold Y,U,V, and the
 * integer conversions between the two are not inverse to each other (a
 * component may come back up to 3 lower, and repeated round trips keep
 * drifting: there is no fixed point to settle on). So a colour pixel matches
 * when it equals the saved pixel taken to B,G,R and back with the library's
 * own conversions: exactly what a file that kept the B,G,R bytes faithfully
 * must give. The largest B,G,R difference to the original is shown beside it.
 *
 * Each run makes one temporary directory (under $TMPDIR, else /tmp) for the
 * swap files and the demo's files, and removes it before it exits, also
 * when interrupted: Ctrl-C cancels a load through the progress callback.
 * Long operations draw a progress bar on stderr when it is a terminal.
 *
 * Exit status: 0 success; 1 a failure or a mismatch; 2 a usage error; 130
 * interrupted.
 */
#define _POSIX_C_SOURCE 200809L
#include "data_dir.h"
#include "quillimg.h"
#include "quillstd.h"
#include "quill_tool.h"
#include "quill_vectorise.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* M_PI is not part of strict C99 with POSIX. */
#define kPi 3.14159265358979323846


enum { kPathBytes = 4096 };

/* Frames are built and compared this many rows at a time: a whole number of
 * tile rows, so that each tile is decoded and coded once per band. */
enum { kTileSide = 128 };

volatile sig_atomic_t g_interrupted;

static void on_signal(int signal_number) {
    (void)signal_number;
    g_interrupted = 1;
}

double seconds_now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static const char *kind_name(int kind) {
    switch (kind) {
    case QI_KIND_BILEVEL:
        return "bilevel";
    case QI_KIND_GREY:
        return "grey";
    case QI_KIND_PALETTE:
        return "palette";
    case QI_KIND_COLOUR:
        return "colour";
    default:
        return "unknown";
    }
}

/* A byte count with thousands separators, in one of a few rotating buffers
 * so that several fit in one printf. */
const char *bytes_text(long long n) {
    static char texts[4][32];
    static int next;
    char digits[24], *out = texts[next];
    int length, i, o = 0;
    next = (next + 1) % 4;
    length = snprintf(digits, sizeof digits, "%lld", n < 0 ? -n : n);
    if (n < 0)
        out[o++] = '-';
    for (i = 0; i < length; ++i) {
        if (i > 0 && (length - i) % 3 == 0)
            out[o++] = ',';
        out[o++] = digits[i];
    }
    out[o] = 0;
    return out;
}

long long file_size(const char *path) {
    struct stat info;
    return stat(path, &info) == 0 ? (long long)info.st_size : -1;
}

/* ---- Progress --------------------------------------------------------------
 *
 * Each operation announces itself with its message value. We give every slot
 * the address of one of our own copies of the names, so a value is a name
 * exactly when it is one of these addresses: nothing that merely looks like
 * a pointer is ever dereferenced. */

static const char *const kMessageNames[20] = {
    "NewPalette", "NewPalette", "PolyFill", "FileLoad",    "FileSave", "Optimize",  "FixPic",
    "BitBlt",     "Cloning",    "Stretch",  "AffineTrn",   "ColorBounds", "MirrorY", "MirrorX",
    "Rotate180",  "Rotate90",   "Rotate270", "UdelExt",    "YX load",  "YX save"};

static struct {
    int shown;        /* draw the bar at all */
    const char *task; /* the running operation's name */
    int percent;      /* last drawn, -1 when no bar is on the line */
} g_bar = {0, "working", -1};

static void bar_draw(int percent) {
    enum { kBarWidth = 40 };
    static const char kHashes[] = "########################################";
    int filled = percent * kBarWidth / 100;
    if (!g_bar.shown || percent == g_bar.percent)
        return;
    g_bar.percent = percent;
    fprintf(stderr, "\r%-12s [%.*s%*s] %3d%%", g_bar.task, filled, kHashes, kBarWidth - filled, "", percent);
    fflush(stderr);
}

static void bar_clear(void) {
    if (g_bar.shown && g_bar.percent >= 0) {
        fprintf(stderr, "\r%*s\r", 60, "");
        fflush(stderr);
    }
    g_bar.percent = -1;
}

static void bar_start(const char *task) {
    bar_clear();
    g_bar.task = task;
    bar_draw(0);
}

static const char *message_name(intptr_t value) {
    int slot;
    for (slot = 0; slot < 20; ++slot)
        if (value == (intptr_t)kMessageNames[slot])
            return kMessageNames[slot];
    return NULL;
}

/* The library's callback: 0, the message value, 1..99, 100; 101 after a
 * cancel. Answering 0 asks for the cancel, which Ctrl-C does. */
static int on_progress(intptr_t value) {
    const char *name = message_name(value);
    if (name)
        bar_start(name);
    else if (value == 0) {
        /* The name follows at once; draw nothing until it or a percentage. */
        bar_clear();
        g_bar.task = "working";
    }
    else if (value >= 1 && value <= 99)
        bar_draw((int)value);
    else if (value == 100 || value == 101) /* done, or cancelled */
        bar_clear();
    return g_interrupted ? 0 : 1;
}

/* ---- Session: the library, its swap directory ------------------------------ */

/* Removes the session directory and what is left in it: it is our own
 * mkdtemp directory, flat, so nothing outside it is touched. */
static void remove_directory(const char *path) {
    DIR *listing = opendir(path);
    struct dirent *entry;
    char name[kPathBytes];
    while (listing && (entry = readdir(listing)) != NULL) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        snprintf(name, sizeof name, "%s/%s", path, entry->d_name);
        unlink(name);
    }
    if (listing)
        closedir(listing);
    if (rmdir(path) != 0)
        fprintf(stderr, "quill: could not remove %s: %s\n", path, strerror(errno));
}

int session_start(Session *s) {
    const char *parent = getenv("TMPDIR");
    const char *data = getenv("QUILL_DATA_DIR");
    int slot, length;
    memset(s, 0, sizeof *s);
    if (!parent || !*parent)
        parent = "/tmp";
    length = snprintf(s->directory, sizeof s->directory, "%s/quill-XXXXXX", parent);
    if (length < 0 || length >= (int)sizeof s->directory)
        snprintf(s->directory, sizeof s->directory, "/tmp/quill-XXXXXX");
    if (!mkdtemp(s->directory)) {
        fprintf(stderr, "quill: cannot make a temporary directory in %s: %s\n", parent, strerror(errno));
        return 0;
    }
    if (!data || !*data) {
        static char installed[4096];
        data = quill_default_data_dir(installed, sizeof installed);
    }
    if (strlen(data) >= kDirectoryBytes) {
        /* The lossy tile coding is then unavailable: only tile files that
         * use it fail to load. */
        fprintf(stderr, "quill: data directory name too long, lossy tile coding off: %s\n", data);
        data = s->directory;
    }
    g_bar.shown = isatty(STDERR_FILENO);
    if (!QI_InitFrameFunctions(data, s->directory, on_progress)) {
        fprintf(stderr, "quill: the library did not start (out of memory?)\n");
        remove_directory(s->directory);
        return 0;
    }
    /* After the start, which sets the default values. */
    for (slot = 0; slot < 20; ++slot)
        QI_SetMessage(slot, (intptr_t)kMessageNames[slot]);
    s->started = 1;
    return 1;
}

/* Stops the library, which deletes every frame left and its swap file. */
void session_stop(Session *s) {
    bar_clear();
    if (s->started)
        QI_CloseFrameFunctions();
    s->started = 0;
    remove_directory(s->directory);
}

/* ---- File names ------------------------------------------------------------ */

/* The extension as the library reads it (after the last ".", unless a
 * directory separator or drive colon follows), upper-cased; "" for none. */
static void extension_of(const char *name, char *out, size_t capacity) {
    const char *dot = strrchr(name, '.');
    size_t i = 0;
    out[0] = 0;
    if (!dot || strpbrk(dot, "/\\:"))
        return;
    for (++dot; *dot && i + 1 < capacity; ++dot)
        out[i++] = (char)toupper((unsigned char)*dot);
    out[i] = 0;
}

static int readable_extension(const char *extension) {
    static const char *const known[] = {"TIF", "PCX", "EPS", "_PA", "YX"};
    size_t i;
    for (i = 0; i < sizeof known / sizeof known[0]; ++i)
        if (strcmp(extension, known[i]) == 0)
            return 1;
    return 0;
}

/* The kinds of file of a format that the library does not load, named in
 * the messages of a file whose header or pixels do not load, so that the
 * user can tell an unsupported file from a damaged one; null when there is
 * nothing to name. The tool sees only the public interface, which does not
 * say why a load failed, so the message names every such kind. */
static const char *kinds_not_loaded(const char *extension) {
    static const char kTiff[] =
        "tiled TIFF, planar colour (PlanarConfiguration 2), bit-reversed fill order (FillOrder 2),\n"
        "  Group 3 coding (Compression 3), samples of more than 8 bits, and compressions other than\n"
        "  none, modified Huffman, T.6, LZW and PackBits";
    static const char kEps[] =
        "EPS files without a TIFF preview, and previews of the TIFF kinds not loaded: tiled TIFF,\n"
        "  planar colour, bit-reversed fill order, Group 3 coding, samples of more than 8 bits";
    static const char kPcx[] =
        "PCX other than 1-bit bilevel, palette images of up to 8 bits and 24-bit colour in three planes";
    static const char kYx[] =
        "tiles of the lossy coding when its tables (magadan.XY, urupinsk.XY) are not in the data\n"
        "  directory (QUILL_DATA_DIR, else share/quill beside the tool)";
    if (strcmp(extension, "TIF") == 0)
        return kTiff;
    if (strcmp(extension, "EPS") == 0)
        return kEps;
    if (strcmp(extension, "PCX") == 0)
        return kPcx;
    if (strcmp(extension, "YX") == 0)
        return kYx;
    return NULL;
}

static int writable_extension(const char *extension) {
    return strcmp(extension, "TIF") == 0 || strcmp(extension, "PCX") == 0 || strcmp(extension, "YX") == 0;
}

/* The stem of the demo's files made from a user's file: its name without
 * directories and extension, plus ".roundtrip", so that a --keep directory
 * holding the file itself never has it overwritten. */
static void file_stem(const char *name, char *out, size_t capacity) {
    const char *base = strrchr(name, '/'), *dot;
    size_t length;
    base = base ? base + 1 : name;
    dot = strrchr(base, '.');
    length = dot && dot != base ? (size_t)(dot - base) : strlen(base);
    if (length > capacity - 16)
        length = capacity - 16;
    snprintf(out, capacity, "%.*s.roundtrip", (int)length, base);
}

static const char kFormatsHelp[] = "read .tif .pcx .yx .eps ._pa; write .tif .pcx .yx";

/* ---- Frames ----------------------------------------------------------------- */

typedef struct {
    int width, height, kind, mode;
    int paletteEntries; /* 0: none */
} FrameFacts;

static int frame_facts(int frame, FrameFacts *facts) {
    const QI_FrameRecord *record = QI_FrameGetData(frame);
    memset(facts, 0, sizeof *facts);
    if (!record)
        return 0;
    facts->width = record->width;
    facts->height = record->height;
    facts->kind = record->kind;
    facts->mode = record->mode;
    if (record->palette != 0) {
        /* Only while locked does the record hold the palette block's
         * address; the frame is left locked or not as it was. */
        int wasLocked = record->locked;
        if (QI_FrameLock(frame)) {
            record = QI_FrameGetData(frame);
            if (record && record->palette > 1)
                facts->paletteEntries = ((const uint8_t *)record->palette)[0] + 1;
            if (!wasLocked)
                QI_FrameUnlock(frame);
        }
    }
    return 1;
}

static long long raw_bytes(const FrameFacts *f) {
    return (long long)QI_GetLineBWi(f->kind, f->width) * f->height;
}

static void print_frame(const char *indent, int frame, const FrameFacts *f) {
    long long held = QI_FrameResourceSize(frame);
    printf("%s%d x %d %s frame", indent, f->width, f->height, kind_name(f->kind));
    if (f->paletteEntries)
        printf(" carrying a %d-colour palette", f->paletteEntries);
    printf("\n%s%s bytes of tile records (%s raw, %.1f%%)\n", indent, bytes_text(held), bytes_text(raw_bytes(f)),
           raw_bytes(f) > 0 ? 100.0 * (double)held / (double)raw_bytes(f) : 0.0);
}

/* Rows per band for a frame of this line width: whole tile rows, about 8 MB
 * at most (one tile row for lines too wide for that). */
static int band_rows(uint32_t line, int height) {
    long long rows = ((8LL << 20) / ((long long)line * kTileSide)) * kTileSide;
    if (rows < kTileSide)
        rows = kTileSide;
    return rows > height ? height : (int)rows;
}

/* ---- Comparison --------------------------------------------------------------- */

typedef struct {
    long long differing; /* pixels that do not match */
    int maxBgr;          /* colour: largest B,G,R difference to the original */
    int viaBgr;          /* colour compared through B,G,R (see the top) */
    const char *problem; /* a reason the frames cannot match at all */
} Verdict;

static long long differing_pixels(const uint8_t *a, const uint8_t *b, uint32_t line, int kind, int width, int rows) {
    long long count = 0;
    int y, x;
    for (y = 0; y < rows; ++y) {
        const uint8_t *p = a + (size_t)y * line, *q = b + (size_t)y * line;
        if (kind == QI_KIND_BILEVEL) {
            for (x = 0; x < width; ++x)
                count += ((p[x >> 3] ^ q[x >> 3]) >> (7 - (x & 7))) & 1;
        } else if (kind == QI_KIND_GREY) {
            for (x = 0; x < width; ++x)
                count += p[x] != q[x];
        } else {
            for (x = 0; x < width; ++x)
                count += memcmp(p + 3 * x, q + 3 * x, 3) != 0;
        }
    }
    return count;
}

static int largest_difference(const uint8_t *a, const uint8_t *b, uint32_t line, int bytesPerRow, int rows) {
    int largest = 0, y, i;
    for (y = 0; y < rows; ++y)
        for (i = 0; i < bytesPerRow; ++i) {
            int d = abs((int)a[(size_t)y * line + i] - (int)b[(size_t)y * line + i]);
            if (d > largest)
                largest = d;
        }
    return largest;
}

/* Compares `loaded` with `original`, band by band. viaBgr: the file held
 * colour as B,G,R, so colour pixels are expected as the original's taken to
 * B,G,R and back. Returns 0 when memory or a read fails. */
static int compare_frames(int original, int loaded, int viaBgr, Verdict *v) {
    FrameFacts o, l;
    uint32_t line, loadedLine;
    uint8_t *a = NULL, *b = NULL, *expected = NULL, *other = NULL;
    int rows, top, ok = 1;
    memset(v, 0, sizeof *v);
    if (!frame_facts(original, &o) || !frame_facts(loaded, &l))
        return 0;
    if (o.width != l.width || o.height != l.height) {
        v->problem = "the size changed";
        return 1;
    }
    /* A colour frame whose palette is all grey comes back as a grey frame,
     * which is widened to colour, (Y, 127, 127), for the comparison; a kind
     * that grew cannot match. */
    if (l.kind > o.kind) {
        v->problem = "the kind changed";
        return 1;
    }
    if (o.paletteEntries && !l.paletteEntries && l.kind == o.kind) {
        v->problem = "the palette was lost";
        return 1;
    }
    v->viaBgr = viaBgr && o.kind == QI_KIND_COLOUR;
    line = QI_GetLineBWi(o.kind, o.width);
    loadedLine = QI_GetLineBWi(l.kind, o.width);
    rows = band_rows(line, o.height);
    a = malloc((size_t)line * rows);
    b = malloc((size_t)line * rows);
    other = malloc((size_t)(loadedLine > line ? loadedLine : line) * rows);
    expected = malloc((size_t)line * rows);
    if (!a || !b || !other || !expected || !QI_FrameLock(original) || !QI_FrameLock(loaded))
        ok = 0;
    bar_start("Comparing");
    for (top = 0; ok && top < o.height; top += rows) {
        int n = o.height - top < rows ? o.height - top : rows;
        QI_Rect band = {0, top, o.width - 1, top + n - 1};
        if (!QI_FrameGetRect(original, &band, a) || !QI_FrameGetRect(loaded, &band, other)) {
            ok = 0;
            break;
        }
        if (l.kind != o.kind)
            QI_DmriConvert(other, o.width, n, l.kind, b, o.kind);
        else
            memcpy(b, other, (size_t)line * n);
        if (v->viaBgr) {
            int d;
            memcpy(expected, a, (size_t)line * n);
            QI_DmriYUVtoBGR(expected, o.width, n);
            memcpy(other, b, (size_t)line * n);
            QI_DmriYUVtoBGR(other, o.width, n);
            d = largest_difference(expected, other, line, 3 * o.width, n);
            if (d > v->maxBgr)
                v->maxBgr = d;
            QI_DmriBGRtoYUV(expected, o.width, n);
            v->differing += differing_pixels(expected, b, line, o.kind, o.width, n);
        } else {
            v->differing += differing_pixels(a, b, line, o.kind, o.width, n);
        }
        bar_draw((int)((long long)(top + n) * 99 / o.height));
    }
    bar_clear();
    QI_FrameUnlock(original);
    QI_FrameUnlock(loaded);
    free(a);
    free(b);
    free(other);
    free(expected);
    return ok;
}

/* ---- Building frames band by band -------------------------------------------- */

/* What a band filler writes: packed bilevel rows, grey bytes, palette
 * indices or B,G,R pixels, with lines of QI_GetLineBWi(that kind, width). */
typedef void (*BandFiller)(uint8_t *rows, uint32_t line, int top, int count, int width);

/* Makes a frame of `width` x `height` from the rows `fill` gives, one band of
 * tile rows at a time. fillKind 3 (indices) makes a colour frame carrying
 * `palette` (a Y,U,V palette record); fillKind 4 gives B,G,R, turned to
 * Y,U,V here as a host's decoder would. Returns the frame, or -1. */
static int make_frame(int width, int height, int fillKind, const uint8_t *palette, int storage, BandFiller fill,
                      const char *task) {
    int frameKind = fillKind == QI_KIND_PALETTE ? QI_KIND_COLOUR : fillKind;
    uint32_t line = QI_GetLineBWi(frameKind, width), fillLine = QI_GetLineBWi(fillKind, width);
    uint8_t *band = malloc((size_t)line * kTileSide), *indices = malloc((size_t)fillLine * kTileSide);
    int frame = QI_FrameCreate(width, height, frameKind, storage, palette, palette ? 1 : 0);
    int top, ok = band && indices && frame >= 0 && QI_FrameLock(frame);
    bar_start(task);
    for (top = 0; ok && top < height; top += kTileSide) {
        int n = height - top < kTileSide ? height - top : kTileSide, y, x;
        QI_Rect rect = {0, top, width - 1, top + n - 1};
        if (fillKind == QI_KIND_PALETTE) {
            fill(indices, fillLine, top, n, width);
            for (y = 0; y < n; ++y)
                for (x = 0; x < width; ++x)
                    memcpy(band + (size_t)y * line + 3 * x, palette + 1 + 4 * indices[(size_t)y * fillLine + x], 3);
        } else {
            fill(band, line, top, n, width);
            if (fillKind == QI_KIND_COLOUR)
                QI_DmriBGRtoYUV(band, width, n);
        }
        ok = QI_FrameSetRect(frame, &rect, band, frameKind, -1, -1);
        bar_draw((int)((long long)(top + n) * 99 / height));
    }
    bar_clear();
    free(band);
    free(indices);
    if (frame >= 0)
        QI_FrameUnlock(frame);
    if (!ok && frame >= 0) {
        QI_FrameDelete(frame);
        frame = -1;
    }
    return frame;
}

/* ---- The drawing sheet ---------------------------------------------------------
 *
 * Every primitive draws only the rows of the current band (a window of the
 * page), so the page is drawn once per band without being held whole. */

enum { kSheetWidth = 7000, kSheetHeight = 5000 };

typedef struct {
    uint8_t *rows;
    uint32_t line;
    int top, bottom; /* page rows held, inclusive */
    int width;
} Band;

static int imin(int a, int b) { return a < b ? a : b; }
static int imax(int a, int b) { return a > b ? a : b; }

static uint32_t mix(uint32_t a, uint32_t b) {
    uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u + (a << 6) + (a >> 2));
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    h ^= h >> 15;
    return h;
}

static int band_touches(const Band *b, int y0, int y1) { return y1 >= b->top && y0 <= b->bottom; }

static void span(const Band *b, int y, int x0, int x1) {
    uint8_t *row;
    int x;
    if (y < b->top || y > b->bottom)
        return;
    x0 = imax(x0, 0);
    x1 = imin(x1, b->width - 1);
    row = b->rows + (size_t)(y - b->top) * b->line;
    for (x = x0; x <= x1; ++x)
        row[x >> 3] &= (uint8_t) ~(0x80u >> (x & 7));
}

static void fill_rect(const Band *b, int x0, int y0, int x1, int y1) {
    int y;
    for (y = imax(y0, b->top); y <= imin(y1, b->bottom); ++y)
        span(b, y, x0, x1);
}

static void box(const Band *b, int x0, int y0, int x1, int y1, int t) {
    fill_rect(b, x0, y0, x1, y0 + t - 1);
    fill_rect(b, x0, y1 - t + 1, x1, y1);
    fill_rect(b, x0, y0, x0 + t - 1, y1);
    fill_rect(b, x1 - t + 1, y0, x1, y1);
}

/* A straight line t pixels thick: steep lines as one span per row, shallow
 * ones as one column of t pixels per x. */
static void line_to(const Band *b, int x0, int y0, int x1, int y1, int t) {
    int dx = x1 - x0, dy = y1 - y0, x, y, k;
    if (!band_touches(b, imin(y0, y1) - t, imax(y0, y1) + t))
        return;
    if (abs(dy) >= abs(dx)) {
        if (dy < 0) {
            line_to(b, x1, y1, x0, y0, t);
            return;
        }
        if (dy == 0) {
            fill_rect(b, x0 - t / 2, y0 - t / 2, x0 - t / 2 + t - 1, y0 - t / 2 + t - 1);
            return;
        }
        for (y = imax(y0, b->top); y <= imin(y1, b->bottom); ++y) {
            x = x0 + (int)lround((double)(y - y0) * dx / dy);
            span(b, y, x - t / 2, x - t / 2 + t - 1);
        }
        return;
    }
    if (dx < 0) {
        line_to(b, x1, y1, x0, y0, t);
        return;
    }
    for (x = x0; x <= x1; ++x) {
        y = y0 + (int)lround((double)(x - x0) * dy / dx) - t / 2;
        if (y > b->bottom || y + t - 1 < b->top)
            continue;
        for (k = 0; k < t; ++k)
            span(b, y + k, x, x);
    }
}

static void dashed_line(const Band *b, int x0, int y0, int x1, int y1, int dash, int gap, int t) {
    double length = hypot(x1 - x0, y1 - y0), s;
    if (length < 1 || !band_touches(b, imin(y0, y1) - t, imax(y0, y1) + t))
        return;
    for (s = 0; s < length; s += dash + gap) {
        double e = s + dash < length ? s + dash : length;
        line_to(b, x0 + (int)lround((x1 - x0) * s / length), y0 + (int)lround((y1 - y0) * s / length),
                x0 + (int)lround((x1 - x0) * e / length), y0 + (int)lround((y1 - y0) * e / length), t);
    }
}

/* A ring of outer radius r, t pixels wide (t >= r fills the disc). */
static void ring(const Band *b, int cx, int cy, int r, int t) {
    int y, inner = r - t;
    for (y = imax(cy - r, b->top); y <= imin(cy + r, b->bottom); ++y) {
        double dy = y - cy;
        int outer = (int)lround(sqrt((double)r * r - dy * dy));
        if (inner <= 0 || fabs(dy) >= inner) {
            span(b, y, cx - outer, cx + outer);
        } else {
            int in = (int)lround(sqrt((double)inner * inner - dy * dy));
            span(b, y, cx - outer, cx - in);
            span(b, y, cx + in, cx + outer);
        }
    }
}

static void dashed_circle(const Band *b, int cx, int cy, int r, int pieces, int t) {
    int i;
    if (!band_touches(b, cy - r - t, cy + r + t))
        return;
    for (i = 0; i < pieces; ++i) {
        double a0 = 2 * kPi * i / pieces, a1 = 2 * kPi * (i + 0.7) / pieces;
        line_to(b, cx + (int)lround(r * cos(a0)), cy + (int)lround(r * sin(a0)), cx + (int)lround(r * cos(a1)),
                cy + (int)lround(r * sin(a1)), t);
    }
}

/* One-pixel hatching of row y between xa and xb: the pixels on the
 * diagonals x + y (dir 1) or x - y (dir -1) that are multiples of `step`. */
static void hatch_row(const Band *b, int y, int xa, int xb, int step, int dir) {
    int phase = dir > 0 ? y : -y, x;
    for (x = xa + ((-(xa + phase)) % step + step) % step; x <= xb; x += step)
        span(b, y, x, x);
}

static void hatch_rect(const Band *b, int x0, int y0, int x1, int y1, int step, int dir) {
    int y;
    for (y = imax(y0, b->top); y <= imin(y1, b->bottom); ++y)
        hatch_row(b, y, x0, x1, step, dir);
}

/* Text-like marks: each character is a few strokes of a 4 x 6 grid, `k`
 * pixels a unit, chosen from the character's hash; one in six is a space. */
static void text(const Band *b, int x, int y, int count, int k, uint32_t seed) {
    static const signed char kStrokes[12][4] = {
        {0, 0, 4, 0}, {0, 3, 4, 3}, {0, 6, 4, 6}, {0, 0, 0, 3}, {0, 3, 0, 6}, {4, 0, 4, 3},
        {4, 3, 4, 6}, {2, 0, 2, 6}, {0, 6, 4, 0}, {0, 0, 4, 6}, {0, 3, 2, 0}, {2, 6, 4, 3}};
    int i, s, t = k >= 4 ? 2 + (k >= 7) : 1 + (k >= 3);
    if (!band_touches(b, y - t, y + 6 * k + t))
        return;
    for (i = 0; i < count; ++i) {
        uint32_t h = mix(seed, (uint32_t)i);
        int strokes = 2 + (int)(h % 4), cx = x + i * 6 * k;
        if (h % 6 == 5)
            continue;
        for (s = 0; s < strokes; ++s) {
            const signed char *p = kStrokes[(h >> (4 + 4 * s)) % 12];
            line_to(b, cx + p[0] * k, y + p[1] * k, cx + p[2] * k, y + p[3] * k, t);
        }
    }
}

/* A dimension: a thin line with arrow heads, and its label above it. */
static void dimension(const Band *b, int x0, int y0, int x1, int y1, uint32_t label) {
    double length = hypot(x1 - x0, y1 - y0), ux = (x1 - x0) / length, uy = (y1 - y0) / length;
    int ax = (int)lround(45 * ux), ay = (int)lround(45 * uy), px = (int)lround(14 * -uy), py = (int)lround(14 * ux);
    line_to(b, x0, y0, x1, y1, 1);
    line_to(b, x0, y0, x0 + ax + px, y0 + ay + py, 2);
    line_to(b, x0, y0, x0 + ax - px, y0 + ay - py, 2);
    line_to(b, x1, y1, x1 - ax + px, y1 - ay + py, 2);
    line_to(b, x1, y1, x1 - ax - px, y1 - ay - py, 2);
    text(b, (x0 + x1) / 2 - 60, (y0 + y1) / 2 - 40, 5, 4, label);
}

static void draw_border(const Band *b) {
    int i, zoneW = (kSheetWidth - 120) / 8, zoneH = (kSheetHeight - 120) / 6;
    box(b, 20, 20, kSheetWidth - 21, kSheetHeight - 21, 2);
    box(b, 60, 60, kSheetWidth - 61, kSheetHeight - 61, 12);
    for (i = 1; i < 8; ++i) {
        line_to(b, 60 + i * zoneW, 20, 60 + i * zoneW, 60, 3);
        line_to(b, 60 + i * zoneW, kSheetHeight - 61, 60 + i * zoneW, kSheetHeight - 21, 3);
    }
    for (i = 0; i < 8; ++i) {
        text(b, 60 + i * zoneW + zoneW / 2 - 10, 28, 1, 4, 100 + (uint32_t)i);
        text(b, 60 + i * zoneW + zoneW / 2 - 10, kSheetHeight - 54, 1, 4, 100 + (uint32_t)i);
    }
    for (i = 1; i < 6; ++i) {
        line_to(b, 20, 60 + i * zoneH, 60, 60 + i * zoneH, 3);
        line_to(b, kSheetWidth - 61, 60 + i * zoneH, kSheetWidth - 21, 60 + i * zoneH, 3);
    }
    for (i = 0; i < 6; ++i) {
        text(b, 30, 60 + i * zoneH + zoneH / 2 - 12, 1, 4, 200 + (uint32_t)i);
        text(b, kSheetWidth - 50, 60 + i * zoneH + zoneH / 2 - 12, 1, 4, 200 + (uint32_t)i);
    }
}

/* Title block and parts list in the bottom right corner: ruled cells full
 * of small text. */
static void draw_title_block(const Band *b) {
    int x0 = kSheetWidth - 61 - 2400, y0 = kSheetHeight - 61 - 800, x1 = kSheetWidth - 61, y1 = kSheetHeight - 61;
    int py0 = y0 - 1100, y, row;
    static const int kColumns[] = {150, 1250, 1650, 2050};
    size_t c;
    box(b, x0, y0, x1, y1, 6);
    line_to(b, x0 + 600, y0, x0 + 600, y1, 4);
    for (y = y0 + 200, row = 0; y < y1; y += 100, ++row) {
        line_to(b, x0 + 600, y, x1, y, row == 0 ? 4 : 1);
        text(b, x0 + 620, y + 12, 8, 2, 300 + (uint32_t)row);
        text(b, x0 + 1100, y + 40, 30, 3, 400 + (uint32_t)row);
    }
    line_to(b, x0 + 1700, y0 + 200, x0 + 1700, y1, 2);
    text(b, x0 + 650, y0 + 50, 28, 8, 999);
    ring(b, x0 + 300, y0 + 400, 220, 10); /* the company's mark */
    line_to(b, x0 + 120, y0 + 620, x0 + 480, y0 + 180, 10);
    box(b, x0, py0, x1, y0, 4);
    for (y = py0 + 50, row = 0; y < y0; y += 50, ++row) {
        line_to(b, x0, y, x1, y, row == 0 ? 3 : 1);
        for (c = 0; c < sizeof kColumns / sizeof kColumns[0]; ++c)
            text(b, x0 + (c ? kColumns[c - 1] : 0) + 15, y + 14, c == 1 ? 40 : 8, 3,
                 500 + 10 * (uint32_t)row + (uint32_t)c);
    }
    for (c = 0; c < sizeof kColumns / sizeof kColumns[0]; ++c)
        line_to(b, x0 + kColumns[c], py0, x0 + kColumns[c], y0, 2);
}

/* The main view: a flange with its bore, a hexagon boss, bolt holes on a
 * dashed pitch circle, centre lines and dimensions. */
static void draw_flange(const Band *b) {
    const int cx = 1900, cy = 1900;
    int i;
    ring(b, cx, cy, 1150, 8);
    ring(b, cx, cy, 1080, 2);
    ring(b, cx, cy, 480, 6);
    for (i = 0; i < 6; ++i) {
        double a0 = kPi / 3 * i, a1 = kPi / 3 * (i + 1);
        line_to(b, cx + (int)lround(380 * cos(a0)), cy + (int)lround(380 * sin(a0)), cx + (int)lround(380 * cos(a1)),
                cy + (int)lround(380 * sin(a1)), 5);
    }
    ring(b, cx, cy, 180, 180); /* the bore, shown solid */
    dashed_circle(b, cx, cy, 820, 48, 1);
    for (i = 0; i < 8; ++i) {
        double a = kPi / 4 * i + kPi / 8;
        int hx = cx + (int)lround(820 * cos(a)), hy = cy + (int)lround(820 * sin(a));
        ring(b, hx, hy, 95, 4);
        dashed_line(b, hx - 130, hy, hx + 130, hy, 40, 12, 1);
        dashed_line(b, hx, hy - 130, hx, hy + 130, 40, 12, 1);
    }
    dashed_line(b, cx - 1300, cy, cx + 1300, cy, 90, 20, 1);
    dashed_line(b, cx, cy - 1300, cx, cy + 1300, 90, 20, 1);
    dashed_line(b, cx - 920, cy - 920, cx + 920, cy + 920, 90, 20, 1);
    dashed_line(b, cx - 920, cy + 920, cx + 920, cy - 920, 90, 20, 1);
    dimension(b, cx - 1150, cy + 1320, cx + 1150, cy + 1320, 700);
    line_to(b, cx - 1150, cy + 20, cx - 1150, cy + 1360, 1);
    line_to(b, cx + 1150, cy + 20, cx + 1150, cy + 1360, 1);
    dimension(b, cx + (int)lround(480 * cos(-kPi / 3)), cy + (int)lround(480 * sin(-kPi / 3)),
              cx + (int)lround(1150 * cos(-kPi / 3)), cy + (int)lround(1150 * sin(-kPi / 3)), 701);
    dimension(b, 320, cy - 480, 320, cy + 480, 702);
}

/* A section through the part: hatched walls around an unhatched bore, a
 * chamfer at 30 degrees, and a cross-hatched insert. */
static void draw_section(const Band *b) {
    const int x0 = 3400, x1 = 4700, y0 = 800, y1 = 3000;
    hatch_rect(b, x0, y0, x1, 1700, 22, 1);
    hatch_rect(b, x0, 2100, x1, y1, 22, 1);
    hatch_rect(b, x0 + 400, y0 + 100, x0 + 800, y0 + 500, 14, -1);
    box(b, x0, y0, x1, y1, 6);
    box(b, x0 - 2, 1700, x1 + 2, 2100, 4);
    line_to(b, x1 - 150, y0, x1, y0 + 87, 5); /* 30 degrees */
    line_to(b, x1 - 150, y1, x1, y1 - 87, 5);
    dashed_line(b, x0 - 150, 1900, x1 + 150, 1900, 90, 20, 1);
    dimension(b, x0, y0 - 140, x1, y0 - 140, 710);
    dimension(b, x0 - 170, y0, x0 - 170, y1, 711);
}

/* A fan of rays every 7.5 degrees and a graph-paper detail with a plotted
 * curve: lines at every slope, thin and thick. */
static void draw_studies(const Band *b) {
    const int fx = 5750, fy = 2600, gx0 = 4950, gy0 = 230, gx1 = 6850, gy1 = 1480;
    int i, x, y;
    for (i = 0; i <= 24; ++i) {
        double a = kPi * i / 24;
        line_to(b, fx, fy, fx + (int)lround(900 * cos(a)), fy - (int)lround(900 * sin(a)), 1 + i % 3);
    }
    for (x = gx0; x <= gx1; x += 25)
        line_to(b, x, gy0, x, gy1, (x - gx0) % 125 == 0 ? 3 : 1);
    for (y = gy0; y <= gy1; y += 25)
        line_to(b, gx0, y, gx1, y, (y - gy0) % 125 == 0 ? 3 : 1);
    for (x = gx0; x < gx1; x += 10) {
        int ya = (gy0 + gy1) / 2 + (int)lround(420 * sin((x - gx0) / 180.0) * exp(-(x - gx0) / 1500.0));
        int yb = (gy0 + gy1) / 2 + (int)lround(420 * sin((x + 10 - gx0) / 180.0) * exp(-(x + 10 - gx0) / 1500.0));
        line_to(b, x, ya, x + 10, yb, 4);
    }
    /* Long lines of gentle slope, hard on run coders: one or two pixels of
     * step every few hundred pixels. */
    for (i = 1; i <= 5; ++i)
        line_to(b, 200, 3250 + 40 * i, 4300, 3250 + 40 * i - (int)lround(4100 * tan(i * kPi / 360)), 2);
}

static void draw_notes(const Band *b) {
    int i;
    text(b, 200, 3600, 12, 6, 800);
    for (i = 0; i < 28; ++i)
        text(b, 200, 3720 + i * 40, 60 + (int)(mix(801, (uint32_t)i) % 50), 3, 810 + (uint32_t)i);
}

static void fill_sheet(uint8_t *rows, uint32_t line, int top, int count, int width) {
    Band b;
    b.rows = rows;
    b.line = line;
    b.top = top;
    b.bottom = top + count - 1;
    b.width = width;
    memset(rows, 0xFF, (size_t)line * count);
    draw_border(&b);
    draw_title_block(&b);
    draw_flange(&b);
    draw_section(&b);
    draw_studies(&b);
    draw_notes(&b);
}

/* ---- The pictures ----------------------------------------------------------------- */

enum { kPictureWidth = 1600, kPictureHeight = 1200, kMapWidth = 1000, kMapHeight = 700 };

static int noise(int x, int y, int amplitude) { return (int)(mix((uint32_t)x, (uint32_t)y) % (uint32_t)(2 * amplitude + 1)) - amplitude; }

static uint8_t clamp_byte(double v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : lround(v)); }

/* A landscape: sky shading, a soft sun, hills with a textured ground, a
 * house with hard edges; values in 0..1 per channel weight. */
static double landscape(int x, int y, int channel) {
    static const double kSky[3] = {0.95, 0.75, 0.55}, kGround[3] = {0.25, 0.55, 0.35}, kSun[3] = {0.6, 0.9, 1.0},
                        kWall[3] = {0.55, 0.65, 0.85};
    double u = (double)x / kPictureWidth, v = (double)y / kPictureHeight;
    double horizon = 0.58 + 0.07 * sin(u * 7.0) + 0.03 * sin(u * 19.0 + 1.0);
    double sx = u - 0.75, sy = (v - 0.22) * 0.75, sun = exp(-(sx * sx + sy * sy) / 0.004);
    if (u > 0.2 && u < 0.38 && v > horizon - 0.22 && v < horizon + 0.02) {
        int window = fmod(u * 60, 2.0) < 1.0 && fmod(v * 40, 2.0) < 1.0;
        return window ? 0.1 : kWall[channel];
    }
    if (v > horizon)
        return kGround[channel] * (0.8 + 0.2 * sin(x * 0.05) * cos(y * 0.031)) + 0.15 * (v - horizon);
    return kSky[channel] * (0.65 + 0.35 * v / horizon) + kSun[channel] * sun * 0.6;
}

static void fill_grey(uint8_t *rows, uint32_t line, int top, int count, int width) {
    int y, x;
    for (y = 0; y < count; ++y)
        for (x = 0; x < width; ++x) {
            double level = 0.3 * landscape(x, top + y, 2) + 0.59 * landscape(x, top + y, 1) + 0.11 * landscape(x, top + y, 0);
            rows[(size_t)y * line + x] = clamp_byte(level * 255 + noise(x, top + y, 3));
        }
}

static void fill_colour(uint8_t *rows, uint32_t line, int top, int count, int width) {
    int y, x, c;
    for (y = 0; y < count; ++y)
        for (x = 0; x < width; ++x)
            for (c = 0; c < 3; ++c)
                rows[(size_t)y * line + 3 * x + c] = clamp_byte(landscape(x, top + y, c) * 255 + noise(x, top + y + 7919 * c, 2));
}

/* A zoning map: coloured cells around 36 seeds, black borders between
 * cells, two white roads. Palette entry 0 is white, 1 black. */
static void fill_map(uint8_t *rows, uint32_t line, int top, int count, int width) {
    enum { kSeeds = 36 };
    int y, x, i;
    for (y = 0; y < count; ++y)
        for (x = 0; x < width; ++x) {
            int py = top + y, best = 0;
            double d1 = 1e30, d2 = 1e30;
            uint8_t index;
            for (i = 0; i < kSeeds; ++i) {
                double sx = mix(1, (uint32_t)i) % kMapWidth, sy = mix(2, (uint32_t)i) % kMapHeight;
                double d = hypot(x - sx, py - sy);
                if (d < d1) {
                    d2 = d1;
                    d1 = d;
                    best = i;
                } else if (d < d2) {
                    d2 = d;
                }
            }
            index = (uint8_t)(2 + best % 14);
            if (d2 - d1 < 2.0)
                index = 1;
            if (abs(py - 350 - (x - 500) / 3) < 6 || abs(x - 620 - (py - 350) / 4) < 5)
                index = 0;
            rows[(size_t)y * line + x] = index;
        }
}

/* The map's palette as a frame holds it: Y,U,V entries. */
static void map_palette(uint8_t record[1025]) {
    static const uint8_t kBgr[16][3] = {
        {255, 255, 255}, {0, 0, 0},     {60, 180, 75},  {75, 25, 230},  {25, 225, 255}, {200, 130, 0},
        {48, 130, 245},  {180, 30, 145}, {240, 240, 70}, {230, 50, 240}, {60, 245, 210}, {212, 190, 250},
        {128, 128, 0},   {255, 190, 220}, {40, 110, 170}, {128, 0, 128}};
    int i;
    memset(record, 0, 1025);
    record[0] = 15;
    for (i = 0; i < 16; ++i) {
        uint8_t pixel[4] = {kBgr[i][0], kBgr[i][1], kBgr[i][2], 0};
        QI_DmriBGRtoYUV(pixel, 1, 1);
        memcpy(record + 1 + 4 * i, pixel, 3);
    }
}

/* ---- Commands ----------------------------------------------------------------------- */

typedef struct {
    int storage;
    const char *keep; /* demo: directory that keeps the files written */
    int argc;         /* operands, options removed */
    char **argv;
} Options;

static int storage_value(const char *text) {
    if (strcmp(text, "memory") == 0)
        return QI_STORAGE_MEMORY;
    if (strcmp(text, "swap") == 0)
        return QI_STORAGE_SWAP;
    return 0;
}

static const char *storage_name(int storage) { return storage == QI_STORAGE_SWAP ? "swap file" : "memory"; }

/* Loads `name` with a report; returns the frame or -1 (reported). */
static int load_reported(const char *name, int storage, const char *indent) {
    char extension[16];
    int width = 0, height = 0, kind, frame;
    double start;
    FrameFacts facts;
    extension_of(name, extension, sizeof extension);
    if (!readable_extension(extension)) {
        fprintf(stderr, "quill: %s: unknown extension (%s)\n", name, kFormatsHelp);
        return -1;
    }
    if (access(name, R_OK) != 0) {
        fprintf(stderr, "quill: %s: %s\n", name, strerror(errno));
        return -1;
    }
    kind = QI_FrameFileGetInfo(name, &width, &height);
    if (!kind) {
        fprintf(stderr, "quill: %s: the header does not read: a damaged %s file, or one of a kind not loaded\n", name,
                extension);
        if (kinds_not_loaded(extension))
            fprintf(stderr, "  not loaded: %s\n", kinds_not_loaded(extension));
        return -1;
    }
    printf("%s%s: %d x %d, %s image, %s bytes\n", indent, name, width, height, kind_name(kind),
           bytes_text(file_size(name)));
    start = seconds_now();
    frame = QI_FrameFileLoad(name, storage);
    if (frame < 0) {
        if (g_interrupted)
            fprintf(stderr, "quill: %s: load cancelled\n", name);
        else {
            fprintf(stderr,
                    "quill: %s: the header reads (%d x %d, %s image) but the pixels do not load: a kind of file not\n"
                    "  loaded, damaged data, or a frame too large for the memory or disk at hand\n",
                    name, width, height, kind_name(kind));
            if (kinds_not_loaded(extension))
                fprintf(stderr, "  not loaded: %s\n", kinds_not_loaded(extension));
        }
        return -1;
    }
    printf("%sloaded in %.3f s into a %s frame in %s\n", indent, seconds_now() - start,
           kind_name(QI_FrameGetData(frame)->kind), storage_name(storage));
    frame_facts(frame, &facts);
    print_frame(indent, frame, &facts);
    return frame;
}

static int command_info(const Options *o) {
    Session session;
    int i, status = kExitOk;
    if (o->argc < 1) {
        fprintf(stderr, "quill: info needs at least one FILE\n");
        return kExitUsage;
    }
    if (!session_start(&session))
        return kExitFailed;
    for (i = 0; i < o->argc && !g_interrupted; ++i) {
        int frame = load_reported(o->argv[i], o->storage, "");
        if (frame < 0)
            status = kExitFailed;
        else
            QI_FrameDelete(frame);
        if (i + 1 < o->argc)
            printf("\n");
    }
    session_stop(&session);
    return g_interrupted ? kExitInterrupted : status;
}

static int command_convert(const Options *o) {
    Session session;
    char extension[16];
    const char *in, *out;
    int frame, saved;
    double start;
    if (o->argc != 2) {
        fprintf(stderr, "quill: convert needs IN and OUT\n");
        return kExitUsage;
    }
    in = o->argv[0];
    out = o->argv[1];
    extension_of(out, extension, sizeof extension);
    if (!writable_extension(extension)) {
        if (readable_extension(extension))
            fprintf(stderr, "quill: %s: %s files are read, not written (%s)\n", out, extension, kFormatsHelp);
        else
            fprintf(stderr, "quill: %s: unknown extension (%s)\n", out, kFormatsHelp);
        return kExitUsage;
    }
    if (!session_start(&session))
        return kExitFailed;
    frame = load_reported(in, o->storage, "");
    if (frame < 0) {
        session_stop(&session);
        return g_interrupted ? kExitInterrupted : kExitFailed;
    }
    start = seconds_now();
    saved = QI_FrameFileSave(frame, out);
    if (saved)
        printf("%s: written in %.3f s, %s bytes\n", out, seconds_now() - start, bytes_text(file_size(out)));
    else
        fprintf(stderr, "quill: %s: save failed (cannot write there, disk full, or a size the format cannot hold)\n",
                out);
    QI_FrameDelete(frame);
    session_stop(&session);
    return saved ? kExitOk : kExitFailed;
}

typedef struct {
    int roundTrips, failures;
} Tally;

/* The verdict of a round trip in words; counts a failure. */
static const char *verdict_text(int compared, const Verdict *v, Tally *tally, char *text, size_t capacity) {
    if (!compared)
        snprintf(text, capacity, "comparison FAILED (memory or a tile read)");
    else if (v->problem)
        snprintf(text, capacity, "MISMATCH: %s", v->problem);
    else if (v->differing)
        snprintf(text, capacity, "MISMATCH: %s pixels differ", bytes_text(v->differing));
    else if (v->viaBgr)
        snprintf(text, capacity, "match via B,G,R (max B,G,R difference %d)", v->maxBgr);
    else
        snprintf(text, capacity, "match, identical");
    if (!compared || v->problem || v->differing)
        ++tally->failures;
    return text;
}

/* Where the demo's files go: the session directory, where each is deleted
 * once loaded back, or the user's --keep directory, where they stay. */
typedef struct {
    const char *directory;
    int keep;
    const char *scratch; /* the session's temporary directory */
} Output;

/* Saves `frame` as `stem`.`extension`, loads it back and compares. The
 * report is one line, printed when all is done, so that the progress bar on
 * a shared terminal line never cuts into it. */
static void round_trip(const Output *out, int frame, const char *stem, const char *extension, int storage,
                       Tally *tally) {
    char path[kPathBytes], text[96];
    double start, saveTime, loadTime;
    int loaded, width = 0, height = 0, fileKind;
    long long size;
    Verdict v;
    FrameFacts facts;
    snprintf(path, sizeof path, "%s/%s.%s", out->directory, stem, extension);
    ++tally->roundTrips;
    frame_facts(frame, &facts);
    start = seconds_now();
    if (!QI_FrameFileSave(frame, path)) {
        printf("    %-4s save FAILED\n", extension);
        ++tally->failures;
        return;
    }
    saveTime = seconds_now() - start;
    size = file_size(path);
    fileKind = QI_FrameFileGetInfo(path, &width, &height);
    start = seconds_now();
    loaded = QI_FrameFileLoad(path, storage);
    loadTime = seconds_now() - start;
    if (!out->keep)
        unlink(path);
    if (loaded < 0) {
        snprintf(text, sizeof text, "load %s", g_interrupted ? "cancelled" : "FAILED");
        ++tally->failures;
    } else if (width != facts.width || height != facts.height) {
        snprintf(text, sizeof text, "MISMATCH: the file says %d x %d", width, height);
        ++tally->failures;
    } else {
        int compared = compare_frames(frame, loaded, strcmp(extension, "yx") != 0, &v);
        verdict_text(compared, &v, tally, text, sizeof text);
    }
    printf("    %-4s%-8s %12s bytes  save %7.3f s  load %7.3f s  %s\n", extension,
           fileKind ? kind_name(fileKind) : "?", bytes_text(size), saveTime, loadTime, text);
    if (loaded >= 0)
        QI_FrameDelete(loaded);
}

static void round_trips(const Output *out, int frame, const char *stem, int storage, Tally *tally) {
    static const char *const kWritten[] = {"tif", "pcx", "yx"};
    size_t i;
    for (i = 0; i < sizeof kWritten / sizeof kWritten[0] && !g_interrupted; ++i)
        round_trip(out, frame, stem, kWritten[i], storage, tally);
}

typedef struct {
    const char *stem, *what;
    int width, height, fillKind;
    BandFiller fill;
} Sample;

/* The display tour on the drawing (views, windows, drawing through a view),
 * then the drawing warped by 7 degrees and mirrored, saved and loaded back
 * like the samples. */
static void tour_and_warp(const Output *out, int frame, const char *stem, int storage, Tally *tally) {
    char warpedStem[300];
    const char *outDir = out->keep ? out->directory : ".";
    double c = cos(7 * kPi / 180), s = sin(7 * kPi / 180), params[6], start;
    int warped;
    printf("\n");
    if (!quill_tour(frame, out->scratch, outDir))
        ++tally->failures;
    params[0] = c, params[1] = s, params[2] = 0, params[3] = -s, params[4] = c, params[5] = 0;
    start = seconds_now();
    warped = QI_FrameTransform(frame, 1, params, NULL, storage, QI_COLOR_WHITE);
    if (warped < 0 || !QI_FrameMirrorX(warped)) {
        fprintf(stderr, "quill: the warp or the mirror failed\n");
        ++tally->failures;
        if (warped >= 0)
            QI_FrameDelete(warped);
        return;
    }
    printf("drawing turned 7 degrees and mirrored in %.3f s: %d x %d\n", seconds_now() - start,
           QI_FrameGetData(warped)->width, QI_FrameGetData(warped)->height);
    snprintf(warpedStem, sizeof warpedStem, "%s-warped", stem);
    round_trips(out, warped, warpedStem, storage, tally);
    QI_FrameDelete(warped);
}

static int demo_samples(const Output *out, int storage, Tally *tally) {
    static const Sample kSamples[] = {
        {"drawing", "an engineering drawing (A2 at 300 dpi)", kSheetWidth, kSheetHeight, QI_KIND_BILEVEL, fill_sheet},
        {"grey", "a grey picture", kPictureWidth, kPictureHeight, QI_KIND_GREY, fill_grey},
        {"colour", "a colour picture", kPictureWidth, kPictureHeight, QI_KIND_COLOUR, fill_colour},
        {"map", "a colour map carrying a 16-colour palette", kMapWidth, kMapHeight, QI_KIND_PALETTE, fill_map},
    };
    uint8_t palette[1025];
    size_t i;
    map_palette(palette);
    for (i = 0; i < sizeof kSamples / sizeof kSamples[0] && !g_interrupted; ++i) {
        const Sample *sample = &kSamples[i];
        double start = seconds_now();
        FrameFacts facts;
        int frame = make_frame(sample->width, sample->height, sample->fillKind,
                               sample->fillKind == QI_KIND_PALETTE ? palette : NULL, storage, sample->fill, "Drawing");
        if (frame < 0) {
            fprintf(stderr, "quill: making %s failed\n", sample->stem);
            ++tally->failures;
            continue;
        }
        frame_facts(frame, &facts);
        printf("%s: %s, made in %.3f s, 128 rows at a time, in %s\n", sample->stem, sample->what,
               seconds_now() - start, storage_name(storage));
        print_frame("    ", frame, &facts);
        round_trips(out, frame, sample->stem, storage, tally);
        if (sample->fillKind == QI_KIND_BILEVEL && !g_interrupted)
            tour_and_warp(out, frame, sample->stem, storage, tally);
        if (sample->fillKind == QI_KIND_BILEVEL && !g_interrupted && !quill_vectorise_demo(frame, out->keep ? out->directory : ".", sample->stem))
            ++tally->failures;
        QI_FrameDelete(frame);
        printf("\n");
    }
    return 1;
}

static int has_suffix(const char *name, const char *suffix) {
    size_t n = strlen(name), k = strlen(suffix);
    return n >= k && strcmp(name + n - k, suffix) == 0;
}

/* Lists the files the demo leaves: everything in a --keep directory, else
 * the tour's windows and the vectorised drawing in the current directory. */
static void list_written(const char *directory, int everything) {
    DIR *listing = opendir(directory);
    struct dirent *entry;
    printf("files written in %s:\n", directory);
    while (listing && (entry = readdir(listing)) != NULL) {
        const char *name = entry->d_name;
        int tour = strncmp(name, "view-", 5) == 0 && has_suffix(name, ".png");
        if (name[0] != '.' && (everything || tour || has_suffix(name, ".svg") || has_suffix(name, ".dxf")))
            printf("  %s\n", name);
    }
    if (listing)
        closedir(listing);
}

static int command_demo(const Options *o) {
    Session session;
    Tally tally = {0, 0};
    Output out;
    struct stat info;
    if (o->argc > 1) {
        fprintf(stderr, "quill: demo takes at most one FILE\n");
        return kExitUsage;
    }
    if (o->keep && (stat(o->keep, &info) != 0 || !S_ISDIR(info.st_mode))) {
        fprintf(stderr, "quill: --keep %s: not a directory\n", o->keep);
        return kExitUsage;
    }
    if (!session_start(&session))
        return kExitFailed;
    out.directory = o->keep ? o->keep : session.directory;
    out.keep = o->keep != NULL;
    out.scratch = session.directory;
    printf("Quill demo: files saved as TIF, PCX and YX, loaded back and compared with the frame saved.\n"
           "\"match\" means every pixel equal, except colour through TIF and PCX: those files hold B,G,R\n"
           "and frames hold Y,U,V, whose integer conversions are not exact inverses, so a colour pixel\n"
           "matches when it equals the saved pixel taken to B,G,R and back, as a faithful file gives.\n"
           "(files in %s)\n\n",
           out.directory);
    if (o->argc == 1) {
        int frame = load_reported(o->argv[0], o->storage, "");
        if (frame < 0) {
            ++tally.failures;
        } else {
            char stem[256];
            file_stem(o->argv[0], stem, sizeof stem);
            round_trips(&out, frame, stem, o->storage, &tally);
            if (QI_FrameGetData(frame)->kind == QI_KIND_BILEVEL && !g_interrupted) {
                tour_and_warp(&out, frame, stem, o->storage, &tally);
                if (!g_interrupted && !quill_vectorise_demo(frame, out.keep ? out.directory : ".", stem))
                    ++tally.failures;
            }
            QI_FrameDelete(frame);
        }
    } else {
        demo_samples(&out, o->storage, &tally);
    }
    session_stop(&session);
    if (g_interrupted) {
        fprintf(stderr, "quill: interrupted\n");
        return kExitInterrupted;
    }
    list_written(o->keep ? o->keep : ".", o->keep != NULL);
    if (tally.failures) {
        printf("%d of %d round trips FAILED\n", tally.failures, tally.roundTrips);
        return kExitFailed;
    }
    printf("all %d round trips match\n", tally.roundTrips);
    return kExitOk;
}

static void usage(FILE *out) {
    fprintf(out,
            "usage: quill info FILE...                 size and kind of each file, then a timed load\n"
            "       quill convert IN OUT               load IN and save it as OUT\n"
            "       quill vectorise IN OUT.svg|OUT.dxf centre lines with stroke widths (--help for options)\n"
            "       quill demo [FILE] [--keep DIR]     save as TIF, PCX and YX, load back, compare pixels\n"
            "                                          (without FILE: built-in drawing, pictures and map;\n"
            "                                          --keep DIR: keep the files written, in DIR)\n"
            "       quill render IN OUT.png [options]  show IN through a placed view, as a window (see\n"
            "                                          quill render --help)\n"
            "       quill draw IN OUT --shapes FILE    draw polygons and wide lines through a placed view\n"
            "       quill --help\n"
            "options: --storage memory|swap           where loaded frames keep their tiles (default swap)\n"
            "\n"
            "Formats go by extension: %s.\n"
            "._pa files are raw bilevel rows with a .bvl header beside them; .eps files load\n"
            "their TIFF preview; .yx is Quill's own tile file.\n"
            "Environment: TMPDIR (where the temporary directory is made), QUILL_DATA_DIR (the\n"
            "lossy coding tables magadan.XY and urupinsk.XY, for tile files that use them).\n",
            kFormatsHelp);
}

int main(int argc, char **argv) {
    Options options;
    struct sigaction action;
    const char *command;
    int i;
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "help") == 0) {
        usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? kExitUsage : kExitOk;
    }
    command = argv[1];
    if (strcmp(command, "render") == 0)
        return command_render(argc - 2, argv + 2);
    if (strcmp(command, "draw") == 0)
        return command_draw(argc - 2, argv + 2);
    if (strcmp(command, "vectorise") == 0)
        return quill_vectorise_main(argc - 2, argv + 2);
    options.storage = QI_STORAGE_SWAP;
    options.keep = NULL;
    options.argc = 0;
    options.argv = argv + 2; /* operands are packed down in place */
    for (i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--storage") == 0) {
            if (i + 1 >= argc || !(options.storage = storage_value(argv[i + 1]))) {
                fprintf(stderr, "quill: --storage takes memory or swap\n");
                return kExitUsage;
            }
            ++i;
        } else if (strcmp(argv[i], "--keep") == 0 && strcmp(command, "demo") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "quill: --keep takes a directory\n");
                return kExitUsage;
            }
            options.keep = argv[++i];
        } else if (strncmp(argv[i], "--", 2) == 0 && argv[i][2]) {
            fprintf(stderr, "quill: unknown option %s\n", argv[i]);
            return kExitUsage;
        } else {
            options.argv[options.argc++] = argv[i];
        }
    }
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    if (strcmp(command, "info") == 0)
        return command_info(&options);
    if (strcmp(command, "convert") == 0)
        return command_convert(&options);
    if (strcmp(command, "demo") == 0)
        return command_demo(&options);
    fprintf(stderr, "quill: unknown command %s\n\n", command);
    usage(stderr);
    return kExitUsage;
}
