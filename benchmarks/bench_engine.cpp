// Engine-level benchmark of the imputation pass: every kernel on random tables, plus the
// straightforward pass where it is affordable. Build and run with benchmarks/bench_engine.sh
// (CMake target mirel_bench_engine).
//
// Output columns: rows x cols, NaN rate, rows with a missing cell (q), kernel, best time of
// `repeats` runs (wall and thread CPU), throughput = q * rows * cols / CPU time
// (pair-elements per second).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "knn/impute.hpp"
#include "knn/impute_fast.hpp"

using namespace mirel::knn;

namespace {

struct Table {
    std::size_t rows, cols;
    std::vector<double> cells;
    std::size_t query_rows;
};

Table make_table(std::size_t rows, std::size_t cols, double rate, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> value;
    std::uniform_real_distribution<double> u;
    Table t{rows, cols, std::vector<double>(rows * cols), 0};
    for (std::size_t r = 0; r < rows; ++r) {
        bool any = false;
        for (std::size_t c = 0; c < cols; ++c) {
            const bool hole = u(rng) < rate;
            any |= hole;
            t.cells[r * cols + c] = hole ? std::numeric_limits<double>::quiet_NaN() : value(rng);
        }
        t.query_rows += any;
    }
    return t;
}

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct Timing {
    double wall = std::numeric_limits<double>::infinity();
    double cpu = std::numeric_limits<double>::infinity();
};

// Best wall time and best thread CPU time over `repeats` runs (the machine is shared: CPU time
// is what the pass itself costs, wall time what a caller waits).
template <class F>
Timing best_of(int repeats, F&& f) {
    Timing best;
    for (int i = 0; i < repeats; ++i) {
        const double c0 = thread_cpu_seconds();
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const auto t1 = std::chrono::steady_clock::now();
        const double c1 = thread_cpu_seconds();
        best.wall = std::min(best.wall, std::chrono::duration<double>(t1 - t0).count());
        best.cpu = std::min(best.cpu, c1 - c0);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    // Sizes: rows cols rate, given as arguments in triples, or the default set.
    std::vector<std::tuple<std::size_t, std::size_t, double>> sizes;
    for (int i = 1; i + 2 < argc; i += 3) {
        sizes.emplace_back(std::strtoull(argv[i], nullptr, 10), std::strtoull(argv[i + 1], nullptr, 10),
                           std::strtod(argv[i + 2], nullptr));
    }
    if (sizes.empty()) {
        sizes = {{2000, 20, 0.10}, {5000, 20, 0.10}, {10000, 32, 0.05}, {20000, 8, 0.10}};
    }
    const char* metric = std::getenv("BENCH_METRIC") ? std::getenv("BENCH_METRIC") : "nan_euclid";
    const char* weights = std::getenv("BENCH_WEIGHTS") ? std::getenv("BENCH_WEIGHTS") : "uniform";
    const int repeats = std::getenv("BENCH_REPEATS") ? std::atoi(std::getenv("BENCH_REPEATS")) : 3;
    PassTuning tuning;
    if (const char* v = std::getenv("BENCH_GROUP_ROWS")) {
        tuning.group_rows = std::strtoull(v, nullptr, 10);
    }
    if (const char* v = std::getenv("BENCH_SUPERBLOCK_BYTES")) {
        tuning.superblock_bytes = std::strtoull(v, nullptr, 10);
    }
    const unsigned k = std::getenv("BENCH_K") ? static_cast<unsigned>(std::atoi(std::getenv("BENCH_K"))) : 5u;
    std::printf("metric %s, weights %s, k %u\n", metric, weights, k);
    std::printf("%-12s %6s %7s %-10s %10s %10s %14s\n", "size", "nan", "q", "kernel", "wall s", "cpu s", "pair-elem/s");
    for (const auto& [rows, cols, rate] : sizes) {
        const Table t = make_table(rows, cols, rate, 42);
        KnnImputer imp = KnnImputer::create(k, metric, weights);
        imp.store_fitted(t.cells, rows, cols);
        const double work = static_cast<double>(t.query_rows) * static_cast<double>(rows) * static_cast<double>(cols);
        std::vector<double> first;
        for (const KernelKind kind : available_kernels()) {
            const char* only = std::getenv("BENCH_KERNEL");
            if (only != nullptr && kernel_name(kind) != only) {
                continue;
            }
            std::vector<double> out;
            const Timing s = best_of(
                repeats, [&] { out = std::get<std::vector<double>>(impute_with(imp, t.cells, rows, kind, tuning)); });
            if (first.empty()) {
                first = out;
            } else if (std::memcmp(first.data(), out.data(), out.size() * sizeof(double)) != 0) {
                std::printf("MISMATCH between kernels\n");
                return 1;
            }
            char size[32];
            std::snprintf(size, sizeof size, "%zux%zu", rows, cols);
            std::printf("%-12s %6.2f %7zu %-10s %10.4f %10.4f %14.3e\n", size, rate, t.query_rows,
                        std::string(kernel_name(kind)).c_str(), s.wall, s.cpu, work / s.cpu);
        }
        if (rows <= 5000 && std::getenv("BENCH_REFERENCE")) {
            std::vector<double> out;
            const Timing s =
                best_of(1, [&] { out = std::get<std::vector<double>>(impute_reference(imp, t.cells, rows)); });
            const bool same = std::memcmp(first.data(), out.data(), out.size() * sizeof(double)) == 0;
            std::printf("%-12s %6.2f %7zu %-10s %10.4f %10.4f %14.3e %s\n", "", rate, t.query_rows, "reference", s.wall,
                        s.cpu, work / s.cpu, same ? "identical" : "DIFFERENT");
        }
        std::fflush(stdout);
    }
    return 0;
}
