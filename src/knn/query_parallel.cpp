// The query pass on a pool of native threads.
//
// 1. Arguments are checked on the calling thread before any worker starts. The fitted side
//    (QueryDonors: the panel and the column facts) was built before the call and is only read.
// 2. The rows [first, last) are cut into chunks of consecutive rows; each worker takes the next
//    chunk from an atomic counter and runs the fast driver over it with its own selections and
//    scratch. A row is written only by the worker that took its chunk, and only its own cells.
// 3. The calling thread waits, polling when asked to, and joins every worker on every path (a
//    worker's failure, the poll's refusal or its exception), so nothing of the pass outlives the
//    call.
#include "knn/query_parallel.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "knn/prune_steering.hpp"
#include "knn/query_detail.hpp"

namespace mirel::knn {

namespace {

// Joins every started worker when the call ends, however it ends.
class Pool {
public:
    explicit Pool(std::atomic<bool>& stop) noexcept : stop_(stop) {}
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

}  // namespace

std::size_t default_chunk_rows(std::size_t rows, std::size_t threads) noexcept {
    const std::size_t share = rows / (std::max<std::size_t>(1, threads) * 16);
    return std::clamp<std::size_t>(share, 32, 4096);
}

bool query_parallel(const QueryDonors& donors, double* query, std::size_t query_rows, std::size_t first,
                    std::size_t last, std::size_t k, QueryWeights weights, QueryKernel kernel,
                    const ParallelOptions& options, const PassTuning& tuning) {
    // 1. Checks, on the calling thread: an empty range of query_fast checks the arguments and
    //    the kernel (each chunk repeats those cheap checks).
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
    // kept for one thread; several threads split the rows and each measures its rows fully.
    // Decided here, before any worker writes a row.
    const bool fitted_query = first == 0 && last == donors.rows() && query_is_fitted(donors, query, query_rows);
    if (options.threads == 1 && !options.poll) {
        query_fast_with(donors, query, query_rows, first, last, k, weights, kernel, fitted_query, tuning);
        return true;
    }

    // 2. The workers.
    std::size_t chunk = options.chunk_rows != 0 ? options.chunk_rows : default_chunk_rows(total, options.threads);
    if (options.threads == 1 && fitted_query) {
        chunk = total;
    }
    const bool shared_distances = fitted_query && chunk >= total;
    const std::size_t chunks = total / chunk + (total % chunk != 0 ? 1 : 0);
    std::atomic<std::size_t> next_chunk{0};
    std::atomic<std::size_t> done{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t running = 0;
    std::exception_ptr failure;
    auto work = [&]() noexcept {
        try {
            // A worker's chunks steer pruning as one pass over their rows would.
            detail::PruneState steering;
            PassTuning own = tuning;
            own.prune_state = &steering;
            while (!stop.load()) {
                const std::size_t i = next_chunk.fetch_add(1);
                if (i >= chunks) {
                    break;
                }
                const std::size_t a = first + i * chunk;
                const std::size_t b = std::min(last, a + chunk);
                // A pass over part of the rows never reads the others, which workers write.
                query_fast_with(donors, query, query_rows, a, b, k, weights, kernel, shared_distances, own);
                done.fetch_add(b - a);
            }
        } catch (...) {
            const std::lock_guard<std::mutex> lock(mutex);
            if (!failure) {
                failure = std::current_exception();
            }
            stop.store(true);
        }
        const std::lock_guard<std::mutex> lock(mutex);
        --running;
        finished.notify_all();
    };

    bool stopped = false;
    {
        Pool pool(stop);
        const std::size_t workers = std::min(options.threads, chunks);
        for (std::size_t t = 0; t < workers; ++t) {
            {
                const std::lock_guard<std::mutex> lock(mutex);
                ++running;
            }
            try {
                pool.start(work);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(mutex);
                --running;
                throw;  // the pool stops and joins the workers already started
            }
        }
        // 3. Wait, polling.
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
    if (failure) {
        std::rethrow_exception(failure);
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
