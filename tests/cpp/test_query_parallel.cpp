// The query pass on several threads: bit for bit the straightforward pass for every thread
// count, chunk size and kernel; a poll that stops the pass leaves untouched rows untouched; a
// failing poll ends the call cleanly; a worker's pass allocates nothing once built.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "knn/core/panic.hpp"
#include "knn/pass/prune_steering.hpp"
#include "knn/query/query.hpp"
#include "knn/query/query_parallel.hpp"
#include "knn/query/query_workers.hpp"
#include "test_helpers.hpp"

// Allocations made while `counting` is set: the global allocation functions of this test binary
// are replaced, every form of them, so that each allocation and its release match (malloc and
// free) under any allocator, a sanitizer's included.
namespace {
std::atomic<bool> counting{false};
std::atomic<std::size_t> allocations{0};

void* counted(std::size_t size, std::size_t align) noexcept {
    if (counting.load()) {
        allocations.fetch_add(1);
    }
    size = std::max<std::size_t>(size, 1);
    return align <= alignof(std::max_align_t) ? std::malloc(size)
                                              : std::aligned_alloc(align, (size + align - 1) / align * align);
}

void* counted_or_throw(std::size_t size, std::size_t align) {
    void* p = counted(size, align);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
}  // namespace

void* operator new(std::size_t size) { return counted_or_throw(size, 0); }
void* operator new[](std::size_t size) { return counted_or_throw(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) { return counted_or_throw(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) {
    return counted_or_throw(size, static_cast<std::size_t>(a));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return counted(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return counted(size, 0); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return counted(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return counted(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace mirel::knn {
namespace {

using testing::bits;
using testing::NAN_;

// Values from a small set (many equal distances) or Gaussian, NaN (either sign) at `rate`.
std::vector<double> table(std::mt19937_64& rng, std::size_t rows, std::size_t cols, double rate, bool ties) {
    static constexpr double small_values[] = {0.0, 1.0, 2.0, 3.0, 4.0};
    return testing::random_cells(rng, rows * cols, rate, ties, small_values);
}

std::vector<KernelKind> fast_kernels() { return available_kernels(); }

// Single-block steps and groups of a few rows: many groups per pass.
PassTuning small_blocks() {
    PassTuning tuning;
    tuning.superblock_bytes = 1;
    tuning.group_rows = 3;
    tuning.group_selections = 4;
    return tuning;
}

TEST(QueryParallel, MatchesTheReferenceForEveryThreadCountAndChunk) {
    std::mt19937_64 rng(1412);
    PassTuning small = small_blocks();
    small.max_bounded_k = 4;
    std::size_t cases = 0;
    for (int round = 0; round < 24; ++round) {
        const std::size_t cols = 1 + rng() % 9;
        const std::size_t fitted_rows = 1 + rng() % 120;
        const double rate = 0.05 + 0.5 * static_cast<double>(rng() % 100) / 100.0;
        const std::vector<double> fitted = table(rng, fitted_rows, cols, rate, round % 2 == 0);
        // Every third round the query is the fitted table itself (fit_transform).
        const bool same = round % 3 == 0;
        const std::size_t query_rows = same ? fitted_rows : 1 + rng() % 90;
        const std::vector<double> query = same ? fitted : table(rng, query_rows, cols, rate, round % 2 == 0);
        const TableView f{fitted.data(), fitted_rows, cols};
        const DonorColumns columns = donor_columns(f);
        const QueryDonors donors(f);
        const std::size_t k = 1 + rng() % 7;
        for (const Weights weights : {Weights::uniform, Weights::distance}) {
            std::vector<double> want = query;
            query_reference(f, columns, want.data(), query_rows, 0, query_rows, k, weights);
            for (const KernelKind kernel : fast_kernels()) {
                for (const std::size_t threads : {1, 2, 3, 7}) {
                    for (const std::size_t chunk : {0, 1, 4}) {
                        for (const PassTuning& tuning : {PassTuning{}, small}) {
                            PassOptions options;
                            options.threads = threads;
                            options.chunk_rows = chunk;
                            std::vector<double> got = query;
                            ASSERT_TRUE(query_pass({donors, got.data(), query_rows, 0, query_rows, k, weights, kernel},
                                                   with_tuning(options, tuning)));
                            ASSERT_EQ(bits(got), bits(want))
                                << "round " << round << " threads " << threads << " chunk " << chunk << " k " << k;
                            ++cases;
                        }
                    }
                }
            }
        }
    }
    EXPECT_GE(cases, 24u * 2 * 4 * 3 * 2);
}

// A worker runs one pass per chunk; the pruning steering goes on from chunk to chunk
// (PassTuning::prune_state) instead of probing anew in each. Whatever the steering decides,
// every kernel still gives the straightforward pass's bits, on rows wide enough to prune.
TEST(QueryParallel, ChunksSteerPruningAsOnePass) {
    PassTuning tuning;
    tuning.prune_min_skipped = 0.5;
    tuning.prune_probe_every = 2;
    detail::PruneState state;
    tuning.prune_state = &state;
    const auto pass = [&](std::uint64_t skipped_per_100) {
        detail::PruneSteering steering(tuning, 20);
        detail::QueryView view;
        steering.group_started();
        steering.arm(view);
        view.counts->asked += 100;
        view.counts->skipped += skipped_per_100;
        steering.group_done();
        return view.prune;
    };
    EXPECT_TRUE(pass(10));   // a new state prunes; this group skips too little
    EXPECT_FALSE(pass(10));  // the next passes start paused...
    EXPECT_FALSE(pass(10));
    EXPECT_TRUE(pass(90));  // ...until prune_probe_every groups have passed; enough skipped:
    EXPECT_TRUE(pass(90));  // pruning stays on
    tuning.prune_state = nullptr;
    state = detail::PruneState{};
    state.on = false;
    EXPECT_TRUE(pass(10));  // without a shared state every pass starts pruning
    EXPECT_FALSE(state.on);

    std::mt19937_64 rng(2041);
    PassTuning steered = small_blocks();
    steered.prune_min_columns = 0;
    steered.prune_min_skipped = 0.2;
    steered.prune_probe_every = 2;
    detail::PruneCounts counts;  // one worker's, so written by one thread at a time
    for (int round = 0; round < 8; ++round) {
        const std::size_t cols = 4 + rng() % 20;
        const std::size_t fitted_rows = 40 + rng() % 160;
        const std::size_t query_rows = 1 + rng() % 60;
        const std::vector<double> fitted = table(rng, fitted_rows, cols, 0.15, round % 2 == 0);
        const std::vector<double> query = table(rng, query_rows, cols, 0.3, round % 2 == 0);
        const TableView f{fitted.data(), fitted_rows, cols};
        const QueryDonors donors(f);
        const std::size_t k = 1 + rng() % 5;
        std::vector<double> want = query;
        query_reference(f, donor_columns(f), want.data(), query_rows, 0, query_rows, k, Weights::distance);
        for (const KernelKind kernel : fast_kernels()) {
            for (const std::size_t threads : {1, 2}) {
                PassOptions options;
                options.threads = threads;
                options.chunk_rows = 3;
                options.poll = [](std::size_t, std::size_t) { return true; };
                PassTuning tuning_here = steered;
                tuning_here.prune_counts = threads == 1 ? &counts : nullptr;
                std::vector<double> got = query;
                ASSERT_TRUE(query_pass({donors, got.data(), query_rows, 0, query_rows, k, Weights::distance, kernel},
                                       with_tuning(options, tuning_here)));
                ASSERT_EQ(bits(got), bits(want)) << "round " << round << " threads " << threads;
            }
        }
    }
    EXPECT_GT(counts.skipped, 0u);  // the kernels did prune
}

TEST(QueryParallel, PollSeesProgressAndCanStopThePass) {
    std::mt19937_64 rng(7);
    const std::size_t cols = 6;
    const std::size_t rows = 400;
    const std::vector<double> fitted = table(rng, rows, cols, 0.2, false);
    const std::vector<double> query = table(rng, rows, cols, 0.3, false);
    const TableView f{fitted.data(), rows, cols};
    const DonorColumns columns = donor_columns(f);
    const QueryDonors donors(f);
    std::vector<double> want = query;
    query_reference(f, columns, want.data(), rows, 0, rows, 3, Weights::uniform);

    // Polled to the end: (done, total) never decreases, ends with (total, total).
    PassOptions options;
    options.threads = 2;
    options.chunk_rows = 5;
    options.poll_interval = std::chrono::milliseconds(0);
    std::vector<std::size_t> seen;
    options.poll = [&](std::size_t done, std::size_t total) {
        EXPECT_EQ(total, rows);
        seen.push_back(done);
        return true;
    };
    std::vector<double> got = query;
    ASSERT_TRUE(query_pass({donors, got.data(), rows, 0, rows, 3, Weights::uniform, best_kernel()}, options));
    EXPECT_EQ(bits(got), bits(want));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), rows);
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_LE(seen[i - 1], seen[i]);
    }

    // Stopped at the first poll: every row is either done or untouched (chunks finish whole).
    options.poll = [](std::size_t, std::size_t) { return false; };
    options.chunk_rows = 1;
    got = query;
    const bool finished = query_pass({donors, got.data(), rows, 0, rows, 3, Weights::uniform, best_kernel()}, options);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::vector<double> row(got.begin() + r * cols, got.begin() + (r + 1) * cols);
        const std::vector<double> done(want.begin() + r * cols, want.begin() + (r + 1) * cols);
        const std::vector<double> before(query.begin() + r * cols, query.begin() + (r + 1) * cols);
        ASSERT_TRUE(bits(row) == bits(done) || bits(row) == bits(before)) << "row " << r;
    }
    if (finished) {
        EXPECT_EQ(bits(got), bits(want));
    }

    // A poll that throws: the workers are joined and the exception comes out.
    options.poll = [](std::size_t, std::size_t) -> bool { throw std::runtime_error("poll failed"); };
    got = query;
    EXPECT_THROW(query_pass({donors, got.data(), rows, 0, rows, 3, Weights::uniform, best_kernel()}, options),
                 std::runtime_error);
}

// A control that stops the pass at its `limit`-th step.
struct StopAfter {
    std::size_t steps = 0;
    std::size_t limit = 0;
    static bool keep_going(void* self) noexcept {
        auto* s = static_cast<StopAfter*>(self);
        return ++s->steps <= s->limit;
    }
};

// A worker's pass over ranges in any order, reused from range to range: the reference's bits,
// with no allocation once it is built, and a stop at any step leaves each row imputed or as it
// was, with the rows reported done imputed.
TEST(QueryParallel, WorkerPassesAllocateNothingAndStopAtAnyStep) {
    std::mt19937_64 rng(2103);
    PassTuning small = small_blocks();
    small.max_bounded_k = 4;  // k above it: the full-ordering path
    std::size_t stops = 0;
    for (int round = 0; round < 16; ++round) {
        const std::size_t cols = 1 + rng() % 14;
        const std::size_t fitted_rows = 1 + rng() % 150;
        const std::size_t query_rows = 1 + rng() % 60;
        const double rate = 0.05 + 0.6 * static_cast<double>(rng() % 100) / 100.0;
        const std::vector<double> fitted = table(rng, fitted_rows, cols, rate, round % 2 == 0);
        const std::vector<double> query = table(rng, query_rows, cols, rate, round % 2 == 1);
        const TableView f{fitted.data(), fitted_rows, cols};
        const DonorColumns columns = donor_columns(f);
        const QueryDonors donors(f);
        const std::size_t k = 1 + rng() % 7;
        std::vector<double> want = query;
        query_reference(f, columns, want.data(), query_rows, 0, query_rows, k, Weights::distance);
        for (const KernelKind kernel : fast_kernels()) {
            for (const PassTuning& tuning : {PassTuning{}, small}) {
                // Ranges in a random order, one worker for all of them.
                std::vector<double> got = query;
                detail::QueryWorker worker(donors, got.data(), query_rows, k, Weights::distance, kernel, tuning);
                std::vector<std::size_t> starts;
                for (std::size_t a = 0; a < query_rows; a += 1 + rng() % 9) {
                    starts.push_back(a);
                }
                std::vector<std::size_t> ends(starts.begin() + 1, starts.end());
                ends.push_back(query_rows);
                std::vector<std::size_t> order(starts.size());
                for (std::size_t i = 0; i < order.size(); ++i) {
                    order[i] = i;
                }
                std::shuffle(order.begin(), order.end(), rng);
                std::atomic<std::size_t> done{0};
                PassControl control;
                control.done = &done;
                allocations.store(0);
                counting.store(true);
                for (const std::size_t i : order) {
                    ASSERT_TRUE(worker.run(starts[i], ends[i], control));
                }
                counting.store(false);
                EXPECT_EQ(allocations.load(), 0u) << "round " << round;
                EXPECT_EQ(done.load(), query_rows);
                ASSERT_EQ(bits(got), bits(want)) << "round " << round << " k " << k;

                // Stopped at a random step of one pass over every row.
                got = query;
                detail::QueryWorker stopped(donors, got.data(), query_rows, k, Weights::distance, kernel, tuning);
                StopAfter stop{0, static_cast<std::size_t>(rng() % 40)};
                done.store(0);
                control.keep_going = &StopAfter::keep_going;
                control.context = &stop;
                const bool finished = stopped.run(0, query_rows, control);
                stops += finished ? 0 : 1;
                ASSERT_LE(done.load(), query_rows);
                for (std::size_t r = 0; r < query_rows; ++r) {
                    const std::vector<double> row(got.begin() + r * cols, got.begin() + (r + 1) * cols);
                    const std::vector<double> imputed(want.begin() + r * cols, want.begin() + (r + 1) * cols);
                    const std::vector<double> before(query.begin() + r * cols, query.begin() + (r + 1) * cols);
                    ASSERT_TRUE(bits(row) == bits(imputed) || bits(row) == bits(before)) << "row " << r;
                    if (r < done.load()) {
                        ASSERT_EQ(bits(row), bits(imputed)) << "row " << r << " reported done";
                    }
                }
                if (finished) {
                    EXPECT_EQ(bits(got), bits(want));
                    EXPECT_EQ(done.load(), query_rows);
                }
            }
        }
    }
    EXPECT_GT(stops, 0u);
}

// One thread runs on the calling thread as one pass (the poll asked between its steps), so a
// stop takes effect at once and progress advances within a chunk of any size; both hold for
// every tuning and for the fitted table as the query (distances shared).
TEST(QueryParallel, OneThreadPollsBetweenStepsAndStopsAtOnce) {
    std::mt19937_64 rng(31);
    const std::size_t cols = 5;
    const std::size_t rows = 300;
    const std::vector<double> fitted = table(rng, rows, cols, 0.25, true);
    const TableView f{fitted.data(), rows, cols};
    const DonorColumns columns = donor_columns(f);
    const QueryDonors donors(f);
    for (const bool same : {false, true}) {
        const std::vector<double> query = same ? fitted : table(rng, rows, cols, 0.3, true);
        std::vector<double> want = query;
        query_reference(f, columns, want.data(), rows, 0, rows, 4, Weights::uniform);
        for (const std::size_t threads : {1, 2}) {
            PassOptions options;
            options.threads = threads;
            options.chunk_rows = threads == 1 ? 0 : rows;  // one chunk: the calling thread either way
            options.poll_interval = std::chrono::milliseconds(0);
            std::vector<std::size_t> seen;
            options.poll = [&](std::size_t done, std::size_t) {
                seen.push_back(done);
                return true;
            };
            std::vector<double> got = query;
            ASSERT_TRUE(query_pass({donors, got.data(), rows, 0, rows, 4, Weights::uniform, best_kernel()},
                                   with_tuning(options, small_blocks())));
            EXPECT_EQ(bits(got), bits(want)) << "same " << same << " threads " << threads;
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ(seen.back(), rows);
            EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](std::size_t d) { return d > 0 && d < rows; }))
                << "progress only at the ends of the chunk";
            for (std::size_t i = 1; i < seen.size(); ++i) {
                EXPECT_LE(seen[i - 1], seen[i]);
            }

            // Refused at the first poll: the pass stops before its first step ends.
            std::size_t polls = 0;
            options.poll = [&](std::size_t, std::size_t) {
                ++polls;
                return false;
            };
            got = query;
            EXPECT_FALSE(query_pass({donors, got.data(), rows, 0, rows, 4, Weights::uniform, best_kernel()},
                                    with_tuning(options, small_blocks())));
            EXPECT_EQ(polls, 1u);
            EXPECT_EQ(bits(got), bits(query));
        }
    }
}

TEST(QueryParallel, BadArgumentsFailBeforeAnyThreadStarts) {
    const std::vector<double> fitted{1.0, 2.0, 3.0, 4.0};
    std::vector<double> query{NAN_, 1.0};
    const TableView f{fitted.data(), 2, 2};
    const QueryDonors donors(f);
    PassOptions options;
    options.threads = 0;
    EXPECT_THROW(query_pass({donors, query.data(), 1, 0, 1, 1, Weights::uniform, best_kernel()}, options),
                 std::invalid_argument);
    options.threads = 2;
    for (const KernelKind kernel : {KernelKind::portable, KernelKind::avx2, KernelKind::avx512}) {
        const std::vector<KernelKind> here = available_kernels();
        if (std::find(here.begin(), here.end(), kernel) == here.end()) {
            EXPECT_THROW(query_pass({donors, query.data(), 1, 0, 1, 1, Weights::uniform, kernel}, options),
                         std::invalid_argument);
        }
    }
    EXPECT_THROW(query_pass({donors, query.data(), 1, 0, 2, 1, Weights::uniform, best_kernel()}, options), Panic);
    EXPECT_TRUE(std::isnan(query[0]));
}

// fit_transform on several threads: the pairs of rows are dealt out to the workers, each pair
// measured once, and the merged selections give query_fast's bits (one pass on one thread) for
// every worker count, tuning, k (the full-ordering path above max_bounded_k falls back to split
// rows) and budget (one that holds one copy of the selections but not two falls back too).
TEST(QueryParallel, SharedDistancesOnThreadsMatchOneThread) {
    std::mt19937_64 rng(5150);
    PassTuning small = small_blocks();
    small.max_bounded_k = 6;
    PassTuning tight;  // one copy of the selections fits, two do not
    tight.selection_budget_per_fitted_byte = 0;
    std::size_t shared_runs = 0;
    for (int round = 0; round < 12; ++round) {
        const std::size_t cols = 1 + rng() % 40;
        const std::size_t rows = 2 + rng() % 400;
        const double rate = 0.02 + 0.4 * static_cast<double>(rng() % 100) / 100.0;
        const std::vector<double> fitted = table(rng, rows, cols, rate, round % 2 == 0);
        const TableView f{fitted.data(), rows, cols};
        const QueryDonors donors(f);
        const std::size_t k = 1 + rng() % 8;
        std::size_t cells = 0;
        for (const double v : fitted) {
            cells += std::isnan(v) ? 1 : 0;
        }
        tight.selection_budget_bytes = cells * (16 * std::min(k, rows) + 64) + 1;
        for (const Weights weights : {Weights::uniform, Weights::distance}) {
            for (const KernelKind kernel : fast_kernels()) {
                std::vector<double> want = fitted;
                query_pass({donors, want.data(), rows, 0, rows, k, weights, kernel});
                for (const PassTuning& tuning : {PassTuning{}, small, tight}) {
                    for (const std::size_t threads : {2, 3, 5}) {
                        std::vector<double> scratch = fitted;
                        const detail::SharedQueryPass probe(donors, scratch.data(), k, weights, kernel, tuning,
                                                            threads);
                        shared_runs += probe.workers() >= 2 ? 1 : 0;
                        PassOptions options;
                        options.threads = threads;
                        std::vector<double> got = fitted;
                        ASSERT_TRUE(query_pass({donors, got.data(), rows, 0, rows, k, weights, kernel},
                                               with_tuning(options, tuning)));
                        ASSERT_EQ(bits(got), bits(want))
                            << "round " << round << " threads " << threads << " k " << k << " cols " << cols;
                    }
                }
            }
        }
    }
    EXPECT_GT(shared_runs, 0u);
}

// The workers of the shared pass allocate nothing and write nothing; a stop at any step leaves
// the table as it was; finish() after a full run writes query_fast's bits.
TEST(QueryParallel, SharedWorkersAllocateNothingAndWriteOnlyAtTheEnd) {
    std::mt19937_64 rng(77);
    std::size_t stops = 0;
    for (int round = 0; round < 10; ++round) {
        const std::size_t cols = 2 + rng() % 20;
        const std::size_t rows = 10 + rng() % 200;
        const std::vector<double> fitted = table(rng, rows, cols, 0.1 + 0.03 * round, round % 2 == 0);
        const QueryDonors donors(TableView{fitted.data(), rows, cols});
        const std::size_t k = 1 + rng() % 5;
        for (const KernelKind kernel : fast_kernels()) {
            std::vector<double> want = fitted;
            query_pass({donors, want.data(), rows, 0, rows, k, Weights::distance, kernel},
                       with_tuning(PassOptions{}, small_blocks()));
            std::vector<double> got = fitted;
            detail::SharedQueryPass shared(donors, got.data(), k, Weights::distance, kernel, small_blocks(), 3);
            ASSERT_EQ(shared.workers(), 3u) << "round " << round;
            StopAfter stop{0, round % 2 == 0 ? SIZE_MAX : static_cast<std::size_t>(rng() % 30)};
            PassControl control;
            control.keep_going = &StopAfter::keep_going;
            control.context = &stop;
            allocations.store(0);
            counting.store(true);
            bool finished = true;
            for (std::size_t w = 0; w < shared.workers(); ++w) {  // one after another here
                finished = shared.run(w, control) && finished;
            }
            counting.store(false);
            EXPECT_EQ(allocations.load(), 0u) << "round " << round;
            ASSERT_EQ(bits(got), bits(fitted)) << "the workers wrote";
            if (!finished) {
                ++stops;
                continue;
            }
            shared.finish();
            ASSERT_EQ(bits(got), bits(want)) << "round " << round;
        }
    }
    EXPECT_GT(stops, 0u);
}

// A poll that refuses stops the shared pass, which then writes nothing.
TEST(QueryParallel, SharedPassStoppedByThePollWritesNothing) {
    std::mt19937_64 rng(9);
    const std::size_t rows = 600;
    const std::size_t cols = 12;
    const std::vector<double> fitted = table(rng, rows, cols, 0.2, false);
    const QueryDonors donors(TableView{fitted.data(), rows, cols});
    PassOptions options;
    options.threads = 2;
    options.poll_interval = std::chrono::milliseconds(0);
    options.poll = [](std::size_t, std::size_t) { return false; };
    std::vector<double> got = fitted;
    PassTuning tuning = small_blocks();
    ASSERT_EQ(detail::SharedQueryPass(donors, got.data(), 3, Weights::uniform, best_kernel(), tuning, 2).workers(), 2u);
    const bool completed = query_pass({donors, got.data(), rows, 0, rows, 3, Weights::uniform, best_kernel()},
                                      with_tuning(options, tuning));
    if (!completed) {
        EXPECT_EQ(bits(got), bits(fitted));
    } else {
        std::vector<double> want = fitted;
        query_pass({donors, want.data(), rows, 0, rows, 3, Weights::uniform, best_kernel()},
                   with_tuning(PassOptions{}, tuning));
        EXPECT_EQ(bits(got), bits(want));  // the workers ended before the first poll
    }
}

// Any thread count, however large, is a usable count of workers and a chunk size of at least
// one row: counts whose product with the chunks per worker wraps past size_t included. The
// pass gives the straightforward pass's bits with them, on the rows split and shared alike.
TEST(QueryParallel, AnyThreadCountIsCappedAndGivesTheSameBits) {
    const std::size_t processors = std::max<std::size_t>(1, std::thread::hardware_concurrency());
    const std::size_t counts[] = {
        0, 1, 2, 5, SIZE_MAX / 16, SIZE_MAX / 16 + 1, SIZE_MAX / 8 + 1, SIZE_MAX / 2 + 1, SIZE_MAX};
    for (const std::size_t threads : counts) {
        EXPECT_GE(usable_threads(threads), 1u) << threads;
        EXPECT_LE(usable_threads(threads), THREADS_PER_PROCESSOR * processors) << threads;
        if (threads >= 1 && threads <= THREADS_PER_PROCESSOR * processors) {
            EXPECT_EQ(usable_threads(threads), threads);
        }
        for (const std::size_t rows : {std::size_t{0}, std::size_t{1}, std::size_t{5000}, SIZE_MAX}) {
            const std::size_t chunk = default_chunk_rows(rows, threads);
            EXPECT_GE(chunk, 32u) << threads << " " << rows;
            EXPECT_LE(chunk, 4096u) << threads << " " << rows;
        }
    }
    std::mt19937_64 rng(2060);
    const std::size_t rows = 700;
    const std::size_t cols = 6;
    const std::vector<double> fitted = table(rng, rows, cols, 0.2, false);
    const std::vector<double> other = table(rng, 300, cols, 0.3, false);
    const TableView f{fitted.data(), rows, cols};
    const QueryDonors donors(f);
    for (const bool same : {true, false}) {
        const std::vector<double>& query = same ? fitted : other;
        const std::size_t query_rows = query.size() / cols;
        std::vector<double> want = query;
        query_reference(f, donor_columns(f), want.data(), query_rows, 0, query_rows, 4, Weights::distance);
        for (const std::size_t threads : {SIZE_MAX / 16 + 1, SIZE_MAX / 2 + 1, SIZE_MAX}) {
            PassOptions options;
            options.threads = threads;
            std::vector<double> got = query;
            ASSERT_TRUE(query_pass({donors, got.data(), query_rows, 0, query_rows, 4, Weights::distance, best_kernel()},
                                   options));
            EXPECT_EQ(bits(got), bits(want)) << threads << " same " << same;
        }
    }
}

// The shared pass's workers add the rows of each group they finish to the shared count, so a
// poll sees progress while they measure: the count, read between the steps of the pass, grows
// past 0 before the last group and ends at the rows up to the last imputed one.
struct SeeProgress {
    const std::atomic<std::size_t>* done = nullptr;
    std::vector<std::size_t> seen;
    static bool keep_going(void* self) noexcept {
        auto* s = static_cast<SeeProgress*>(self);
        s->seen.push_back(s->done->load());
        return true;
    }
};

TEST(QueryParallel, SharedWorkersPublishProgressGroupByGroup) {
    std::mt19937_64 rng(31);
    const std::size_t rows = 400;
    const std::size_t cols = 9;
    std::vector<double> fitted = table(rng, rows, cols, 0.15, false);
    fitted[(rows - 1) * cols] = NAN_;  // the last row imputes a cell: the count ends at every row
    const QueryDonors donors(TableView{fitted.data(), rows, cols});
    for (const KernelKind kernel : fast_kernels()) {
        std::vector<double> got = fitted;
        detail::SharedQueryPass shared(donors, got.data(), 3, Weights::uniform, kernel, small_blocks(), 2);
        ASSERT_EQ(shared.workers(), 2u);
        std::atomic<std::size_t> done{0};
        SeeProgress see;
        see.done = &done;
        see.seen.reserve(1 << 20);
        PassControl control;
        control.keep_going = &SeeProgress::keep_going;
        control.context = &see;
        control.done = &done;
        for (std::size_t w = 0; w < shared.workers(); ++w) {
            ASSERT_TRUE(shared.run(w, control));
        }
        EXPECT_EQ(done.load(), rows);
        ASSERT_FALSE(see.seen.empty());
        EXPECT_TRUE(std::is_sorted(see.seen.begin(), see.seen.end()));
        EXPECT_EQ(see.seen.front(), 0u);
        EXPECT_TRUE(std::any_of(see.seen.begin(), see.seen.end(), [&](std::size_t d) { return d > 0 && d < rows; }));
    }
}

}  // namespace
}  // namespace mirel::knn
