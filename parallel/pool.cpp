#include "parallel/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "codec/engine/failure.hpp"

namespace ondrel::parallel {

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t),
              "thread counts are read as 64-bit values");

std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t choose_pool_size(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                             std::size_t hardware) noexcept {
    const std::size_t fallback = hardware == 0 ? 1 : hardware;
    if (rayon_num_threads != nullptr) {
        if (const auto n = parse_thread_count(rayon_num_threads)) {
            return *n > 0 ? *n : fallback;
        }
    }
    if (rayon_rs_num_cpus != nullptr) {
        if (const auto n = parse_thread_count(rayon_rs_num_cpus); n && *n > 0) return *n;
    }
    return fallback;
}

std::size_t hardware_threads() noexcept {
    // Start with the fixed-size set; machines with more CPUs than it holds make
    // the call fail with EINVAL, so retry with larger dynamic sets.
    cpu_set_t fixed;
    CPU_ZERO(&fixed);
    if (sched_getaffinity(0, sizeof(fixed), &fixed) == 0) {
        const int count = CPU_COUNT(&fixed);
        if (count > 0) return static_cast<std::size_t>(count);
    } else if (errno == EINVAL) {
        for (int cpus = 2 * CPU_SETSIZE; cpus <= (1 << 22); cpus *= 2) {
            cpu_set_t* set = CPU_ALLOC(cpus);
            if (set == nullptr) break;
            const std::size_t size = CPU_ALLOC_SIZE(cpus);
            CPU_ZERO_S(size, set);
            const int rc = sched_getaffinity(0, size, set);
            const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
            const bool retry = rc != 0 && errno == EINVAL;
            CPU_FREE(set);
            if (count > 0) return static_cast<std::size_t>(count);
            if (!retry) break;
        }
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

namespace {

using detail::Task;

constexpr std::size_t OUTSIDE = std::numeric_limits<std::size_t>::max();

// Index of the pool worker running on this thread, OUTSIDE elsewhere.
thread_local std::size_t THIS_WORKER = OUTSIDE;

// The pool's own state is beyond repair and no caller can be told.
[[noreturn]] void bookkeeping_failure(const char* what) noexcept {
    std::fprintf(stderr, "ondrel_ec: worker pool bookkeeping failed (%s); aborting\n", what);
    std::fflush(stderr);
    std::abort();
}

// Holds a T that is constructed on demand and never destroyed, so that
// detached workers never see their pool torn down during process exit.
template <class T>
class Immortal {
public:
    template <class... Args>
    explicit Immortal(Args&&... args) {
        std::construct_at(&value_, std::forward<Args>(args)...);
    }
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;
    ~Immortal() {}

    T& get() noexcept { return value_; }

private:
    union {
        T value_;
    };
};

class Pool {
public:
    // Starts `threads` workers. On failure the pool is left without usable
    // workers and failure() describes why.
    explicit Pool(std::size_t threads) : threads_(threads) { start(); }

    std::size_t threads() const noexcept { return threads_; }
    const std::string& failure() const noexcept { return failure_; }

    void offer(Task& task) noexcept {
        task.creator = THIS_WORKER;
        task.external = false;
        task.done = false;
        auto lock = acquire();
        push_back(task);
        work_ready_.notify_one();
    }

    bool take_back(Task& task) noexcept {
        auto lock = acquire();
        if (!task.queued) return false;
        unlink(task);
        return true;
    }

    void wait_helping(Task& task) noexcept {
        auto lock = acquire();
        while (!task.done) {
            if (Task* other = pop_front()) {
                execute(*other, lock);
            } else {
                work_ready_.wait(lock);
            }
        }
    }

    void run_external(Task& task) noexcept {
        task.creator = OUTSIDE;
        task.external = true;
        task.done = false;
        auto lock = acquire();
        push_back(task);
        work_ready_.notify_one();
        external_done_.wait(lock, [&] { return task.done; });
    }

private:
    static std::unique_lock<std::mutex> lock_or_die(std::mutex& mutex) noexcept {
        try {
            return std::unique_lock<std::mutex>(mutex);
        } catch (const std::exception& e) {
            bookkeeping_failure(e.what());
        }
    }

    std::unique_lock<std::mutex> acquire() noexcept { return lock_or_die(mutex_); }

    static void relock(std::unique_lock<std::mutex>& lock) noexcept {
        try {
            lock.lock();
        } catch (const std::exception& e) {
            bookkeeping_failure(e.what());
        }
    }

    void start() noexcept {
        std::size_t started = 0;
        try {
            try {
                for (; started < threads_; ++started) {
                    std::thread(&Pool::worker_main, this, started).detach();
                }
            } catch (const std::exception& e) {
                failure_ =
                    "The global thread pool has not been initialized.: could not start "
                    "worker thread " +
                    std::to_string(started) + " of " + std::to_string(threads_) + ": " +
                    e.what();
                // The workers already running are told to leave; they only ever
                // touch this pool, which outlives them.
                auto lock = acquire();
                retired_ = true;
                work_ready_.notify_all();
            }
        } catch (const std::exception& e) {
            // Unwinding out of the constructor would destroy the mutex and the
            // condition variables under the feet of the workers already started.
            bookkeeping_failure(e.what());
        }
    }

    void worker_main(std::size_t index) noexcept {
        THIS_WORKER = index;
        auto lock = acquire();
        while (!retired_) {
            if (Task* task = pop_front()) {
                execute(*task, lock);
            } else {
                work_ready_.wait(lock);
            }
        }
    }

    // Runs a task taken from the queue. `lock` is held on entry and on return
    // but not while the task runs.
    void execute(Task& task, std::unique_lock<std::mutex>& lock) noexcept {
        lock.unlock();
        task.run(task, task.creator != THIS_WORKER);
        relock(lock);
        task.done = true;
        // The task's frame may vanish as soon as the lock is released: wake its
        // owner now and do not touch the task afterwards.
        if (task.external) {
            external_done_.notify_all();
        } else {
            work_ready_.notify_all();
        }
    }

    // Queue operations; the caller holds mutex_.
    void push_back(Task& task) noexcept {
        task.prev = tail_;
        task.next = nullptr;
        if (tail_ != nullptr) {
            tail_->next = &task;
        } else {
            head_ = &task;
        }
        tail_ = &task;
        task.queued = true;
    }

    void unlink(Task& task) noexcept {
        if (task.prev != nullptr) {
            task.prev->next = task.next;
        } else {
            head_ = task.next;
        }
        if (task.next != nullptr) {
            task.next->prev = task.prev;
        } else {
            tail_ = task.prev;
        }
        task.prev = task.next = nullptr;
        task.queued = false;
    }

    // The oldest task: the largest parts were offered first.
    Task* pop_front() noexcept {
        Task* task = head_;
        if (task != nullptr) unlink(*task);
        return task;
    }

    const std::size_t threads_;
    std::string failure_;

    std::mutex mutex_;
    // Signalled when a task is queued (one sleeper suffices) and when a task
    // offered by a worker finishes (its owner may be any sleeper).
    std::condition_variable work_ready_;
    // Signalled when a task queued from outside the pool finishes.
    std::condition_variable external_done_;
    Task* head_ = nullptr;
    Task* tail_ = nullptr;
    bool retired_ = false;
};

// The pool of this process. A child made by fork() inherits the parent's
// record but none of its threads (and possibly a mutex some worker held), so
// the child drops the record and starts a pool of the same size on first use.
struct PoolSlot {
    std::mutex create_mutex;
    std::atomic<Pool*> pool{nullptr};
    std::size_t size = 0;
};

PoolSlot& pool_slot() noexcept {
    static Immortal<PoolSlot> slot;
    return slot.get();
}

void forget_pool_after_fork() noexcept {
    // The child runs this alone, before any of its own threads exist.
    PoolSlot& slot = pool_slot();
    std::construct_at(&slot.create_mutex);
    slot.pool.store(nullptr, std::memory_order_relaxed);
}

Pool& global_pool() {
    PoolSlot& slot = pool_slot();
    if (Pool* pool = slot.pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard lock(slot.create_mutex);
    if (Pool* pool = slot.pool.load(std::memory_order_acquire)) return *pool;
    if (slot.size == 0) {
        // Decided once per process (a forked child keeps its parent's size).
        slot.size = choose_pool_size(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                                     hardware_threads());
        pthread_atfork(nullptr, nullptr, &forget_pool_after_fork);
    }
    // Never destroyed: see Immortal.
    Pool* pool = &(std::make_unique<Immortal<Pool>>(slot.size).release())->get();
    slot.pool.store(pool, std::memory_order_release);
    return *pool;
}

// For the scheduling entry points, which only run once current_num_threads()
// has succeeded.
Pool& started_pool() noexcept {
    try {
        return global_pool();
    } catch (const std::exception& e) {
        bookkeeping_failure(e.what());
    }
}

}  // namespace

std::size_t current_num_threads() {
    Pool& pool = global_pool();
    if (!pool.failure().empty()) throw InternalFailure(pool.failure());
    return pool.threads();
}

namespace detail {

bool on_worker() noexcept { return THIS_WORKER != OUTSIDE; }

void offer(Task& task) noexcept { started_pool().offer(task); }

bool take_back(Task& task) noexcept { return started_pool().take_back(task); }

void wait_helping(Task& task) noexcept { started_pool().wait_helping(task); }

void run_external(Task& task) noexcept { started_pool().run_external(task); }

}  // namespace detail

}  // namespace ondrel::parallel
