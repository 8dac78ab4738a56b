/*
 * quill_vectorise.h - the vectoriser of the quill tool, a host on the public
 * headers: a bilevel drawing into centre lines with stroke widths (SVG or
 * DXF). The tool's `vectorise` command, the demo and the benchmark use it.
 */
#ifndef QUILL_TOOLS_VECTORISE_H
#define QUILL_TOOLS_VECTORISE_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    int32_t strokeWidth; /* expected stroke width in pixels (graph pruning) */
    int32_t tolerance;   /* fitting tolerance: squared distance, half pixels */
    int progress;        /* draw a progress bar on stderr */
} QuillVectoriseOptions;

/* Seconds spent in each stage, and what was written. */
typedef struct {
    double load, outlines, graph, merging, fitting, writing;
    long strokes, areas, pieces;
} QuillVectoriseStats;

void quill_vectorise_defaults(QuillVectoriseOptions *options);

/*
 * Vectorises a bilevel raster (rows of QV_GetLineBWi(1, width) bytes, 0 bits
 * black; the caller's, not changed) into `svg` and/or `dxf` (either may be
 * null). Returns 1 on success, 0 on failure (no memory, a write error).
 */
int quill_vectorise_raster(const uint8_t *rows, int32_t width, int32_t height, const QuillVectoriseOptions *options,
                           FILE *svg, FILE *dxf, QuillVectoriseStats *stats);

/* `quill vectorise IN OUT [options]`: argc/argv after the command word. */
int quill_vectorise_main(int argc, char **argv);

/* The demo's last step: vectorises the (locked or unlocked) bilevel frame to
 * STEM.svg and STEM.dxf in `directory` and prints where they are. */
int quill_vectorise_demo(int frame, const char *directory, const char *stem);

#ifdef __cplusplus
}
#endif

#endif
