// The candidate index: with every list probed it is the exact query pass bit for bit, on every
// kernel; with fewer lists it is a straightforward model (nearest lists by centroid, exact
// re-ranking of their rows, a full scan for a cell they cannot serve); its recall curve counts
// what its selections find; a table whose donors of a column sit only in far lists falls back.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "knn/core/rank_key.hpp"
#include "knn/index/ivf_index.hpp"
#include "knn/query/query.hpp"
#include "knn/query/query_fast.hpp"
#include "test_helpers.hpp"

namespace mirel::knn {
namespace {

using testing::bits;
using testing::NAN_;
using testing::NAN_NEG;

struct Table {
    std::vector<double> values;
    std::size_t rows = 0;
    std::size_t cols = 0;
    TableView view() const { return {values.data(), rows, cols}; }
};

// Clustered rows (so that lists differ), with odd values and missing cells at `rate`.
Table random_table(std::mt19937_64& rng, std::size_t rows, std::size_t cols, double rate, bool odd) {
    Table t{std::vector<double>(rows * cols), rows, cols};
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    const double odd_values[] = {0.0, -0.0, 1.0, 2.0, 1e200, -1e200, 1e-200, 3.0};
    for (std::size_t r = 0; r < rows; ++r) {
        const double centre = 10.0 * static_cast<double>(rng() % 4);
        for (std::size_t c = 0; c < cols; ++c) {
            double& v = t.values[r * cols + c];
            v = odd ? odd_values[rng() % 8] : centre + normal(rng);
            if (unit(rng) < rate) {
                v = (rng() & 1) ? NAN_ : NAN_NEG;
            }
        }
    }
    if (rows > 1 && cols > 1 && rng() % 3 == 0) {  // a column without values, a row without values
        const std::size_t c = rng() % cols;
        for (std::size_t i = 0; i < rows; ++i) {
            t.values[i * cols + c] = NAN_;
        }
        const std::size_t r = rng() % rows;
        for (std::size_t j = 0; j < cols; ++j) {
            t.values[r * cols + j] = NAN_;
        }
    }
    return t;
}

std::vector<KernelKind> fast_kernels() { return available_kernels(); }

std::vector<double> reference(const Table& fitted, std::vector<double> query, std::size_t k, Weights weights) {
    const DonorColumns columns = donor_columns(fitted.view());
    const std::size_t rows = query.size() / fitted.cols;
    query_reference(fitted.view(), columns, query.data(), rows, 0, rows, k, weights);
    return query;
}

std::vector<double> indexed(const IvfIndex& index, std::vector<double> query, std::size_t k, Weights weights,
                            std::size_t probe, IvfStats* stats = nullptr) {
    const std::size_t rows = query.size() / index.cols();
    const IvfStats s = ivf_impute(index, query.data(), rows, 0, rows, k, weights, probe);
    if (stats != nullptr) {
        *stats = s;
    }
    return query;
}

TEST(IvfIndex, EveryListProbedIsTheExactPassBitForBitOnEveryKernel) {
    std::mt19937_64 rng(20261209);
    for (const KernelKind kernel : fast_kernels()) {
        for (int trial = 0; trial < 60; ++trial) {
            const std::size_t cols = 1 + rng() % 9;
            const bool odd = trial % 4 == 3;
            const Table fitted = random_table(rng, 1 + rng() % 150, cols, 0.05 * (trial % 6), odd);
            const Table query = random_table(rng, 1 + rng() % 30, cols, 0.3, odd);
            const std::size_t lists = 1 + rng() % 12;
            const IvfIndex index = IvfIndex::train(fitted.view(), lists, rng(), kernel);
            for (const std::size_t k : {std::size_t{1}, std::size_t{3}, fitted.rows + 2}) {
                for (const Weights w : {Weights::uniform, Weights::distance}) {
                    const auto want = bits(reference(fitted, query.values, k, w));
                    EXPECT_EQ(bits(indexed(index, query.values, k, w, index.lists())), want)
                        << kernel_name(kernel) << " trial " << trial << " k " << k;
                    EXPECT_EQ(bits(indexed(index, query.values, k, w, index.lists() + 5)), want);
                }
            }
            // fit_transform: the fitted rows as the queries.
            EXPECT_EQ(bits(indexed(index, fitted.values, 2, Weights::distance, index.lists())),
                      bits(reference(fitted, fitted.values, 2, Weights::distance)));
        }
    }
}

std::vector<double> driven(const IvfIndex& index, std::vector<double> query, std::size_t k, Weights weights,
                           std::size_t probe, std::size_t threads, std::size_t chunk, std::size_t first = 0,
                           std::size_t last = SIZE_MAX) {
    const std::size_t rows = query.size() / index.cols();
    PassOptions options;
    options.threads = threads;
    options.chunk_rows = chunk;
    options.poll = [](std::size_t, std::size_t) { return true; };  // the calling thread then runs chunk by chunk
    EXPECT_TRUE(ivf_pass({index, query.data(), rows, first, std::min(last, rows), k, weights, probe}, options));
    return query;
}

TEST(IvfIndex, OnThreadsEveryListIsTheExactPassAndAPartialProbeGivesTheSameBitsWithAnyOptions) {
    std::mt19937_64 rng(4242);
    for (const KernelKind kernel : fast_kernels()) {
        for (int trial = 0; trial < 4; ++trial) {
            const std::size_t cols = 2 + rng() % 12;
            const bool odd = trial == 3;
            const Table fitted = random_table(rng, 300 + rng() % 300, cols, 0.1 * trial, odd);
            const Table query = random_table(rng, 150 + rng() % 100, cols, 0.3, odd);
            const IvfIndex index = IvfIndex::train(fitted.view(), 4 + rng() % 6, rng(), kernel);
            const Weights w = (trial & 1) ? Weights::distance : Weights::uniform;
            for (const std::size_t k : {std::size_t{3}, std::size_t{300}}) {
                const auto exact = bits(reference(fitted, query.values, k, w));
                const auto partial = bits(indexed(index, query.values, k, w, 2));
                for (const std::size_t threads : {1, 2, 3, 5}) {
                    for (const std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
                        EXPECT_EQ(bits(driven(index, query.values, k, w, index.lists(), threads, chunk)), exact)
                            << kernel_name(kernel) << " trial " << trial << " threads " << threads;
                        EXPECT_EQ(bits(driven(index, query.values, k, w, 2, threads, chunk)), partial)
                            << kernel_name(kernel) << " trial " << trial << " threads " << threads;
                    }
                }
                // Any split of the rows.
                std::vector<double> split = query.values;
                const std::size_t cut = 1 + rng() % (query.rows - 1);
                split = driven(index, split, k, w, 2, 2, 0, 0, cut);
                split = driven(index, split, k, w, 2, 3, 5, cut);
                EXPECT_EQ(bits(split), partial);
            }
        }
    }
}

TEST(IvfIndex, TrainsTheSameQuantiserAndGroupsTheSameRowsOnAnyNumberOfThreads) {
    // Large enough that the assignments (k-means' and the search's grouping) run on threads.
    std::mt19937_64 rng(31);
    const Table fitted = random_table(rng, 6000, 10, 0.1, false);
    const KernelKind kernel = best_kernel();
    const IvfIndex one = IvfIndex::train(fitted.view(), 160, 5, kernel, 1);
    const std::vector<double> partial = indexed(one, fitted.values, 5, Weights::uniform, 3);
    for (const std::size_t threads : {2, 3, 5}) {
        const IvfIndex many = IvfIndex::train(fitted.view(), 160, 5, kernel, threads);
        EXPECT_EQ(bits(many.centroids()), bits(one.centroids())) << threads;
        EXPECT_EQ(many.list_of_row(), one.list_of_row()) << threads;
        EXPECT_EQ(bits(driven(many, fitted.values, 5, Weights::uniform, 3, threads, 0)), bits(partial)) << threads;
    }
}

TEST(IvfIndex, APollThatRefusesStopsTheSearchAndSeesTheRowsOfTheJob) {
    std::mt19937_64 rng(8);
    const Table fitted = random_table(rng, 400, 6, 0.1, false);
    Table query = random_table(rng, 300, 6, 0.3, false);
    std::copy_n(fitted.values.begin(), 6, query.values.begin());  // a row without a missing cell
    const IvfIndex index = IvfIndex::train(fitted.view(), 6, 1, best_kernel());
    for (const std::size_t threads : {1, 2}) {
        std::vector<std::size_t> seen;
        PassOptions options;
        options.threads = threads;
        options.chunk_rows = 8;
        options.poll_interval = std::chrono::milliseconds{0};  // asked at every step
        options.poll = [&](std::size_t done, std::size_t total) {
            seen.push_back(done);
            EXPECT_EQ(total, 300u);
            return false;
        };
        std::vector<double> q = query.values;
        const bool completed = ivf_pass({index, q.data(), 300, 0, 300, 4, Weights::uniform, 2}, options);
        ASSERT_FALSE(seen.empty());
        // On the calling thread the poll is asked between steps; workers may all end first.
        if (threads == 1) {
            EXPECT_FALSE(completed);
            EXPECT_LT(seen.back(), 300u);
            EXPECT_GE(seen.front(), 1u);  // the row without a missing cell is done from the start
        }
        options.poll = [&](std::size_t done, std::size_t total) {
            seen.push_back(done);
            return done <= total;
        };
        seen.clear();
        EXPECT_TRUE(ivf_pass({index, q.data(), 300, 0, 300, 4, Weights::uniform, 2}, options));
        EXPECT_EQ(seen.back(), 300u);
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    }
    PassOptions none;
    none.threads = 0;
    EXPECT_THROW(ivf_pass({index, query.values.data(), 300, 0, 300, 4, Weights::uniform, 2}, none),
                 std::invalid_argument);
}

// The straightforward model of a search with `probe` lists: the lists of the nearest centroids
// (the key of d2 = sum * (cols / present), ties by list), their rows ranked by nan_euclidean and
// row index, and every row for a cell with fewer than min(k, column donors) donors among them.
std::vector<double> model(const Table& fitted, const IvfIndex& index, std::vector<double> query, std::size_t k,
                          Weights weights, std::size_t probe) {
    const std::size_t cols = fitted.cols;
    const DonorColumns columns = donor_columns(fitted.view());
    const std::size_t L = index.lists();
    const std::size_t kk = std::min(k, fitted.rows);
    for (std::size_t r = 0; r < query.size() / cols; ++r) {
        double* row = query.data() + r * cols;
        const std::vector<double> original(row, row + cols);
        std::vector<std::pair<std::uint64_t, std::size_t>> lists;
        for (std::size_t l = 0; l < L; ++l) {
            double sum = 0.0;
            std::size_t present = 0;
            for (std::size_t c = 0; c < cols; ++c) {
                if (!std::isnan(original[c])) {
                    const double d = original[c] - index.centroids()[l * cols + c];
                    sum = sum + d * d;
                    ++present;
                }
            }
            const double d2 =
                present == 0 ? testing::INF : sum * (static_cast<double>(cols) / static_cast<double>(present));
            lists.emplace_back(distance_rank_key(d2), l);
        }
        std::sort(lists.begin(), lists.end());
        std::vector<std::uint8_t> probed(L, probe >= L ? 1 : 0);
        for (std::size_t j = 0; j < std::min(probe, L); ++j) {
            probed[lists[j].second] = 1;
        }
        for (std::size_t c = 0; c < cols; ++c) {
            if (!std::isnan(original[c]) || columns.count[c] == 0) {
                continue;
            }
            auto donors_among = [&](bool all) {
                std::vector<std::pair<std::uint64_t, std::size_t>> d;
                for (std::size_t t = 0; t < fitted.rows; ++t) {
                    const double dist = nan_euclidean(original.data(), fitted.view().row(t), cols);
                    if ((all || probed[index.list_of_row()[t]] != 0) && !std::isnan(fitted.view().row(t)[c]) &&
                        !std::isnan(dist)) {
                        d.emplace_back(query_rank_key(dist), t);
                    }
                }
                std::sort(d.begin(), d.end());
                return d;
            };
            std::vector<std::pair<std::uint64_t, std::size_t>> d = donors_among(false);
            if (d.size() < std::min(kk, columns.count[c])) {
                d = donors_among(true);
            }
            d.resize(std::min(d.size(), kk));
            std::vector<double> values;
            std::vector<double> dists;
            for (const auto& [key, t] : d) {
                values.push_back(fitted.view().row(t)[c]);
                dists.push_back(nan_euclidean(original.data(), fitted.view().row(t), cols));
            }
            row[c] = values.empty() ? columns.mean[c] : weighted_mean(values, dists, weights);
        }
    }
    return query;
}

TEST(IvfIndex, FewerListsFollowTheStraightforwardModelOnEveryKernel) {
    std::mt19937_64 rng(77);
    for (const KernelKind kernel : fast_kernels()) {
        for (int trial = 0; trial < 40; ++trial) {
            const std::size_t cols = 1 + rng() % 7;
            const Table fitted = random_table(rng, 2 + rng() % 200, cols, 0.15, trial % 5 == 4);
            const Table query = random_table(rng, 1 + rng() % 25, cols, 0.3, trial % 5 == 4);
            const IvfIndex index = IvfIndex::train(fitted.view(), 2 + rng() % 10, rng(), kernel);
            for (const std::size_t probe : {std::size_t{1}, std::size_t{2}, index.lists() / 2 + 1}) {
                for (const std::size_t k : {std::size_t{1}, std::size_t{4}}) {
                    const Weights w = (trial & 1) ? Weights::distance : Weights::uniform;
                    EXPECT_EQ(bits(indexed(index, query.values, k, w, probe)),
                              bits(model(fitted, index, query.values, k, w, probe)))
                        << kernel_name(kernel) << " trial " << trial << " probe " << probe << " k " << k;
                }
            }
        }
    }
}

TEST(IvfIndex, ACellWhoseDonorsAreOnlyInFarListsFallsBackToTheFullScan) {
    // Two groups far apart; only the far group holds column 2. A query near the first group
    // probes its own list only, finds no donor there, and is served by the full scan.
    Table fitted{{}, 0, 3};
    for (int i = 0; i < 40; ++i) {
        const double x = static_cast<double>(i % 7);
        fitted.values.insert(fitted.values.end(), {x, -x, NAN_});
        fitted.values.insert(fitted.values.end(), {1000.0 + x, 1000.0 - x, 5.0 + x});
        fitted.rows += 2;
    }
    const std::vector<double> query{0.5, -0.5, NAN_, 3.0, -3.0, NAN_};
    for (const KernelKind kernel : fast_kernels()) {
        const IvfIndex index = IvfIndex::train(fitted.view(), 2, 3, kernel);
        ASSERT_EQ(index.lists(), 2u);
        ASSERT_NE(index.list_of_row()[0], index.list_of_row()[1]);  // the groups are apart
        for (const std::size_t k : {std::size_t{1}, std::size_t{5}}) {
            IvfStats stats;
            EXPECT_EQ(bits(indexed(index, query, k, Weights::distance, 1, &stats)),
                      bits(reference(fitted, query, k, Weights::distance)));
            EXPECT_EQ(stats.cells, 2u);
            EXPECT_EQ(stats.fallback_cells, 2u);
            EXPECT_EQ(stats.measured, 2 * (40u + 80u));  // its own list, then every row
            // The recall curve: with one list probed the full scan finds every donor.
            const RecallCurve curve = ivf_recall(index, {query.data(), 2, 3}, k);
            EXPECT_EQ(curve.cells, 2u);
            EXPECT_EQ(curve.donors, 2 * k);
            EXPECT_EQ(curve.found[1], curve.donors);
            EXPECT_EQ(curve.fallback[1], 2u);
            EXPECT_EQ(curve.fallback[2], 0u);
        }
    }
}

TEST(IvfIndex, TheRecallCurveCountsTheExactDonorsEachProbeSelects) {
    std::mt19937_64 rng(5150);
    const KernelKind kernel = best_kernel();
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t cols = 2 + rng() % 6;
        // Fitted rows with missing cells may share no coordinate with a query: the curve then
        // counts at most what the index selects; without them it counts exactly that.
        const bool complete = trial % 2 == 0;
        Table fitted = random_table(rng, 20 + rng() % 300, cols, complete ? 0.0 : 0.2, false);
        if (complete) {
            std::normal_distribution<double> normal(0.0, 1.0);
            for (double& v : fitted.values) {
                v = std::isnan(v) ? normal(rng) : v;
            }
        }
        const Table sample = random_table(rng, 1 + rng() % 30, cols, 0.3, false);
        const IvfIndex index = IvfIndex::train(fitted.view(), 2 + rng() % 15, rng(), kernel);
        const std::size_t k = 1 + rng() % 6;
        const std::size_t slots = std::min(k, fitted.rows);
        const std::size_t cells = count_imputed_cells(index.columns(), sample.view(), 0, sample.rows);
        std::vector<std::int64_t> exact(cells * slots);
        ivf_select(index, sample.values.data(), sample.rows, 0, sample.rows, k, index.lists(), exact.data(), slots);
        const RecallCurve curve = ivf_recall(index, sample.view(), k);
        std::uint64_t donors = 0;
        for (const std::int64_t i : exact) {
            donors += i >= 0 ? 1 : 0;
        }
        ASSERT_EQ(curve.cells, cells);
        ASSERT_EQ(curve.donors, donors);
        for (std::size_t P = 1; P <= index.lists(); ++P) {
            std::vector<std::int64_t> got(cells * slots);
            ivf_select(index, sample.values.data(), sample.rows, 0, sample.rows, k, P, got.data(), slots);
            std::uint64_t found = 0;
            for (std::size_t cell = 0; cell < cells; ++cell) {
                for (std::size_t i = 0; i < slots; ++i) {
                    const std::int64_t e = exact[cell * slots + i];
                    const auto* g = got.data() + cell * slots;
                    found += e >= 0 && std::find(g, g + slots, e) != g + slots ? 1 : 0;
                }
            }
            if (complete) {
                EXPECT_EQ(curve.found[P], found) << "trial " << trial << " P " << P;
            } else {
                EXPECT_LE(curve.found[P], found) << "trial " << trial << " P " << P;
            }
        }
        EXPECT_EQ(curve.found[index.lists()], donors);
    }
}

TEST(IvfIndex, IsDeterministicAndRebuildsFromItsParts) {
    std::mt19937_64 rng(99);
    const Table fitted = random_table(rng, 500, 6, 0.1, false);
    const Table query = random_table(rng, 60, 6, 0.3, false);
    const std::vector<KernelKind> kernels = fast_kernels();
    const IvfIndex a = IvfIndex::train(fitted.view(), 12, 42, kernels.front());
    for (const KernelKind kernel : kernels) {
        // The same seed gives the same quantiser on every kernel.
        const IvfIndex b = IvfIndex::train(fitted.view(), 12, 42, kernel);
        EXPECT_EQ(bits(a.centroids()), bits(b.centroids()));
        EXPECT_EQ(a.list_of_row(), b.list_of_row());
        const IvfIndex c = IvfIndex::from_parts(fitted.view(), b.centroids(), b.list_of_row(), kernel);
        const std::vector<double> whole = indexed(a, query.values, 5, Weights::uniform, 3);
        EXPECT_EQ(bits(indexed(c, query.values, 5, Weights::uniform, 3)), bits(whole));
        // Any split of the rows gives the same bits.
        std::vector<double> split = query.values;
        for (std::size_t first = 0; first < query.rows; first += 7) {
            ivf_impute(c, split.data(), query.rows, first, std::min(query.rows, first + 7), 5, Weights::uniform, 3);
        }
        EXPECT_EQ(bits(split), bits(whole));
    }
    // The layout: list l is blocks [list_blocks[l], list_blocks[l + 1]), its rows in row order
    // from the first position on, then empty positions; every row once.
    std::vector<std::size_t> seen;
    for (std::size_t l = 0; l < a.lists(); ++l) {
        const std::size_t p0 = a.list_blocks()[l] * 32;
        const std::size_t p1 = a.list_blocks()[l + 1] * 32;
        ASSERT_EQ((a.list_size(l) + 31) / 32 * 32, p1 - p0);
        for (std::size_t p = p0; p < p1; ++p) {
            const std::size_t r = a.rows_by_position()[p];
            if (p < p0 + a.list_size(l)) {
                ASSERT_EQ(a.list_of_row()[r], l);
                ASSERT_EQ(a.position_of(r), p);
                ASSERT_TRUE(p == p0 || r > a.rows_by_position()[p - 1]);
                seen.push_back(r);
            } else {
                ASSERT_EQ(r, SIZE_MAX);
            }
        }
    }
    std::sort(seen.begin(), seen.end());
    std::vector<std::size_t> all(fitted.rows);
    std::iota(all.begin(), all.end(), std::size_t{0});
    EXPECT_EQ(seen, all);
    EXPECT_EQ(IvfIndex::train(fitted.view(), 400, 1, kernels.front()).lists(), 500u / 32);
    EXPECT_TRUE(testing::panics_with(
        [&] { IvfIndex::from_parts(fitted.view(), std::vector<double>(5), a.list_of_row(), kernels.front()); },
        "the index's parts do not fit the fitted table"));
    std::vector<std::uint32_t> bad = a.list_of_row();
    bad[3] = 12;
    EXPECT_TRUE(testing::panics_with([&] { IvfIndex::from_parts(fitted.view(), a.centroids(), bad, kernels.front()); },
                                     "a row of the index is in no list"));
}

}  // namespace
}  // namespace mirel::knn
