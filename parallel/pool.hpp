// The process-wide worker pool and its ordered, fail-fast parallel map.
//
// One pool per process, sized once from the environment when it is first used
// and never shut down: its threads are never joined and its state is never
// destroyed, so process exit cannot wait on a worker or touch freed state.
//
// Scheduling is fork-join over one shared queue. A part of a list is split in
// two; the holder offers the second half to the queue, processes the first half
// itself and then either takes the second half back (nobody started it) or
// waits for the thread that did, running other queued work while it waits.
// Because a waiting worker only ever runs work that was queued after the part
// it is inside started, nested maps (a map called from inside an item) cannot
// deadlock.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace ondrel::parallel {

// ---------------------------------------------------------------------------
// Pool size

// Reads a thread count the way the sizing variables are read: the whole text
// must be an optional '+' followed by one or more ASCII digits, with a value of
// at most 2^64 - 1. Anything else (empty, a sign '-', spaces, other characters,
// overflow) gives nullopt.
[[nodiscard]] std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept;

// Picks the pool size from the values of RAYON_NUM_THREADS and
// RAYON_RS_NUM_CPUS (nullptr when a variable is not set) and the hardware
// default: a positive RAYON_NUM_THREADS wins and 0 there selects `hardware`;
// otherwise a positive RAYON_RS_NUM_CPUS; otherwise `hardware`. Unparsable
// values count as not set. A `hardware` of 0 is treated as 1.
[[nodiscard]] std::size_t choose_pool_size(const char* rayon_num_threads,
                                           const char* rayon_rs_num_cpus,
                                           std::size_t hardware) noexcept;

// Number of logical processors this process may run on (its CPU affinity
// mask), falling back to the online processor count, then to 1. Always >= 1.
[[nodiscard]] std::size_t hardware_threads() noexcept;

// Number of worker threads in the process-wide pool. The first call reads the
// environment and starts the pool; later calls (and later changes to the
// environment) do not change it. Thread-safe.
// Throws ondrel::InternalFailure, on this and every later call, if the pool's
// threads could not be started; its text begins with
// "The global thread pool has not been initialized."
std::size_t current_num_threads();

// ---------------------------------------------------------------------------
// Scheduling primitives used by ordered_map. Not part of the interface.
namespace detail {

// A unit of queued work. Lives in the stack frame of the thread that queued
// it, which does not leave that frame until the task is finished. The link and
// state fields are owned by the pool and only touched under its lock.
struct Task {
    // Runs the work; `migrated` is true when the running thread is not the one
    // that queued the task. Must not throw: tasks capture their own exceptions.
    using RunFn = void (*)(Task& task, bool migrated) noexcept;

    explicit Task(RunFn run_fn) noexcept : run(run_fn) {}
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    RunFn run;
    Task* prev = nullptr;
    Task* next = nullptr;
    std::size_t creator = 0;
    bool queued = false;
    bool done = false;
    bool external = false;
};

// True on a thread of the pool.
[[nodiscard]] bool on_worker() noexcept;

// Worker side. `offer` queues `task` for any worker. `take_back` removes it
// again if no thread has started it yet (true: the caller must run it now).
// Otherwise `wait_helping` returns once it is done, running queued work
// meanwhile. Every offered task must end with take_back() == true or a
// wait_helping call before its frame is left.
void offer(Task& task) noexcept;
[[nodiscard]] bool take_back(Task& task) noexcept;
void wait_helping(Task& task) noexcept;

// Outside side: queues `task` and blocks the calling thread until a worker
// has run it. Precondition: current_num_threads() has succeeded.
void run_external(Task& task) noexcept;

// Runs `first()` on this thread and `second(bool migrated)` on whichever
// thread gets to it first, and returns when both are finished. An exception
// from either is rethrown after both have finished; the first half's wins.
// Precondition: on_worker().
template <class First, class Second>
void join(First& first, Second& second) {
    struct SecondTask : Task {
        explicit SecondTask(Second& fn) noexcept : Task(&SecondTask::execute), body(fn) {}
        static void execute(Task& task, bool migrated) noexcept {
            auto& self = static_cast<SecondTask&>(task);
            try {
                self.body(migrated);
            } catch (...) {
                self.error = std::current_exception();
            }
        }
        Second& body;
        std::exception_ptr error;
    };

    SecondTask task(second);
    offer(task);
    std::exception_ptr first_error;
    try {
        first();
    } catch (...) {
        first_error = std::current_exception();
    }
    // Even after a failure the second half runs to its end: it borrows this
    // frame and may already be running elsewhere.
    if (take_back(task)) {
        SecondTask::execute(task, false);
    } else {
        wait_helping(task);
    }
    if (first_error) std::rethrow_exception(first_error);
    if (task.error) std::rethrow_exception(task.error);
}

// Processes one part of the list and appends its results to `out`.
// `budget` is the number of further splits this part may still make.
template <class T, class R, class F>
void process_part(std::span<T> part, bool migrated, std::size_t budget, std::size_t threads,
                  F& f, std::atomic<bool>& stop, std::vector<R>& out) {
    if (stop.load(std::memory_order_acquire)) return;

    if (part.size() >= 2) {
        bool split = true;
        if (migrated) {
            // Work that moved to another thread shows that threads are idle:
            // refill the budget so the thief can hand parts on in turn.
            budget = std::max(budget / 2, threads);
        } else if (budget == 0) {
            split = false;
        } else {
            budget /= 2;
        }
        if (split) {
            const std::size_t mid = part.size() / 2;
            std::vector<R> second_out;
            auto first = [&] { process_part(part.first(mid), false, budget, threads, f, stop, out); };
            auto second = [&](bool second_migrated) {
                process_part(part.subspan(mid), second_migrated, budget, threads, f, stop,
                             second_out);
            };
            join(first, second);
            out.insert(out.end(), std::make_move_iterator(second_out.begin()),
                       std::make_move_iterator(second_out.end()));
            return;
        }
    }

    for (T& item : part) {
        std::optional<R> result = std::invoke(f, item);
        // Checked after the item, so a result that arrives once the flag is up
        // is dropped together with the rest of the part.
        if (stop.load(std::memory_order_acquire)) return;
        if (result) out.push_back(std::move(*result));
    }
}

template <class T, class F>
using MapResult = typename std::invoke_result_t<F&, T&>::value_type;

}  // namespace detail

// ---------------------------------------------------------------------------
// Ordered, fail-fast map

// Calls `f(item)` for the items of `items` on the pool's threads and returns
// the results of the items that yielded one, in input order.
//
// `f` takes a T& and returns std::optional<R>; nullopt means the item failed.
// A failing item is expected to set `stop` itself: once `stop` is set no
// further item is started and results finished after that are discarded
// (items already running complete). If `stop` is set on entry, no item runs.
// `f` is called concurrently from several threads and must allow that; each
// item is passed to at most one call.
//
// An exception thrown by `f` is rethrown here, as the same object, after every
// part of the job has finished; if several items threw, the one in the
// leftmost failing part wins. The pool stays usable.
//
// Creates the pool if needed (also for an empty list) and throws
// ondrel::InternalFailure if its threads cannot be started. From a thread
// outside the pool the call blocks until the job is done; from inside an item
// (a nested map) the calling worker takes part in the work. `items`, `f` and
// `stop` must outlive the call only.
template <class T, class F>
[[nodiscard]] std::vector<detail::MapResult<T, F>> ordered_map(std::span<T> items, F&& f,
                                                               std::atomic<bool>& stop) {
    using R = detail::MapResult<T, F>;
    static_assert(std::is_same_v<std::invoke_result_t<F&, T&>, std::optional<R>>,
                  "the item function must return std::optional<R>");

    const std::size_t threads = current_num_threads();
    std::vector<R> out;
    if (items.empty()) return out;

    if (detail::on_worker()) {
        detail::process_part(items, false, threads, threads, f, stop, out);
        return out;
    }

    struct RootTask : detail::Task {
        RootTask(std::span<T> items_in, std::size_t threads_in, F& f_in, std::atomic<bool>& stop_in,
                 std::vector<R>& out_in) noexcept
            : Task(&RootTask::execute),
              items(items_in),
              threads(threads_in),
              f(f_in),
              stop(stop_in),
              out(out_in) {}
        static void execute(Task& task, bool migrated) noexcept {
            auto& self = static_cast<RootTask&>(task);
            try {
                detail::process_part(self.items, migrated, self.threads, self.threads, self.f,
                                     self.stop, self.out);
            } catch (...) {
                self.error = std::current_exception();
            }
        }
        std::span<T> items;
        std::size_t threads;
        F& f;
        std::atomic<bool>& stop;
        std::vector<R>& out;
        std::exception_ptr error;
    };

    RootTask root(items, threads, f, stop, out);
    detail::run_external(root);
    if (root.error) std::rethrow_exception(root.error);
    return out;
}

}  // namespace ondrel::parallel
