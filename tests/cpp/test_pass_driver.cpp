// The pass driver on its own, over workers that only record what they are given: the plan it
// makes, every row given to exactly one worker once for any worker count and chunk, the merge
// after the join, stopping, and failures of the poll joined and thrown on the calling thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

#include "knn/pass/group_pass.hpp"
#include "knn/pass/pass_driver.hpp"

namespace mirel::knn {
namespace {

// Marks each row it runs; reports count the workers joined.
struct MarkingWorker {
    std::vector<std::atomic<int>>* seen = nullptr;
    std::atomic<int>* reports = nullptr;
    bool run(std::size_t a, std::size_t b, const PassControl& control) noexcept {
        for (std::size_t r = a; r < b; ++r) {
            if (control.keep_going != nullptr && !control.keep_going(control.context)) {
                return false;
            }
            (*seen)[r].fetch_add(1);
            if (control.done != nullptr) {
                control.done->fetch_add(1);
            }
        }
        return true;
    }
    void report() const noexcept { reports->fetch_add(1); }
};

// Workers that each take items from a shared counter without writing; finish() writes them all.
struct SharingWorkers {
    SharingWorkers(std::size_t n_, std::size_t items_) noexcept : n(n_), items(items_) {}
    SharingWorkers(const SharingWorkers&) = delete;
    SharingWorkers& operator=(const SharingWorkers&) = delete;
    std::size_t n = 0;
    std::size_t items = 0;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> taken{0};
    bool finished = false;
    std::size_t workers() const noexcept { return n; }
    bool run(std::size_t /*w*/, const PassControl& control) noexcept {
        for (std::size_t i = next.fetch_add(1); i < items; i = next.fetch_add(1)) {
            if (control.keep_going != nullptr && !control.keep_going(control.context)) {
                return false;
            }
            taken.fetch_add(1);
            if (control.done != nullptr) {
                control.done->fetch_add(1);
            }
        }
        return true;
    }
    void finish() { finished = true; }
    void report() const noexcept {}
};

// A pass over `rows` rows with the two kinds of workers above.
struct RecordingPass {
    std::vector<std::atomic<int>> seen;
    std::atomic<int> reports{0};
    std::size_t serial_runs = 0;
    bool serial_shared = false;
    std::size_t sharing_workers = 0;  // what pair_workers gives (0: nothing to share)

    explicit RecordingPass(std::size_t rows) : seen(rows) {}
    bool run_serially(std::size_t /*chunk*/, bool share, const PassControl& control) {
        ++serial_runs;
        serial_shared = share;
        MarkingWorker w{&seen, &reports};
        return w.run(0, seen.size(), control);
    }
    std::vector<MarkingWorker> range_workers(std::size_t n) {
        return std::vector<MarkingWorker>(n, MarkingWorker{&seen, &reports});
    }
    SharingWorkers pair_workers(std::size_t n) const {
        return SharingWorkers(std::min(n, sharing_workers), seen.size());
    }
};

static_assert(DrivenPass<RecordingPass>);
static_assert(RowRangeWorker<MarkingWorker>);
static_assert(PairSharingWorkers<SharingWorkers>);

// A policy without fill is no policy: the scheduler would refuse it at compile time.
struct NoFill {
    bool candidate_key(std::size_t, std::size_t, double, std::uint64_t&) const noexcept { return false; }
    std::uint64_t bound(std::uint64_t t) const noexcept { return t; }
    const double* row_values(std::size_t) const noexcept { return nullptr; }
};
static_assert(!detail::PassPolicy<NoFill>);
static_assert(detail::CandidateSource<detail::EveryBlock>);

TEST(PassDriver, PlansTheStrategyFromThreadsWorkAndSharing) {
    PassFacts facts;
    facts.rows = 10000;
    facts.work = SIZE_MAX;
    PassOptions options;
    EXPECT_EQ(plan_pass(facts, options).strategy, PassStrategy::calling_thread);
    options.threads = 2;
    PassPlan plan = plan_pass(facts, options);
    EXPECT_EQ(plan.strategy, PassStrategy::split_rows);
    EXPECT_EQ(plan.workers, 2u);
    EXPECT_EQ(plan.chunk, default_chunk_rows(10000, 2));
    facts.pairs_shareable = true;
    EXPECT_EQ(plan_pass(facts, options).strategy, PassStrategy::share_pairs);
    options.chunk_rows = 7;  // chunks asked for: the rows are split
    plan = plan_pass(facts, options);
    EXPECT_EQ(plan.strategy, PassStrategy::split_rows);
    EXPECT_EQ(plan.chunks, 10000u / 7 + 1);
    options.chunk_rows = 20000;  // one chunk: the calling thread
    EXPECT_EQ(plan_pass(facts, options).strategy, PassStrategy::calling_thread);
    options.chunk_rows = 0;
    options.min_thread_work = 100;
    facts.work = 99;
    EXPECT_EQ(plan_pass(facts, options).strategy, PassStrategy::calling_thread);
    facts.work = 100;
    facts.threads_allowed = false;
    EXPECT_EQ(plan_pass(facts, options).strategy, PassStrategy::calling_thread);
    facts.threads_allowed = true;
    for (const std::size_t threads : {std::size_t{3}, SIZE_MAX / 16 + 1, SIZE_MAX}) {
        options.threads = threads;
        plan = plan_pass(facts, options);
        EXPECT_GE(plan.workers, 1u);
        EXPECT_LE(plan.workers, std::min(usable_threads(threads), plan.chunks));
    }
}

TEST(PassDriver, EveryRowGoesToOneWorkerOnceForAnyCountAndChunk) {
    for (const std::size_t rows : {1, 5, 97, 1000}) {
        for (const std::size_t threads : {1, 2, 3, 5}) {
            for (const std::size_t chunk : {0, 1, 4, 5000}) {
                RecordingPass pass(rows);
                PassFacts facts;
                facts.rows = rows;
                facts.work = SIZE_MAX;
                PassOptions options;
                options.threads = threads;
                options.chunk_rows = chunk;
                std::vector<std::size_t> polled;
                options.poll = [&](std::size_t done, std::size_t total) {
                    polled.push_back(done);
                    EXPECT_EQ(total, rows);
                    return true;
                };
                ASSERT_TRUE(drive_pass(pass, facts, options));
                for (std::size_t r = 0; r < rows; ++r) {
                    ASSERT_EQ(pass.seen[r].load(), 1) << rows << " " << threads << " " << chunk << " row " << r;
                }
                ASSERT_FALSE(polled.empty());
                EXPECT_EQ(polled.back(), rows);  // the one report of the end
                const PassPlan plan = plan_pass(facts, options);
                EXPECT_EQ(pass.serial_runs, plan.strategy == PassStrategy::calling_thread ? 1u : 0u);
                if (plan.strategy != PassStrategy::calling_thread) {
                    EXPECT_EQ(static_cast<std::size_t>(pass.reports.load()), plan.workers);
                }
            }
        }
    }
}

TEST(PassDriver, SharedPairsAreMergedAfterTheJoinOrSplitWhenNothingIsShared) {
    for (const std::size_t sharing : {0, 1, 2, 5}) {
        RecordingPass pass(3000);
        pass.sharing_workers = sharing;
        PassFacts facts;
        facts.rows = 3000;
        facts.work = SIZE_MAX;
        facts.pairs_shareable = true;
        PassOptions options;
        options.threads = 5;
        ASSERT_TRUE(drive_pass(pass, facts, options));
        const bool shared = std::min<std::size_t>(sharing, plan_pass(facts, options).workers) >= 2;
        // Shared: the workers wrote nothing (the merge does); split: every row once.
        for (std::size_t r = 0; r < 3000; ++r) {
            ASSERT_EQ(pass.seen[r].load(), shared ? 0 : 1) << sharing;
        }
    }
}

TEST(PassDriver, APollThatRefusesOrThrowsStopsAndJoinsTheWorkers) {
    for (const bool throws : {false, true}) {
        RecordingPass pass(2000000);
        PassFacts facts;
        facts.rows = pass.seen.size();
        facts.work = SIZE_MAX;
        PassOptions options;
        options.threads = 3;
        options.chunk_rows = 1;
        options.poll_interval = std::chrono::milliseconds(0);
        options.poll = [&](std::size_t, std::size_t) -> bool {
            if (throws) {
                throw std::runtime_error("from the poll");
            }
            return false;
        };
        if (throws) {
            EXPECT_THROW(drive_pass(pass, facts, options), std::runtime_error);
        } else {
            EXPECT_FALSE(drive_pass(pass, facts, options));
        }
        // Joined: nothing changes after the call.
        std::size_t marked = 0;
        for (const std::atomic<int>& s : pass.seen) {
            marked += static_cast<std::size_t>(s.load());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::size_t again = 0;
        for (const std::atomic<int>& s : pass.seen) {
            again += static_cast<std::size_t>(s.load());
        }
        EXPECT_EQ(marked, again);
        EXPECT_LT(marked, pass.seen.size());
    }
}

}  // namespace
}  // namespace mirel::knn
