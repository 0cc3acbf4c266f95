// Random tables through both passes, checked against each other and against a small oracle that
// recomputes every missing cell on its own (per cell, with its own metrics and its own ordering).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "knn/row/impute.hpp"
#include "test_helpers.hpp"

namespace mirel::knn::testing {
namespace {

// ---------------------------------------------------------------------------------------------
// Ranking key
// ---------------------------------------------------------------------------------------------

TEST(DistanceRankKey, NaNOfEitherSignRanksAfterPlusInfinity) {
    const double neg_nan = from_bits(0xFFF8000000000000ULL);  // what x86 makes of inf - inf
    ASSERT_TRUE(std::isnan(neg_nan));
    ASSERT_TRUE(std::signbit(neg_nan));
    EXPECT_GT(distance_rank_key(neg_nan), distance_rank_key(INF));
    EXPECT_GT(distance_rank_key(NAN_Q), distance_rank_key(INF));
    EXPECT_GT(distance_rank_key(NAN_NEG_PAYLOAD), distance_rank_key(INF));
    // Both signs of the same NaN rank alike.
    EXPECT_EQ(distance_rank_key(neg_nan), distance_rank_key(NAN_Q));
    // inf - inf, whatever sign this machine gives it.
    volatile double inf = INF;
    EXPECT_GT(distance_rank_key(inf - inf), distance_rank_key(INF));
}

TEST(DistanceRankKey, NumbersFollowTheTotalOrder) {
    const double ordered[] = {-INF, -MAX, -1.0,          -5e-324, -0.0, 0.0, 5e-324, 2.2250738585072014e-308,
                              1.0,  2.0,  SELF_DISTANCE, INF};
    for (std::size_t i = 0; i + 1 < std::size(ordered); ++i) {
        EXPECT_LT(distance_rank_key(ordered[i]), distance_rank_key(ordered[i + 1]))
            << ordered[i] << " before " << ordered[i + 1];
    }
    EXPECT_LT(distance_rank_key(-0.0), distance_rank_key(0.0));
    EXPECT_LT(distance_rank_key(SELF_DISTANCE), distance_rank_key(INF));
}

// ---------------------------------------------------------------------------------------------
// Oracle
// ---------------------------------------------------------------------------------------------

double oracle_nan_euclid(const double* a, const double* b, std::size_t n) {
    if (n == 0) {
        return INF;
    }
    double sum = 0.0;
    std::size_t present = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] == a[i] && b[i] == b[i]) {
            ++present;
            const double d = a[i] - b[i];
            const double sq = d * d;
            sum = sum + sq;
        }
    }
    if (present == 0) {
        return INF;
    }
    return sum * (static_cast<double>(n) / static_cast<double>(present));
}

double oracle_expected_distance(const double* a, const double* b, std::size_t n) {
    const auto one_missing = [](double v) {
        const double complement = 1.0 - v;
        return v < complement ? complement : v;
    };
    double missing_sum = 0.0;
    double square_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool a_missing = a[i] != a[i];
        const bool b_missing = b[i] != b[i];
        if (a_missing && b_missing) {
            missing_sum = missing_sum + 0.333;
        } else if (a_missing) {
            missing_sum = missing_sum + one_missing(b[i]);
        } else if (b_missing) {
            missing_sum = missing_sum + one_missing(a[i]);
        } else {
            const double d = a[i] - b[i];
            const double sq = d * d;
            square_sum = square_sum + sq;
        }
    }
    return missing_sum + std::sqrt(square_sum);
}

// Nearest first: numbers by value with -0.0 before +0.0, then every NaN; ties by row index.
bool ranks_before(double a, std::size_t ia, double b, std::size_t ib) {
    const bool a_nan = a != a;
    const bool b_nan = b != b;
    if (a_nan != b_nan) {
        return b_nan;
    }
    if (!a_nan) {
        if (a < b) {
            return true;
        }
        if (b < a) {
            return false;
        }
        if (std::signbit(a) != std::signbit(b)) {
            return std::signbit(a);
        }
    }
    return ia < ib;
}

struct Table {
    std::vector<double> fitted;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> input;
    std::size_t input_rows = 0;
    std::uint32_t k = 0;
    std::string metric;
    std::string weights;
};

struct Donor {
    double value;
    double weight;
};

struct OracleCell {
    double value;
    std::vector<Donor> donors;
};

// The estimate of one missing cell (r, c), found from scratch.
OracleCell oracle_cell(const Table& t, std::size_t r, std::size_t c) {
    const double* ref = t.fitted.data() + r * t.cols;
    std::vector<double> dist(t.rows);
    for (std::size_t i = 0; i < t.rows; ++i) {
        const double* other = t.fitted.data() + i * t.cols;
        if (i == r) {
            dist[i] = MAX;
        } else if (t.metric == "nan_euclid") {
            dist[i] = oracle_nan_euclid(ref, other, t.cols);
        } else {
            dist[i] = oracle_expected_distance(ref, other, t.cols);
        }
    }
    std::vector<std::size_t> order(t.input_rows);
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return ranks_before(dist[a], a, dist[b], b); });
    const std::size_t wanted = t.k == 0 ? 1 : t.k;
    OracleCell cell{0.0, {}};
    for (const std::size_t i : order) {
        if (cell.donors.size() == wanted) {
            break;
        }
        const double v = t.fitted[i * t.cols + c];
        if (v != v) {
            continue;
        }
        const double w = t.weights == "uniform" ? 1.0 / static_cast<double>(t.k) : 1.0 / dist[i];
        cell.donors.push_back({v, w});
        const double product = v * w;
        cell.value = cell.value + product;
    }
    return cell;
}

// Why IEEE arithmetic makes a NaN of these donors, or nullptr when it does not. The only ways:
// a NaN weight (a NaN distance under distance weights), 0 x inf (k = 0 uniform, or a distance
// of 0), inf x 0 (a distance of +inf), or a running sum meeting the opposite infinity.
const char* nan_reason(const std::vector<Donor>& donors) {
    double sum = 0.0;
    for (const Donor& d : donors) {
        if (d.weight != d.weight) {
            return "NaN weight";
        }
        if (d.value == 0.0 && std::isinf(d.weight)) {
            return "zero times infinite weight";
        }
        if (std::isinf(d.value) && d.weight == 0.0) {
            return "infinite value times zero weight";
        }
        const double product = d.value * d.weight;
        if (std::isinf(sum) && std::isinf(product) && sum != product) {
            return "opposite infinities";
        }
        sum = sum + product;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Random tables
// ---------------------------------------------------------------------------------------------

struct Scenario {
    const char* name;
    int tables;
    std::size_t min_rows;
    std::size_t max_rows;
    std::size_t max_cols;
    bool specials;     // infinities, -0.0, NaN payloads of both signs, huge values
    bool integers;     // small integers, so distances tie
    bool only_finite;  // no infinities: uniform weights with k >= 1 can then never give NaN
};

struct Coverage {
    int tables = 0;
    int missing_cells = 0;
    int nan_fills = 0;
    int zero_fills_without_donor = 0;
    int reshaped_inputs = 0;
    int more_than_twenty_candidates = 0;
};

double random_value(std::mt19937_64& rng, const Scenario& s) {
    std::uniform_int_distribution<int> pick(0, 99);
    const int roll = pick(rng);
    if (s.specials && roll < 12) {
        static const double specials[] = {INF, -INF, -0.0, 0.0, 1e300, -1e300, 5e-324, 1.0, -1.0};
        return specials[std::uniform_int_distribution<std::size_t>(0, std::size(specials) - 1)(rng)];
    }
    if (s.integers && roll < 70) {
        return static_cast<double>(std::uniform_int_distribution<int>(-2, 3)(rng));
    }
    if (roll < 85) {
        return std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    }
    return std::uniform_real_distribution<double>(-100.0, 100.0)(rng);
}

double random_nan(std::mt19937_64& rng) {
    static const double nans[] = {NAN_Q, NAN_NEG, NAN_PAYLOAD, NAN_NEG_PAYLOAD, NAN_SIGNALLING};
    return nans[std::uniform_int_distribution<std::size_t>(0, std::size(nans) - 1)(rng)];
}

Table random_table(std::mt19937_64& rng, const Scenario& s) {
    Table t;
    t.rows = std::uniform_int_distribution<std::size_t>(s.min_rows, s.max_rows)(rng);
    t.cols = std::uniform_int_distribution<std::size_t>(1, s.max_cols)(rng);
    const double missing_rate = std::uniform_real_distribution<double>(0.0, 0.5)(rng);
    std::bernoulli_distribution missing(missing_rate);
    t.fitted.resize(t.rows * t.cols);
    for (double& v : t.fitted) {
        v = missing(rng) ? random_nan(rng) : random_value(rng, s);
    }
    // Whole rows and whole columns missing.
    std::bernoulli_distribution sometimes(0.3);
    if (sometimes(rng) && t.rows > 0) {
        const std::size_t r = std::uniform_int_distribution<std::size_t>(0, t.rows - 1)(rng);
        for (std::size_t c = 0; c < t.cols; ++c) {
            t.fitted[r * t.cols + c] = random_nan(rng);
        }
    }
    if (sometimes(rng)) {
        const std::size_t c = std::uniform_int_distribution<std::size_t>(0, t.cols - 1)(rng);
        for (std::size_t r = 0; r < t.rows; ++r) {
            t.fitted[r * t.cols + c] = random_nan(rng);
        }
    }
    // Duplicated rows: exact ties, and distance 0 for distance weights.
    if (sometimes(rng) && t.rows > 1) {
        const std::size_t from = std::uniform_int_distribution<std::size_t>(0, t.rows - 1)(rng);
        const std::size_t to = std::uniform_int_distribution<std::size_t>(0, t.rows - 1)(rng);
        std::copy_n(t.fitted.begin() + from * t.cols, t.cols, t.fitted.begin() + to * t.cols);
    }

    // The input: usually the fitted table itself; sometimes the same missing cells with other
    // present values, or extra missing cells, or fewer rows / fewer cells than fitted.
    t.input = t.fitted;
    t.input_rows = t.rows;
    switch (std::uniform_int_distribution<int>(0, 5)(rng)) {
        case 0:
            for (double& v : t.input) {
                v = std::isnan(v) ? random_nan(rng) : random_value(rng, s);
            }
            break;
        case 1:
            for (double& v : t.input) {
                if (std::bernoulli_distribution(0.1)(rng)) {
                    v = random_nan(rng);
                }
            }
            break;
        case 2:
            if (t.rows > 0) {
                t.input_rows = std::uniform_int_distribution<std::size_t>(1, t.rows)(rng);
                const std::size_t cut = std::uniform_int_distribution<std::size_t>(0, t.cols - 1)(rng);
                t.input.resize(t.input.size() - std::min(cut, t.input.size()));
            }
            break;
        default:
            break;
    }

    const std::uint32_t r32 = static_cast<std::uint32_t>(t.rows);
    const std::uint32_t ks[] = {0, 1, 2, 5, r32, r32 + 1, r32 + 17};
    t.k = ks[std::uniform_int_distribution<std::size_t>(0, std::size(ks) - 1)(rng)];
    t.metric = std::bernoulli_distribution(0.5)(rng) ? "nan_euclid" : "expected_distance";
    t.weights = std::bernoulli_distribution(0.5)(rng) ? "uniform" : "distance";
    return t;
}

std::string describe(const Table& t) {
    return std::to_string(t.rows) + " x " + std::to_string(t.cols) + ", input " + std::to_string(t.input.size()) +
           " cells / " + std::to_string(t.input_rows) + " rows, k " + std::to_string(t.k) + ", " + t.metric + ", " +
           t.weights;
}

void check_table(const Table& t, const Scenario& s, Coverage& cov) {
    const KnnImputer imp = fitted_imputer(t.k, t.metric, t.weights, t.fitted, t.rows, t.cols);
    const std::vector<double> fast = values_of(impute(imp, t.input, t.input_rows));
    const std::vector<double> reference = values_of(impute_reference(imp, t.input, t.input_rows));
    const std::vector<double> again = values_of(impute(imp, t.input, t.input_rows));

    ASSERT_EQ(fast.size(), t.input.size());
    ASSERT_EQ(bits(fast), bits(reference)) << "impute differs from impute_reference";
    ASSERT_EQ(bits(again), bits(fast)) << "a second run differs";
    // The imputer is read, never changed.
    ASSERT_EQ(bits(std::vector<double>(imp.fitted_values().begin(), imp.fitted_values().end())), bits(t.fitted));

    ++cov.tables;
    cov.reshaped_inputs += (t.input_rows != t.rows || t.input.size() != t.fitted.size()) ? 1 : 0;
    cov.more_than_twenty_candidates += t.input_rows > 20 ? 1 : 0;

    for (std::size_t p = 0; p < t.input.size(); ++p) {
        if (!std::isnan(t.input[p])) {
            ASSERT_EQ(bits(fast[p]), bits(t.input[p])) << "present cell " << p << " changed";
            continue;
        }
        ++cov.missing_cells;
        const std::size_t r = p / t.cols;
        const std::size_t c = p % t.cols;
        const OracleCell expected = oracle_cell(t, r, c);
        SCOPED_TRACE("cell (" + std::to_string(r) + ", " + std::to_string(c) + ")");
        ASSERT_EQ(bits(fast[p]), bits(expected.value)) << fast[p] << " against the oracle's " << expected.value;

        // Every missing cell is written: a NaN is left only where the arithmetic makes one.
        const char* reason = nan_reason(expected.donors);
        ASSERT_EQ(std::isnan(fast[p]), reason != nullptr)
            << (reason ? reason : "no NaN expected") << ", " << expected.donors.size() << " donors";
        if (reason != nullptr) {
            ++cov.nan_fills;
            const bool k0_uniform = t.k == 0 && t.weights == "uniform";
            // Under uniform weights only k = 0 (weight +inf) or opposite infinite values can do it.
            if (t.weights == "uniform" && !k0_uniform) {
                ASSERT_STREQ(reason, "opposite infinities");
            }
            ASSERT_FALSE(s.only_finite && t.weights == "uniform" && t.k != 0);
        }
        if (expected.donors.empty()) {
            ++cov.zero_fills_without_donor;
            ASSERT_EQ(bits(fast[p]), bits(0.0));
        }
        if (t.k != 0 && expected.donors.size() > t.k) {
            FAIL() << "oracle used more than k donors";
        }
    }
}

class RandomTables : public ::testing::TestWithParam<Scenario> {};

TEST_P(RandomTables, BothPassesMatchTheOracleBitForBit) {
    const Scenario& s = GetParam();
    std::mt19937_64 rng(0x9e3779b97f4a7c15ULL ^ std::hash<std::string>{}(s.name));
    Coverage cov;
    for (int i = 0; i < s.tables; ++i) {
        const Table t = random_table(rng, s);
        SCOPED_TRACE("table " + std::to_string(i) + ": " + describe(t));
        check_table(t, s, cov);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
    // The tables must actually reach the cases they are meant to cover.
    EXPECT_EQ(cov.tables, s.tables);
    EXPECT_GT(cov.missing_cells, s.tables);
    EXPECT_GT(cov.zero_fills_without_donor, 0);
    EXPECT_GT(cov.reshaped_inputs, 0);
    if (s.max_rows > 20) {
        EXPECT_GT(cov.more_than_twenty_candidates, 0);
    }
    if (s.specials) {
        EXPECT_GT(cov.nan_fills, 0);
    }
    RecordProperty("missing_cells", cov.missing_cells);
    RecordProperty("nan_fills", cov.nan_fills);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, RandomTables,
                         ::testing::Values(
                             // name, tables, min rows, max rows, max cols, specials, integers, only finite
                             Scenario{"SmallTiedIntegers", 150, 1, 20, 6, false, true, true},
                             Scenario{"SmallFinite", 80, 1, 20, 8, false, false, true},
                             Scenario{"SmallSpecials", 150, 1, 20, 5, true, true, false},
                             Scenario{"AroundTwenty", 60, 18, 24, 4, true, true, false},
                             Scenario{"LargeTiedIntegers", 30, 21, 300, 4, false, true, true},
                             Scenario{"LargeSpecials", 30, 21, 300, 3, true, true, false}),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// NaN results, each cause made on purpose
// ---------------------------------------------------------------------------------------------

class NaNCauses : public ::testing::TestWithParam<PassImpl> {};

INSTANTIATE_TEST_SUITE_P(Impl, NaNCauses,
                         ::testing::Values(PassImpl{"impute", &impute},
                                           PassImpl{"impute_reference", &impute_reference}),
                         impl_name);

TEST_P(NaNCauses, KZeroUniformWithAZeroDonor) {
    const std::vector<double> x = {1.0, NAN_, 1.0, 0.0, 5.0, 9.0};
    const KnnImputer imp = fitted_imputer(0, "nan_euclid", "uniform", x, 3, 2);
    const auto out = values_of(GetParam().fn(imp, x, 3));
    EXPECT_TRUE(std::isnan(out[1]));
    // A non-zero first donor gives an infinity of its sign instead.
    const std::vector<double> y = {1.0, NAN_, 1.0, -3.0, 5.0, 9.0};
    EXPECT_EQ(values_of(GetParam().fn(fitted_imputer(0, "nan_euclid", "uniform", y, 3, 2), y, 3))[1], -INF);
}

TEST_P(NaNCauses, DistanceWeightsAtDistanceZeroWithAZeroDonor) {
    const std::vector<double> x = {1.0, NAN_, 1.0, 0.0, 5.0, 9.0};
    const auto out = values_of(GetParam().fn(fitted_imputer(1, "nan_euclid", "distance", x, 3, 2), x, 3));
    EXPECT_TRUE(std::isnan(out[1]));
}

TEST_P(NaNCauses, DistanceWeightsAtInfinityWithAnInfiniteDonor) {
    // Row 1 shares no coordinate with row 0: weight 1 / inf = 0, value inf.
    const std::vector<double> x = {1.0, NAN_, NAN_, INF};
    const auto out = values_of(GetParam().fn(fitted_imputer(1, "nan_euclid", "distance", x, 2, 2), x, 2));
    EXPECT_TRUE(std::isnan(out[1]));
}

TEST_P(NaNCauses, OppositeInfiniteDonorsUnderUniformWeights) {
    const std::vector<double> x = {1.0, NAN_, 1.0, INF, 1.0, -INF};
    const auto out = values_of(GetParam().fn(fitted_imputer(2, "nan_euclid", "uniform", x, 3, 2), x, 3));
    EXPECT_TRUE(std::isnan(out[1]));
    // The same infinity twice stays infinite.
    const std::vector<double> y = {1.0, NAN_, 1.0, INF, 1.0, INF};
    EXPECT_EQ(values_of(GetParam().fn(fitted_imputer(2, "nan_euclid", "uniform", y, 3, 2), y, 3))[1], INF);
}

}  // namespace
}  // namespace mirel::knn::testing
