/*
 * bench_support.h - what every Quill benchmark shares: the library started
 * once per run with a private swap directory, and the summary printed after
 * the last benchmark.
 *
 * Comparisons: a benchmark names its baseline (memcpy of the same bytes, or
 * a peer tool doing the same job) with compare(); the summary then prints
 * the median time of each benchmark and its ratio to the median time of the
 * baseline measured in the same process, so both numbers saw the same
 * machine state. Ratios are time / baseline time: 3.0 means three times as
 * long as the baseline.
 */
#ifndef QUILL_BENCH_BENCH_SUPPORT_H
#define QUILL_BENCH_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

#include <stdint.h>

#include <string>

namespace quill_bench {

// Starts quillimg on first use (no data directory, swap files in a fresh
// temporary directory that is removed at the end of the run). Returns false
// when the directory or the library cannot be set up.
bool start_library();

// The swap directory of this run; empty before start_library() succeeded.
const std::string &swap_directory();

// Benchmark `name` (as registered) is compared with `baseline` in the
// summary; a benchmark may have several baselines, listed in this order.
void compare(const std::string &name, const std::string &baseline);

// Adds a line to the notes printed with the summary (sizes, content, checks).
// A note given again with the same key replaces the earlier one.
void note(const std::string &key, const std::string &line);

// Hands every progress report of the library to `observer` until it is set
// to null (the library's callback always answers "go on"). A benchmark can
// sample what an operation holds while it works; no benchmark leaves one set.
void observe_progress(void (*observer)(intptr_t value));

// A benchmark file's fixture, built once on first use by `build`, which
// returns null or the reason it failed (kept in the fixture's `error`).
template <typename Fixture, const char *(*build)(Fixture &)>
Fixture &lazy_fixture() {
    static Fixture instance;
    static bool built = false;
    if (!built) {
        built = true;
        instance.error = build(instance);
    }
    return instance;
}

// The fixture, or null after marking the benchmark skipped with the reason
// the fixture could not be built.
template <typename Fixture>
Fixture *ready_or_skip(benchmark::State &state, Fixture &fixture) {
    if (fixture.error) {
        state.SkipWithError(fixture.error);
        return nullptr;
    }
    return &fixture;
}

} // namespace quill_bench

#endif
