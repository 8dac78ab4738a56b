/*
 * colour_lists.cpp - de-duplication and set tests over colour lists.
 *
 * The lists are short (the colours a host picks for a view, rarely more
 * than a few dozen), so every operation is a plain quadratic scan: a sort
 * or a hash would need working memory and, for de-duplication, would lose
 * the order that the host gave.
 *
 * Decisions:
 *  - De-duplication keeps the last occurrence of a repeated colour, so
 *    (5, 7, 5) becomes (7, 5): a colour added again moves to the end, as a
 *    host appending to its list expects.
 *  - "All in" answers true for an empty b: the view code keeps an empty
 *    list to mean that every colour is shown, and there every colour of a
 *    is acceptable. An empty a against a non-empty b answers false, so that
 *    an empty selection never counts as contained.
 */
#include "colour_lists.h"

namespace quill {

namespace {

bool list_has(const int32_t *list, int32_t count, int32_t colour) {
    for (int32_t i = 0; i < count; ++i)
        if (list[i] == colour)
            return true;
    return false;
}

bool empty(const int32_t *list, int32_t count) { return list == nullptr || count < 1; }

} // namespace

int32_t colour_list_unique(int32_t *list, int32_t count) {
    if (empty(list, count))
        return 0;
    // Marking entry i looks only at entries after it, which are not yet
    // marked, so each colour keeps exactly its last occurrence.
    for (int32_t i = 0; i < count; ++i)
        if (list_has(list + i + 1, count - i - 1, list[i]))
            list[i] = -1;
    int32_t kept = 0;
    for (int32_t i = 0; i < count; ++i)
        if (list[i] != -1)
            list[kept++] = list[i];
    return kept;
}

bool colour_lists_share(const int32_t *a, int32_t countA, const int32_t *b, int32_t countB) {
    if (empty(a, countA) || empty(b, countB))
        return false;
    for (int32_t i = 0; i < countA; ++i)
        if (list_has(b, countB, a[i]))
            return true;
    return false;
}

bool colour_list_all_in(const int32_t *a, int32_t countA, const int32_t *b, int32_t countB) {
    if (empty(b, countB))
        return true;
    if (empty(a, countA))
        return false;
    for (int32_t i = 0; i < countA; ++i)
        if (!list_has(b, countB, a[i]))
            return false;
    return true;
}

} // namespace quill
