// The query pass on a pool of native threads, or on the calling thread.
//
// 1. Arguments are checked on the calling thread before any worker starts. The fitted side
//    (QueryDonors: the panel and the column facts) was built before the call and is only read.
// 2. One thread (or a single chunk): the calling thread runs the pass itself, no thread is
//    started, and the poll is called from between the pass's steps about every poll_interval.
// 3. Several threads: the rows [first, last) are cut into chunks of consecutive rows; each
//    worker takes the next chunk from an atomic counter and runs its own QueryWorker over it. A
//    row is written only by the worker that took its chunk, and only its own cells. Every
//    QueryWorker (selections, scratch, result buffers) is allocated here, before any thread
//    starts: a worker allocates nothing and cannot throw, so it needs nothing its thread would
//    allocate lazily (libstdc++ allocates a thread's exception storage at its first throw).
//    Workers look at a stop flag between the pass's steps and add the rows they finish, group by
//    group, to a shared count (the progress the poll sees).
// 4. The calling thread waits, polling when asked to, and joins every worker on every path (the
//    poll's refusal or its exception, a thread that cannot start), so nothing of the pass
//    outlives the call; failures are raised here after the join.
#include "knn/query_parallel.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "knn/checked.hpp"
#include "knn/prune_steering.hpp"
#include "knn/query_detail.hpp"

namespace mirel::knn {

namespace {

// Joins every started worker when the call ends, however it ends.
class Pool {
public:
    Pool(std::atomic<bool>& stop, std::size_t threads) : stop_(stop) { threads_.reserve(threads); }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    ~Pool() {
        stop_.store(true);
        for (std::thread& t : threads_) {
            if (t.joinable()) {
                t.join();
            }
        }
    }
    template <class F>
    void start(F&& body) {
        threads_.emplace_back(std::forward<F>(body));
    }

private:
    std::atomic<bool>& stop_;
    std::vector<std::thread> threads_;
};

// A worker's keep_going: until the stop flag is set.
bool not_stopped(void* stop) noexcept {
    return !static_cast<const std::atomic<bool>*>(stop)->load(std::memory_order_relaxed);
}

// The poll of a pass running on the calling thread, asked between the pass's steps: calls
// options.poll at most every poll_interval; a refusal or an exception stops the pass.
struct HerePoll {
    const ParallelOptions& options;
    const std::atomic<std::size_t>& done;
    std::size_t total;
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
    std::exception_ptr failure;

    static bool keep_going(void* self) noexcept { return static_cast<HerePoll*>(self)->ask(); }

    bool ask() noexcept {
        const auto now = std::chrono::steady_clock::now();
        if (now - last < options.poll_interval) {
            return true;
        }
        last = now;
        try {
            return options.poll(done.load(), total);
        } catch (...) {
            failure = std::current_exception();
            return false;
        }
    }
};

// Step 2: rows [first, last) on the calling thread, `chunk` rows at a time (all at once when
// chunk >= total, sharing distances when the query is the fitted table).
bool run_here(const QueryDonors& donors, double* query, std::size_t query_rows, std::size_t first, std::size_t last,
              std::size_t k, QueryWeights weights, QueryKernel kernel, bool fitted_query, std::size_t chunk,
              const ParallelOptions& options, const PassTuning& tuning) {
    const std::size_t total = last - first;
    std::atomic<std::size_t> done{0};
    HerePoll poll{options, done, total, std::chrono::steady_clock::now(), nullptr};
    PassControl control;
    if (options.poll) {
        control.keep_going = &HerePoll::keep_going;
        control.context = &poll;
        control.done = &done;
    }
    // The chunks steer pruning as one pass over their rows would.
    detail::PruneState steering;
    PassTuning own = tuning;
    own.prune_state = &steering;
    const bool shared_distances = fitted_query && chunk >= total;
    bool completed = true;
    for (std::size_t a = first; a < last && completed; a += std::min(chunk, last - a)) {
        const std::size_t b = a + std::min(chunk, last - a);
        completed =
            query_fast_controlled(donors, query, query_rows, a, b, k, weights, kernel, shared_distances, own, control);
    }
    if (poll.failure) {
        std::rethrow_exception(poll.failure);
    }
    if (!completed) {
        return false;
    }
    if (options.poll) {
        options.poll(total, total);
    }
    return true;
}

}  // namespace

std::size_t default_chunk_rows(std::size_t rows, std::size_t threads) noexcept {
    const std::size_t share = rows / (std::max<std::size_t>(1, threads) * 16);
    return std::clamp<std::size_t>(share, 32, 4096);
}

bool query_parallel(const QueryDonors& donors, double* query, std::size_t query_rows, std::size_t first,
                    std::size_t last, std::size_t k, QueryWeights weights, QueryKernel kernel,
                    const ParallelOptions& options, const PassTuning& tuning) {
    // 1. Checks, on the calling thread: an empty range of query_fast checks the arguments and
    //    the kernel.
    if (options.threads == 0) {
        throw std::invalid_argument("query_parallel needs at least one thread");
    }
    query_fast_with(donors, query, query_rows, first, first, k, weights, kernel, false, tuning);
    detail::check_pass_arguments({nullptr, donors.rows(), donors.cols()}, donors.columns(), query_rows, first, last, k);
    const std::size_t total = last - first;
    if (donors.rows() == 0 || donors.cols() == 0 || first == last) {
        if (options.poll) {
            options.poll(total, total);
        }
        return true;  // no column has a donor, or no row to impute
    }
    // The query is the fitted table (fit_transform): one pass over all the rows computes each
    // distance between two imputed rows once. That needs the whole range in one pass, so it is
    // kept for the calling thread; several threads split the rows and each measures its rows
    // fully. Decided here, before any row is written.
    const bool fitted_query = first == 0 && last == donors.rows() && query_is_fitted(donors, query, query_rows);
    if (options.threads == 1 && !options.poll) {
        query_fast_with(donors, query, query_rows, first, last, k, weights, kernel, fitted_query, tuning);
        return true;
    }

    // 2. One thread: the calling thread, all rows at once unless chunks were asked for.
    if (options.threads == 1) {
        const std::size_t chunk = options.chunk_rows != 0 ? options.chunk_rows : total;
        return run_here(donors, query, query_rows, first, last, k, weights, kernel, fitted_query, chunk, options,
                        tuning);
    }
    const std::size_t chunk = options.chunk_rows != 0 ? options.chunk_rows : default_chunk_rows(total, options.threads);
    const std::size_t chunks = total / chunk + (total % chunk != 0 ? 1 : 0);
    // A pass of less work than options.min_thread_work runs here too (rows x fitted rows x
    // columns, saturating).
    const std::size_t cost = try_product({total, donors.rows(), donors.cols()}).value_or(SIZE_MAX);
    // Donors held row-major (a few fitted rows) are measured in place by the straightforward
    // pass, which allocates as it goes: that stays on the calling thread too.
    const std::size_t workers =
        cost < options.min_thread_work || donors.is_row_major() ? 1 : std::min(options.threads, chunks);
    if (workers == 1) {
        return run_here(donors, query, query_rows, first, last, k, weights, kernel, fitted_query, chunk, options,
                        tuning);
    }

    // 3. The workers, each with its pass allocated here.
    std::vector<QueryWorker> passes;
    passes.reserve(workers);
    for (std::size_t t = 0; t < workers; ++t) {
        PassTuning own = tuning;
        own.prune_state = nullptr;  // a worker's pass steers its chunks as one pass
        passes.emplace_back(donors, query, query_rows, k, weights, kernel, own);
    }
    std::atomic<std::size_t> next_chunk{0};
    std::atomic<std::size_t> done{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t running = 0;
    auto work = [&](QueryWorker& pass) noexcept {
        PassControl control;
        control.keep_going = &not_stopped;
        control.context = &stop;
        control.done = &done;
        while (!stop.load()) {
            const std::size_t i = next_chunk.fetch_add(1);
            if (i >= chunks) {
                break;
            }
            const std::size_t a = first + i * chunk;
            const std::size_t b = std::min(last, a + chunk);
            // A pass over part of the rows never reads the others, which workers write.
            if (!pass.run(a, b, control)) {
                break;
            }
        }
        const std::lock_guard<std::mutex> lock(mutex);
        --running;
        finished.notify_all();
    };

    bool stopped = false;
    {
        Pool pool(stop, workers);
        for (std::size_t t = 0; t < workers; ++t) {
            {
                const std::lock_guard<std::mutex> lock(mutex);
                ++running;
            }
            try {
                QueryWorker* pass = &passes[t];
                pool.start([&work, pass]() noexcept { work(*pass); });
            } catch (...) {
                const std::lock_guard<std::mutex> lock(mutex);
                --running;
                throw;  // the pool stops and joins the workers already started
            }
        }
        // 4. Wait, polling.
        std::unique_lock<std::mutex> lock(mutex);
        while (running != 0) {
            if (!options.poll) {
                finished.wait(lock, [&] { return running == 0; });
                break;
            }
            if (finished.wait_for(lock, options.poll_interval, [&] { return running == 0; })) {
                break;
            }
            lock.unlock();
            const bool go_on = options.poll(done.load(), total);  // an exception here joins the pool
            lock.lock();
            if (!go_on) {
                stopped = true;
                stop.store(true);
            }
        }
    }
    for (const QueryWorker& pass : passes) {
        pass.report();
    }
    if (stopped && done.load() < total) {
        return false;
    }
    if (options.poll) {
        options.poll(total, total);
    }
    return true;
}

}  // namespace mirel::knn
