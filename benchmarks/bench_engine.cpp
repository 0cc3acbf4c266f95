// Engine-level benchmark of the imputation pass: every kernel on random tables, plus the
// straightforward pass where it is affordable. Build and run with benchmarks/bench_engine.sh
// (CMake target mirel_bench_engine).
//
// Output columns: rows x cols, NaN rate, rows with a missing cell (q), kernel, best time of
// `repeats` runs (wall and thread CPU), throughput = q * rows * cols / CPU time
// (pair-elements per second), and the fraction of the lane-columns (pair-elements) the kernels
// were asked for that pruning skipped, counted on one more run. Then the loop floor (unless
// BENCH_FLOOR=0): the best CPU time of the same kernel over the same pairs the pass measures
// (its panel order, groups and super-block steps, every filter open, no pruning, no selection,
// no fill; see loop_floor), the ratio pass / floor, the floor's pair-elements per second
// (lanes measured, padding included, x columns), and the CPU time of building that panel (the
// row pass and split mode build theirs inside the timed call).
//
// Tables: standard normal cells with NaN placed at random, or (BENCH_RANK=r) of rank r plus
// noise, or read from a file ("@PATH rows cols" in place of "rows cols rate").
// BENCH_PRUNE=0 turns pruning off, BENCH_PRUNE_MIN=f sets the skipped fraction below which the
// pass pauses it (0: prune everywhere), BENCH_PRUNE_MIN_COLUMNS=n the narrowest rows that prune.
//
// BENCH_QUERY=split times the query pass of mirel.sklearn instead: fit on the first 80% of the
// rows (the donors' panel is built inside the timing, as fit does), impute the last 20%;
// BENCH_QUERY=self imputes the fitted table itself (fit_transform). q is then the number of
// query rows with a missing cell, and the throughput q * fitted rows * cols / CPU time.
// BENCH_QUERY empty or unset: the row pass.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "knn/kernels/kernel.hpp"
#include "knn/panel/panel.hpp"
#include "knn/query/query.hpp"
#include "knn/query/query_fast.hpp"
#include "knn/query/query_parallel.hpp"
#include "knn/row/impute.hpp"
#include "knn/row/impute_fast.hpp"

using namespace mirel::knn;

namespace {

struct Table {
    std::size_t rows, cols;
    std::vector<double> cells;
    std::size_t query_rows;
};

// Standard normal cells, or with `rank` > 0 a table of that rank (rows of standard normal
// factors times a fixed standard normal basis) plus noise of standard deviation 0.1: rows that
// have near neighbours, as real tables often do.
Table make_table(std::size_t rows, std::size_t cols, double rate, std::uint64_t seed, std::size_t rank = 0) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> value;
    std::uniform_real_distribution<double> u;
    Table t{rows, cols, std::vector<double>(rows * cols), 0};
    std::vector<double> basis(rank * cols);
    for (double& b : basis) {
        b = value(rng);
    }
    std::vector<double> factor(rank);
    for (std::size_t r = 0; r < rows; ++r) {
        for (double& f : factor) {
            f = value(rng);
        }
        bool any = false;
        for (std::size_t c = 0; c < cols; ++c) {
            const bool hole = u(rng) < rate;
            any |= hole;
            if (hole) {
                t.cells[r * cols + c] = std::numeric_limits<double>::quiet_NaN();
                continue;
            }
            // Draws in the order earlier versions of this benchmark made them (same tables).
            double x = rank == 0 ? value(rng) : 0.1 * value(rng);
            for (std::size_t j = 0; j < rank; ++j) {
                x += factor[j] * basis[j * cols + c];
            }
            t.cells[r * cols + c] = x;
        }
        t.query_rows += any;
    }
    return t;
}

Table read_table(const std::string& path, std::size_t rows, std::size_t cols) {
    Table t{rows, cols, std::vector<double>(rows * cols), 0};
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr || std::fread(t.cells.data(), sizeof(double), t.cells.size(), f) != t.cells.size()) {
        std::fprintf(stderr, "cannot read %zu x %zu doubles from %s\n", rows, cols, path.c_str());
        std::exit(2);
    }
    std::fclose(f);
    for (std::size_t r = 0; r < rows; ++r) {
        bool any = false;
        for (std::size_t c = 0; c < cols; ++c) {
            any |= std::isnan(t.cells[r * cols + c]);
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

// The lane-columns the kernels were asked for and those they skipped, counted on one more
// run(tuning).
template <class F>
detail::PruneCounts prune_counts(const PassTuning& tuning, F&& run) {
    detail::PruneCounts counts;
    PassTuning counted = tuning;
    counted.prune_counts = &counts;
    run(counted);
    return counts;
}

double skipped_fraction(const detail::PruneCounts& counts) {
    return counts.asked == 0 ? 0.0 : static_cast<double>(counts.skipped) / static_cast<double>(counts.asked);
}

// The loop floor: the time of the distance kernel alone over the pairs the pass measures, with
// the pass's own panel order, groups and super-block steps, but every filter wide open, no
// pruning, no selection and no fill. `pass cpu / floor cpu` is what the rest of the pass costs
// on top of its distance loop.
//
// `fitted` (rows x cols, row-major) is what the panel holds; the queries are the rows of `query`
// (query_rows x cols) with a missing cell. With `share_pairs` (a pass over the fitted table itself:
// the query is `fitted`) the imputed rows sit first in the panel, in row order, and the row at
// position p measures positions p.. only and also fills the reverse filter, as both passes do
// within their selection budget; otherwise the panel is in row order and every query measures
// every position. `masked_cells`: whether the panel carries masked cells, as the pass's does.
// The panel is built once, outside the timing (its build is timed on its own). The pass
// (`pass`, a callable) and the floor run alternately, `repeats` times each, so that a change in
// the shared machine's speed hits both alike; the best time of each counts.
struct Floor {
    Timing pass;
    Timing loop;
    Timing build;
    double pair_elements = 0;  // lanes the kernel measured (padding included) x columns, per run
    // Lane-columns the kernel was asked for (per block: its lanes x the query's present
    // columns), counted on one more run: the pass's own count must be the same.
    std::uint64_t asked = 0;
};

template <class Pass>
Floor loop_floor(std::span<const double> fitted, std::size_t fitted_rows, const double* query, std::size_t query_rows,
                 std::size_t cols, bool share_pairs, Metric metric, KernelKind kind, bool masked_cells,
                 const PassTuning& tuning, int repeats, Pass&& pass) {
    const detail::KernelFn kernel = detail::kernel_for(kind, metric, cols);
    std::vector<std::size_t> imputed;
    std::vector<std::size_t> cells;  // missing cells of each imputed row
    for (std::size_t r = 0; r < query_rows; ++r) {
        const std::size_t n = static_cast<std::size_t>(
            std::count_if(query + r * cols, query + (r + 1) * cols, [](double v) { return std::isnan(v); }));
        if (n != 0) {
            imputed.push_back(r);
            cells.push_back(n);
        }
    }
    std::vector<std::size_t> row_of;
    row_of.reserve(fitted_rows);
    if (share_pairs) {
        row_of = imputed;
        std::size_t next = 0;
        for (std::size_t r = 0; r < fitted_rows; ++r) {
            if (next < imputed.size() && imputed[next] == r) {
                ++next;
            } else {
                row_of.push_back(r);
            }
        }
    } else {
        for (std::size_t r = 0; r < fitted_rows; ++r) {
            row_of.push_back(r);
        }
    }
    Floor out;
    detail::Panel panel;
    out.build = best_of(repeats, [&] { panel.build(fitted, cols, row_of, metric, masked_cells); });
    const std::size_t blocks = panel.view().blocks;
    const std::size_t superblock = panel.superblock_blocks(tuning.superblock_bytes);
    detail::BlockScratch scratch(superblock);
    std::vector<std::uint64_t> reverse_threshold(blocks * detail::BLOCK_ROWS, 0);
    std::vector<detail::QueryRow> rows(imputed.size());
    for (std::size_t i = 0; i < imputed.size(); ++i) {
        detail::QueryRow& q = rows[i];
        q.prepare(panel, query + imputed[i] * cols, share_pairs ? i : detail::NO_POSITION);
        q.view.threshold = std::numeric_limits<std::uint64_t>::max();
        q.view.prune = false;
        if (share_pairs) {
            reverse_threshold[i] = std::numeric_limits<std::uint64_t>::max();
            q.view.first = i;
            q.view.reverse_end = imputed.size();
            q.view.reverse_threshold = reverse_threshold.data();
        }
    }
    // Groups as the passes form them: at most group_rows rows, and (without shared pairs,
    // unless one row has more) at most group_selections missing cells.
    std::vector<std::size_t> group_end;
    for (std::size_t g = 0; g < imputed.size();) {
        std::size_t e = g + 1;
        std::size_t n = cells[g];
        while (e < imputed.size() && e - g < tuning.group_rows &&
               (share_pairs || n + cells[e] <= tuning.group_selections)) {
            n += cells[e++];
        }
        group_end.push_back(e);
        g = e;
    }
    auto run = [&] {
        double lanes = 0;
        std::size_t g = 0;
        for (const std::size_t end : group_end) {
            const std::size_t start = share_pairs ? g / detail::BLOCK_ROWS : 0;
            for (std::size_t b0 = start, b1 = 0; b0 < blocks; b0 = b1) {
                b1 = std::min(blocks, b0 + (b0 == start ? 1 : superblock));  // first step: one block
                for (std::size_t i = g; i < end; ++i) {
                    const std::size_t from = share_pairs ? std::max(b0, i / detail::BLOCK_ROWS) : b0;
                    if (from >= b1) {
                        continue;
                    }
                    // A call through a pointer into the library: nothing here can elide it.
                    kernel(panel.view(), rows[i].view, from, b1, scratch.dist(), scratch.forward(),
                           share_pairs ? scratch.reverse() : nullptr);
                    lanes += static_cast<double>((b1 - from) * detail::BLOCK_ROWS);
                }
            }
            g = end;
        }
        out.pair_elements = lanes * static_cast<double>(cols);
    };
    for (int i = 0; i < repeats; ++i) {
        const Timing p = best_of(1, pass);
        const Timing f = best_of(1, run);
        out.pass = {std::min(out.pass.wall, p.wall), std::min(out.pass.cpu, p.cpu)};
        out.loop = {std::min(out.loop.wall, f.wall), std::min(out.loop.cpu, f.cpu)};
    }
    detail::PruneCounts counts;
    for (detail::QueryRow& q : rows) {
        q.view.counts = &counts;
    }
    run();
    out.asked = counts.asked;
    return out;
}

// Whether a pass over the fitted table itself reuses d(i, j) for d(j, i): its selections (16
// bytes per kept donor and 64 per missing cell) fit the budget of PassTuning.
bool shared_pairs_within_budget(const double* cells, std::size_t rows, std::size_t cols, unsigned k,
                                const PassTuning& tuning) {
    std::size_t missing = 0;
    std::size_t imputed = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        std::size_t n = 0;
        for (std::size_t c = 0; c < cols; ++c) {
            n += std::isnan(cells[r * cols + c]);
        }
        missing += n;
        imputed += n != 0;
    }
    const double capacity = static_cast<double>(std::min<std::size_t>(k, rows));
    const double bytes = static_cast<double>(missing) * (16.0 * capacity + 64.0);
    const double budget = static_cast<double>(tuning.selection_budget_bytes) +
                          static_cast<double>(tuning.selection_budget_per_fitted_byte) * static_cast<double>(rows) *
                              static_cast<double>(cols * sizeof(double));
    return imputed >= 2 && bytes <= budget;
}

bool floor_wanted() {
    const char* v = std::getenv("BENCH_FLOOR");
    return v == nullptr || std::atoi(v) != 0;
}

// The floor columns of a result line: floor CPU, pass / floor, the floor's pair-elements per
// second, the panel build's CPU.
void print_floor(const Floor& f, double pass_cpu, const detail::PruneCounts& pass_counts) {
    if (f.asked != pass_counts.asked) {
        std::fprintf(stderr, "loop floor: measured %llu lane-columns, the pass asked for %llu\n",
                     static_cast<unsigned long long>(f.asked), static_cast<unsigned long long>(pass_counts.asked));
    }
    std::printf(" %10.4f %7.2f %14.3e %9.4f", f.loop.cpu, pass_cpu / f.loop.cpu, f.pair_elements / f.loop.cpu,
                f.build.cpu);
}

// Keeps the first kernel's result; false (after saying so) when a later kernel's differs.
bool agrees(std::vector<double>& first, const std::vector<double>& out) {
    if (first.empty()) {
        first = out;
        return true;
    }
    if (std::memcmp(first.data(), out.data(), out.size() * sizeof(double)) != 0) {
        std::printf("MISMATCH between kernels\n");
        return false;
    }
    return true;
}

// Whether kernel `name` is to be run (BENCH_KERNEL names one, or all are).
bool wanted(std::string_view name) {
    const char* only = std::getenv("BENCH_KERNEL");
    return only == nullptr || name == only;
}

// The query pass (see BENCH_QUERY above) on every kernel; false when two kernels disagree.
bool bench_query(const Table& t, const std::string& mode, unsigned k, const std::string& weights, int repeats,
                 const PassTuning& tuning) {
    const bool self = mode == "self";
    const std::size_t fitted_rows = self ? t.rows : t.rows * 4 / 5;
    const std::size_t query_rows = self ? t.rows : t.rows - fitted_rows;
    const TableView fitted{t.cells.data(), fitted_rows, t.cols};
    const std::vector<double> query(t.cells.begin() + static_cast<std::ptrdiff_t>((t.rows - query_rows) * t.cols),
                                    t.cells.end());
    std::size_t q = 0;
    for (std::size_t r = 0; r < query_rows; ++r) {
        q += std::any_of(query.begin() + static_cast<std::ptrdiff_t>(r * t.cols),
                         query.begin() + static_cast<std::ptrdiff_t>((r + 1) * t.cols),
                         [](double v) { return std::isnan(v); });
    }
    const Weights w = weights == "distance" ? Weights::distance : Weights::uniform;
    const double work = static_cast<double>(q) * static_cast<double>(fitted_rows) * static_cast<double>(t.cols);
    std::vector<double> first;
    for (const KernelKind kind : available_kernels()) {
        if (!wanted(kernel_name(kind))) {
            continue;
        }
        std::vector<double> out;
        auto run = [&](const PassTuning& with) {
            const QueryDonors donors(fitted);
            out = query;
            query_pass({donors, out.data(), query_rows, 0, query_rows, k, w, kind}, with_tuning(PassOptions{}, with));
        };
        std::optional<Floor> floor;
        if (floor_wanted()) {
            // fit_transform: the pass measures the table against itself (and shares d(i, j)
            // within its budget); otherwise the query rows against the fitted rows' panel.
            const bool share_pairs = self && shared_pairs_within_budget(t.cells.data(), t.rows, t.cols, k, tuning);
            floor = loop_floor(std::span(t.cells.data(), fitted_rows * t.cols), fitted_rows, query.data(), query_rows,
                               t.cols, share_pairs, Metric::nan_euclid, kind, best_kernel() == KernelKind::portable,
                               tuning, repeats, [&] { run(tuning); });
        }
        const Timing s = floor ? floor->pass : best_of(repeats, [&] { run(tuning); });
        const detail::PruneCounts counts = prune_counts(tuning, run);
        const double skipped = skipped_fraction(counts);
        if (!agrees(first, out)) {
            return false;
        }
        char size[48];
        std::snprintf(size, sizeof size, "%zux%zu %s", t.rows, t.cols, self ? "self" : "split");
        std::printf("%-12s %6s %7zu %-10s %10.4f %10.4f %14.3e %8.3f", size, "", q,
                    std::string(kernel_name(kind)).c_str(), s.wall, s.cpu, work / s.cpu, skipped);
        if (floor) {
            print_floor(*floor, s.cpu, counts);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Sizes: rows cols rate, given as arguments in triples, or the default set.
    // "@PATH rows cols" instead reads a table of rows x cols doubles (raw, little-endian,
    // row-major; NaN for a missing cell) from PATH.
    std::vector<std::tuple<std::size_t, std::size_t, double>> sizes;
    std::vector<std::string> files;
    for (int i = 1; i + 2 < argc; i += 3) {
        const bool file = argv[i][0] == '@';
        files.push_back(file ? std::string(argv[i] + 1) : std::string());
        sizes.emplace_back(std::strtoull(file ? argv[i + 1] : argv[i], nullptr, 10),
                           std::strtoull(file ? argv[i + 2] : argv[i + 1], nullptr, 10),
                           file ? 0.0 : std::strtod(argv[i + 2], nullptr));
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
    if (const char* v = std::getenv("BENCH_PRUNE")) {
        tuning.prune = std::atoi(v) != 0;
    }
    if (const char* v = std::getenv("BENCH_PRUNE_MIN")) {
        tuning.prune_min_skipped = std::strtod(v, nullptr);
    }
    if (const char* v = std::getenv("BENCH_PRUNE_MIN_COLUMNS")) {
        tuning.prune_min_columns = std::strtoull(v, nullptr, 10);
    }
    const std::size_t rank = std::getenv("BENCH_RANK") ? std::strtoull(std::getenv("BENCH_RANK"), nullptr, 10) : 0;
    const unsigned k = std::getenv("BENCH_K") ? static_cast<unsigned>(std::atoi(std::getenv("BENCH_K"))) : 5u;
    std::printf(
        "metric %s, weights %s, k %u, %s\n", metric, weights, k,
        !files.empty() && std::all_of(files.begin(), files.end(), [](const std::string& f) { return !f.empty(); })
            ? "tables from files"
        : rank == 0 ? "standard normal cells"
                    : ("rank " + std::to_string(rank) + " plus noise").c_str());
    std::printf("%-12s %6s %7s %-10s %10s %10s %14s %8s", "size", "nan", "q", "kernel", "wall s", "cpu s",
                "pair-elem/s", "skipped");
    if (floor_wanted()) {
        std::printf(" %10s %7s %14s %9s", "floor s", "ratio", "floor el/s", "build s");
    }
    std::printf("\n");
    for (std::size_t n = 0; n < sizes.size(); ++n) {
        const auto [rows, cols, drawn_rate] = sizes[n];
        double rate = drawn_rate;
        Table t{};
        if (n < files.size() && !files[n].empty()) {
            t = read_table(files[n], rows, cols);
            std::size_t missing = 0;
            for (const double v : t.cells) {
                missing += std::isnan(v);
            }
            rate = t.cells.empty() ? 0.0 : static_cast<double>(missing) / static_cast<double>(t.cells.size());
        } else {
            t = make_table(rows, cols, rate, 42, rank);
        }
        if (const char* mode = std::getenv("BENCH_QUERY"); mode != nullptr && *mode != '\0') {
            if (!bench_query(t, mode, k, weights, repeats, tuning)) {
                return 1;
            }
            continue;
        }
        KnnImputer imp = KnnImputer::create(k, metric, weights);
        imp.store_fitted(t.cells, rows, cols);
        const double work = static_cast<double>(t.query_rows) * static_cast<double>(rows) * static_cast<double>(cols);
        std::vector<double> first;
        for (const KernelKind kind : available_kernels()) {
            if (!wanted(kernel_name(kind))) {
                continue;
            }
            std::vector<double> out;
            auto run = [&](const PassTuning& with) {
                out = std::get<std::vector<double>>(impute(imp, t.cells, rows, {kind, with}));
            };
            std::optional<Floor> floor;
            if (floor_wanted()) {
                // The row pass imputes the fitted rows themselves (sharing d(i, j) within its
                // budget); its panel is built inside the pass, so the pass time includes it.
                const bool share_pairs = shared_pairs_within_budget(t.cells.data(), rows, cols, k, tuning);
                floor = loop_floor(t.cells, rows, t.cells.data(), rows, cols, share_pairs, imp.metric_kind(), kind,
                                   detail::kernel_for(kind, imp.metric_kind(), cols).masked_cells, tuning, repeats,
                                   [&] { run(tuning); });
            }
            const Timing s = floor ? floor->pass : best_of(repeats, [&] { run(tuning); });
            const detail::PruneCounts counts = prune_counts(tuning, run);
            const double skipped = skipped_fraction(counts);
            if (!agrees(first, out)) {
                return 1;
            }
            char size[32];
            std::snprintf(size, sizeof size, "%zux%zu", rows, cols);
            std::printf("%-12s %6.2f %7zu %-10s %10.4f %10.4f %14.3e %8.3f", size, rate, t.query_rows,
                        std::string(kernel_name(kind)).c_str(), s.wall, s.cpu, work / s.cpu, skipped);
            if (floor) {
                print_floor(*floor, s.cpu, counts);
            }
            std::printf("\n");
            std::fflush(stdout);
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
