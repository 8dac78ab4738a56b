/*
 * concat.cpp - QV_ConcatSegments and QV_ChainSegments: the chain of
 * segments that joins segments chosen by the caller, merged into one.
 *
 * The graph's nodes (triangles) are joined by segments through their
 * edges. Between two listed segments the path is found by a depth-first
 * search with a bound: from the node at which the previous segment ends,
 * every other edge that carries a segment and leads to a node is followed;
 * the cost of a path is the sum of its segments' element counts plus, for
 * each consecutive pair, the junction distance (the smallest city-block
 * distance between their end centres, in doubled units). A path is cut
 * when its cost reaches the best found so far or when it holds maxGap
 * segments, and a listed segment is never passed through. At each node the
 * continuing edges are tried nearer to the target first, so that the bound
 * tightens early.
 *
 *          S            u            T
 *     ==========<  [node] >--- ... ---> ==========
 *                     \____ other edge, tried second
 *
 * The first listed segment has two ends; the search runs from both and
 * keeps the cheaper complete path (the first on equal cost), starting with
 * the end nearer to the second listed segment. Each later gap starts at the
 * node on the far side of the segment just reached. The path is then
 * merged by the chaining engine: each segment copied forward or reversed so
 * that its first element meets the end of what came before.
 *
 * Decisions:
 * - Offsets are checked, not trusted: every offset must be the start of one
 *   of the object's segments (the block is walked once and the starts are
 *   searched by bisection); an offset elsewhere, a count below -1, a
 *   maxGap below 1 or of 50 and above, or null pointers give null. The same
 *   holds for QV_ChainSegments, which returns null when it refuses.
 * - Marks (segments listed, segments on the current path) are kept in a
 *   work array of the call instead of bit 31 of the caller's count words:
 *   the graph is never written, so no failure can leave a mark behind.
 * - A closed list (a loop among them) must come back to its first segment
 *   through that segment's other end: a path that leaves through one end
 *   and re-enters through the same end encloses nothing.
 * - A segment reached as a target is continued from the node on its far
 *   side; a target that ends in a cap (no node there) may still end the
 *   list, but no further gap can start from it.
 * - A gap search expands at most 2^20 edges; on a pathological graph it
 *   keeps the best path found within that budget (maxGap < 50 with two
 *   ways at every node would otherwise allow 2^49 paths).
 * - The node block and links come from QV_MakeGraph, yet every neighbour
 *   index, back edge and link is range-checked before it is followed.
 */
#include "segments.h"

#include "quillvec.h"

namespace quill {
namespace seg {
namespace {

constexpr uint32_t kFarBit = 0x80000000u;
constexpr uint32_t kNoDistance = 2147483647u;
constexpr int64_t kBudget = int64_t{1} << 20;

// The segment data of one object and the starts of its segments.
struct SegmentSet {
    const uint8_t *data = nullptr; // block + 4
    uint32_t count = 0;
    HeapBlock<uint32_t> starts;

    bool load(const void *block) {
        count = word_at(block, 0);
        data = static_cast<const uint8_t *>(block) + 4;
        if (count > kCountMask || !starts.allocate(size_t{count} + 1))
            return false;
        size_t at = 0;
        for (uint32_t s = 0; s < count; ++s) {
            if (at > UINT32_MAX)
                return false;
            starts[s] = static_cast<uint32_t>(at);
            at += 4 + 8 * size_t{word_at(data, at) & kCountMask};
        }
        return true;
    }
    // Index of the segment starting at `offset`, or -1.
    int64_t index_of(int64_t offset) const {
        if (offset < 0 || count == 0)
            return -1;
        uint32_t lo = 0, hi = count;
        while (lo < hi) {
            const uint32_t mid = lo + (hi - lo) / 2;
            if (starts[mid] < offset)
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo < count && starts[lo] == offset ? int64_t{lo} : int64_t{-1};
    }
    const uint8_t *at(uint32_t offset) const { return data + offset; }
};

// The segment data selected by the last QV_ConcatSegments call, for
// QV_ChainSegments (the interface keeps this between calls).
const void *g_selectedBlock = nullptr;

uint32_t centre_word_sum(const uint8_t *s, uint32_t k, bool wantY) {
    const uint32_t a = side(s, k, 0), b = side(s, k, 1);
    return static_cast<uint32_t>(wantY ? py(a) + py(b) : px(a) + px(b));
}

// Junction distance of segments s and t (bit 31: the minimum involves s's
// last element).
uint32_t junction_distance(const uint8_t *s, const uint8_t *t) {
    if (s == nullptr || t == nullptr)
        return kNoDistance;
    const uint32_t ns = count_of(s), nt = count_of(t);
    if (ns == 0 || nt == 0)
        return kNoDistance;
    const uint32_t se[2] = {0, ns - 1}, te[2] = {0, nt - 1};
    uint32_t best = kNoDistance, result = kNoDistance;
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) {
            const int32_t dx = static_cast<int32_t>(centre_word_sum(s, se[i], false) - centre_word_sum(t, te[j], false));
            const int32_t dy = static_cast<int32_t>(centre_word_sum(s, se[i], true) - centre_word_sum(t, te[j], true));
            const uint32_t d = static_cast<uint32_t>((dx < 0 ? -dx : dx) + (dy < 0 ? -dy : dy));
            if (d < best)
                best = d, result = d | (i == 1 ? kFarBit : 0);
        }
    return result;
}

// The chaining engine: the segments at `path` (n offsets) appended to out.
// Returns the end of what was written.
uint8_t *chain(const SegmentSet &set, const uint32_t *path, uint32_t n, uint8_t *out) {
    size_t at = 0;
    auto copy = [&](const uint8_t *u, bool reversed) {
        const uint32_t c = count_of(u);
        for (uint32_t k = 0; k < c; ++k) {
            const uint32_t e = reversed ? c - 1 - k : k;
            const uint32_t a = side(u, e, 0), b = side(u, e, 1);
            put_word(out, at, reversed ? b : a);
            put_word(out, at + 4, reversed ? a : b);
            at += 8;
        }
    };
    if (n == 0)
        return out;
    const uint8_t *s = set.at(path[0]);
    if (n == 1) {
        copy(s, false);
        return out + at;
    }
    const uint32_t ns = count_of(s);
    uint32_t endA = 0xFFFFFFFFu, endB = 0xFFFFFFFFu;
    if (ns != 0) {
        const uint8_t *t = set.at(path[1]);
        const uint32_t nt = count_of(t);
        const uint32_t lastA = side(s, ns - 1, 0), lastB = side(s, ns - 1, 1);
        bool forward = false;
        if (nt != 0)
            forward = lastA == side(t, 0, 0) || lastA == side(t, nt - 1, 1) || lastB == side(t, 0, 1) ||
                      lastB == side(t, nt - 1, 0);
        if (forward)
            endA = side(s, 0, 0), endB = side(s, 0, 1);
        else
            endA = lastB, endB = lastA;
    }
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t *u = set.at(path[i]);
        const uint32_t c = count_of(u);
        if (c == 0)
            continue;
        if (side(u, 0, 0) == endA || side(u, 0, 1) == endB) {
            copy(u, false);
            endA = side(u, c - 1, 0), endB = side(u, c - 1, 1);
        } else {
            copy(u, true);
            endA = side(u, 0, 1), endB = side(u, 0, 0);
        }
    }
    return out + at;
}

// One gap search at a time; the members are the call's state.
class PathSearch {
public:
    PathSearch(const SegmentSet &set, const QV_GraphNode *nodes, uint32_t nNodes, uint8_t *marks, uint32_t maxGap)
        : set_(set), nodes_(nodes), nNodes_(nNodes), marks_(marks), maxGap_(maxGap) {}

    bool allocate() { return current_.allocate(maxGap_ + 1) && best_.allocate(maxGap_ + 1); }

    // From `node`, arrived through edge `arrival`, after segment `from`, to
    // segment `target`. On success the path (target last) is in best(),
    // its length in length(), its cost in cost(), and the node across the
    // target's far edge in endNode/endEdge (-1 for a cap).
    // When mustNode >= 0 the target counts only when reached through edge
    // mustEdge of node mustNode (a closed list must come back to its first
    // segment through its other end, not leave and re-enter one end).
    bool search(int32_t node, int32_t arrival, uint32_t from, uint32_t target, int32_t mustNode = -1,
                int32_t mustEdge = -1) {
        target_ = target;
        mustNode_ = mustNode, mustEdge_ = mustEdge;
        bestCost_ = INT64_MAX;
        bestLength_ = 0;
        budget_ = kBudget;
        visit(node, arrival, from, 0, 0);
        return bestLength_ != 0;
    }
    const uint32_t *best() const { return best_.get(); }
    uint32_t length() const { return bestLength_; }
    int64_t cost() const { return bestCost_; }
    int32_t endNode = -1, endEdge = -1;

private:
    bool usable_link(const QV_GraphNode &nd, int j) const { return set_.index_of(nd.link[j]) >= 0; }

    void visit(int32_t node, int32_t arrival, uint32_t from, int64_t cost, uint32_t depth) {
        const QV_GraphNode &nd = nodes_[node];
        int order[3], n = 0;
        uint32_t dist[3];
        for (int j = 0; j < 3; ++j) {
            if (j == arrival || !usable_link(nd, j))
                continue;
            dist[j] = junction_distance(set_.at(static_cast<uint32_t>(nd.link[j])), set_.at(target_)) & ~kFarBit;
            int at = n++;
            while (at > 0 && dist[order[at - 1]] > dist[j]) {
                order[at] = order[at - 1];
                --at;
            }
            order[at] = j;
        }
        for (int i = 0; i < n; ++i) {
            if (--budget_ < 0)
                return;
            const int j = order[i];
            const uint32_t s = static_cast<uint32_t>(nd.link[j]);
            const uint8_t *seg = set_.at(s);
            const int64_t c =
                cost + count_of(seg) + (junction_distance(set_.at(from), seg) & ~kFarBit);
            const int32_t across = nd.neighbour[j];
            const bool hasNode = across >= 0 && static_cast<uint32_t>(across) < nNodes_ && nd.backEdge[j] < 3;
            if (s == target_) {
                const bool through = mustNode_ < 0 || (node == mustNode_ && j == mustEdge_);
                if (through && c < bestCost_) {
                    bestCost_ = c;
                    memcpy(best_.get(), current_.get(), 4 * size_t{depth});
                    best_[depth] = s;
                    bestLength_ = depth + 1;
                    endNode = hasNode ? across : -1;
                    endEdge = hasNode ? nd.backEdge[j] : -1;
                }
                continue;
            }
            const uint32_t index = static_cast<uint32_t>(set_.index_of(s));
            if (marks_[index] || !hasNode || c >= bestCost_ || depth + 1 >= maxGap_)
                continue;
            marks_[index] = 1;
            current_[depth] = s;
            visit(across, nd.backEdge[j], s, c, depth + 1);
            marks_[index] = 0;
        }
    }

    const SegmentSet &set_;
    const QV_GraphNode *nodes_;
    uint32_t nNodes_;
    uint8_t *marks_;
    uint32_t maxGap_;
    HeapBlock<uint32_t> current_, best_;
    uint32_t target_ = 0, bestLength_ = 0;
    int32_t mustNode_ = -1, mustEdge_ = -1;
    int64_t bestCost_ = 0, budget_ = 0;
};

// The whole path through the listed segments from one end of the first.
// Returns its cost, or -1 when some gap has no path.
// A closed list ends by reaching the first segment through (endNode,
// endEdge), its other end.
int64_t complete_path(PathSearch &search, const uint32_t *list, uint32_t k, int32_t node, int32_t edge,
                      bool closed, int32_t endNode, int32_t endEdge, uint32_t *path, uint32_t &length) {
    length = 1;
    path[0] = list[0];
    int64_t total = 0;
    for (uint32_t g = 1; g < k; ++g) {
        const bool last = closed && g + 1 == k;
        if (node < 0 || (last && endNode < 0) ||
            !search.search(node, edge, list[g - 1], list[g], last ? endNode : -1, last ? endEdge : -1))
            return -1;
        memcpy(path + length, search.best(), 4 * size_t{search.length()});
        length += search.length();
        total += search.cost();
        node = search.endNode;
        edge = search.endEdge;
    }
    return total;
}

void *copy_segment(const uint8_t *s) {
    const size_t bytes = 4 + 8 * size_t{count_of(s)};
    if (bytes > UINT32_MAX)
        return nullptr;
    void *out = qs_malloc(static_cast<uint32_t>(bytes));
    if (out != nullptr)
        memcpy(out, s, bytes);
    return out;
}

} // namespace
} // namespace seg
} // namespace quill

namespace quill {
namespace seg {

fit::Status concat(void **graph, int32_t object, int32_t *offsets, int32_t count, int32_t maxGap, void **result) {
    *result = nullptr;
    const fit::Status refused = fit::Status::refused, noMemory = fit::Status::no_memory;
    if (graph == nullptr || object < 0)
        return refused;
    const void *segBlock = graph[2 * size_t(object) + 1];
    const void *nodeBlock = graph[2 * size_t(object)];
    if (segBlock == nullptr)
        return refused;
    // The object is selected for QV_ChainSegments even when the rest of the
    // arguments are refused, so that a later chain never reads the data of
    // an object (or a graph) that the caller has moved on from.
    g_selectedBlock = segBlock;
    if (offsets == nullptr || count == 0 || count < -1 || maxGap < 1 || maxGap >= 50)
        return refused;
    SegmentSet set;
    if (!set.load(segBlock))
        return set.count > kCountMask ? refused : noMemory;
    const bool loop = count == -1;
    const uint32_t given = loop ? 1u : static_cast<uint32_t>(count);
    for (uint32_t i = 0; i < given; ++i)
        if (set.index_of(offsets[i]) < 0)
            return refused;
    // The list: a loop is its segment as start and target; otherwise runs
    // of equal offsets collapse, in the caller's list too.
    HeapBlock<uint32_t> list;
    if (!list.allocate(size_t{given} + 1))
        return noMemory;
    uint32_t k = 0;
    if (loop) {
        list[0] = list[1] = static_cast<uint32_t>(offsets[0]);
        k = 2;
    } else {
        for (uint32_t i = 0; i < given; ++i)
            if (k == 0 || list[k - 1] != static_cast<uint32_t>(offsets[i]))
                list[k++] = static_cast<uint32_t>(offsets[i]);
        for (uint32_t i = 0; i < k; ++i)
            offsets[i] = static_cast<int32_t>(list[i]);
    }
    const bool closed = k > 1 && list[0] == list[k - 1];
    if (nodeBlock == nullptr || k == 1) {
        *result = copy_segment(set.at(list[0]));
        return *result ? fit::Status::ok : noMemory;
    }

    const uint32_t nNodes = word_at(nodeBlock, 0);
    const QV_GraphNode *nodes =
        reinterpret_cast<const QV_GraphNode *>(static_cast<const uint8_t *>(nodeBlock) + 4);
    // The first segment's two ends: the first node that has it on an edge,
    // and the node across that edge.
    int32_t n1 = -1, e1 = -1;
    for (uint32_t i = 0; i < nNodes && n1 < 0; ++i)
        for (int j = 0; j < 3; ++j)
            if (nodes[i].link[j] == static_cast<int32_t>(list[0])) {
                n1 = static_cast<int32_t>(i), e1 = j;
                break;
            }
    if (n1 < 0)
        return refused;
    int32_t n2 = nodes[n1].neighbour[e1], e2 = nodes[n1].backEdge[e1];
    if (n2 < 0 || static_cast<uint32_t>(n2) >= nNodes || e2 > 2)
        n2 = -1, e2 = -1;
    if (junction_distance(set.at(list[0]), set.at(list[1])) & kFarBit) {
        const int32_t tn = n1, te = e1;
        n1 = n2, e1 = e2, n2 = tn, e2 = te;
    }

    HeapBlock<uint8_t> marks;
    const size_t pathCapacity = size_t{k} * static_cast<uint32_t>(maxGap) + 1;
    HeapBlock<uint32_t> pathA, pathB;
    if (!marks.allocate(set.count) || !pathA.allocate(pathCapacity) || !pathB.allocate(pathCapacity))
        return noMemory;
    memset(marks.get(), 0, set.count);
    for (uint32_t i = 0; i < k; ++i)
        marks[static_cast<size_t>(set.index_of(list[i]))] = 1;
    PathSearch search(set, nodes, nNodes, marks.get(), static_cast<uint32_t>(maxGap));
    if (!search.allocate())
        return noMemory;
    uint32_t lengthA = 0, lengthB = 0;
    const int64_t costA = complete_path(search, list.get(), k, n1, e1, closed, n2, e2, pathA.get(), lengthA);
    const int64_t costB = complete_path(search, list.get(), k, n2, e2, closed, n1, e1, pathB.get(), lengthB);
    if (costA < 0 && costB < 0)
        return refused;
    const bool useA = costA >= 0 && (costB < 0 || costA <= costB);
    const uint32_t *path = useA ? pathA.get() : pathB.get();
    uint32_t length = useA ? lengthA : lengthB;
    if (loop && length <= 2)
        return refused; // the loop found only the segment itself
    if (closed)
        --length; // the first segment, reached again, is not copied twice
    uint64_t elements = closed ? 1 : 0;
    for (uint32_t i = 0; i < length; ++i)
        elements += count_of(set.at(path[i]));
    if (elements > kCountMask || 4 + 8 * elements > UINT32_MAX)
        return refused;
    uint8_t *out = static_cast<uint8_t *>(qs_malloc(static_cast<uint32_t>(4 + 8 * elements)));
    if (out == nullptr)
        return noMemory;
    put_word(out, 0, static_cast<uint32_t>(elements));
    uint8_t *end = chain(set, path, length, out + 4);
    if (closed)
        memcpy(end, out + 4, 8);
    *result = out;
    return fit::Status::ok;
}

} // namespace seg
} // namespace quill

extern "C" QV_API void *QV_ConcatSegments(void **graph, int32_t object, int32_t *offsets, int32_t count,
                                          int32_t maxGap) {
    void *result = nullptr;
    quill::seg::concat(graph, object, offsets, count, maxGap, &result);
    return result;
}

using namespace quill;
using namespace quill::seg;

extern "C" QV_API void *QV_ChainSegments(const int32_t *offsets, int32_t count, void *out) {
    if (offsets == nullptr || out == nullptr || count < 1 || g_selectedBlock == nullptr)
        return nullptr;
    SegmentSet set;
    if (!set.load(g_selectedBlock))
        return nullptr;
    HeapBlock<uint32_t> path;
    if (!path.allocate(static_cast<uint32_t>(count)))
        return nullptr;
    for (int32_t i = 0; i < count; ++i) {
        if (set.index_of(offsets[i]) < 0)
            return nullptr;
        path[static_cast<size_t>(i)] = static_cast<uint32_t>(offsets[i]);
    }
    return chain(set, path.get(), static_cast<uint32_t>(count), static_cast<uint8_t *>(out));
}
