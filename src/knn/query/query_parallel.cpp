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
//    When the query is the fitted table (fit_transform) and no chunk size was asked for, the
//    workers share the distances instead (SharedQueryPass): each takes groups of the imputed
//    rows from an atomic counter and measures each pair once into selections of its own; the
//    calling thread merges them and writes every row after the join (nothing when stopped).
// 4. The calling thread waits, polling when asked to, and joins every worker on every path (the
//    poll's refusal or its exception, a thread that cannot start), so nothing of the pass
//    outlives the call; failures are raised here after the join.
#include "knn/query/query_parallel.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "knn/core/checked.hpp"
#include "knn/pass/prune_steering.hpp"
#include "knn/query/query_detail.hpp"

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
bool run_here(const QueryJob& job, bool fitted_query, std::size_t chunk, const ParallelOptions& options,
              const PassTuning& tuning) {
    const std::size_t total = job.last - job.first;
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
    for (std::size_t a = job.first; a < job.last && completed; a += std::min(chunk, job.last - a)) {
        const std::size_t b = a + std::min(chunk, job.last - a);
        completed = query_fast_controlled(job.donors, job.query, job.query_rows, a, b, job.k, job.weights, job.kernel,
                                          shared_distances, own, control);
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

// Step 1: the checks, on the calling thread: an empty range of query_fast checks the arguments
// and the kernel.
void check_job(const QueryJob& job, const ParallelOptions& options, const PassTuning& tuning) {
    if (options.threads == 0) {
        throw std::invalid_argument("query_parallel needs at least one thread");
    }
    query_fast_controlled(job.donors, job.query, job.query_rows, job.first, job.first, job.k, job.weights, job.kernel,
                          false, tuning, PassControl{});
    detail::check_pass_arguments({nullptr, job.donors.rows(), job.donors.cols()}, job.donors.columns(), job.query_rows,
                                 job.first, job.last, job.k);
}

// How many workers a pass of `chunks` chunks gets: one (the calling thread) for a pass of less
// work than options.min_thread_work (rows x fitted rows x columns, saturating), and for donors
// held row-major (a few fitted rows), which the straightforward pass measures in place and
// allocates as it goes.
std::size_t worker_count(const QueryJob& job, std::size_t chunks, std::size_t threads, const ParallelOptions& options) {
    const std::size_t total = job.last - job.first;
    const std::size_t cost = try_product({total, job.donors.rows(), job.donors.cols()}).value_or(SIZE_MAX);
    return cost < options.min_thread_work || job.donors.is_row_major() ? 1 : std::min(threads, chunks);
}

// Step 3: every worker's pass, allocated here before any thread starts.
std::vector<QueryWorker> prepare_workers(const QueryJob& job, std::size_t workers, const PassTuning& tuning) {
    std::vector<QueryWorker> passes;
    passes.reserve(workers);
    for (std::size_t t = 0; t < workers; ++t) {
        PassTuning own = tuning;
        own.prune_state = nullptr;  // a worker's pass steers its chunks as one pass
        passes.emplace_back(job.donors, job.query, job.query_rows, job.k, job.weights, job.kernel, own);
    }
    return passes;
}

// What the workers and the calling thread share while the workers run.
struct Crew {
    Crew(const QueryJob& job_, std::size_t chunk_, std::size_t chunks_) : job(job_), chunk(chunk_), chunks(chunks_) {}

    const QueryJob& job;
    std::size_t chunk;
    std::size_t chunks;
    std::atomic<std::size_t> next_chunk{0};
    std::atomic<std::size_t> done{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t running = 0;

    // A worker's control: it stops when `stop` is set, and adds the rows it finishes to `done`.
    PassControl control() noexcept {
        PassControl control;
        control.keep_going = &not_stopped;
        control.context = &stop;
        control.done = &done;
        return control;
    }

    // A worker's loop: the next chunk until none is left or the pass is stopped.
    void work(QueryWorker& pass) noexcept {
        const PassControl control = this->control();
        while (!stop.load()) {
            const std::size_t i = next_chunk.fetch_add(1);
            if (i >= chunks) {
                break;
            }
            const std::size_t a = job.first + i * chunk;
            const std::size_t b = std::min(job.last, a + chunk);
            // A pass over part of the rows never reads the others, which workers write.
            if (!pass.run(a, b, control)) {
                break;
            }
        }
    }

    // Starts one worker running body() (noexcept); a thread that cannot start leaves the count
    // as it was.
    template <class Body>
    void start(Pool& pool, Body body) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            ++running;
        }
        try {
            pool.start([this, body]() noexcept {
                body();
                const std::lock_guard<std::mutex> lock(mutex);
                --running;
                finished.notify_all();
            });
        } catch (...) {
            const std::lock_guard<std::mutex> lock(mutex);
            --running;
            throw;  // the pool stops and joins the workers already started
        }
    }

    // Step 4: waits for the workers, polling when asked to. Returns true when the poll stopped
    // the pass. An exception of the poll leaves here, and the pool joins the workers.
    bool wait(const ParallelOptions& options) {
        const std::size_t total = job.last - job.first;
        bool stopped = false;
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
            const bool go_on = options.poll(done.load(), total);
            lock.lock();
            if (!go_on) {
                stopped = true;
                stop.store(true);
            }
        }
        return stopped;
    }
};

// Steps 3 and 4: rows [first, last) in `chunks` chunks on `workers` threads.
bool run_workers(const QueryJob& job, std::size_t chunk, std::size_t chunks, std::size_t workers,
                 const ParallelOptions& options, const PassTuning& tuning) {
    std::vector<QueryWorker> passes = prepare_workers(job, workers, tuning);
    Crew crew(job, chunk, chunks);
    bool stopped = false;
    {
        Pool pool(crew.stop, workers);
        for (QueryWorker& pass : passes) {
            crew.start(pool, [&crew, p = &pass]() noexcept { crew.work(*p); });
        }
        stopped = crew.wait(options);
    }
    for (const QueryWorker& pass : passes) {
        pass.report();
    }
    const std::size_t total = job.last - job.first;
    if (stopped && crew.done.load() < total) {
        return false;
    }
    if (options.poll) {
        options.poll(total, total);
    }
    return true;
}

// fit_transform on `workers` threads (prepared in `shared`): every worker takes groups of rows
// from the shared counter, then the calling thread merges and writes the rows. Nothing is written
// when the poll stops the pass.
bool run_shared(const QueryJob& job, SharedQueryPass& shared, const ParallelOptions& options) {
    Crew crew(job, 0, 0);
    bool stopped = false;
    {
        Pool pool(crew.stop, shared.workers());
        for (std::size_t w = 0; w < shared.workers(); ++w) {
            crew.start(pool, [&crew, &shared, w]() noexcept {
                if (!crew.stop.load()) {
                    shared.run(w, crew.control());
                }
            });
        }
        stopped = crew.wait(options);
    }
    shared.report();
    if (stopped) {
        return false;
    }
    shared.finish();
    const std::size_t total = job.last - job.first;
    if (options.poll) {
        options.poll(total, total);
    }
    return true;
}

}  // namespace

std::size_t usable_threads(std::size_t requested) noexcept {
    const std::size_t processors = std::max<std::size_t>(1, std::thread::hardware_concurrency());
    const std::size_t most = try_mul(processors, THREADS_PER_PROCESSOR).value_or(SIZE_MAX);
    return std::clamp<std::size_t>(requested, 1, most);
}

std::size_t default_chunk_rows(std::size_t rows, std::size_t threads) noexcept {
    // 16 chunks per worker; a product past size_t leaves every chunk at the smallest size.
    const std::size_t chunks = try_mul(std::max<std::size_t>(1, threads), 16).value_or(SIZE_MAX);
    return std::clamp<std::size_t>(rows / chunks, 32, 4096);
}

bool query_parallel(const QueryJob& job, const ParallelOptions& options, const PassTuning& tuning) {
    check_job(job, options, tuning);
    const std::size_t total = job.last - job.first;
    if (job.donors.rows() == 0 || job.donors.cols() == 0 || job.first == job.last) {
        if (options.poll) {
            options.poll(total, total);
        }
        return true;  // no column has a donor, or no row to impute
    }
    // The query is the fitted table (fit_transform): the pass computes each distance between two
    // imputed rows once, on the calling thread or dealt out to the workers (unless chunks were
    // asked for, or the workers' selections do not fit the budget: then the rows are split and
    // each worker measures its rows fully). Decided here, before any row is written.
    const bool fitted_query =
        job.first == 0 && job.last == job.donors.rows() && query_is_fitted(job.donors, job.query, job.query_rows);
    if (options.threads == 1 && !options.poll) {
        query_fast_controlled(job.donors, job.query, job.query_rows, job.first, job.last, job.k, job.weights,
                              job.kernel, fitted_query, tuning, PassControl{});
        return true;
    }
    // 2. One thread: the calling thread, all rows at once unless chunks were asked for.
    if (options.threads == 1) {
        const std::size_t chunk = options.chunk_rows != 0 ? options.chunk_rows : total;
        return run_here(job, fitted_query, chunk, options, tuning);
    }
    const std::size_t threads = usable_threads(options.threads);
    const std::size_t chunk = options.chunk_rows != 0 ? options.chunk_rows : default_chunk_rows(total, threads);
    const std::size_t chunks = total / chunk + (total % chunk != 0 ? 1 : 0);
    const std::size_t workers = worker_count(job, chunks, threads, options);
    if (workers == 1) {
        return run_here(job, fitted_query, chunk, options, tuning);
    }
    if (fitted_query && options.chunk_rows == 0) {
        // Each distance between two imputed rows once, the pairs dealt out to the workers.
        SharedQueryPass shared(job.donors, job.query, job.k, job.weights, job.kernel, tuning, workers);
        if (shared.workers() >= 2) {
            return run_shared(job, shared, options);
        }
    }
    // 3 and 4. The workers, then the wait.
    return run_workers(job, chunk, chunks, workers, options, tuning);
}

bool query_parallel(const QueryDonors& donors, double* query, std::size_t query_rows, std::size_t first,
                    std::size_t last, std::size_t k, QueryWeights weights, QueryKernel kernel,
                    const ParallelOptions& options, const PassTuning& tuning) {
    return query_parallel(QueryJob{donors, query, query_rows, first, last, k, weights, kernel}, options, tuning);
}

}  // namespace mirel::knn
