/*
 * quill_tour.c - the demo's tour of what a display host does with a
 * drawing, each step timed:
 *  1. the drawing loaded into a multi-view frame (swap-file base with its
 *     reduced views);
 *  2. an upright, a quarter-turned and a 30-degree view placed in world
 *     coordinates, and a 1920 x 1080 window of each rendered to PNG fitted
 *     (scaled to grey) and at 1:1;
 *  3. a polygon and a wide polyline drawn through the turned view, then
 *     every view asked for the colours under points of the stroke: all
 *     must answer black, showing that the stroke reached the same base
 *     pixels in every view without placing any view again; the turned
 *     view's window rendered again.
 * World coordinates are drawing pixels with y up; each view is the drawing
 * turned about its own centre, placed side by side in the world.
 */
#define _POSIX_C_SOURCE 200809L
#include "quill_tool.h"
#include "quillimg.h"
#include "quillstd.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

enum { kUpright = 1, kQuarter = 2, kOblique = 3, kWindowWidth = 1920, kWindowHeight = 1080 };

typedef struct {
    int id;
    const char *name;
    double degrees; /* clockwise */
    double offsetX; /* where the view's centre lies in the world */
} TourView;

static const TourView kViews[] = {
    {kUpright, "upright", 0, 0},
    {kQuarter, "turned a quarter", 90, 20000},
    {kOblique, "turned 30 degrees", 30, 40000},
};

/* A drawing point (u, v down) of a W x H drawing in view `view`'s world. */
static void to_world(const TourView *view, int W, int H, double u, double v, double *x, double *y) {
    double a = view->degrees * 3.14159265358979323846 / 180;
    double c = view->degrees == 90 ? 0 : cos(a), s = view->degrees == 90 ? 1 : sin(a);
    double px = u - W / 2.0, py = H / 2.0 - v;
    *x = view->offsetX + c * px + s * py;
    *y = -s * px + c * py;
}

static int place(int usf, const TourView *view, int W, int H) {
    const double cu[4] = {0, W, W, 0}, cv[4] = {0, 0, H, H};
    double p[8], start = seconds_now();
    int i, ok;
    for (i = 0; i < 4; ++i)
        to_world(view, W, H, cu[i], cv[i], &p[2 * i], &p[2 * i + 1]);
    ok = QI_USFramePlaceExt(usf, view->id, p);
    printf("  view %-18s placed in %.3f s\n", view->name, seconds_now() - start);
    return ok;
}

/* Two windows of a view: the whole view fitted, and 1:1 about `centre` (a
 * drawing point). */
static int render_both(int usf, const TourView *view, int W, int H, double cu, double cv, const char *outDir,
                       const char *suffix) {
    double p[8], box[4], r[4], cx, cy, scale;
    char name[4200];
    int ok;
    QI_USFrameGetBaseViewInx(usf, view->id, NULL, NULL, p);
    QI_DoubleBoundRect(p, box);
    scale = fmax((box[2] - box[0]) / kWindowWidth, (box[3] - box[1]) / kWindowHeight);
    cx = (box[0] + box[2]) / 2, cy = (box[1] + box[3]) / 2;
    r[0] = cx - scale * kWindowWidth / 2, r[2] = cx + scale * kWindowWidth / 2;
    r[1] = cy + scale * kWindowHeight / 2, r[3] = cy - scale * kWindowHeight / 2;
    snprintf(name, sizeof name, "%s/view-%d%s-fitted.png", outDir, view->id, suffix);
    printf("  ");
    ok = render_png(usf, view->id, kWindowWidth, kWindowHeight, r, 1, 0, name);
    to_world(view, W, H, cu, cv, &cx, &cy);
    r[0] = floor(cx) - kWindowWidth / 2, r[2] = r[0] + kWindowWidth;
    r[1] = floor(cy) + kWindowHeight / 2, r[3] = r[1] - kWindowHeight;
    snprintf(name, sizeof name, "%s/view-%d%s-1to1.png", outDir, view->id, suffix);
    printf("  ");
    return render_png(usf, view->id, kWindowWidth, kWindowHeight, r, 0, 0, name) && ok;
}

/* The drawing's stroke: a zigzag across its middle, in drawing points. */
static const double kStroke[][2] = {{0.30, 0.55}, {0.42, 0.40}, {0.55, 0.62}, {0.70, 0.45}};
enum { kStrokePoints = 4 };

static int draw_through_turned(int usf, int W, int H) {
    const TourView *turned = &kViews[1];
    double polygon[2 + 8], line[1 + 2 * kStrokePoints], x, y, start;
    const double square[4][2] = {{0.20, 0.20}, {0.28, 0.20}, {0.28, 0.30}, {0.20, 0.30}};
    int32_t one = 1, four = 4, points = kStrokePoints;
    uint8_t set[8 + 64], polyline[4 + 16 * kStrokePoints];
    int i, ok;
    (void)polygon, (void)line;
    for (i = 0; i < 4; ++i) {
        to_world(turned, W, H, square[i][0] * W, square[i][1] * H, &x, &y);
        memcpy(set + 8 + 16 * i, &x, 8);
        memcpy(set + 16 + 16 * i, &y, 8);
    }
    memcpy(set, &one, 4);
    memcpy(set + 4, &four, 4);
    for (i = 0; i < kStrokePoints; ++i) {
        to_world(turned, W, H, kStroke[i][0] * W, kStroke[i][1] * H, &x, &y);
        memcpy(polyline + 4 + 16 * i, &x, 8);
        memcpy(polyline + 12 + 16 * i, &y, 8);
    }
    memcpy(polyline, &points, 4);
    start = seconds_now();
    ok = QI_USFrameBaseFillPolyExt(usf, turned->id, set, QI_COLOR_BLACK, 0);
    printf("  a filled square drawn through the turned view in %.3f s\n", seconds_now() - start);
    start = seconds_now();
    ok = QI_USFrameWidePolyline(usf, turned->id, polyline, 12, QI_COLOR_BLACK) && ok;
    printf("  a polyline 24 pixels wide drawn through it in %.3f s (the views rebuilt at its end)\n",
           seconds_now() - start);
    return ok;
}

/* Every view reports black under points of the stroke and the square. */
static int views_agree(int usf, int W, int H) {
    const double probes[][2] = {{0.24, 0.25}, {0.36, 0.475}, {0.485, 0.51}, {0.625, 0.535}};
    size_t p, v;
    int agree = 1;
    for (p = 0; p < sizeof probes / sizeof probes[0]; ++p)
        for (v = 0; v < sizeof kViews / sizeof kViews[0]; ++v) {
            double x, y, rect[4];
            int32_t count = 0, *colours;
            to_world(&kViews[v], W, H, probes[p][0] * W, probes[p][1] * H, &x, &y);
            rect[0] = x - 1, rect[1] = y - 1, rect[2] = x + 1, rect[3] = y + 1;
            colours = QI_USFrameWinColorsExt(usf, kViews[v].id, rect, &count);
            if (!colours || count != 1 || colours[0] != QI_COLOR_BLACK)
                agree = 0;
            qs_free((void **)&colours);
        }
    printf("  every view shows the stroke and the square on the same drawing pixels: %s\n", agree ? "yes" : "NO");
    return agree;
}

int quill_tour(int drawing, const char *scratch, const char *outDir) {
    char name[4200];
    double start;
    const QI_FrameRecord *f;
    int usf, W, H, ok = 1;
    size_t v;
    snprintf(name, sizeof name, "%s/tour.tif", scratch);
    if (!QI_FrameFileSave(drawing, name) || !QI_USFramesInit())
        return 0;
    printf("Tour: the drawing shown and edited through views, as a display host does\n");
    start = seconds_now();
    usf = QI_USFrameLoad(name);
    remove(name);
    if (!usf) {
        QI_USFramesClose();
        return 0;
    }
    f = QI_FrameGetData(QI_USFrameGetData(usf)->baseFrame);
    W = f->width, H = f->height;
    printf("  loaded into a multi-view frame (swap-file base, reduced views) in %.3f s\n", seconds_now() - start);
    for (v = 0; v < sizeof kViews / sizeof kViews[0] && ok && !g_interrupted; ++v)
        ok = place(usf, &kViews[v], W, H);
    for (v = 0; v < sizeof kViews / sizeof kViews[0] && ok && !g_interrupted; ++v)
        ok = render_both(usf, &kViews[v], W, H, 0.45 * W, 0.5 * H, outDir, "");
    if (ok && !g_interrupted)
        ok = draw_through_turned(usf, W, H) && views_agree(usf, W, H) &&
             render_both(usf, &kViews[1], W, H, 0.45 * W, 0.5 * H, outDir, "-drawn");
    QI_USFramesClose();
    printf("\n");
    return ok;
}
