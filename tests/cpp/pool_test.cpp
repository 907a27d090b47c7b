#include "parallel/pool.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "codec/engine/failure.hpp"

extern char** environ;

namespace {

using ondrel::parallel::choose_pool_size;
using ondrel::parallel::current_num_threads;
using ondrel::parallel::ordered_map;
using ondrel::parallel::parse_thread_count;

constexpr std::uint64_t U64_MAX = UINT64_MAX;

std::vector<int> iota_items(int n) {
    std::vector<int> items(static_cast<std::size_t>(n));
    std::iota(items.begin(), items.end(), 0);
    return items;
}

// Uneven item costs so that parts finish out of order.
void uneven_work(int i) {
    if (i % 7 == 3) std::this_thread::sleep_for(std::chrono::microseconds(20 + (i * 37) % 80));
}

// Waits until `stop` is set; gives up after a while so a broken pool fails
// the test instead of hanging it.
void wait_for_stop(const std::atomic<bool>& stop) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stop.load() && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

struct ItemFailure : std::exception {
    explicit ItemFailure(int index_in) : index(index_in) {}
    const char* what() const noexcept override { return "item failure"; }
    int index;
};

// --- Sizing -----------------------------------------------------------------

TEST(PoolSizing, ParseThreadCount) {
    const struct {
        std::string_view text;
        std::optional<std::uint64_t> want;
    } cases[] = {
        {"0", 0},
        {"1", 1},
        {"+3", 3},
        {"007", 7},
        {"+0", 0},
        {"18446744073709551615", U64_MAX},
        {"18446744073709551616", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"++3", std::nullopt},
        {"-2", std::nullopt},
        {"-0", std::nullopt},
        {"abc", std::nullopt},
        {" 3", std::nullopt},
        {"3 ", std::nullopt},
        {"3\n", std::nullopt},
        {std::string_view("3\0", 2), std::nullopt},
        {"3a", std::nullopt},
        {"0x10", std::nullopt},
        {"1e3", std::nullopt},
        {"\xd9\xa3", std::nullopt},  // ARABIC-INDIC DIGIT THREE
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_thread_count(c.text), c.want) << '"' << c.text << '"';
    }
}

TEST(PoolSizing, ChoosePoolSize) {
    const struct {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t hardware;
        std::size_t want;
    } cases[] = {
        {nullptr, nullptr, 6, 6},
        {"1", "7", 6, 1},
        {"+3", nullptr, 6, 3},
        {"0", "7", 6, 6},  // 0 means the hardware default, not the next variable
        {"abc", "7", 6, 7},
        {"-2", "7", 6, 7},
        {"-2", nullptr, 6, 6},
        {"", "2", 6, 2},
        {" 3", "2", 6, 2},
        {"18446744073709551616", nullptr, 6, 6},
        {"18446744073709551615", nullptr, 6, SIZE_MAX},
        {nullptr, "4", 6, 4},
        {nullptr, "0", 6, 6},
        {nullptr, "x", 6, 6},
        {nullptr, nullptr, 0, 1},
        {"0", nullptr, 0, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(choose_pool_size(c.num_threads, c.rs_num_cpus, c.hardware), c.want)
            << (c.num_threads ? c.num_threads : "<unset>") << " / "
            << (c.rs_num_cpus ? c.rs_num_cpus : "<unset>") << " / " << c.hardware;
    }
}

// --- Ordered map ------------------------------------------------------------

TEST(OrderedMap, KeepsInputOrderAndRunsEveryItemOnce) {
    for (const int n : {0, 1, 2, 3, 17, 1000}) {
        for (int round = 0; round < 3; ++round) {
            std::vector<int> items = iota_items(n);
            std::vector<std::atomic<int>> calls(items.size());
            std::atomic<bool> stop{false};
            const auto results = ordered_map(
                std::span<int>(items),
                [&](int& item) -> std::optional<std::int64_t> {
                    calls[static_cast<std::size_t>(item)].fetch_add(1);
                    uneven_work(item);
                    const std::int64_t value = std::int64_t{item} * item + 1;
                    item = -item;  // items are handed out mutable
                    return value;
                },
                stop);
            ASSERT_EQ(results.size(), items.size()) << "n=" << n;
            for (int i = 0; i < n; ++i) {
                const auto k = static_cast<std::size_t>(i);
                EXPECT_EQ(results[k], std::int64_t{i} * i + 1) << "n=" << n << " i=" << i;
                EXPECT_EQ(calls[k].load(), 1) << "n=" << n << " i=" << i;
                EXPECT_EQ(items[k], -i);
            }
            EXPECT_FALSE(stop.load());
        }
    }
}

TEST(OrderedMap, ConstItemsAndMoveOnlyResults) {
    const std::vector<std::string> words = {"a", "bb", "ccc", "dddd", "eeeee"};
    std::atomic<bool> stop{false};
    const auto results = ordered_map(
        std::span<const std::string>(words),
        [](const std::string& w) -> std::optional<std::unique_ptr<std::size_t>> {
            return std::make_unique<std::size_t>(w.size());
        },
        stop);
    ASSERT_EQ(results.size(), words.size());
    for (std::size_t i = 0; i < words.size(); ++i) EXPECT_EQ(*results[i], i + 1);
}

TEST(OrderedMap, StopSetOnEntryRunsNothing) {
    std::vector<int> items = iota_items(100);
    std::atomic<bool> stop{true};
    std::atomic<int> calls{0};
    const auto results = ordered_map(
        std::span<int>(items),
        [&](int& i) -> std::optional<int> {
            calls.fetch_add(1);
            return i;
        },
        stop);
    EXPECT_TRUE(results.empty());
    EXPECT_EQ(calls.load(), 0);
}

TEST(OrderedMap, FirstItemFailingStopsTheWholeJob) {
    // Item 0 is always processed first by the thread holding the whole list.
    // Every other item that gets started waits for the flag, so its result
    // arrives after the failure and must be dropped.
    constexpr int n = 1000;
    std::vector<int> items = iota_items(n);
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    const auto results = ordered_map(
        std::span<int>(items),
        [&](int& i) -> std::optional<int> {
            calls.fetch_add(1);
            if (i == 0) {
                stop.store(true);
                return std::nullopt;
            }
            wait_for_stop(stop);
            return i;
        },
        stop);
    EXPECT_TRUE(results.empty());
    EXPECT_GE(calls.load(), 1);
    EXPECT_LT(calls.load(), n / 4);
}

TEST(OrderedMap, FailingItemInTheMiddle) {
    constexpr int n = 1000;
    constexpr int failing = 500;
    for (int round = 0; round < 3; ++round) {
        std::vector<int> items = iota_items(n);
        std::vector<std::atomic<int>> calls(items.size());
        std::atomic<bool> stop{false};
        const auto results = ordered_map(
            std::span<int>(items),
            [&](int& i) -> std::optional<int> {
                calls[static_cast<std::size_t>(i)].fetch_add(1);
                uneven_work(i);
                if (i == failing) {
                    stop.store(true);
                    return std::nullopt;
                }
                return 3 * i;
            },
            stop);
        EXPECT_TRUE(stop.load());
        EXPECT_EQ(calls[failing].load(), 1);
        // The failing item starts its part of the list, which holds its
        // successor too; that part ends with the failure.
        EXPECT_EQ(calls[failing + 1].load(), 0);
        int previous = -1;
        for (const int r : results) {
            ASSERT_EQ(r % 3, 0);
            const int i = r / 3;
            EXPECT_GT(i, previous) << "results out of order";
            EXPECT_NE(i, failing);
            EXPECT_EQ(calls[static_cast<std::size_t>(i)].load(), 1);
            previous = i;
        }
        EXPECT_LT(results.size(), static_cast<std::size_t>(n - 1));
    }
}

TEST(OrderedMap, ExceptionsReachTheCaller) {
    constexpr int n = 1000;
    const struct {
        const char* name;
        std::set<int> throwing;  // empty: every item throws
        int want;
    } cases[] = {
        {"one item", {37}, 37},
        {"both halves, the first half wins", {10, 900}, 10},
        {"every item, the leftmost wins", {}, 0},
    };
    for (const auto& c : cases) {
        std::vector<int> items = iota_items(n);
        std::atomic<bool> stop{false};
        try {
            (void)ordered_map(
                std::span<int>(items),
                [&](int& i) -> std::optional<int> {
                    uneven_work(i);
                    if (c.throwing.empty() || c.throwing.contains(i)) throw ItemFailure(i);
                    return i;
                },
                stop);
            ADD_FAILURE() << c.name << ": nothing thrown";
        } catch (const ItemFailure& e) {
            EXPECT_EQ(e.index, c.want) << c.name;
        }
    }

    std::vector<int> items = iota_items(64);
    std::atomic<bool> stop{false};
    try {
        (void)ordered_map(
            std::span<int>(items),
            [](int& i) -> std::optional<int> {
                if (i == 40) ondrel::internal_failure("segment 40 broke");
                return i;
            },
            stop);
        ADD_FAILURE() << "nothing thrown";
    } catch (const ondrel::InternalFailure& e) {
        EXPECT_STREQ(e.what(), "segment 40 broke");
    }

    // The pool is still usable.
    const auto results = ordered_map(
        std::span<int>(items), [](int& i) -> std::optional<int> { return i + 1; }, stop);
    ASSERT_EQ(results.size(), items.size());
    for (std::size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i], static_cast<int>(i) + 1);
}

TEST(OrderedMap, ConcurrentCallersFromOutsideThreads) {
    constexpr int callers = 5;
    std::vector<std::thread> threads;
    std::vector<int> failures(callers, 0);
    for (int t = 0; t < callers; ++t) {
        threads.emplace_back([t, &failures] {
            for (int round = 0; round < 8; ++round) {
                const int n = 1 + (t * 53 + round * 31) % 300;
                std::vector<int> items = iota_items(n);
                std::atomic<bool> stop{false};
                const auto results = ordered_map(
                    std::span<int>(items),
                    [t](int& i) -> std::optional<int> {
                        uneven_work(i);
                        return i * callers + t;
                    },
                    stop);
                bool ok = results.size() == items.size();
                for (int i = 0; ok && i < n; ++i) ok = results[static_cast<std::size_t>(i)] == i * callers + t;
                if (!ok) ++failures[static_cast<std::size_t>(t)];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < callers; ++t) EXPECT_EQ(failures[static_cast<std::size_t>(t)], 0) << "caller " << t;
}

// Sum over 0..n-1 computed as a map inside an item, `depth` levels deep.
std::int64_t nested_sum(int n, int depth) {
    std::vector<int> items = iota_items(n);
    std::atomic<bool> stop{false};
    const auto parts = ordered_map(
        std::span<int>(items),
        [&](int& i) -> std::optional<std::int64_t> {
            uneven_work(i);
            if (depth == 0) return i;
            return nested_sum(i, depth - 1);
        },
        stop);
    return std::accumulate(parts.begin(), parts.end(), std::int64_t{0});
}

std::int64_t reference_sum(int n, int depth) {
    std::int64_t sum = 0;
    for (int i = 0; i < n; ++i) sum += depth == 0 ? i : reference_sum(i, depth - 1);
    return sum;
}

TEST(OrderedMap, NestedMapsInsideItems) {
    EXPECT_EQ(nested_sum(40, 1), reference_sum(40, 1));
    EXPECT_EQ(nested_sum(14, 2), reference_sum(14, 2));

    // A failure deep inside a nested map travels up through the outer one.
    std::vector<int> items = iota_items(20);
    std::atomic<bool> stop{false};
    EXPECT_THROW((void)ordered_map(
                     std::span<int>(items),
                     [](int& outer) -> std::optional<int> {
                         std::vector<int> inner = iota_items(30);
                         std::atomic<bool> inner_stop{false};
                         const auto r = ordered_map(
                             std::span<int>(inner),
                             [&](int& i) -> std::optional<int> {
                                 if (outer == 13 && i == 29) throw ItemFailure(outer);
                                 return i;
                             },
                             inner_stop);
                         return static_cast<int>(r.size());
                     },
                     stop),
                 ItemFailure);
}

// --- Fresh processes --------------------------------------------------------
//
// The pool is sized once per process, so sizing is checked by re-running this
// binary with one scenario selected through ONDREL_POOL_CHILD.

std::size_t env_size(const char* name) {
    const char* text = std::getenv(name);
    return text == nullptr ? 0 : static_cast<std::size_t>(std::strtoull(text, nullptr, 10));
}

TEST(PoolInChild, Scenario) {
    const char* scenario_env = std::getenv("ONDREL_POOL_CHILD");
    if (scenario_env == nullptr) GTEST_SKIP() << "only runs in a child process";
    const std::string scenario = scenario_env;

    if (scenario == "size") {
        std::atomic<bool> stop{false};
        // An empty map still creates the pool.
        EXPECT_TRUE(ordered_map(std::span<int>(), [](int& i) -> std::optional<int> { return i; }, stop)
                        .empty());
        setenv("RAYON_NUM_THREADS", "5", 1);
        setenv("RAYON_RS_NUM_CPUS", "5", 1);
        EXPECT_EQ(current_num_threads(), env_size("ONDREL_POOL_EXPECT"));
    } else if (scenario == "serial") {
        ASSERT_EQ(current_num_threads(), 1u);
        std::vector<int> items = iota_items(200);
        std::vector<int> seen;  // one worker: no lock needed, but keep TSan honest
        std::mutex seen_mutex;
        std::atomic<bool> stop{false};
        const auto results = ordered_map(
            std::span<int>(items),
            [&](int& i) -> std::optional<int> {
                {
                    std::lock_guard lock(seen_mutex);
                    seen.push_back(i);
                }
                if (i == 120) {
                    stop.store(true);
                    return std::nullopt;
                }
                return i;
            },
            stop);
        // One worker processes the list front to back and stops at the failure.
        EXPECT_EQ(seen, iota_items(121));
        EXPECT_EQ(results, iota_items(120));
        EXPECT_EQ(nested_sum(12, 2), reference_sum(12, 2));
    } else if (scenario == "spread") {
        ASSERT_EQ(current_num_threads(), 4u);
        std::vector<int> items = iota_items(64);
        std::set<std::thread::id> ids;
        std::mutex ids_mutex;
        std::atomic<bool> stop{false};
        (void)ordered_map(
            std::span<int>(items),
            [&](int& i) -> std::optional<int> {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                std::lock_guard lock(ids_mutex);
                ids.insert(std::this_thread::get_id());
                return i;
            },
            stop);
        EXPECT_FALSE(ids.contains(std::this_thread::get_id())) << "an item ran on the caller";
        EXPECT_GE(ids.size(), 2u);
        EXPECT_LE(ids.size(), 4u);
    } else if (scenario == "no_threads") {
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                (void)current_num_threads();
                ADD_FAILURE() << "the pool started";
            } catch (const ondrel::InternalFailure& e) {
                EXPECT_TRUE(std::string(e.what()).starts_with(
                    "The global thread pool has not been initialized."))
                    << e.what();
            }
        }
        std::atomic<bool> stop{false};
        EXPECT_THROW(
            (void)ordered_map(std::span<int>(), [](int& i) -> std::optional<int> { return i; }, stop),
            ondrel::InternalFailure);
    } else {
        FAIL() << "unknown scenario " << scenario;
    }
}

struct ChildSetup {
    std::vector<std::string> env{};  // NAME=value entries added to a cleaned copy
    std::string filter{};            // tests to run; empty: the child scenario
    bool single_cpu = false;        // pin the child to one CPU
    bool huge_thread_stacks = false;  // make every thread's stack allocation fail
};

// Runs this test binary with `setup`; returns its wait status and output.
std::pair<int, std::string> run_child(const ChildSetup& setup) {
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        if (entry.starts_with("RAYON_") || entry.starts_with("ONDREL_POOL_")) continue;
        env_text.emplace_back(entry);
    }
    env_text.insert(env_text.end(), setup.env.begin(), setup.env.end());
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::string exe = "/proc/self/exe";
    std::string filter =
        "--gtest_filter=" + (setup.filter.empty() ? std::string("PoolInChild.Scenario") : setup.filter);
    char* argv[] = {exe.data(), filter.data(), nullptr};

    cpu_set_t one_cpu;
    CPU_ZERO(&one_cpu);
    if (setup.single_cpu) {
        cpu_set_t current;
        CPU_ZERO(&current);
        if (sched_getaffinity(0, sizeof(current), &current) != 0) return {-1, "sched_getaffinity"};
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &current)) {
                CPU_SET(cpu, &one_cpu);
                break;
            }
        }
    }
    // Larger than the whole user address space: no thread stack of this
    // default size can be mapped, while the main thread's stack is unaffected.
    rlimit stack{};
    getrlimit(RLIMIT_STACK, &stack);
    stack.rlim_cur = rlim_t{1} << 47;
    if (stack.rlim_max != RLIM_INFINITY && stack.rlim_max < stack.rlim_cur) stack.rlim_max = stack.rlim_cur;

    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return {-1, "pipe"};
    const pid_t pid = fork();
    if (pid < 0) return {-1, "fork"};
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        dup2(pipe_fds[1], 1);
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        if (setup.single_cpu && sched_setaffinity(0, sizeof(one_cpu), &one_cpu) != 0) _exit(120);
        if (setup.huge_thread_stacks && setrlimit(RLIMIT_STACK, &stack) != 0) _exit(121);
        alarm(300);  // a hung child fails instead of hanging the suite
        execve(argv[0], argv, envp.data());
        _exit(122);
    }
    close(pipe_fds[1]);
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(pipe_fds[0], buffer, sizeof(buffer));
        if (got > 0) {
            output.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    close(pipe_fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return {status, output};
}

TEST(PoolFreshProcess, SizeIsReadOnceFromTheEnvironment) {
    const struct {
        const char* name;
        ChildSetup setup;
    } cases[] = {
        {"RAYON_NUM_THREADS=1", {.env = {"RAYON_NUM_THREADS=1", "ONDREL_POOL_EXPECT=1"}}},
        {"RAYON_NUM_THREADS=+3", {.env = {"RAYON_NUM_THREADS=+3", "ONDREL_POOL_EXPECT=3"}}},
        {"RAYON_NUM_THREADS wins",
         {.env = {"RAYON_NUM_THREADS=2", "RAYON_RS_NUM_CPUS=3", "ONDREL_POOL_EXPECT=2"}}},
        {"0 selects the hardware",
         {.env = {"RAYON_NUM_THREADS=0", "RAYON_RS_NUM_CPUS=7", "ONDREL_POOL_EXPECT=1"},
          .single_cpu = true}},
        {"invalid falls back to RAYON_RS_NUM_CPUS",
         {.env = {"RAYON_NUM_THREADS=abc", "RAYON_RS_NUM_CPUS=2", "ONDREL_POOL_EXPECT=2"}}},
        {"negative falls back to the hardware",
         {.env = {"RAYON_NUM_THREADS=-2", "ONDREL_POOL_EXPECT=1"}, .single_cpu = true}},
        {"RAYON_RS_NUM_CPUS alone", {.env = {"RAYON_RS_NUM_CPUS=4", "ONDREL_POOL_EXPECT=4"}}},
        {"affinity mask is the hardware default",
         {.env = {"ONDREL_POOL_EXPECT=1"}, .single_cpu = true}},
    };
    for (auto c : cases) {
        c.setup.env.push_back("ONDREL_POOL_CHILD=size");
        const auto [status, output] = run_child(c.setup);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.name << "\n" << output;
    }
}

TEST(PoolFreshProcess, Scenarios) {
    const struct {
        const char* name;
        ChildSetup setup;
    } cases[] = {
        {"one worker processes in list order",
         {.env = {"ONDREL_POOL_CHILD=serial", "RAYON_NUM_THREADS=1"}}},
        {"items spread over workers", {.env = {"ONDREL_POOL_CHILD=spread", "RAYON_NUM_THREADS=4"}}},
        {"the map tests on an oversubscribed pool",
         {.env = {"RAYON_NUM_THREADS=7"}, .filter = "OrderedMap.*"}},
    };
    for (auto c : cases) {
        const auto [status, output] = run_child(c.setup);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.name << "\n" << output;
    }
}

TEST(PoolAfterFork, ChildGetsWorkingPoolOfTheSameSize) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizer allocators are not fork-safe: a child forked while a
    // worker allocates can deadlock inside the runtime's own locks.
    GTEST_SKIP() << "sanitizer runtimes cannot allocate reliably in a child forked from threads";
#endif
    const std::size_t threads = current_num_threads();
    std::vector<int> warm(64, 1);
    std::atomic<bool> warm_stop{false};
    ASSERT_EQ(ordered_map(std::span<int>(warm), [](int& v) { return std::optional<int>(v); }, warm_stop).size(), 64u);

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(60);  // a hang ends the child with SIGALRM instead of blocking the suite
        std::vector<int> items(500);
        std::iota(items.begin(), items.end(), 0);
        std::atomic<bool> stop{false};
        const auto out = ordered_map(std::span<int>(items), [](int& v) { return std::optional<int>(v * 2); }, stop);
        bool ok = current_num_threads() == threads && out.size() == items.size();
        for (std::size_t i = 0; ok && i < out.size(); ++i) ok = out[i] == 2 * static_cast<int>(i);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

TEST(PoolFreshProcess, ThreadsCannotStart) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot run under the stack limit this needs";
#endif
    ChildSetup setup{.env = {"ONDREL_POOL_CHILD=no_threads", "RAYON_NUM_THREADS=2"},
                     .huge_thread_stacks = true};
    const auto [status, output] = run_child(setup);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
}

}  // namespace
