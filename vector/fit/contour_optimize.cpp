/*
 * contour_optimize.cpp - QV_ContourOptimize: a contour of axis-parallel
 * edges replaced by straight pieces fitted within a tolerance, on the same
 * engine as the centre lines of segments (fit.cpp), in plain pixel units.
 *
 * The contour is expanded into unit steps (its first point, then every
 * position reached walking each edge to the next point; there is no
 * closing edge, so a contour is closed, and fitted as a ring, only when its
 * last point repeats its first). Contours of the outline tracer do not
 * repeat their first point: a host that wants them fitted as closed shapes
 * appends it.
 *
 * Decisions on hostile input: a count word with bit 30 or 31 set, or 0, is
 * refused (the hole flag must be cleared by the caller, and a flag read as
 * part of the count would run the walk far past the polygon); an edge that
 * is not axis-parallel is walked along x first, then along y, as the
 * quantiser of poly objects does; more than 2^26 unit steps are refused
 * (that is a perimeter beyond any 32767-pixel raster's worth of strokes,
 * and keeps the work arrays within 512 MiB).
 */
#include "fit.h"

#include "quillvec.h"

namespace {

constexpr uint64_t kMaxSteps = uint64_t{1} << 26;

} // namespace

extern "C" QV_API void *QV_ContourOptimize(const void *contour, int32_t tolerance) {
    using namespace quill;
    if (contour == nullptr)
        return nullptr;
    const uint32_t word = fit::word_at(contour, 0);
    if (word == 0 || (word & 0xC0000000u) != 0)
        return nullptr;
    const uint32_t count = word;
    auto point = [&](uint32_t i) { return fit::word_at(contour, 4 + 4 * size_t{i}); };
    uint64_t steps = 1;
    for (uint32_t i = 1; i < count && steps <= kMaxSteps; ++i) {
        const uint32_t p = point(i - 1), q = point(i);
        const int32_t dx = fit::px(q) - fit::px(p), dy = fit::py(q) - fit::py(p);
        steps += static_cast<uint64_t>(dx < 0 ? -dx : dx) + static_cast<uint64_t>(dy < 0 ? -dy : dy);
    }
    if (steps > kMaxSteps)
        return nullptr;
    HeapBlock<int32_t> xy;
    if (!xy.allocate(2 * steps))
        return nullptr;
    int32_t *x = xy.get(), *y = xy.get() + steps;
    uint32_t at = 0;
    int32_t cx = fit::px(point(0)), cy = fit::py(point(0));
    x[at] = cx, y[at] = cy, ++at;
    for (uint32_t i = 1; i < count; ++i) {
        const int32_t tx = fit::px(point(i)), ty = fit::py(point(i));
        while (cx != tx) {
            cx += tx > cx ? 1 : -1;
            x[at] = cx, y[at] = cy, ++at;
        }
        while (cy != ty) {
            cy += ty > cy ? 1 : -1;
            x[at] = cx, y[at] = cy, ++at;
        }
    }
    fit::Chain chain;
    chain.x = x, chain.y = y, chain.n = at;
    chain.ring = at > 1 && x[0] == x[at - 1] && y[0] == y[at - 1];
    fit::Polyline line;
    if (fit::fit_chain(chain, tolerance < 0 ? 0u : static_cast<uint32_t>(tolerance), line) != fit::Status::ok)
        return nullptr;
    if (chain.ring && line.runs < 3)
        return nullptr;
    return fit::polyline_block(line.xy.get(), line.count);
}
