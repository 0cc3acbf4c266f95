// The pass driver: how a fast pass over rows [first, last) runs, whichever pass it is. It owns
// the choice of strategy, stopping and progress, and the threads:
//
//   * on the calling thread: no thread is started; the poll is asked between the pass's steps;
//   * split the rows: the rows are cut into chunks of consecutive rows that workers take from an
//     atomic counter, each worker measuring its rows against every candidate (scikit-learn's
//     "parallel on X" of _pairwise_distances_reduction);
//   * share the pairs: when the rows being imputed are also the candidates (fit_transform), each
//     pair is measured once, by one worker, into selections of its own; after the join the
//     calling thread merges the selections in a fixed order and writes the rows (a selection keeps
//     the first k by key and row index whatever order it is offered them), so the bits are those
//     of one thread ("parallel on Y": the reduction happens after the threads).
//
// A pass supplies what differs through the DrivenPass concept below: its run on the calling
// thread, its workers for either threaded strategy, and the facts the choice needs. Every worker
// is built on the calling thread before any thread starts: a worker allocates nothing and never
// throws, so it needs nothing its thread would allocate lazily (libstdc++ allocates a thread's
// exception storage at its first throw, and aborts when it cannot). Workers look at a stop flag
// between steps and add the rows they finish, group by group, to one atomic count, which the
// calling thread's poll reads. Every worker is joined on every path before the driver returns
// or throws.
//
// Inside one worker the group scheduler (knn/pass/group_pass.hpp) scans candidates; which blocks
// of candidates a row is measured against is the scheduler's candidate source
// (knn/pass/group_scan.hpp: today every block; a candidate index would name some of them).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <exception>
#include <functional>
#include <span>

#include "knn/pass/pass_tuning.hpp"

namespace mirel::knn {

// How a running pass is watched and stopped. Between its steps (a super-block for a group of rows,
// or one row of the full-ordering path) the pass calls keep_going(context) when it is set, and
// stops when that returns false: the rows of the group being measured are then left as they
// were, the rows of earlier groups are imputed. When `done` is set, the pass adds to it the rows
// of its range it has finished, group by group (a worker's progress, read by another thread).
struct PassControl {
    bool (*keep_going)(void* context) noexcept = nullptr;
    void* context = nullptr;
    std::atomic<std::size_t>* done = nullptr;
};

// Called on the calling thread while the pass runs, about every `poll_interval`, and once at the
// end: (rows done, rows in the pass). Returning false asks the pass to stop: it stops at its next
// step (a fraction of a millisecond to a few milliseconds of work), and the pass returns false.
// Rows are imputed whole: a row is either imputed or left as it was.
using PassPoll = std::function<bool(std::size_t done, std::size_t total)>;

// Threads, chunking, polling and tuning of a pass.
struct PassOptions {
    // Workers (any count: at most usable_threads(threads) start); with 1 the calling thread runs
    // the pass, no thread starts.
    std::size_t threads = 1;
    std::size_t chunk_rows = 0;  // rows a worker takes at a time; 0: chosen from rows and threads
    // A pass of less work than this (rows x candidates x columns) runs on the calling thread
    // whatever `threads` says: starting and joining threads would cost more than they save.
    std::size_t min_thread_work = 0;
    std::chrono::milliseconds poll_interval{100};
    PassPoll poll;      // optional
    PassTuning tuning;  // block sizes and budgets of every worker's scheduler
};

// `options` with `tuning`.
inline PassOptions with_tuning(PassOptions options, const PassTuning& tuning) {
    options.tuning = tuning;
    return options;
}

// Workers beyond a few per processor only add memory (each has its selections and scratch) and
// switches: a pass starts at most this many per processor the machine reports.
inline constexpr std::size_t THREADS_PER_PROCESSOR = 4;

// The workers a pass asked for `requested` may start: at least 1, at most THREADS_PER_PROCESSOR
// per processor (std::thread::hardware_concurrency, 1 when unknown).
std::size_t usable_threads(std::size_t requested) noexcept;

// The chunk size for `rows` rows on `threads` workers when none is given: small enough that every
// worker gets many (load balance, progress), large enough that the scheduler's groups fill.
std::size_t default_chunk_rows(std::size_t rows, std::size_t threads) noexcept;

enum class PassStrategy { calling_thread, split_rows, share_pairs };

// What the choice of strategy needs to know of a pass.
struct PassFacts {
    std::size_t first = 0;  // the pass's rows: [first, first + rows)
    std::size_t rows = 0;
    std::size_t work = 0;          // rows x candidates x columns, saturating
    bool pairs_shareable = false;  // the rows being imputed are the candidates (fit_transform)
    bool threads_allowed = true;   // false: the pass allocates as it goes and stays here
};

struct PassPlan {
    PassStrategy strategy = PassStrategy::calling_thread;
    std::size_t workers = 1;
    std::size_t chunk = 0;   // rows per chunk (split_rows; on the calling thread: rows per run)
    std::size_t chunks = 0;  // split_rows
};

// The one choice of strategy: the calling thread for one thread, a small pass, a single chunk or
// a pass that may not run on threads; shared pairs for fit_transform unless chunks were asked for;
// split rows otherwise. (A pass whose workers cannot share, their selections beyond the budget,
// falls back to split rows.)
PassPlan plan_pass(const PassFacts& facts, const PassOptions& options) noexcept;

// One worker of "split the rows": run(first, last, control) imputes rows [first, last) and
// returns false when the control stopped it; report() adds its counters after the join.
template <class W>
concept RowRangeWorker = requires(W& w, const W& cw, std::size_t a, const PassControl& control) {
    { w.run(a, a, control) }
    noexcept->std::same_as<bool>;
    { cw.report() }
    noexcept;
};

// The workers of "share the pairs": run(w, control) is worker w's loop (writes nothing),
// finish() merges and writes after the join, report() adds the counters.
template <class S>
concept PairSharingWorkers = requires(S& s, const S& cs, std::size_t w, const PassControl& control) {
    { cs.workers() }
    noexcept->std::same_as<std::size_t>;
    { s.run(w, control) }
    noexcept->std::same_as<bool>;
    s.finish();
    { cs.report() }
    noexcept;
};

// What a pass gives the driver: its run on the calling thread, rows [first, last) `chunk` at a
// time (sharing pairs when `share_pairs`), under `control`; and its workers, built on the calling
// thread. pair_workers may return fewer than two workers: nothing to share, or beyond the budget.
template <class P>
concept DrivenPass = requires(P& p, std::size_t n, bool share, const PassControl& control) {
    { p.run_serially(n, share, control) } -> std::same_as<bool>;
    {p.range_workers(n)};
    requires RowRangeWorker<typename decltype(p.range_workers(n))::value_type>;
    {p.pair_workers(n)};
    requires PairSharingWorkers<decltype(p.pair_workers(n))>;
};

namespace detail {

// Runs body(context, w, control) for w in [0, workers) on a thread each and waits, polling as
// `options` asks. Returns true when the poll stopped the pass. A thread that cannot start
// (std::system_error) or a poll that throws stops the others, and is thrown here after the join.
using WorkerBody = void (*)(void* context, std::size_t worker, const PassControl& control) noexcept;
bool run_on_threads(std::size_t workers, WorkerBody body, void* context, std::size_t total,
                    std::atomic<std::size_t>& done, const PassOptions& options);

// The calling thread's control: options.poll at most every poll_interval, between the pass's
// steps; a refusal or an exception stops the pass (the exception is kept for the caller).
class CallingThreadPoll {
public:
    CallingThreadPoll(const PassOptions& options, std::size_t total) noexcept
        : options_(options), total_(total), last_(std::chrono::steady_clock::now()) {}
    CallingThreadPoll(const CallingThreadPoll&) = delete;
    CallingThreadPoll& operator=(const CallingThreadPoll&) = delete;

    PassControl control() noexcept {
        PassControl control;
        if (options_.poll) {
            control.keep_going = &CallingThreadPoll::keep_going;
            control.context = this;
            control.done = &done_;
        }
        return control;
    }
    void rethrow() const {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }

private:
    static bool keep_going(void* self) noexcept { return static_cast<CallingThreadPoll*>(self)->ask(); }
    bool ask() noexcept;

    const PassOptions& options_;
    std::size_t total_;
    std::atomic<std::size_t> done_{0};
    std::chrono::steady_clock::time_point last_;
    std::exception_ptr failure_;
};

}  // namespace detail

// Strategy "split the rows": rows [first, last) in chunks of `chunk` rows over `workers`, one
// thread each. Returns false when the poll stopped the pass before every row was done.
template <RowRangeWorker W>
bool split_rows(std::span<W> workers, std::size_t first, std::size_t last, std::size_t chunk,
                const PassOptions& options) {
    struct Shared {
        std::span<W> workers;
        std::size_t first;
        std::size_t last;
        std::size_t chunk;
        std::size_t chunks;
        std::atomic<std::size_t> next{0};
    };
    const std::size_t total = last - first;
    Shared shared{workers, first, last, chunk, total / chunk + (total % chunk != 0 ? 1 : 0)};
    alignas(64) std::atomic<std::size_t> done{0};  // written by the workers: a cache line of its own
    // A worker's run() is noexcept (RowRangeWorker) and checked where it is defined; clang-tidy
    // would look through an inline one's body here again.
    // NOLINTNEXTLINE(bugprone-exception-escape)
    const detail::WorkerBody body = [](void* context, std::size_t w, const PassControl& control) noexcept {
        auto& s = *static_cast<Shared*>(context);
        for (std::size_t i = s.next.fetch_add(1); i < s.chunks; i = s.next.fetch_add(1)) {
            const std::size_t a = s.first + i * s.chunk;
            // A worker's rows are its own: a pass over part of the rows never reads the others.
            if (!s.workers[w].run(a, std::min(s.last, a + s.chunk), control)) {
                break;
            }
        }
    };
    const bool stopped = detail::run_on_threads(workers.size(), body, &shared, total, done, options);
    for (const W& w : workers) {
        w.report();
    }
    return !stopped || done.load() >= total;
}

// Strategy "share the pairs": every worker measures groups of pairs, then the calling thread
// merges and writes. Nothing is written when the poll stops the pass.
template <PairSharingWorkers S>
bool share_pairs(S& shared, std::size_t total, const PassOptions& options) {
    alignas(64) std::atomic<std::size_t> done{0};  // written by the workers: a cache line of its own
    const detail::WorkerBody body = [](void* context, std::size_t w, const PassControl& control) noexcept {
        static_cast<S*>(context)->run(w, control);
    };
    const bool stopped = detail::run_on_threads(shared.workers(), body, &shared, total, done, options);
    shared.report();
    if (stopped) {
        return false;
    }
    shared.finish();
    return true;
}

// Strategy "the calling thread": the pass's own run, polled between its steps.
template <DrivenPass P>
bool run_on_calling_thread(P& pass, const PassPlan& plan, bool share_pairs_here, const PassOptions& options,
                           std::size_t total) {
    detail::CallingThreadPoll poll(options, total);
    const bool completed = pass.run_serially(plan.chunk, share_pairs_here, poll.control());
    poll.rethrow();
    return completed;
}

// The driver: plans the pass, runs the strategy, and reports the end (the one final poll).
// Returns false when the poll stopped the pass, true when every row is done.
template <DrivenPass P>
bool drive_pass(P& pass, const PassFacts& facts, const PassOptions& options) {
    const PassPlan plan = plan_pass(facts, options);
    bool completed = true;
    switch (plan.strategy) {
        case PassStrategy::calling_thread:
            completed = run_on_calling_thread(pass, plan, facts.pairs_shareable && plan.chunk >= facts.rows, options,
                                              facts.rows);
            break;
        case PassStrategy::share_pairs: {
            auto shared = pass.pair_workers(plan.workers);
            if (shared.workers() >= 2) {
                completed = share_pairs(shared, facts.rows, options);
                break;
            }
            [[fallthrough]];  // nothing to share, or beyond the budget: split the rows
        }
        case PassStrategy::split_rows: {
            auto workers = pass.range_workers(plan.workers);
            completed = split_rows(std::span(workers), facts.first, facts.first + facts.rows, plan.chunk, options);
            break;
        }
    }
    if (completed && options.poll) {
        options.poll(facts.rows, facts.rows);
    }
    return completed;
}

}  // namespace mirel::knn
