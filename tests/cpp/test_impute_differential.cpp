// The fast pass against the straightforward one, bit for bit: results, NaN payloads, failures
// and their messages, for every kernel this machine can run (the portable one always) and for
// block sizes small enough that every boundary is crossed on small tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "knn/core/metrics.hpp"
#include "knn/core/panic.hpp"
#include "knn/row/impute.hpp"
#include "knn/row/impute_fast.hpp"

namespace {

using mirel::knn::available_kernels;
using mirel::knn::ImputeResult;
using mirel::knn::KernelKind;
using mirel::knn::KnnImputer;
using mirel::knn::Panic;
using mirel::knn::PassTuning;
using mirel::knn::UnknownMetric;

double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }

const std::vector<double>& nan_patterns() {
    static const std::vector<double> patterns = {
        std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
        from_bits(0x7FF8000000000123ULL),         from_bits(0xFFF80000DEADBEEFULL),
        from_bits(0x7FF0000000000001ULL),  // signalling
        from_bits(0xFFF4000000000000ULL),  // signalling, sign set
        from_bits(0x7FFFFFFFFFFFFFFFULL),
    };
    return patterns;
}

// What a call produced: the result's bits, or which failure with which text.
struct Outcome {
    enum Kind { values, unknown_metric, panic, other } kind = values;
    std::vector<std::uint64_t> bits;
    std::string message;

    bool operator==(const Outcome&) const = default;
};

template <class F>
Outcome capture(F&& call) {
    Outcome out;
    try {
        ImputeResult r = call();
        if (auto* v = std::get_if<std::vector<double>>(&r)) {
            out.bits.reserve(v->size());
            for (const double x : *v) {
                out.bits.push_back(std::bit_cast<std::uint64_t>(x));
            }
        } else {
            out.kind = Outcome::unknown_metric;
            out.message = std::get<UnknownMetric>(r).message;
        }
    } catch (const Panic& e) {
        out.kind = Outcome::panic;
        out.message = e.what();
    } catch (const std::exception& e) {
        out.kind = Outcome::other;
        out.message = e.what();
    }
    return out;
}

std::string describe(const Outcome& o) {
    std::ostringstream s;
    s << "kind " << o.kind << " message '" << o.message << "' cells " << o.bits.size();
    return s.str();
}

// First difference between two outcomes, for a readable failure.
std::string difference(const Outcome& want, const Outcome& got) {
    if (want.kind != got.kind || want.message != got.message || want.bits.size() != got.bits.size()) {
        return "want " + describe(want) + ", got " + describe(got);
    }
    for (std::size_t i = 0; i < want.bits.size(); ++i) {
        if (want.bits[i] != got.bits[i]) {
            char buf[160];
            std::snprintf(buf, sizeof buf, "cell %zu: want %016llx (%.17g), got %016llx (%.17g)", i,
                          static_cast<unsigned long long>(want.bits[i]), from_bits(want.bits[i]),
                          static_cast<unsigned long long>(got.bits[i]), from_bits(got.bits[i]));
            return buf;
        }
    }
    return "equal";
}

// Block sizes that make a small table cross every boundary: one-block super-blocks, groups of
// one to three rows, few selections per group, and a small cap that sends k above it to the
// full-ordering path.
std::vector<std::pair<std::string, PassTuning>> tunings() {
    std::vector<std::pair<std::string, PassTuning>> t;
    t.emplace_back("default", PassTuning{});
    PassTuning tiny;
    tiny.superblock_bytes = 1;
    tiny.group_rows = 3;
    tiny.group_selections = 2;
    tiny.max_bounded_k = 3;
    t.emplace_back("tiny", tiny);
    PassTuning mid;
    mid.superblock_bytes = 5 * 8 * 8 * 3;  // a few blocks, not a multiple of the 4-block unit
    mid.group_rows = 1;
    mid.group_selections = 1;
    mid.max_bounded_k = 1;
    t.emplace_back("mid", mid);
    PassTuning grouped;  // no shared pairs
    grouped.selection_budget_bytes = 0;
    grouped.selection_budget_per_fitted_byte = 0;
    grouped.group_rows = 5;
    t.emplace_back("grouped", grouped);
    // Pruning in every group whatever it skips, at any width; and no pruning at all.
    PassTuning pruning;
    pruning.prune_min_skipped = 0.0;
    pruning.prune_min_columns = 0;
    t.emplace_back("pruning", pruning);
    PassTuning tiny_pruning = tiny;
    tiny_pruning.prune_min_skipped = 0.0;
    tiny_pruning.prune_min_columns = 0;
    t.emplace_back("tiny pruning", tiny_pruning);
    PassTuning grouped_pruning = grouped;
    grouped_pruning.prune_min_skipped = 0.0;
    grouped_pruning.prune_min_columns = 0;
    t.emplace_back("grouped pruning", grouped_pruning);
    PassTuning no_pruning;
    no_pruning.prune = false;
    t.emplace_back("no pruning", no_pruning);
    // The tunings above keep the panel for any candidate count, so that small tables still reach
    // the kernels; the default measures a few candidates in place, and so does this one for any.
    for (std::size_t i = 1; i < t.size(); ++i) {
        t[i].second.row_major_max_candidates = 0;
    }
    PassTuning row_major;
    row_major.row_major_max_candidates = SIZE_MAX;
    t.emplace_back("row major", row_major);
    return t;
}

// Checks impute with its defaults and with every kernel/tuning against impute_reference.
void expect_same_as_reference(const KnnImputer& imp, const std::vector<double>& input, std::size_t input_rows,
                              const std::string& what) {
    const Outcome want = capture([&] { return mirel::knn::impute_reference(imp, input, input_rows); });
    {
        const Outcome got = capture([&] { return mirel::knn::impute(imp, input, input_rows); });
        ASSERT_TRUE(want == got) << what << " impute: " << difference(want, got);
    }
    {
        // impute_into, over a buffer that starts as garbage: every cell is written.
        const Outcome got = capture([&]() -> ImputeResult {
            std::vector<double> out(input.size(), from_bits(0x7FF00000BADBADULL));
            if (std::optional<UnknownMetric> unknown = mirel::knn::impute_into(imp, input, input_rows, out)) {
                return ImputeResult(std::move(*unknown));
            }
            return ImputeResult(std::move(out));
        });
        ASSERT_TRUE(want == got) << what << " impute_into: " << difference(want, got);
    }
    static const auto all_tunings = tunings();
    for (const KernelKind kernel : available_kernels()) {
        for (const auto& named : all_tunings) {
            const PassTuning& tuning = named.second;  // not a structured binding: lambdas capture it
            const Outcome got = capture([&] { return mirel::knn::impute(imp, input, input_rows, {kernel, tuning}); });
            ASSERT_TRUE(want == got) << what << " kernel " << mirel::knn::kernel_name(kernel) << " tuning "
                                     << named.first << ": " << difference(want, got);
        }
    }
}

enum class Values { smooth, ties, special, unit };

struct Table {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> cells;
};

class Generator {
public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    double uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_); }
    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

    double nan() { return nan_patterns()[below(nan_patterns().size())]; }

    double value(Values kind) {
        switch (kind) {
            case Values::smooth:
                return std::uniform_real_distribution<double>(-10.0, 10.0)(rng_);
            case Values::ties: {
                static const double few[] = {0.0, -0.0, 1.0, 2.0, 3.0};
                return few[below(5)];
            }
            case Values::unit: {
                // Around the interval where max(v, 1 - v) bends, 0.5 included.
                static const double few[] = {0.5, 0.0, 1.0, 0.25, 0.75};
                return below(3) == 0 ? few[below(5)] : uniform();
            }
            case Values::special: {
                const std::size_t pick = below(20);
                if (pick == 0)
                    return std::numeric_limits<double>::infinity();
                if (pick == 1)
                    return -std::numeric_limits<double>::infinity();
                if (pick == 2)
                    return -0.0;
                if (pick == 3)
                    return 1e155 * (uniform() + 0.5);  // squares overflow
                if (pick == 4)
                    return 4.9e-324 * static_cast<double>(below(4));
                if (pick == 5)
                    return 0.5;
                if (pick == 6)
                    return -1e300;
                return std::uniform_real_distribution<double>(-1e3, 1e3)(rng_);
            }
        }
        return 0.0;
    }

    Table table(std::size_t rows, std::size_t cols, double nan_rate, Values kind, bool missing_row, bool missing_col) {
        Table t{rows, cols, std::vector<double>(rows * cols)};
        const std::size_t dead_row = rows ? below(rows) : 0;
        const std::size_t dead_col = cols ? below(cols) : 0;
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) {
                const bool hole =
                    uniform() < nan_rate || (missing_row && r == dead_row) || (missing_col && c == dead_col);
                t.cells[r * cols + c] = hole ? nan() : value(kind);
            }
        }
        return t;
    }

private:
    std::mt19937_64 rng_;
};

KnnImputer make(std::uint32_t k, const char* metric, const char* weights, const Table& t) {
    KnnImputer imp = KnnImputer::create(k, metric, weights);
    imp.store_fitted(t.cells, t.rows, t.cols);
    return imp;
}

const char* const METRICS[] = {"nan_euclid", "expected_distance"};
const char* const WEIGHTS[] = {"uniform", "distance"};

// --------------------------------------------------------------------------------- distances --

TEST(FastDistances, EveryKernelMatchesTheScalarMetricsBitForBit) {
    Generator gen(7);
    const Values kinds[] = {Values::smooth, Values::ties, Values::special, Values::unit};
    const std::size_t shapes[][2] = {{1, 1}, {7, 3}, {8, 5}, {9, 1}, {33, 4}, {70, 11}, {41, 70}};
    for (const auto& shape : shapes) {
        for (const Values kind : kinds) {
            for (const double rate : {0.0, 0.2, 0.6}) {
                const Table t = gen.table(shape[0], shape[1], rate, kind, true, shape[1] > 2);
                for (const char* metric : METRICS) {
                    const KnnImputer imp = make(5, metric, "uniform", t);
                    const auto fn = mirel::knn::select_metric(metric);
                    for (const KernelKind kernel : available_kernels()) {
                        for (std::size_t r = 0; r < t.rows; ++r) {
                            const std::size_t candidates = r % 3 == 0 ? t.rows : t.rows - r / 2;
                            const std::vector<double> got = mirel::knn::distances_with(imp, r, candidates, kernel);
                            ASSERT_EQ(got.size(), candidates);
                            for (std::size_t c = 0; c < candidates; ++c) {
                                const double want =
                                    c == r ? mirel::knn::SELF_DISTANCE : fn(imp, imp.row(r), imp.row(c));
                                ASSERT_EQ(std::bit_cast<std::uint64_t>(want), std::bit_cast<std::uint64_t>(got[c]))
                                    << metric << " " << mirel::knn::kernel_name(kernel) << " shape " << t.rows << "x"
                                    << t.cols << " row " << r << " candidate " << c << ": want " << want << " got "
                                    << got[c];
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(FastDistances, InfinitiesInBothRowsGiveTheSameNaNAsTheMetric) {
    // inf - inf in a shared coordinate: the metric's NaN (whatever the hardware makes) must be
    // the kernel's NaN too, bit for bit, since its sign is dropped but its payload ranks.
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Table t{10, 3, {inf, 1.0, 2.0, inf, nan,  2.0, -inf,  1.0,    nan, 1.0,  1.0,  1.0, inf, inf, inf,
                    nan, nan, nan, 0.0, -0.0, 0.0, 1e200, -1e200, 3.0, -inf, -inf, 5.0, inf, 0.5, nan}};
    for (const char* metric : METRICS) {
        const KnnImputer imp = make(1, metric, "uniform", t);
        const auto fn = mirel::knn::select_metric(metric);
        for (const KernelKind kernel : available_kernels()) {
            for (std::size_t r = 0; r < t.rows; ++r) {
                const std::vector<double> got = mirel::knn::distances_with(imp, r, t.rows, kernel);
                for (std::size_t c = 0; c < t.rows; ++c) {
                    const double want = c == r ? mirel::knn::SELF_DISTANCE : fn(imp, imp.row(r), imp.row(c));
                    ASSERT_EQ(std::bit_cast<std::uint64_t>(want), std::bit_cast<std::uint64_t>(got[c]))
                        << metric << " " << mirel::knn::kernel_name(kernel) << " row " << r << " candidate " << c;
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------- whole passes --

struct Case {
    std::size_t rows, cols;
    double rate;
    Values kind;
};

// Inputs derived from a fitted table: itself, a variant with other values and other holes,
// fewer or more rows, short last rows.
std::vector<std::pair<std::string, std::pair<std::vector<double>, std::size_t>>> inputs_for(const Table& t,
                                                                                            Generator& gen) {
    std::vector<std::pair<std::string, std::pair<std::vector<double>, std::size_t>>> out;
    const std::size_t R = t.rows;
    const std::size_t C = t.cols;
    out.push_back({"fitted", {t.cells, R}});
    std::vector<double> other = t.cells;
    for (double& x : other) {
        const double u = gen.uniform();
        if (u < 0.15) {
            x = gen.nan();
        } else if (u < 0.4) {
            x = std::isnan(x) ? gen.value(Values::smooth) : -x * 3.0;
        }
    }
    out.push_back({"other values and holes", {other, R}});
    if (R >= 2) {
        out.push_back({"fewer rows, fitted cell count", {other, R / 2}});
        std::vector<double> shorter(other.begin(), other.begin() + static_cast<std::ptrdiff_t>((R - 1) * C));
        out.push_back({"one row less", {shorter, R - 1}});
    }
    if (C >= 2 && R >= 1) {
        std::vector<double> ragged(other.begin(), other.end() - 1);
        ragged.back() = gen.nan();
        out.push_back({"short last row", {ragged, R}});
    }
    out.push_back({"no candidates", {other, 0}});
    out.push_back({"one candidate", {other, 1}});
    // More rows than were fitted: the candidate check fails when a missing cell lies in the
    // fitted rows, row access when it lies in the extra row only.
    out.push_back({"more candidates than fitted rows", {other, R + 2}});
    std::vector<double> longer = other;
    for (std::size_t c = 0; c < C; ++c) {
        longer.push_back(c % 2 == 0 ? gen.nan() : 1.5);
    }
    out.push_back({"an extra row", {longer, R + 1}});
    std::vector<double> extra_only(longer.size(), 0.25);
    extra_only[R * C] = gen.nan();
    out.push_back({"a missing cell in the extra row only", {extra_only, R}});
    return out;
}

TEST(FastPass, RandomTablesMatchTheReference) {
    Generator gen(2024);
    const Case cases[] = {
        {1, 1, 0.5, Values::smooth},    {2, 3, 0.3, Values::ties},      {5, 2, 0.4, Values::special},
        {19, 4, 0.2, Values::smooth},   {20, 3, 0.25, Values::ties},    {21, 5, 0.1, Values::unit},
        {31, 6, 0.15, Values::special}, {33, 2, 0.3, Values::ties},     {40, 9, 0.1, Values::smooth},
        {64, 3, 0.5, Values::ties},     {65, 7, 0.05, Values::special}, {97, 12, 0.1, Values::unit},
        {130, 5, 0.2, Values::smooth},  {150, 1, 0.3, Values::ties},    {45, 70, 0.08, Values::special},
    };
    for (const Case& cs : cases) {
        for (int variant = 0; variant < 2; ++variant) {
            const Table t = gen.table(cs.rows, cs.cols, cs.rate, cs.kind, variant == 1, variant == 1);
            const auto inputs = inputs_for(t, gen);
            const std::uint32_t ks[] = {
                0,          1, 2, 3, 5, static_cast<std::uint32_t>(cs.rows), static_cast<std::uint32_t>(cs.rows + 3),
                4000000000u};
            for (const std::uint32_t k : ks) {
                for (const char* metric : METRICS) {
                    for (const char* weights : WEIGHTS) {
                        const KnnImputer imp = make(k, metric, weights, t);
                        for (const auto& [name, in] : inputs) {
                            std::ostringstream what;
                            what << cs.rows << "x" << cs.cols << " variant " << variant << " k " << k << " " << metric
                                 << " " << weights << " input '" << name << "'";
                            expect_same_as_reference(imp, in.first, in.second, what.str());
                            if (HasFatalFailure()) {
                                return;
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(FastPass, ManyTiesAndFewDonorsPerColumn) {
    // Columns that are almost all missing force the selections deep into the order; tied
    // distances everywhere exercise the row-index tie break on both sides of every threshold.
    Generator gen(99);
    for (const std::size_t rows : {12u, 40u, 300u}) {
        Table t{rows, 4, std::vector<double>(rows * 4)};
        for (std::size_t r = 0; r < rows; ++r) {
            t.cells[r * 4 + 0] = static_cast<double>(r % 2);
            t.cells[r * 4 + 1] = gen.uniform() < 0.1 ? gen.nan() : 1.0;
            t.cells[r * 4 + 2] = gen.uniform() < 0.95 ? gen.nan() : static_cast<double>(r);
            t.cells[r * 4 + 3] = gen.uniform() < 0.3 ? gen.nan() : static_cast<double>(r % 3);
        }
        for (const std::uint32_t k : {1u, 2u, 5u, 7u}) {
            for (const char* metric : METRICS) {
                for (const char* weights : WEIGHTS) {
                    const KnnImputer imp = make(k, metric, weights, t);
                    expect_same_as_reference(
                        imp, t.cells, rows,
                        "ties " + std::to_string(rows) + " k " + std::to_string(k) + " " + metric + " " + weights);
                    if (HasFatalFailure()) {
                        return;
                    }
                }
            }
        }
    }
}

TEST(FastPass, LargerThanTheDefaultSuperBlock) {
    // The default super-block holds 16 KiB of values: 85 blocks (680 rows) at 3 columns.
    Generator gen(5);
    const Table t = gen.table(700, 3, 0.1, Values::smooth, true, false);
    for (const char* metric : METRICS) {
        for (const std::uint32_t k : {1u, 5u}) {
            const KnnImputer imp = make(k, metric, "distance", t);
            expect_same_as_reference(imp, t.cells, t.rows, std::string("700x3 ") + metric);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

TEST(FastPass, ZeroWeightsTimesInfinityAndDistanceZero) {
    // k = 0 with uniform weights multiplies by +inf (0 * inf = NaN); a duplicate row sits at
    // distance 0 (weight +inf under "distance").
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Table t{5, 2, {0.0, nan, 0.0, 0.0, 0.0, -0.0, 1.0, 5.0, nan, -3.0}};
    for (const char* metric : METRICS) {
        for (const char* weights : WEIGHTS) {
            for (const std::uint32_t k : {0u, 1u, 2u, 9u}) {
                const KnnImputer imp = make(k, metric, weights, t);
                expect_same_as_reference(imp, t.cells, t.rows, std::string(metric) + " " + weights);
                if (HasFatalFailure()) {
                    return;
                }
            }
        }
    }
}

// -------------------------------------------------------------------------------- failures --

struct FailureCase {
    const char* name;
    std::size_t rows, cols;
    std::vector<double> input;
    std::size_t input_rows;
    const char* metric;
    Outcome::Kind kind;
    const char* message;  // nullptr: a result, no failure
};

TEST(FastPass, FailuresComeWithTheSameTextAtTheSamePoint) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> grid(4 * 3, 1.0);  // fitted 4 x 3, all present
    auto with_nan_at = [&](std::size_t n, std::vector<std::size_t> at) {
        std::vector<double> v(n, 2.0);
        for (const std::size_t p : at) {
            v[p] = nan;
        }
        return v;
    };
    const std::vector<FailureCase> cases = {
        {"unknown metric, empty input",
         4,
         3,
         {},
         0,
         "manhattan",
         Outcome::unknown_metric,
         "manhattan is a unknown metric"},
        {"unknown metric, no NaN", 4, 3, with_nan_at(12, {}), 4, "Nan_euclid", Outcome::unknown_metric,
         "Nan_euclid is a unknown metric"},
        {"empty metric name", 4, 3, with_nan_at(12, {5}), 4, "", Outcome::unknown_metric, " is a unknown metric"},
        {"zero columns with NaN", 4, 0, with_nan_at(3, {2}), 3, "nan_euclid", Outcome::panic,
         "attempt to divide by zero"},
        {"zero columns without NaN", 4, 0, with_nan_at(3, {}), 3, "nan_euclid", Outcome::values, nullptr},
        {"missing cell in row R", 4, 3, with_nan_at(15, {13}), 4, "nan_euclid", Outcome::panic,
         "range end index 15 out of range for slice of length 12"},
        {"missing cell beyond row R", 4, 3, with_nan_at(18, {17}), 4, "expected_distance", Outcome::panic,
         "range start index 15 out of range for slice of length 12"},
        {"row R fails before the candidate check", 4, 3, with_nan_at(18, {12}), 6, "nan_euclid", Outcome::panic,
         "range end index 15 out of range for slice of length 12"},
        {"more candidates than fitted rows", 4, 3, with_nan_at(12, {4}), 6, "nan_euclid", Outcome::panic,
         "index out of bounds: the len is 4 but the index is 4"},
        {"more than twenty candidates", 4, 3, with_nan_at(12, {0}), 30, "expected_distance", Outcome::panic,
         "index out of bounds: the len is 4 but the index is 4"},
        {"later row beyond the fitted rows", 4, 3, with_nan_at(18, {1, 7, 16}), 4, "nan_euclid", Outcome::panic,
         "range start index 15 out of range for slice of length 12"},
        {"no fitted rows", 0, 3, with_nan_at(3, {1}), 1, "nan_euclid", Outcome::panic,
         "range end index 3 out of range for slice of length 0"},
        {"no fitted rows, two candidates", 0, 3, with_nan_at(6, {4}), 2, "nan_euclid", Outcome::panic,
         "range start index 3 out of range for slice of length 0"},
        {"one candidate more than rows, one row", 0, 2, with_nan_at(2, {0}), 1, "expected_distance", Outcome::panic,
         "range end index 2 out of range for slice of length 0"},
        {"more candidates but no NaN", 4, 3, with_nan_at(12, {}), 9, "nan_euclid", Outcome::values, nullptr},
        {"more cells but NaN only below R", 4, 3, with_nan_at(16, {2}), 4, "nan_euclid", Outcome::values, nullptr},
    };
    for (const FailureCase& fc : cases) {
        for (const char* weights : WEIGHTS) {
            KnnImputer imp = KnnImputer::create(2, fc.metric, weights);
            imp.store_fitted(
                std::vector<double>(grid.begin(), grid.begin() + static_cast<std::ptrdiff_t>(fc.rows * fc.cols)),
                fc.rows, fc.cols);
            const Outcome want = capture([&] { return mirel::knn::impute_reference(imp, fc.input, fc.input_rows); });
            ASSERT_EQ(want.kind, fc.kind) << fc.name << ": " << describe(want);
            if (fc.message != nullptr) {
                ASSERT_EQ(want.message, fc.message) << fc.name;
            }
            expect_same_as_reference(imp, fc.input, fc.input_rows, fc.name);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

TEST(FastPass, RecordsOutsideTheUsualShapeBehaveLikeTheReference) {
    // A matrix shorter than rows x cols cannot come from the conversion, but the engine API
    // allows it: the fast pass then does what the straightforward pass does.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    KnnImputer imp = KnnImputer::create(2, "nan_euclid", "uniform");
    imp.store_fitted({1.0, 2.0, nan, 4.0, 5.0}, 3, 2);
    expect_same_as_reference(imp, {1.0, 2.0, nan, 4.0, 5.0, 6.0}, 3, "short matrix");
    KnnImputer unfitted = KnnImputer::create(2, "nan_euclid", "uniform");
    expect_same_as_reference(unfitted, {nan}, 1, "unfitted");
    expect_same_as_reference(unfitted, {1.0}, 1, "unfitted, no NaN");
}

TEST(FastPass, UnavailableKernelIsRefused) {
    const auto kinds = available_kernels();
    ASSERT_FALSE(kinds.empty());
    EXPECT_EQ(kinds.front(), KernelKind::portable);
    for (const KernelKind k : {KernelKind::avx2, KernelKind::avx512}) {
        if (std::find(kinds.begin(), kinds.end(), k) == kinds.end()) {
            KnnImputer imp = KnnImputer::create(2, "nan_euclid", "uniform");
            imp.store_fitted({1.0}, 1, 1);
            EXPECT_THROW(mirel::knn::impute(imp, std::vector<double>{1.0}, 1,
                                            mirel::knn::RowPassOptions{k, mirel::knn::PassTuning{}}),
                         std::invalid_argument);
        }
    }
}

// ------------------------------------------------------------------ checks without the pass --

// check_impute must report exactly what the full pass fails with (the unknown metric, or the
// internal failure with its text), and nothing when the pass succeeds, on inputs of every
// length: shorter and longer than the fitted table, short last rows, holes anywhere, more
// candidates than fitted rows.
TEST(CheckImpute, AgreesWithTheFullPassOnMismatchedInputs) {
    Generator gen(4711);
    const char* const metrics[] = {"nan_euclid", "expected_distance", "manhattan"};
    std::size_t failures = 0;
    std::size_t successes = 0;
    for (int round = 0; round < 4000; ++round) {
        const std::size_t R = gen.below(6);
        const std::size_t C = gen.below(5);
        const Table t = gen.table(R, C, 0.3, Values::smooth, false, false);
        const char* metric = metrics[gen.below(round % 7 == 0 ? 3 : 2)];
        const KnnImputer imp = make(static_cast<std::uint32_t>(gen.below(4)), metric, WEIGHTS[gen.below(2)], t);
        const std::size_t n = gen.below((R + 3) * std::max<std::size_t>(C, 1) + 3);
        std::vector<double> input(n);
        const double rate = gen.below(3) == 0 ? 0.0 : gen.uniform() * 0.5;
        for (double& x : input) {
            x = gen.uniform() < rate ? gen.nan() : gen.value(Values::smooth);
        }
        const std::size_t m = gen.below(R + 4);
        const Outcome want = capture([&] { return mirel::knn::impute_reference(imp, input, m); });
        Outcome got;
        try {
            if (const auto unknown = mirel::knn::check_impute(imp, input, m)) {
                got.kind = Outcome::unknown_metric;
                got.message = unknown->message;
            }
        } catch (const Panic& e) {
            got.kind = Outcome::panic;
            got.message = e.what();
        } catch (const std::exception& e) {
            got.kind = Outcome::other;
            got.message = e.what();
        }
        if (want.kind == Outcome::values) {
            EXPECT_EQ(got.kind, Outcome::values) << "round " << round << ": " << describe(got);
            ++successes;
        } else {
            EXPECT_EQ(got.kind, want.kind) << "round " << round << ": want " << describe(want);
            EXPECT_EQ(got.message, want.message) << "round " << round;
            ++failures;
        }
        if (HasFailure()) {
            return;
        }
    }
    // Both sides were reached often.
    EXPECT_GT(failures, 500u);
    EXPECT_GT(successes, 500u);
}

// Columns with no value in any candidate row (the first m fitted rows) have no donor: their
// cells become +0.0 and the rows that only miss such cells are not measured. Mixed with
// ordinary columns, with values of the empty columns in rows that are no candidates, on every
// kernel and tuning.
TEST(FastPass, DonorlessColumnsMatchTheReference) {
    Generator gen(99);
    for (int round = 0; round < 60; ++round) {
        const std::size_t R = 1 + gen.below(70);
        const std::size_t C = 1 + gen.below(6);
        Table t = gen.table(R, C, 0.2, round % 2 == 0 ? Values::smooth : Values::ties, false, false);
        const std::size_t m = gen.below(R + 1);
        // Empty some columns in the candidate rows, some of them in every row.
        for (std::size_t c = 0; c < C; ++c) {
            const std::size_t pick = gen.below(3);
            if (pick == 0) {
                continue;
            }
            const std::size_t end = pick == 1 ? m : R;
            for (std::size_t r = 0; r < end; ++r) {
                t.cells[r * C + c] = gen.nan();
            }
        }
        std::vector<double> input = t.cells;
        for (double& x : input) {
            if (gen.uniform() < 0.1) {
                x = gen.nan();
            }
        }
        for (const std::uint32_t k : {0u, 1u, 3u, 1000u}) {
            for (const char* metric : METRICS) {
                for (const char* weights : WEIGHTS) {
                    const KnnImputer imp = make(k, metric, weights, t);
                    std::ostringstream what;
                    what << "round " << round << " " << R << "x" << C << " m " << m << " k " << k << " " << metric
                         << " " << weights;
                    expect_same_as_reference(imp, input, m, what.str());
                    expect_same_as_reference(imp, t.cells, m, what.str() + " fitted");
                    if (HasFatalFailure()) {
                        return;
                    }
                }
            }
        }
    }
}

}  // namespace
