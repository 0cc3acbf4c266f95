// The pass driver's plan and its threads (knn/pass/pass_driver.hpp).
#include "knn/pass/pass_driver.hpp"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "knn/core/checked.hpp"

namespace mirel::knn {

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

PassPlan plan_pass(const PassFacts& facts, const PassOptions& options) noexcept {
    PassPlan plan;
    const std::size_t total = facts.rows;
    if (options.threads <= 1 || total == 0) {
        // Without a poll nothing is asked between chunks: the rows run at once.
        plan.chunk = options.chunk_rows != 0 && options.poll ? options.chunk_rows : std::max<std::size_t>(1, total);
        return plan;
    }
    const std::size_t threads = usable_threads(options.threads);
    const std::size_t chunk = options.chunk_rows != 0 ? options.chunk_rows : default_chunk_rows(total, threads);
    const std::size_t chunks = total / chunk + (total % chunk != 0 ? 1 : 0);
    const bool small = facts.work < options.min_thread_work || !facts.threads_allowed;
    plan.chunk = chunk;
    plan.chunks = chunks;
    plan.workers = small ? 1 : std::min(threads, chunks);
    if (plan.workers == 1) {
        return plan;  // the calling thread, chunk by chunk
    }
    plan.strategy =
        facts.pairs_shareable && options.chunk_rows == 0 ? PassStrategy::share_pairs : PassStrategy::split_rows;
    return plan;
}

namespace detail {

bool CallingThreadPoll::ask() noexcept {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < options_.poll_interval) {
        return true;
    }
    last_ = now;
    try {
        return options_.poll(done_.load(), total_);
    } catch (...) {
        failure_ = std::current_exception();
        return false;
    }
}

namespace {

// The threads of one run and what they share with the calling thread. The destructor stops and
// joins every started thread, however the run ends.
class WorkerThreads {
public:
    WorkerThreads(std::size_t workers, std::atomic<std::size_t>& done) : done_(done) { threads_.reserve(workers); }
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;
    ~WorkerThreads() {
        stop_.store(true);
        for (std::thread& t : threads_) {
            if (t.joinable()) {
                t.join();
            }
        }
    }

    // Starts worker w on a thread of its own; a thread that cannot start leaves the count of
    // running workers as it was and throws (the destructor joins the others).
    void start(WorkerBody body, void* context, std::size_t w) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ++running_;
        }
        try {
            threads_.emplace_back([this, body, context, w]() noexcept {
                PassControl control;
                control.keep_going = &not_stopped;
                control.context = &stop_;
                control.done = &done_;
                if (!stop_.load()) {
                    body(context, w, control);
                }
                const std::lock_guard<std::mutex> lock(mutex_);
                --running_;
                finished_.notify_all();
            });
        } catch (...) {
            const std::lock_guard<std::mutex> lock(mutex_);
            --running_;
            throw;
        }
    }

    // Waits for the workers, polling when asked to. Returns true when the poll stopped the pass.
    // An exception of the poll leaves here, and the destructor joins the workers.
    bool wait(std::size_t total, const PassOptions& options) {
        bool stopped = false;
        std::unique_lock<std::mutex> lock(mutex_);
        while (running_ != 0) {
            if (!options.poll) {
                finished_.wait(lock, [&] { return running_ == 0; });
                break;
            }
            if (finished_.wait_for(lock, options.poll_interval, [&] { return running_ == 0; })) {
                break;
            }
            lock.unlock();
            const bool go_on = options.poll(done_.load(), total);
            lock.lock();
            if (!go_on) {
                stopped = true;
                stop_.store(true);
            }
        }
        return stopped;
    }

private:
    static bool not_stopped(void* stop) noexcept {
        return !static_cast<const std::atomic<bool>*>(stop)->load(std::memory_order_relaxed);
    }

    std::atomic<std::size_t>& done_;
    alignas(64) std::atomic<bool> stop_{false};  // read at every step: apart from what is written
    alignas(64) std::mutex mutex_;
    std::condition_variable finished_;
    std::size_t running_ = 0;
    std::vector<std::thread> threads_;
};

}  // namespace

bool run_on_threads(std::size_t workers, WorkerBody body, void* context, std::size_t total,
                    std::atomic<std::size_t>& done, const PassOptions& options) {
    WorkerThreads threads(workers, done);
    for (std::size_t w = 0; w < workers; ++w) {
        threads.start(body, context, w);
    }
    return threads.wait(total, options);
}

}  // namespace detail

}  // namespace mirel::knn
