/*
 * quillimg.h - the raster library: frames, their tile store, rectangles.
 *
 * A frame is a raster image of one pixel kind, cut into 128 x 128 tiles that
 * are kept coded in memory chunks or in a swap file of its own. Frames are
 * named by handles (indices in a library-wide table, -1 for none). Pixels are
 * reached only while a frame is locked.
 *
 * Pixel kinds: 1 bilevel (1 bit, 1 white, 0 black, leftmost pixel in the most
 * significant bit), 2 grey (1 byte, 0 black .. 255 white), 4 colour (3 bytes:
 * grey level Y, then U and V with neutral value 127). Kind 3 (palette
 * indices, 1 byte) exists for rasters only.
 *
 * Raw rasters ("Dmri") are caller-owned blocks of lines of
 * QI_GetLineBWi(kind, width) bytes, top line first, no header.
 *
 * The library is not thread-safe: call it from one thread at a time.
 * Usable from C and C++.
 */
#ifndef QUILLIMG_H
#define QUILLIMG_H

#include <stdint.h>
#include "quillstd.h"

#if defined(_WIN32)
#  if defined(QUILLIMG_BUILD)
#    define QI_API __declspec(dllexport)
#  else
#    define QI_API __declspec(dllimport)
#  endif
#else
#  define QI_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Pixel kinds. */
#define QI_KIND_BILEVEL 1
#define QI_KIND_GREY 2
#define QI_KIND_PALETTE 3 /* rasters only */
#define QI_KIND_COLOUR 4

/* Storage codes of QI_FrameCreate: 2 keeps tiles in a swap file, any other
 * non-zero value keeps them in memory. */
#define QI_STORAGE_MEMORY 1
#define QI_STORAGE_SWAP 2

/* Colour values: Y in bits 0-7, U in 8-15, V in 16-23; -1 is no colour. */
#define QI_COLOR_WHITE 0x7F7FFF
#define QI_COLOR_BLACK 0x7F7F00
#define QI_COLOR_NONE (-1)

/*
 * Progress callback. A long operation calls it with 0, then with its message
 * value (see QI_SetMessage), then with percentages 1 to 99, and last with
 * 100. Returning 0 asks the operation to cancel; the library then calls once
 * more with 101. The argument is pointer-sized because message values are, by
 * default, addresses of zero-terminated names.
 */
typedef int (*ProgressCallback)(intptr_t value);

/* A rectangle with inclusive edges: one pixel has left == right. */
typedef struct QI_Rect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
} QI_Rect;

/* A pixel position. */
typedef struct QI_Point {
    int32_t x;
    int32_t y;
} QI_Point;

/*
 * The frame record, as QI_FrameGetData hands it out. Field order is part of
 * the interface; read it, do not write it.
 */
typedef struct QI_FrameRecord {
    int32_t width;           /* pixels; never -1 */
    int32_t height;          /* pixels */
    int32_t kind;            /* 1, 2 or 4 */
    int32_t storage;         /* 2: swap file; other non-zero: memory */
    uint8_t *workBuffer;     /* while locked: the decoded tile, then scratch */
    intptr_t palette;        /* 0 none; 1 has one (not loaded); else, while
                                locked, the address of the 1025-byte block */
    uint8_t locked;          /* 1 while locked */
    int32_t mode;            /* 0 bilevel; 1 plain coding; 2+ YX level */
    int32_t tileStore;       /* index in the tile-store table */
    int32_t nextView;        /* next smaller reduced view, -1 for none */
    uint8_t nextViewFactor;  /* 2, 4 or 8; 1 when there is no next view */
} QI_FrameRecord;

/* ---- Library lifecycle and progress messages -------------------------- */

/*
 * Starts the library. dataDir holds the optional data files of the lossy
 * colour coding; swapDir receives the swap files of frames stored on disk
 * (null or "" means the current directory); callback may be null (no
 * progress reports). Each directory must be at most 127 characters.
 * Returns 1 on success; 0 when already started, when a directory is too long,
 * or when memory runs out (nothing is left built).
 */
QI_API int QI_InitFrameFunctions(const char *dataDir, const char *swapDir,
                                 ProgressCallback callback);

/*
 * Stops the library: deletes every frame (locked ones are unlocked first)
 * with its views and swap file, and releases all tables. Returns 1, or 0 when
 * the library was not started. It may be started again afterwards.
 */
QI_API int QI_CloseFrameFunctions(void);

/*
 * Sets the value that the operation of `slot` (0 to 19; 0 and 1 share one
 * value) sends to the progress callback when it starts. By default each
 * value is the address of the operation's name ("FileLoad", "Rotate90", ...).
 * Returns 1, or 0 for a slot outside 0..19 (nothing changes).
 */
QI_API int QI_SetMessage(int slot, intptr_t value);

/*
 * Reports the number of frames alive (views included) and the highest frame
 * handle in use (-1 when none, also before the library is started). Either
 * pointer may be null.
 */
QI_API void QI_FrameLibraryInfo(int *frameCount, int *highestHandle);

/* Sets the colour coding mode given to new grey and colour frames (1 plain,
 * 2 to 4 lossy); ignored for a mode outside 1 to 4 or when the lossy coding
 * tables were not loaded. */
QI_API void QI_YXstateSwitch(int mode);

/* Returns the colour coding mode for new frames (0 before the first start). */
QI_API int QI_GetYXstate(void);

/*
 * Returns the address of the frame's record, or null for an unknown handle.
 * The address is valid only until the next frame is created or deleted.
 */
QI_API QI_FrameRecord *QI_FrameGetData(int frame);

/* ---- Frames ------------------------------------------------------------ */

/*
 * Creates an unlocked frame whose tiles are all blank (bilevel frames read
 * white; grey and colour content is undefined until written).
 * kind: 1, 2 or 4. storage: 2 swap file, other non-zero memory (0 rejected).
 * palette: optional palette block (n - 1, then n entries of 4 bytes), taken
 *   only by colour frames in mode 1; copied, stays the caller's.
 * mode: colour coding mode for kinds 2 and 4 (0: the current YX state).
 * Returns the new handle, or -1 on failure (bad arguments, no memory, a swap
 * file that cannot be created, or more tiles than a store can address).
 */
QI_API int QI_FrameCreate(int32_t width, int32_t height, int32_t kind,
                          int32_t storage, const uint8_t *palette,
                          int32_t mode);

/*
 * Deletes the frame, its reduced views and its swap file. A locked frame is
 * not deleted. Returns 1 when the frame and all its views were deleted, else 0.
 */
QI_API int QI_FrameDelete(int frame);

/*
 * Locks the frame so that its pixels can be read and written; locking is not
 * counted. Returns 1 (also when already locked) or 0 on failure.
 */
QI_API int QI_FrameLock(int frame);

/*
 * Unlocks the frame: a memory frame is compacted and trimmed, a swap file is
 * trimmed to its logical size and closed. Returns 1 (also when not locked),
 * or 0 for an unknown frame.
 */
QI_API int QI_FrameUnlock(int frame);

/*
 * Returns the bytes held by the frame's tile records and those of its views,
 * 0 for the handle -1, or -1 for an unknown frame.
 */
QI_API int64_t QI_FrameResourceSize(int frame);

/*
 * Returns 1 when the frame has a palette, is locked, and every tile is coded
 * against the palette; else 0. A blank tile counts as not palette-coded.
 */
QI_API int QI_FramePalletteValid(int frame);

/* ---- Rectangles, conversion, cloning and reduced views ---------------- */

/*
 * Colour keys. Every rectangle write carries two colour values, A and B
 * (-1 for none). A bilevel source paints A where it is white and B where it
 * is black (-1 keeps the destination pixel; A = B = -1 is a plain copy).
 * A grey or colour source skips its pixels equal to B (a grey source
 * compares the key's low byte); A is not used. Into a bilevel destination a
 * colour is white when its first byte is 128 or more.
 */

/* Returns 1 when a copy from a source of `kind` with keys A and B keeps some
 * destination pixels, else 0. */
QI_API int QI_IsTranspOperation(int32_t kind, int32_t colourA, int32_t colourB);

/*
 * Reads `rect` (null: the whole frame) of a locked frame into `raster`, a
 * raster of the frame's kind with lines of QI_GetLineBWi(kind, rect width)
 * bytes. Returns 1, or 0 when the frame is unknown or unlocked, the raster
 * is null, the rect does not lie inside the frame, or a tile cannot be read.
 */
QI_API int QI_FrameGetRect(int frame, const QI_Rect *rect, uint8_t *raster);

/*
 * Writes `raster` (of `kind`, not above the frame's kind) into `rect` (null:
 * the whole frame) of a locked frame, converting kinds and applying the
 * colour keys. Returns 1, or 0 on bad arguments or a failed tile; tiles
 * written before a failure stay written.
 */
QI_API int QI_FrameSetRect(int frame, const QI_Rect *rect, const uint8_t *raster, int32_t kind,
                           int32_t colourA, int32_t colourB);

/*
 * Writes `raster` into `rect` where the bilevel `mask` (the rect's size) is
 * black and keeps the frame where it is white; a null mask writes all.
 * Returns 1, or 0 on bad arguments, memory or a failed tile.
 */
QI_API int QI_FrameSetRectTransp(int frame, const QI_Rect *rect, const uint8_t *raster,
                                 const uint8_t *mask, int32_t kind);

/*
 * Copies `rect` of a frame (null: all of it; the rect is clipped to the
 * frame) into a new unlocked frame of `kind` (0: the same) and `storage`
 * (0: the same). A whole frame of the same kind is copied record by record
 * without decoding. Reports 0, the "Cloning" message, the share done as it
 * goes (the answers are not heeded) and 100. Returns the new handle, or -1
 * for an unknown frame, a rect that misses it, or a frame that cannot be
 * locked or made, memory or a tile that fails (no frame is left then).
 */
QI_API int QI_FrameClone(int frame, const QI_Rect *rect, int32_t kind, int32_t storage);

/* Converts a whole raster from one kind to another (see the kinds above;
 * bilevel destinations keep their pad bits); the same kind is copied as it
 * is. Does nothing for a null pointer or a size below 1. */
QI_API void QI_DmriConvert(const uint8_t *source, int32_t width, int32_t height, int32_t sourceKind,
                           uint8_t *destination, int32_t destinationKind);

/* Turns a raster upside down in place. Returns 1 (also, doing nothing, for
 * 0 lines or a line of 0 bytes), or 0 for a null raster or when memory runs
 * out. */
QI_API int QI_DmriFlipVert(uint8_t *raster, uint32_t lineBytes, uint32_t lines);

/*
 * on != 0: builds the reduced views (1/2, 1/4, 1/8) of a frame at least
 * 129 x 129 pixels, sampling the base, under the "Optimize" message (the
 * answers are not heeded); nothing (and 1) when they exist or the frame is
 * smaller. on == 0: deletes them. Returns 1, or 0 for an unknown frame or on
 * failure (no view is left then).
 */
QI_API int QI_FrameViewOptimize(int frame, int on);

/*
 * Brings the views up to date after `rect` of the base changed (null:
 * rebuilds them), re-sampling the changed area with the stretch. A rect one
 * pixel wide or high, or a frame without views, changes nothing. Returns 1,
 * or 0 for an unknown frame or on failure.
 */
QI_API int QI_FrameViewUpdate(int frame, const QI_Rect *rect);

/* ---- Stretching -------------------------------------------------------- */

/*
 * Copies the source rect (sx, sy, sw x sh) of frame `src` into the
 * destination rect (dx, dy, dw x dh) of frame `dst`, reducing by whole
 * factors (source / destination per axis, truncated) or enlarging by
 * nearest neighbour, with the colour keys of QI_FrameSetRect. Bilevel
 * reductions keep thin lines. The source kind must not exceed the
 * destination's. Both frames keep their lock state. Progress: 0, the
 * "Stretch" message, the share of destination tiles done (1 to 99) after
 * each tile, then 100; the callback's answers are not heeded (the stretch
 * runs to its end). Returns 1 (also when a size is below 1: nothing to do)
 * or 0 (unknown frame, a source kind above the destination's, a frame that
 * cannot be locked, or memory or a tile that fails; tiles done before then
 * stay changed).
 */
QI_API int QI_FrameStretchBlt(int dst, int dx, int dy, int dw, int dh, int src, int sx, int sy, int sw,
                              int sh, int32_t colourA, int32_t colourB);

/* Sets the scale-to-grey factor of zoomed reads; 0 or less is off. */
QI_API void QI_SetScaleToGrayState(double factor);

/* ---- Quarter turns, mirrors and colour boundaries ---------------------- */

/*
 * The operations below lock the frames they work on and leave each one's
 * lock state as they found it. Each reports 0 and its message value (see
 * QI_SetMessage: slots 15 Rotate90, 16 Rotate270, 14 Rotate180, 13 MirrorX,
 * 12 MirrorY, 11 ColorBounds), then percentages, then 100 as described per
 * function; a callback answer of 0 stops the operation at the next report.
 * Frames of any size are handled with a bounded amount of working memory.
 */

/*
 * Builds a new frame holding `frame` turned a quarter clockwise: result
 * pixel (x, y) is source pixel (y, H - 1 - x) for a source of height H. The
 * new frame has the source's height as its width and width as its height,
 * the source's kind, palette and coding mode, and `storage` (as for
 * QI_FrameCreate). The source is not changed.
 * Returns the new, unlocked frame, which the caller owns and deletes with
 * QI_FrameDelete; or -1 for an unknown frame, a frame that cannot be locked,
 * an invalid storage, memory or a tile that cannot be read or written, or a
 * cancel (no frame is left behind then). 100 is reported on success only.
 */
QI_API int QI_FrameRotate90(int frame, int storage);

/*
 * As QI_FrameRotate90, turned a quarter counter-clockwise: result pixel
 * (x, y) is source pixel (W - 1 - y, x) for a source of width W.
 */
QI_API int QI_FrameRotate270(int frame, int storage);

/*
 * Turns `frame` a half in place: pixel (x, y) takes the value of
 * (W - 1 - x, H - 1 - y). Returns 1 when done; 0 for an unknown frame or one
 * that cannot be locked (nothing changed, no 100 reported), or when memory,
 * a tile or a cancel stops the work. A stopped turn leaves the frame with
 * its top and bottom bands of equal height turned (each to the other's
 * place) and the rows between as they were, and still reports 100.
 */
QI_API int QI_FrameRotate180(int frame);

/*
 * Mirrors `frame` left to right in place: pixel (x, y) takes the value of
 * (W - 1 - x, y). Returns 1 when done, 0 as for QI_FrameRotate180; a
 * stopped mirror leaves its top bands mirrored and the rest as it was, and
 * still reports 100.
 */
QI_API int QI_FrameMirrorX(int frame);

/*
 * Mirrors `frame` top to bottom in place: pixel (x, y) takes the value of
 * (x, H - 1 - y). Returns 1 when done, 0 as for QI_FrameRotate180 (a stopped
 * mirror leaves top and bottom bands of equal height exchanged, the rest as
 * it was, and still reports 100).
 */
QI_API int QI_FrameMirrorY(int frame);

/*
 * Builds a bilevel map of the colour changes of `frame` (any kind): a new
 * bilevel frame of the same size and storage, no palette, in which pixel
 * (x, y) is white when source pixel (x, y) equals the pixel above it and
 * that pixel equals its right neighbour (the last pixel of a row compares
 * with the one above only), else black. Colours compare exactly, every byte
 * of a colour pixel. The row above the first row is taken as zero bytes, so
 * the first row is black except where a pixel is zero (all its bytes 0; a
 * black bilevel pixel). The source is not changed.
 * Returns the new, unlocked frame, which the caller owns; or -1 for an
 * unknown frame or one that cannot be locked, when the new frame cannot be
 * made, or when memory, a tile or a cancel stops the work (the new frame is
 * deleted then). Once both frames were locked, 100 is reported in every
 * case.
 */
QI_API int QI_FrameColorBoundaries(int frame);

/* ---- Uniform fill, affine and quadrilateral warps ---------------------- */

/*
 * Fills a raw raster of `kind` (1, 2 or 4), `height` lines of
 * QI_GetLineBWi(kind, width) bytes, with `colour`. Kinds 1 and 2 (and 3)
 * take the colour's low byte in every byte of the buffer, padding included
 * (kind 1: the pattern of 8 pixels, 0xFF white, 0x00 black); kind 4 gives
 * each line's `width` pixels the colour's three low bytes and leaves the
 * line padding alone. Does nothing when `colour` is -1, `pixels` is null,
 * a size is below 1 or `kind` is not 1 to 4.
 */
QI_API void QI_DmriUniformFill(uint8_t *pixels, int width, int height, uint32_t colour, int kind);

/*
 * Builds a new frame whose pixel (x, y) is the source pixel that a
 * geometric map takes it to (nearest neighbour); result pixels that come
 * from outside the source take `background` (-1 is taken as white).
 *  method 1: `params` holds m0..m5 of the affine map from a result
 *    position to a source position, sx = m0 x + m1 y + m2,
 *    sy = m3 x + m4 y + m5. The result is the bounding box of the source
 *    mapped backwards; m2 and m5 are shifted (in the caller's block) so that
 *    result pixel (0, 0) is the box's top-left. Result pixel (x, y) takes the
 *    source pixel whose area holds the image of its centre (x + 0.5,
 *    y + 0.5); an image exactly on the boundary between two source pixels
 *    takes the upper or left one. `origin`, when given, receives the box's
 *    left and top in the result plane (truncated toward zero).
 *  method 2: `params` holds the corners P0..P3 (x, y each) of a
 *    quadrilateral in the result plane, in order around it; the source
 *    corners (0, 0), (W, 0), (W, H), (0, H) land on P0, P1, P2, P3. The
 *    result covers the corners' bounding box in that plane, from L and T,
 *    the floors of its left and top: result pixel (x, y) is the plane's
 *    point (L + x + 0.5, T + y + 0.5) and takes the source pixel whose area
 *    holds its image. `origin`, when given, holds a point (x, y) of that
 *    plane on entry and receives the source position that the warp gives
 *    for (x + 0.5, y + 0.5), rounded to the nearest integer (left as it was
 *    where the warp gives no finite position).
 * The new frame has the source's kind, palette and coding mode, and
 * `storage` (as for QI_FrameCreate). The source keeps its lock state. Reports
 * 0 and message slot 10 ("AffineTrn"), then a percentage per band of 128
 * result rows (a callback answer of 0 cancels), then 100.
 * Returns the new, unlocked frame, which the caller owns and deletes with
 * QI_FrameDelete; or -1 for an unknown frame, a method other than 1 and 2,
 * a null or non-finite parameter, a singular (|det| < 1e-6) or too large
 * matrix, an empty or too large result (these before any report), or when
 * a frame cannot be locked or made, memory or a tile read or write fails,
 * or the host cancels (no frame is left behind then).
 */
QI_API int QI_FrameTransform(int frame, int method, double *params, int *origin, int storage,
                             uint32_t background);

/* ---- Colour conversions and colour edits ------------------------------- */

/*
 * Colour rasters hold (Y, U, V) bytes, U and V neutral at 127; a colour
 * value is Y | U << 8 | V << 16, -1 for no colour. The conversions work in
 * place on a kind-4 raster of `height` lines of QI_GetLineBWi(4, width)
 * bytes (pad bytes untouched) and do nothing for a null raster or a width
 * or height below 1.
 */

/*
 * Converts the (B, G, R) pixels of a raster of `height` lines of
 * QI_GetLineBWi(4, width) bytes to (Y, U, V) in place (nothing for a null
 * raster or a size below 1), with integer arithmetic:
 * Y = (117 B + 601 G + 306 R) >> 10, U = (512 B - 339 G - 173 R + 130048)
 * >> 10, V = (-83 B - 429 G + 512 R + 130048) >> 10, each clamped to
 * 0..255. Black (0, 0, 0) gives (0, 127, 127), white gives (255, 127, 127).
 */
QI_API void QI_DmriBGRtoYUV(uint8_t *raster, int32_t width, int32_t height);

/*
 * Converts (Y, U, V) pixels back to (B, G, R) in place, on the same terms,
 * through the inverse of the matrix above (truncated, clamped to 0..255). Not an exact inverse: a
 * component may come back up to a few units below its original value.
 */
QI_API void QI_DmriYUVtoBGR(uint8_t *raster, int32_t width, int32_t height);

/* Exchanges the first and third bytes of the 3-byte pixel (in/out); does
 * nothing for null. */
QI_API void QI_SwapBlueRed(uint8_t *pixel);

/*
 * Marks the pixels of `source` (width x height, `kind` 1, 2 or 4) whose
 * colour is one of the `count` colours: grey pixels by the low byte of a
 * colour, colour pixels by all three bytes, bilevel pixels by class (a
 * colour whose low byte is 128 or more stands for white, below for black).
 * Entries of -1 mark nothing.
 * mask (out): a bilevel raster of the same size (height lines of
 *   QI_GetLineBWi(1, width) bytes), cleared, then a 1 bit for each marked
 *   pixel; its pad bits stay 0.
 * Returns 1 when some pixel was marked, else 0; also 0, with the mask not
 * touched, for another kind, a null pointer, a size below 1 or a negative
 * count.
 */
QI_API int QI_DmriMarkColors(const uint8_t *source, int32_t width, int32_t height, int32_t kind,
                             uint8_t *mask, const int32_t *colours, int32_t count);

/*
 * Scales the intensity of the pixels of `rect` (null: the whole frame) by
 * factor / 256: every byte of a pixel becomes min(255, (byte * factor) >> 8),
 * grey bytes and Y, U and V of colour pixels alike (so a colour other than
 * a neutral one changes its hue: U and V are not scaled about 127). 256
 * changes nothing.
 * The frame keeps its lock state. Returns 1 when done, and at once for a
 * bilevel frame; 0 for an unknown frame, a rect not inside it, a negative
 * factor, a frame that cannot be locked, or memory or a tile that fails
 * (tiles done before then stay changed).
 */
QI_API int QI_FrameChangeIntensity(int frame, const QI_Rect *rect, int16_t factor);

/*
 * Replaces colours in `rect` (null: the whole frame) of a colour frame:
 * table holds `count` source colours followed by `count` replacements; a
 * pixel equal to source i (the first that matches) takes replacement i, or
 * keeps its value when that is -1. The frame keeps its lock state.
 * Returns 1 when done, and at once for a count of 0; 0 for an unknown or
 * non-colour frame, a rect not inside it, a null table or negative count, a
 * frame that cannot be locked, or memory or a tile that fails (tiles done
 * before then stay changed).
 */
QI_API int QI_FrameReplaceColors(int frame, const QI_Rect *rect, const int32_t *table, int32_t count);

/* ---- Palettes ---------------------------------------------------------- */

/*
 * A palette object maps grey and colour rasters to the indices of a host's
 * fixed display palette. Field order is part of the interface (216 bytes
 * where pointers take 4 bytes); hosts read it and never write it. Every
 * block it points to, and the object itself, comes from qs_malloc; release
 * them all with QI_PaletteDelete.
 */
typedef struct PaletteObject {
    uint16_t count;          /* colours, 1 to 256 */
    uint8_t *colours;        /* copy of the colours, count x 4 bytes (B, G, R, any) */
    uint8_t *greyMap;        /* 256 bytes: index of the nearest grey entry per level */
    uint8_t *colourMap;      /* 262144 bytes: index nearest to the centre of each
                                cell (V >> 2) << 12 | (U >> 2) << 6 | (Y >> 2) */
    uint8_t blackIndex;      /* index that (Y, U, V) = (0, 127, 127) maps to */
    uint8_t whiteIndex;      /* index that (255, 127, 127) maps to */
    int8_t bilevelDither[64]; /* 4 d - 126 for the 8 x 8 Bayer value d at (y % 8) * 8 + x % 8 */
    int8_t colourDither[64];  /* floor(d * A1 / 63) - A1 / 2, A1 from `levels` */
    int8_t greyDither[64];    /* floor(d * A2 / 63) - A2 / 2, A2 from the grey entries */
    int8_t *greyDitherTable;  /* address of greyDither */
} PaletteObject;

/*
 * Builds a palette object for `count` colours of 4 bytes each (blue, green,
 * red, and a fourth byte that matching ignores); counts above 256 are cut
 * to 256. `levels` sets the amplitude of colour dithering, A1 = 255 / levels
 * with its lowest bit cleared (levels below 2 give 254). The inverse colour
 * map (a nearest-colour search for 262144 cell centres, reported to the
 * progress callback under message slot 0, "NewPalette"; a cancel answer
 * does not stop it) is read from `cacheFile` when that file holds exactly
 * these colours, byte for byte, and a valid map; otherwise it is built and
 * the file (re)written through a temporary file in the same directory that
 * is renamed into place. A cache file that cannot be written is skipped;
 * null or "" means no cache.
 * Returns the object (the caller owns it: QI_PaletteDelete), or null for a
 * count below 1, null colours, or memory running out.
 */
QI_API PaletteObject *QI_PaletteCreate(const uint8_t *colours, int32_t count, int32_t levels,
                                       const char *cacheFile);

/* Releases a palette object and every block it holds; null does nothing. */
QI_API void QI_PaletteDelete(PaletteObject *palette);

/*
 * Maps a raster of `height` lines of QI_GetLineBWi(kind, width) bytes to
 * palette indices in place. Dithering adds the table entry at ((y + y0) % 8)
 * * 8 + (x + x0) % 8 to the pixel at column x, line y, clamped to 0..255, so
 * pieces of a larger raster mapped with their origins (x0, y0) join without
 * seams.
 * kind 2, mode 0, 1 or below 0: every byte (pad bytes too) becomes its grey
 *   map entry.
 * kind 2, mode 3: grey dither with bilevelDither, then a bilevel raster
 *   (1 white for 128 and above; QI_GetLineBWi(1, width) bytes a line, pad
 *   bits white) written from the start of the buffer; no indices.
 * kind 2, other modes of 2 or more: every byte dithered with greyDither,
 *   then mapped as in mode 0.
 * kind 4: in modes 2 and above Y is dithered with colourDither; each pixel
 *   then becomes its colour map entry, one byte, in lines of
 *   QI_GetLineBWi(2, width) bytes from the start of the buffer (pad bytes 0).
 * Nothing happens for a null raster or palette, a width or height below 1,
 * or another kind.
 */
QI_API void QI_DmriToPaletteColors(uint8_t *raster, int32_t width, int32_t height, int32_t kind,
                                   const PaletteObject *palette, int32_t mode, int32_t x0, int32_t y0);

/*
 * Writes one index byte for each pixel of a bilevel raster (`source`,
 * QI_GetLineBWi(1, width) bytes a line): whiteIndex for 1, blackIndex for 0,
 * into `destination`, lines of QI_GetLineBWi(3, width) bytes (pad bytes 0).
 * Nothing happens for a null pointer or a width or height below 1.
 */
QI_API void QI_BW_DmriToPaletteColors(const uint8_t *source, int32_t width, int32_t height,
                                      uint8_t *destination, const PaletteObject *palette);

/* ---- Image files ------------------------------------------------------- */

/*
 * Image files are chosen by the extension of their name alone (compared
 * without regard to case; the part after the last "." when no "/", "\\" or
 * ":" follows it): "TIF" (load, save, get info), "PCX" (load, save, get
 * info), "EPS" (its TIFF preview: load, get info), "_PA" (raw bilevel rows
 * described by a companion ".bvl" header: load, get info) and "YX" (the
 * library's own tile file: load, save, get info). Any other name fails.
 *
 * Image kinds of files: 1 bilevel, 2 grey, 3 palette (indices into at most
 * 256 colours), 4 colour. A palette file whose colours are all grey loads as
 * a grey frame; otherwise it loads as a colour frame that carries the
 * palette, and such a frame saves as a palette file again.
 *
 * Files are hostile input: every reader checks each length, offset and count
 * against the file's real size and its buffers, and fails cleanly.
 * One load or save runs at a time; frames must not be used by other threads
 * meanwhile.
 */

/*
 * Loads the file into a new, unlocked frame kept in `storage` (as for
 * QI_FrameCreate). Reports 0, the "FileLoad" message (or "YX load" for a
 * tile file), percentages and 100; answering 0 to a percentage cancels the
 * load of an image file. Returns the new handle, or -1 when the name, the
 * file or memory fails, when the image is wider or taller than 65536, or
 * on cancel (nothing is left behind).
 */
QI_API int QI_FrameFileLoad(const char *name, int storage);

/*
 * Saves the frame to the file, which is created or overwritten. A colour
 * frame that carries a palette is saved as a palette image where the format
 * has one. Reports 0, the "FileSave" (or "YX save") message, percentages and
 * 100; a save is not cancelled. The frame keeps its lock state. Returns 1,
 * or 0 on failure; a failed save deletes the file.
 */
QI_API int QI_FrameFileSave(int frame, const char *name);

/*
 * Reports the size and image kind of the file without loading it.
 * width, height (out): written on success only.
 * Returns the image kind (1 to 4; for a tile file its frame kind), or 0 when
 * the name is not recognised or the file cannot be read.
 */
QI_API int QI_FrameFileGetInfo(const char *name, int *width, int *height);

/* Kept for hosts that call it: does nothing and returns 0. */
QI_API int QI_FrameFilePreview(void);

/*
 * Saves a raw raster (height lines of QI_GetLineBWi(kind, width) bytes,
 * kind 1, 2 or 4) to the file named, through a temporary swap frame.
 * Returns 1, or 0 on failure.
 */
QI_API int QI_DmriFileSave(const void *rows, int width, int height, int kind, const char *name);

/*
 * The line protocol between image-file readers and writers and the frame
 * being loaded or saved; valid only while QI_FrameFileLoad or
 * QI_FrameFileSave runs (from a format's code). Rows are lines of
 * QI_GetLineBWi(kind, width) bytes (kind 3: QI_GetLineBWi(2, width));
 * colour rows are (B, G, R) pixels, palette records (n - 1, then n entries
 * B, G, R, 0) in the same order.
 *
 * QI_FrameFile_LoadLine: line -1 returns the line buffer; line -2 takes
 * the palette record of `bytes` bytes placed there and creates the frame;
 * line 0, 1, 2 ... (in order, each `bytes` long, placed at the address the
 * previous call returned) hands over row `line`. Returns the address at
 * which to place the next row, or 0 on failure or cancel. The address is
 * pointer-sized.
 *
 * QI_FrameFile_SaveLine: line -2 copies the frame's palette record to `out`;
 * line 0, 1, 2 ... (in order, each once) copies row `line` to `out`, for a
 * bilevel frame with `runs` non-zero as a black-run list (16-bit pair count,
 * then the pairs). Returns 1, or 0 on failure.
 */
QI_API intptr_t QI_FrameFile_LoadLine(int bytes, int line);
QI_API int QI_FrameFile_SaveLine(void *out, int line, int runs);

/* ---- Black runs -------------------------------------------------------- */

/*
 * Black-run lists describe one bilevel row as pairs of 16-bit values
 * (start, end): start is the first black pixel of a run, end the first pixel
 * after it. A packed bilevel row has pixel 0 in bit 7 of byte 0, 1 white and
 * 0 black, and occupies ((width + 15) / 16) * 2 bytes.
 */

/*
 * Finds the black runs of the first `width` pixels of `row`.
 * pairs (out): receives the pairs, ascending and never touching (no end
 *   equals the next start); room for (width + 1) / 2 pairs is needed. The
 *   count is not stored in front of them.
 * row (in/out): (width + 7) / 8 bytes are read; the bits past the width in
 *   its last byte are set to 1 (white).
 * Returns the number of pairs; 0 for a white row, and 0 (nothing written)
 * when a pointer is null or the library is not started.
 */
QI_API uint16_t QI_PackBlackRuns(uint16_t *pairs, uint8_t *row, uint16_t width);

/*
 * Draws a black-run list into `row` (out): sets its ((width + 15) / 16) * 2
 * bytes to white, then clears the pixels from start to end - 1 of each of
 * the `count` pairs. Ends past the width are clipped to it; pairs left empty
 * (start 0xFFFF, or a closing pair (width, width)) are skipped. Does nothing
 * when row is null, or pairs is null with a non-zero count.
 */
QI_API void QI_UnpackBlackRuns(uint8_t *row, uint16_t width, const uint16_t *pairs, uint16_t count);

/* ---- Rectangle and scan-line utilities -------------------------------- */

/*
 * Bytes of one raster line of `width` pixels of `kind` (low 8 bits count):
 * kind 1: 2 * ceil(width / 16); kinds 2 and 3: width rounded up to 4;
 * other kinds: 3 * width rounded up to 4.
 */
QI_API uint32_t QI_GetLineBWi(int32_t kind, int32_t width);

/*
 * Intersects a and b. Returns 1 when they share at least one pixel and then
 * writes the common rect to out (if not null; out may be a or b); returns 0
 * and leaves out untouched otherwise.
 */
QI_API int QI_IntersectRects(const QI_Rect *a, const QI_Rect *b, QI_Rect *out);

/* Returns 1 when b lies wholly inside a, else 0. */
QI_API int QI_RectAcoverB(const QI_Rect *a, const QI_Rect *b);

/* Writes the bounding rect of a and b to out (which may be a or b). */
QI_API void QI_AddRects(const QI_Rect *a, const QI_Rect *b, QI_Rect *out);

/*
 * Writes the part of a not covered by b as up to 4 disjoint rects (top band,
 * left band, right band, bottom band) into out[0..3] and returns their number:
 * 0 when b covers a, 1 (a itself) when they do not meet.
 */
QI_API int16_t QI_RectAsubB(const QI_Rect *a, const QI_Rect *b, QI_Rect *out);

/* ---- Drawing ---------------------------------------------------------------
 *
 * Polygon sets: an int32 count of polygons, then each polygon as an int32
 * vertex count n (at least 3) and n points, laid end to end; integer points
 * are two int32 (x, y), floating points two doubles. Each polygon is closed
 * (its last vertex joins its first) and the sets fill by the even-odd rule,
 * sampled on each row's centre line: a square from (0, 0) to (10, 10) fills
 * pixels 0 to 9 both ways. The box of a set may be at most 131072 pixels
 * wide and tall, and a band of rows inside it that no edge crosses fails
 * the fill.
 *
 * Run matrices: for each row of their rect from the top, an int32 run count
 * k and k runs (first pixel, pixel after the last), ascending.
 */

/*
 * Combines a rect of a frame (null: the whole frame), or with `outside` != 0
 * everything of the frame outside it, with `colour` by `mode`: 1 replace,
 * 2 exclusive or, 3 inclusive or, 4 and, any other leaves the pixels. Grey
 * pixels use the colour's low byte, colour pixels its three low bytes,
 * bilevel pixels the byte 0xFF when the low byte is 128 or more, else 0x00.
 * The frame's lock state is kept. Returns 1, or 0 for an unknown frame, one
 * that cannot be locked, or a tile that cannot be read or written (tiles
 * done before it stay changed).
 */
QI_API int QI_FrameDrawRect(int frame, const QI_Rect *rect, uint32_t colour, int mode, int outside);

/*
 * Fills a polygon set (integer points when `integerPoints` != 0, else
 * doubles) into a frame with `colour` (-1 paints nothing), or with
 * `outside` != 0 everything of the frame outside the polygons. `touched`,
 * if not null, receives the polygons' box clipped to the frame (left >
 * right when they miss it). Reports 0, message 2 ("PolyFill"), percentages
 * and 100 once the polygons converted; the answers are not consulted. The
 * frame's lock state is kept. Returns 1, or 0 for an unknown frame, a set
 * that fails its checks, polygons that miss the frame (unless `outside`: the
 * whole frame is then filled), memory or a tile that fails.
 */
QI_API int QI_FrameFillPoly(int frame, const void *polygons, int integerPoints, uint32_t colour, int outside,
                            QI_Rect *touched);

/*
 * Paints black the pixels inside a polygon set (integer points) in a
 * bilevel raster of `width` x `height`; other pixels keep their value.
 * Returns 1, or 0 for bad arguments, a set that fails its checks or memory
 * that runs out (nothing painted).
 */
QI_API int QI_DmriFillPoly_BW(uint8_t *pixels, int width, int height, const void *polygons);

/*
 * Paints black the runs of a run matrix that covers `runsRect` into a
 * bilevel raster that holds `pixelsRect` of the same space (its left and
 * top are the raster's pixel 0 and row 0; its width sets the line length).
 * Returns 1 (also when the rects do not meet), or 0 for null or inverted
 * arguments.
 */
QI_API int QI_DmriFillRunMatxI_BW(uint8_t *pixels, const QI_Rect *pixelsRect, const int32_t *runs,
                                  const QI_Rect *runsRect);

/*
 * Draws a one-pixel line from `from` to `to`, both ends included, in a
 * bilevel raster: white when `colour` is exactly QI_COLOR_WHITE, else black.
 * Points outside the raster are dropped; ends that coincide draw nothing.
 * Returns 1, or 0 for a null pointer or a size below 1.
 */
QI_API int QI_DmriLine_BW(uint8_t *pixels, int width, int height, const QI_Point *from, const QI_Point *to,
                          uint32_t colour);

/* Converts a rect given in 1/256 pixel to the pixels its edges lie in:
 * each coordinate becomes floor(v / 256). */
QI_API void QI_RoundupScaledRect(QI_Rect *rect);

/* ---- Multi-view frames (USFrames) ------------------------------------------
 *
 * A USFrame holds one base frame and any number of views. A view is the base
 * placed in the host's world coordinates (y pointing up) by its four corners
 * in the order top-left, top-right, bottom-right, bottom-left, and is backed
 * by a frame of its own: the base itself when the placement keeps its
 * orientation, else a turned, mirrored or warped copy. Views of one USFrame
 * with equal placements share one frame. Every frame used this way carries
 * its reduced views, so that rendering picks a resolution near the zoom.
 * USFrame handles start at 1; 0 is never a USFrame. A view is named by its
 * USFrame and the host's view id (-1 is no view id).
 * Functions take world y values pointing up and negate them on entry (so
 * that y grows downwards like raster lines): placements are kept negated.
 * Start the frame library first, then QI_USFramesInit.
 */

/* The USFrame record; field order is part of the interface. Read it, do not
 * write it (except through the functions below). */
typedef struct QI_USFrameRecord {
    int32_t baseFrame;   /* frame handle of the base */
    int32_t foreground;  /* colour white pixels of a bilevel base show in; -1 none */
    int32_t background;  /* colour black pixels of a bilevel base show in; -1 none */
    int32_t reserved;
    int32_t media;       /* storage code of derived frames (views, copies); 2 by default */
    int32_t *colours;    /* colour list of the display filter, from qs_realloc */
    int32_t colourCount; /* entries in the colour list */
    uint8_t displayMode; /* 3 show only the listed colours, 4 hide them (default), 5 no filter */
    uint8_t modified;    /* 1 when the base changed since it was loaded or saved */
} QI_USFrameRecord;

/* Creates the USFrame and view tables. Returns 1, or 0 when they exist
 * already or memory runs out. */
QI_API int QI_USFramesInit(void);

/* Deletes every view, every USFrame with its base frame and colour list,
 * and the tables. Does nothing when the tables do not exist. */
QI_API void QI_USFramesClose(void);

/* The USFrame's record, or null for 0 or an unknown handle. Valid until the
 * next USFrame is created or deleted. */
QI_API QI_USFrameRecord *QI_USFrameGetData(int usframe);

/* Loads an image file (see QI_FrameFileLoad) into a swap-file base with
 * reduced views. Returns the new USFrame, or 0 (nothing is left behind). */
QI_API int QI_USFrameLoad(const char *name);

/*
 * Saves to an image file: with viewId -1 the base (clearing the modified
 * flag when the save succeeds); else the frame of that view, or, when
 * `rect` is given (x0, y0, x1, y1 in world coordinates, any order), the
 * part of the view's frame under it. Returns 1, or 0 on failure.
 */
QI_API int QI_USFrameSaveExt(int usframe, int viewId, const double *rect, const char *name);

/* Creates a USFrame with a new swap-file base of width x height pixels of
 * `kind`, painted with `fill` unless it is -1. Returns the new USFrame, or
 * 0 (nothing is left behind). */
QI_API int QI_USFrameCreateNew(int32_t width, int32_t height, int32_t kind, int32_t fill);

/* Creates a USFrame with a copy of the base and of the settings (its own
 * copy of the colour list) and no views. Returns it, or 0. */
QI_API int QI_USFrameDuplicate(int usframe);

/*
 * Makes `frame` the base of the USFrame and rebuilds every view from it.
 * Returns 1, the old base deleted; or 0 for an unknown USFrame or frame, or
 * when a view cannot be rebuilt: the old base is then put back with its
 * views as they were, and `frame` stays the caller's.
 */
QI_API int QI_USFrameReplaceBase(int usframe, int frame);

/* Deletes the USFrame: its views (and their frames), its base and its
 * colour list. Returns 1, or 0 for 0 or an unknown USFrame. */
QI_API int QI_USFrameDelete(int usframe);

/* Removes the view (deleting its frame when no other view uses it and it is
 * not the base); a USFrame left without views is deleted. */
QI_API void QI_USFrameDeleteExt(int usframe, int viewId);

/* Removes every view of the USFrame; the USFrame stays. */
QI_API void QI_USFrameDeleteViewExt(int usframe);

/*
 * Places (or re-places) a view. `placement` holds the base's corners as
 * (x, y) pairs in world coordinates: top-left, top-right, bottom-right,
 * bottom-left, clockwise or counter-clockwise. Its y values are negated in
 * place and left so. The quadrilateral must be convex and finite. A
 * placement whose edges run along the axes gives the base itself or a
 * quarter turn, half turn or mirror of it; any other gives a warped copy.
 * Returns 1, or 0 (a view that was re-placed no longer exists then).
 */
QI_API int QI_USFramePlaceExt(int usframe, int viewId, double *placement);

/* Rebuilds the base's reduced views and every view (`rect` is not used).
 * Returns 1 when every view was placed again, else 0. */
QI_API int QI_USFrameUpdateViews(int usframe, const QI_Rect *rect);

/* Reports the base, the view's frame and its placement (world form); each
 * output may be null. Returns 1, or 0 when the view does not exist. */
QI_API int QI_USFrameGetBaseViewInx(int usframe, int viewId, int *baseFrame, int *viewFrame,
                                    double *placement);

/* Sets the storage code of frames derived from the base. Returns the
 * record, or null for an unknown USFrame. */
QI_API QI_USFrameRecord *QI_USFrameSetMedia(int usframe, int32_t media);

/* Sets the colours that white and black pixels of a bilevel base show in
 * (-1 for none). Returns 1 when set, 0 for an unknown USFrame or a base
 * that is not bilevel. */
QI_API int QI_USFrameSetFrgBkg(int usframe, int32_t foreground, int32_t background);

/* Exchanges foreground and background of a bilevel base; when neither is
 * set they become black and white. Returns 1, or 0 for an unknown USFrame. */
QI_API int QI_USFrameInvertFrgBkg(int usframe);

/* Inverts the base and rebuilds the views. Returns 1, or 0. */
QI_API int QI_USFrameNegate(int usframe);

/*
 * The display filter: op 0 empties the colour list, 1 adds the `count`
 * colours, 2 removes them, 3 to 5 set the display mode (3 show only the
 * listed colours, 4 hide them, 5 no filter); other ops change nothing.
 * Returns 1, or 0 for an unknown USFrame or when memory runs out.
 */
QI_API int QI_USFrameSetVis(int usframe, const int32_t *colours, int32_t count, int op);

/* Returns 1 when one of the views, the listed (USFrame, view id) pairs or
 * every view when `pairs` is null, covers the world rect (x0, y0, x1, y1)
 * and shows all colours; else 0. */
QI_API int QI_AllViewsCoverRect(const int32_t *pairs, int32_t count, const double *rect);

/* Writes the bounding box of the four corners of `placement` as (least x,
 * least y, greatest x, greatest y), taken as given. */
QI_API void QI_DoubleBoundRect(const double *placement, double *out);

/*
 * Renders the part of a view under the world rect (x0, y0) - (x1, y1)
 * (x0 < x1, y0 > y1: y0 is the top) for a window of width x height pixels.
 * pixelRect (out): the window pixels in which the view appears (inclusive).
 * raster (out): a raster of the result kind covering pixelRect, from
 *   qs_malloc; the caller releases it with qs_free.
 * mask (out, may be null): a bilevel raster of the same size, bit 1 where a
 *   pixel must not be painted (outside an oblique view, or hidden by the
 *   colour filter); null when every pixel is painted.
 * A bilevel view shows as bilevel, or in its foreground and background
 * colours when they are set; greatly reduced bilevel views come back as
 * grey when scale to grey is on (QI_SetScaleToGrayState).
 * Returns the result kind (1, 2 or 4), or 0 when nothing is shown or on
 * failure (no buffers are handed out then).
 */
QI_API int QI_USFrameZoomExt(int usframe, int viewId, int32_t windowWidth, int32_t windowHeight, double x0,
                             double y0, double x1, double y1, QI_Rect *pixelRect, uint8_t **raster,
                             uint8_t **mask);

/* Returns 1 when the view is upright and unrotated, else 0. */
QI_API int QI_USFrameNormalPos(int usframe, int viewId);

/*
 * Renders several views into one new frame at a common resolution and
 * wraps it in a new USFrame. pairs: `count` (USFrame, view id) pairs;
 * drawn from the last to the first when `order` is 0, else from the first.
 * `deleteViews` non-zero removes the listed views afterwards. rect: the
 * world area to render (x0, y0, x1, y1) or null for the union of the
 * views. areaOut (out): the area rendered, as (least x, least y, greatest x,
 * greatest y). scaleMode: 0 the finest view's resolution, 1 the coarsest,
 * 2 one pixel per world unit. `fill` paints what no view covers.
 * Returns the new USFrame, or 0 (nothing is left behind).
 */
QI_API int QI_USFrameGroupFixView(const int32_t *pairs, int32_t count, int order, int deleteViews,
                                  const double *rect, double *areaOut, int scaleMode, int32_t fill);

/* ---- Drawing, colour picking and hit testing through views ----------------
 *
 * World points and rects have y pointing up, as placements do. A stroke
 * drawn through one view reaches the base and every other view's frame (and
 * their reduced views) without placing the views again: the same base pixel
 * changes however it is seen.
 */

/*
 * Fills a floating polygon set (see the drawing functions) given in world
 * coordinates through the view into the base and every view frame of the
 * USFrame (each frame once), with `colour`, or with `outside` != 0 what lies
 * outside the polygons. Polygons that miss the base draw nothing. Returns 1,
 * or 0 for an unknown view, a set that fails its checks, or memory or a
 * tile that fails (frames filled before then stay changed).
 */
QI_API int QI_USFrameBaseFillPolyExt(int usframe, int viewId, const void *polygons, uint32_t colour, int outside);

/*
 * Draws a polyline (an int32 point count n, then n points of two doubles,
 * world coordinates) with half width `halfWidth` on each side and square
 * ends, through the view as QI_USFrameBaseFillPolyExt does, then rebuilds
 * the USFrame's views. Returns 1, or 0 when the view is unknown, the
 * polyline or width is bad, or a fill or the rebuild fails (the pieces
 * drawn before stay).
 */
QI_API int QI_USFrameWidePolyline(int usframe, int viewId, const void *polyline, double halfWidth,
                                  uint32_t colour);

/*
 * The distinct colours (Y | U << 8 | V << 16) of the view's frame under the
 * world rect (x0, y0, x1, y1, any corner order; every frame pixel it
 * overlaps). The rect must have an area and lie inside the view's
 * placement. Returns the list, which the caller releases with qs_free, its
 * length in *count; or null.
 */
QI_API int32_t *QI_USFrameWinColorsExt(int usframe, int viewId, const double *rect, int32_t *count);

/* QI_USFrameSetVis with the colours under the world rect for ops 1 and 2
 * (their number in *count), without colours for the other ops. */
QI_API int QI_USFrameSetVisExt(int usframe, int viewId, const double *rect, int32_t *count, int op);

/*
 * Returns 1 when the square of half side `tolerance` about the world point
 * (x, y) meets the view and, with a colour filter on, shows there: in
 * display mode 3 one of the listed colours lies under the square, in mode 4
 * a colour that is not listed; else 0.
 */
QI_API int QI_USFrameHitTestExt(int usframe, int viewId, double x, double y, double tolerance);

/*
 * Hit-tests the listed (USFrame, view id) pairs from the last to the first,
 * or every view from the last placed when `pairs` is null, and reports the
 * first hit in *usframeOut and *viewOut. Returns 1 on a hit, else 0 (the
 * outputs are not written).
 */
QI_API int QI_UEpairArrHitTest(const int32_t *pairs, int32_t count, double x, double y, double tolerance,
                               int32_t *usframeOut, int32_t *viewOut);

/*
 * Makes what the display shows the base itself, and removes the views
 * (the host places them again): filter 1 a grey copy, 2 a bilevel copy,
 * 3 the listed colours painted white (1 at once when the list is empty,
 * views kept), 4 a colour copy with white and black in the foreground and
 * background colours (a bilevel base shown black on white is inverted in
 * place and its colours unset). `reserved` must be 0. Returns 1, or 0.
 */
QI_API int QI_USFrameApplyFilter(int usframe, int reserved, int filter);

#ifdef __cplusplus
}
#endif

#endif /* QUILLIMG_H */
