// Selection and averaging over given distances: the bounded selection against the
// straightforward pass's full ordering, bit for bit, on random tables with ties, NaN, infinite
// and negative-zero distances; and the checks of its arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "knn/core/panic.hpp"
#include "knn/query/given_distances.hpp"
#include "knn/query/query.hpp"
#include "test_helpers.hpp"

namespace mirel::knn {
namespace {

using testing::bits;
using testing::INF;
using testing::NAN_;
using testing::NAN_NEG;

struct Case {
    std::vector<double> fitted;
    std::vector<double> query;
    std::vector<double> dist;
    std::size_t rows = 0;
    std::size_t queries = 0;
    std::size_t cols = 0;
    TableView view() const { return {fitted.data(), rows, cols}; }
};

Case random_case(std::mt19937_64& rng) {
    Case c;
    c.rows = 1 + rng() % 40;
    c.queries = 1 + rng() % 12;
    c.cols = 1 + rng() % 5;
    const double holes = static_cast<double>(rng() % 80) / 100.0;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto cell = [&]() { return unit(rng) < holes ? NAN_ : static_cast<double>(rng() % 5); };
    for (std::size_t i = 0; i < c.rows * c.cols; ++i) {
        c.fitted.push_back(cell());
    }
    for (std::size_t i = 0; i < c.queries * c.cols; ++i) {
        c.query.push_back(cell());
    }
    // Few distinct distances (many ties), and the values that rank specially.
    const double special[] = {0.0, -0.0, 1.0, 2.0, INF, NAN_, NAN_NEG, 1e-300, 1e300};
    for (std::size_t i = 0; i < c.queries * c.rows; ++i) {
        c.dist.push_back(special[rng() % std::size(special)]);
    }
    return c;
}

TEST(GivenDistances, ImputeIsTheStraightforwardPassBitForBit) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 400; ++round) {
        const Case c = random_case(rng);
        const DonorColumns columns = donor_columns(c.view());
        for (const std::size_t k : {std::size_t{1}, std::size_t{3}, c.rows, c.rows + 5}) {
            for (const Weights w : {Weights::uniform, Weights::distance}) {
                for (const bool given : {true, false}) {
                    std::vector<double> want = c.query;
                    std::vector<double> got = c.query;
                    const GivenDistances ref_given{given ? c.dist.data() : nullptr};
                    query_reference(c.view(), columns, want.data(), c.queries, 0, c.queries, k, w, ref_given);
                    const DistanceBlock block{given ? c.dist.data() : nullptr, given ? c.queries : 0,
                                              given ? c.rows : 0};
                    given_impute(c.view(), columns, got.data(), c.queries, k, w, block);
                    ASSERT_EQ(bits(got), bits(want)) << round << " k=" << k << " given=" << given;
                }
            }
        }
    }
}

TEST(GivenDistances, SelectIsTheStraightforwardSelectionBitForBit) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 400; ++round) {
        const Case c = random_case(rng);
        const DonorColumns columns = donor_columns(c.view());
        std::size_t cells = 0;
        for (std::size_t i = 0; i < c.query.size(); ++i) {
            cells += (std::isnan(c.query[i]) && columns.count[i % c.cols] != 0) ? 1 : 0;
        }
        for (const std::size_t k : {std::size_t{1}, std::size_t{2}, c.rows + 3}) {
            for (const bool given : {true, false}) {
                const std::size_t slots = std::min(k, c.rows);
                std::vector<double> want = c.query;
                std::vector<std::int64_t> want_index(cells * k);
                std::vector<double> want_dist(cells * k);
                query_select_reference(c.view(), columns, want.data(), c.queries, 0, c.queries, k,
                                       SelectionOut{want_index.data(), want_dist.data(), k},
                                       GivenDistances{given ? c.dist.data() : nullptr});
                std::vector<double> got = c.query;
                std::vector<std::int64_t> index(cells * slots);
                std::vector<double> dist(cells * slots);
                std::vector<double> value(cells * slots);
                given_select(c.view(), columns, got.data(), c.queries, k,
                             DistanceBlock{given ? c.dist.data() : nullptr, given ? c.queries : 0, given ? c.rows : 0},
                             GivenSelectionOut{index.data(), dist.data(), value.data(), slots});
                ASSERT_EQ(bits(got), bits(want)) << round;
                std::size_t cell = 0;
                for (std::size_t r = 0; r < c.queries; ++r) {
                    for (std::size_t col = 0; col < c.cols; ++col) {
                        if (!std::isnan(c.query[r * c.cols + col]) || columns.count[col] == 0) {
                            continue;
                        }
                        for (std::size_t s = 0; s < slots; ++s) {
                            const std::int64_t i = index[cell * slots + s];
                            ASSERT_EQ(i, want_index[cell * k + s]) << round << " cell " << cell;
                            ASSERT_EQ(bits(dist[cell * slots + s]), bits(want_dist[cell * k + s]));
                            const double v = i < 0 ? NAN_ : c.fitted[static_cast<std::size_t>(i) * c.cols + col];
                            ASSERT_EQ(bits(value[cell * slots + s]), bits(v));
                        }
                        ++cell;
                    }
                }
            }
        }
    }
}

TEST(GivenDistances, ChecksItsArguments) {
    const std::vector<double> fitted{1.0, 2.0, 3.0, 4.0};
    const TableView view{fitted.data(), 2, 2};
    const DonorColumns columns = donor_columns(view);
    std::vector<double> query{NAN_, 1.0};
    const std::vector<double> dist{1.0, 2.0, 3.0};
    try {
        given_impute(view, columns, query.data(), 1, 1, Weights::uniform, DistanceBlock{dist.data(), 1, 3});
        FAIL() << "no error";
    } catch (const Panic& e) {
        EXPECT_STREQ(e.what(), "the distance block does not have a row per query row and a column per fitted row");
    }
    std::vector<std::int64_t> index(1);
    std::vector<double> d(1);
    std::vector<double> v(1);
    try {
        given_select(view, columns, query.data(), 1, 2, DistanceBlock{dist.data(), 1, 2},
                     GivenSelectionOut{index.data(), d.data(), v.data(), 1});
        FAIL() << "no error";
    } catch (const Panic& e) {
        EXPECT_STREQ(e.what(), "the selection has fewer slots than neighbours");
    }
    try {
        given_impute(view, columns, query.data(), 1, 0, Weights::uniform, DistanceBlock{});
        FAIL() << "no error";
    } catch (const Panic& e) {
        EXPECT_STREQ(e.what(), "the query pass needs at least one neighbour");
    }
}

}  // namespace
}  // namespace mirel::knn
