/*
 * usframes.h - the USFrame and view tables and what the view modules share:
 * the records, lookups, and the map from world coordinates into a view's
 * frame.
 *
 * Both tables are slot tables. The USFrame table's first record (handle 0)
 * is a placeholder with frame -2, so that no USFrame ever has handle 0. The
 * view table's free marker is 0, the owner field: a view of USFrame 0
 * cannot exist.
 *
 * A view record keeps the host's fields in their interface order (owner,
 * view id, the placement with y negated, the frame, a reserved word) and
 * after them the map from world coordinates into its frame's pixels. The
 * map is fixed when the frame is built, from the same numbers that built
 * it, so that every module (rendering, saving a part, drawing, picking)
 * agrees with the frame's pixels to the last bit instead of re-deriving a
 * map from the placement's bounding box: a warped frame's grid starts at
 * the warp's extent, a fraction of a pixel outside that box, and its width
 * is whole pixels, so the box map would drift by up to a pixel across it.
 */
#ifndef QUILL_RASTER_VIEWS_USFRAMES_H
#define QUILL_RASTER_VIEWS_USFRAMES_H

#include "quillimg.h"

#include "../core/slot_table.h"

namespace quill {

// World (y negated) to view-frame pixels: x' = (x - originX) / unitX,
// y' = (y - originY) / unitY; pixel (i, j) covers [i, i + 1) x [j, j + 1).
struct FrameMap {
    double originX, originY;
    double unitX, unitY; // world units per frame pixel, > 0
};

struct ViewRecord {
    int32_t usframe;
    int32_t viewId;
    double placement[8]; // p0..p3 as (x, y), y negated
    int32_t frame;
    int32_t reserved;
    FrameMap map;
};

struct ViewTables {
    SlotTable *usframes; // QI_USFrameRecord slots; null while closed
    SlotTable *views;    // ViewRecord slots
};

extern ViewTables g_views;

constexpr int32_t kNoFrame = -1;
constexpr int32_t kPlaceholderFrame = -2;
constexpr double kPlacementTolerance = 0.0001;

// The USFrame record of a handle above 0, or null.
QI_USFrameRecord *usframe_lookup(int32_t usframe);
ViewRecord *view_at(int32_t index);
// Highest view index of (usframe, viewId), or with viewId -1 of any view of
// the USFrame; -1 when none.
int32_t view_find(int32_t usframe, int32_t viewId);
// Views that show `frame`.
int32_t views_using_frame(int32_t frame);
// Removes the view record at `index`, deleting its frame when no other view
// shows it and it is not the base.
void view_remove(int32_t index);
// Creates a USFrame record for `frame` (building its reduced views when the
// handle is not negative); the handle, or 0.
int32_t usframe_create_record(int32_t frame);

// ---- Placement geometry (placement.cpp) --------------------------------

// Negates the four y values of a placement (world form <-> stored form).
void negate_placement_y(double *placement);
bool placement_is_finite(const double *placement);
// Convex with one turn direction (every cross product of consecutive edges
// of the same sign, none zero).
bool placement_is_convex(const double *placement);
bool placements_equal(const double *a, const double *b);
// Edge codes of e0..e3: 0 +x, 1 +y, 2 -x, 3 -y, 4 oblique.
void placement_edge_codes(const double *placement, int codes[4]);
bool placement_is_orthogonal(const double *placement);
// Which of the eight orthogonal orientations a placement is: 0 upright,
// 1 quarter turn clockwise, 2 counter-clockwise, 3 half turn, 4 quarter
// turn then top-bottom flip, 5 transpose, 6 top-bottom flip, 7 left-right
// mirror; -1 for an oblique placement.
int placement_orientation(const double *placement);
// Where base pixel (u, v) of a W x H base lies in the frame of orientation o.
void orient_pixel(int o, int32_t W, int32_t H, int32_t u, int32_t v, int32_t &x, int32_t &y);
// (minX, minY, maxX, maxY) of the four corners.
void placement_box(const double *placement, double box[4]);
bool point_in_placement(const double *placement, double x, double y);
// The span [from, to] of the placement on the horizontal line at y; false
// when the line misses it.
bool placement_row_span(const double *placement, double y, double &from, double &to);
// The affine map from world (y negated) to base pixels that sends p0 to
// (0, 0), p1 to (W, 0) and p3 to (0, H); false when p0, p1, p3 are
// collinear.
bool placement_to_base(const double *placement, int32_t width, int32_t height, double m[6]);

// ---- Internal engines behind the exports --------------------------------

int32_t usframe_place(int32_t usframe, int32_t viewId, double *placement);
bool usframe_update_views(int32_t usframe);
void usframe_delete_views(int32_t usframe);
bool usframe_delete(int32_t usframe);
// A wide polyline drawn through a view into the base and every view frame,
// without the views' rebuild that QI_USFrameWidePolyline ends with.
bool usframe_draw_polyline(int32_t usframe, int32_t viewId, const void *polyline, double halfWidth, uint32_t colour);
// The kind rendered, 0 when the view does not show there, -1 on failure.
int32_t usframe_zoom(int32_t usframe, int32_t viewId, int32_t windowWidth, int32_t windowHeight, double x0,
                     double y0, double x1, double y1, QI_Rect *pixelRect, uint8_t **raster, uint8_t **mask,
                     bool allowGrey);

} // namespace quill

#endif
