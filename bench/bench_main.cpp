/*
 * bench_main.cpp - entry point of quill_bench: run defaults, the summary of
 * medians and ratios, and the teardown of the library and its swap files.
 *
 * Defaults: every benchmark is repeated 5 times and the table shows only
 * the aggregates (mean, median, stddev, cv); these machines are noisy, so
 * the median is the figure that counts. The defaults are placed before the
 * command-line arguments, so the caller's own flags win, for example
 *   quill_bench --benchmark_repetitions=1 --benchmark_filter=tiles/.*memory
 *   quill_bench --benchmark_out=run.json --benchmark_out_format=json
 * The table always goes to the console (this reporter replaces the
 * --benchmark_format choice); --benchmark_out writes any format to a file.
 *
 * After the last benchmark the summary lists, per benchmark, the median
 * time, the median rate and the ratio to its baseline (bench_support.h),
 * then the notes the benchmarks left and the peak resident memory of the
 * process (getrusage). With a single repetition the "median" is that one
 * run, and the summary says so.
 *
 * The library's progress callback hands reports to the observer that a
 * benchmark may set (observe_progress) and always answers "go on".
 *
 * The library is started lazily by the first benchmark that needs it and
 * stopped here, which deletes every frame still alive with its swap file;
 * the temporary swap directory is then emptied and removed.
 */
#include "bench/bench_support.h"

#include "quillimg.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace quill_bench {

namespace {

struct RunState {
    std::string swapDirectory;
    bool started = false;
    bool failed = false;
    std::vector<std::pair<std::string, std::string>> comparisons; // name, baseline
    std::vector<std::pair<std::string, std::string>> notes;       // key, line
    void (*observer)(intptr_t) = nullptr;                         // observe_progress()
};

// Function-local, so nothing is constructed before main.
RunState &run_state() {
    static RunState state;
    return state;
}

// The library's progress callback: hands the report on, never cancels.
int forward_progress(intptr_t value) {
    if (run_state().observer)
        run_state().observer(value);
    return 1;
}

void remove_directory(const std::string &path) {
    // Only our own mkdtemp directory: whatever the library left in it (it
    // should be nothing) goes with it.
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                unlink((path + "/" + entry->d_name).c_str());
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

void stop_library() {
    RunState &s = run_state();
    if (s.started)
        QI_CloseFrameFunctions();
    s.started = false;
    if (!s.swapDirectory.empty())
        remove_directory(s.swapDirectory);
    s.swapDirectory.clear();
}

// One benchmark's figures as the summary needs them.
struct Figures {
    double seconds = 0;      // median real time per iteration
    double bytesPerSecond = 0;
    bool median = false;     // false: a single run, no aggregate
    bool failed = false;
    std::string error;
};

double seconds_per_unit(benchmark::TimeUnit unit) {
    switch (unit) {
    case benchmark::kNanosecond:
        return 1e-9;
    case benchmark::kMicrosecond:
        return 1e-6;
    case benchmark::kMillisecond:
        return 1e-3;
    case benchmark::kSecond:
        return 1.0;
    }
    return 1.0;
}

// The name as registered (with its arguments), without the suffixes that
// run options add ("/real_time", "/repeats:5", ...), so that compare() can
// name benchmarks the way they were registered.
std::string plain_name(benchmark::BenchmarkName name) {
    name.min_time.clear();
    name.min_warmup_time.clear();
    name.iterations.clear();
    name.repetitions.clear();
    name.time_type.clear();
    name.threads.clear();
    return name.str();
}

std::string format_time(double seconds) {
    char text[32];
    if (seconds >= 1.0)
        snprintf(text, sizeof text, "%.3f s", seconds);
    else if (seconds >= 1e-3)
        snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
    else
        snprintf(text, sizeof text, "%.2f us", seconds * 1e6);
    return text;
}

// The console table as usual, plus a summary of medians and ratios at the end.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    explicit SummaryReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            std::string name = plain_name(run.run_name);
            bool isMedian = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            bool isSingle = run.run_type == Run::RT_Iteration;
            if (!isMedian && !isSingle)
                continue;
            Figures &f = figures_[name];
            if (f.median && !isMedian)
                continue; // a median already stands for this benchmark
            if (std::find(order_.begin(), order_.end(), name) == order_.end())
                order_.push_back(name);
            f.median = isMedian;
            f.failed = run.error_occurred;
            anyFailed_ = anyFailed_ || run.error_occurred;
            f.error = run.error_message;
            f.seconds = run.GetAdjustedRealTime() * seconds_per_unit(run.time_unit);
            auto rate = run.counters.find("bytes_per_second");
            f.bytesPerSecond = rate != run.counters.end() ? rate->second.value : 0.0;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::ostream &out = GetOutputStream();
        const RunState &s = run_state();
        char line[256];
        out << "\nSummary: median real time per iteration; ratio = time / time of the "
               "baseline in this run\n";
        snprintf(line, sizeof line, "%-28s %12s %12s  %s\n", "benchmark", "time", "MB/s",
                 "ratio (MB = 10^6 bytes)");
        out << line;
        for (const std::string &name : order_) {
            const Figures &f = figures_[name];
            if (f.failed) {
                out << name << ": failed: " << f.error << "\n";
                continue;
            }
            std::string ratio;
            for (const auto &pair : s.comparisons) {
                if (pair.first != name)
                    continue;
                if (!ratio.empty())
                    ratio += ", ";
                auto base = figures_.find(pair.second);
                if (base == figures_.end() || base->second.failed || base->second.seconds <= 0) {
                    ratio += "n/a (" + pair.second + " did not run)";
                } else {
                    char text[96];
                    snprintf(text, sizeof text, "%.2f x %s", f.seconds / base->second.seconds,
                             pair.second.c_str());
                    ratio += text;
                }
            }
            std::string rate = "-";
            if (f.bytesPerSecond > 0) {
                char text[32];
                snprintf(text, sizeof text, "%.0f", f.bytesPerSecond / 1e6);
                rate = text;
            }
            snprintf(line, sizeof line, "%-28s %12s %12s  ", name.c_str(),
                     format_time(f.seconds).c_str(), rate.c_str());
            out << line << ratio << (f.median ? "" : "  (single run, no median)") << "\n";
        }
        for (const auto &noteLine : s.notes)
            out << noteLine.second << "\n";
        struct rusage usage;
        if (getrusage(RUSAGE_SELF, &usage) == 0) {
            // ru_maxrss is in kilobytes on Linux.
            snprintf(line, sizeof line, "peak resident memory of the process: %.1f MB\n",
                     static_cast<double>(usage.ru_maxrss) / 1024.0);
            out << line;
        }
        out.flush();
    }

    bool any_failed() const { return anyFailed_; }

private:
    std::map<std::string, Figures> figures_;
    bool anyFailed_ = false;
    std::vector<std::string> order_; // first report order
};

} // namespace

bool start_library() {
    RunState &s = run_state();
    if (s.started)
        return true;
    if (s.failed)
        return false;
    s.failed = true; // until everything below has worked
    const char *parent = getenv("TMPDIR");
    std::string pattern = std::string(parent && *parent ? parent : "/tmp") + "/quill-bench-XXXXXX";
    // The library takes directories of at most 127 characters.
    if (pattern.size() > 127)
        pattern = "/tmp/quill-bench-XXXXXX";
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    if (!mkdtemp(path.data()))
        return false;
    s.swapDirectory = path.data();
    // The data directory is the same empty directory: no lossy-coding tables
    // are picked up from wherever the benchmark happens to run.
    if (!QI_InitFrameFunctions(s.swapDirectory.c_str(), s.swapDirectory.c_str(), forward_progress)) {
        remove_directory(s.swapDirectory);
        s.swapDirectory.clear();
        return false;
    }
    s.started = true;
    s.failed = false;
    return true;
}

const std::string &swap_directory() { return run_state().swapDirectory; }

void compare(const std::string &name, const std::string &baseline) {
    run_state().comparisons.emplace_back(name, baseline);
}

void observe_progress(void (*observer)(intptr_t value)) { run_state().observer = observer; }

void note(const std::string &key, const std::string &line) {
    auto &notes = run_state().notes;
    for (auto &entry : notes) {
        if (entry.first == key) {
            entry.second = line;
            return;
        }
    }
    notes.emplace_back(key, line);
}

} // namespace quill_bench

int main(int argc, char **argv) {
    std::vector<char *> args;
    args.push_back(argv[0]);
    static char repetitions[] = "--benchmark_repetitions=5";
    static char aggregates[] = "--benchmark_display_aggregates_only=true";
    args.push_back(repetitions);
    args.push_back(aggregates);
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    quill_bench::SummaryReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                   : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    quill_bench::stop_library();
    // A benchmark fails when its checks fail (wrong pixels read back, a
    // tile without a record): make that visible to `make bench`.
    return reporter.any_failed() ? 1 : 0;
}
