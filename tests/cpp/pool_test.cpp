// The worker pool: sizing from the environment, and the ordered, fail-fast
// map, in this process and (where the pool must be fresh) in child processes.
#include "parallel/pool.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <numeric>
#include <set>
#include <string>
#include <thread>

#include "codec/engine/failure.hpp"

extern char** environ;

namespace {

using ondrel::parallel::choose_pool_size;
using ondrel::parallel::current_num_threads;
using ondrel::parallel::ordered_map;
using ondrel::parallel::parse_thread_count;

std::vector<int> iota_items(int n) {
    std::vector<int> items(static_cast<std::size_t>(n));
    std::iota(items.begin(), items.end(), 0);
    return items;
}

// Uneven item costs so that parts finish out of order.
void uneven_work(int i) {
    if (i % 7 == 3) std::this_thread::sleep_for(std::chrono::microseconds(20 + (i * 37) % 80));
}

struct ItemFailure : std::exception {
    explicit ItemFailure(int index_in) : index(index_in) {}
    int index;
};

TEST(PoolSizing, FromTheTwoVariablesThenTheHardware) {
    // clang-format off
    const std::pair<std::string_view, std::optional<std::uint64_t>> texts[] = {
        {"0", 0}, {"+3", 3}, {"007", 7}, {"18446744073709551615", UINT64_MAX},  // valid
        {"18446744073709551616", {}}, {"", {}}, {"+", {}}, {"++3", {}},
        {"-0", {}}, {" 3", {}}, {"3\n", {}},  // not
        {std::string_view("3\0", 2), {}}, {"0x10", {}}, {"\xd9\xa3", {}},  // ARABIC-INDIC DIGIT THREE
    };
    // clang-format on
    for (const auto& [text, value] : texts) EXPECT_EQ(parse_thread_count(text), value) << '"' << text << '"';
    // clang-format off
    const struct {
        const char *num_threads, *rs_num_cpus;
        std::size_t hardware, want;
    } cases[] = {
        {nullptr, nullptr, 6, 6}, {"1", "7", 6, 1}, {"0", "7", 6, 6},  // 0 means the hardware, not the next variable
        {"abc", "7", 6, 7}, {"-2", nullptr, 6, 6}, {nullptr, "4", 6, 4},
        {nullptr, "0", 6, 6}, {"18446744073709551615", nullptr, 6, SIZE_MAX}, {nullptr, nullptr, 0, 1},
        {"0", nullptr, 0, 1},
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(choose_pool_size(c.num_threads, c.rs_num_cpus, c.hardware), c.want)
            << (c.num_threads ? c.num_threads : "-") << " / " << (c.rs_num_cpus ? c.rs_num_cpus : "-");
    }
}

TEST(OrderedMap, KeepsInputOrderAndRunsEveryItemOnce) {
    for (const int n : {0, 1, 2, 3, 17, 1000}) {
        std::vector<int> items = iota_items(n);
        std::vector<std::atomic<int>> calls(items.size());
        std::atomic<bool> stop{false};
        const auto results = ordered_map(
            std::span<int>(items),
            [&](int& item) -> std::optional<std::unique_ptr<std::int64_t>> {
                calls[static_cast<std::size_t>(item)].fetch_add(1);
                uneven_work(item);
                auto value = std::make_unique<std::int64_t>(std::int64_t{item} * item + 1);
                item = -item;  // items are handed out mutable
                return value;
            },
            stop);
        ASSERT_EQ(results.size(), items.size()) << "n=" << n;
        for (std::size_t i = 0; i < items.size(); ++i) {
            const auto k = static_cast<std::int64_t>(i);
            ASSERT_TRUE(*results[i] == k * k + 1 && calls[i].load() == 1 && items[i] == -k) << "n=" << n << " i=" << i;
        }
        EXPECT_FALSE(stop.load());
    }
}

// What a failing item does to the job: a reported failure (the stop flag)
// ends the job with the results before it, in order; an exception reaches the
// caller, the leftmost one when several are thrown; the pool stays usable.
TEST(OrderedMap, FailuresStopTheJob) {
    constexpr int n = 1000;
    struct Case {
        const char* what;
        std::set<int> failing;  // empty: every item
        bool throws;
        int want;  // the exception's item, or results below this bound
    };
    const Case cases[] = {
        {"stop set on entry", {}, false, 0},
        {"first item reports", {0}, false, 0},
        {"middle item reports", {500}, false, 500},
        {"one item throws", {37}, true, 37},
        {"both halves throw: the first half wins", {10, 900}, true, 10},
        {"every item throws: the leftmost wins", {}, true, 0},
    };
    for (const Case& c : cases) {
        std::vector<int> items = iota_items(n);
        std::vector<std::atomic<int>> calls(items.size());
        std::atomic<bool> stop{c.failing.empty() && !c.throws};
        const auto item = [&](int& i) -> std::optional<int> {
            calls[static_cast<std::size_t>(i)].fetch_add(1);
            uneven_work(i);
            if (c.failing.empty() || c.failing.contains(i)) {
                if (c.throws) throw ItemFailure(i);
                stop.store(true);
                return std::nullopt;
            }
            return 3 * i;
        };
        try {
            const auto results = ordered_map(std::span<int>(items), item, stop);
            ASSERT_FALSE(c.throws) << c.what << ": nothing thrown";
            EXPECT_TRUE(stop.load()) << c.what;
            int previous = -1;
            for (const int r : results) {
                ASSERT_TRUE(r / 3 > previous && r / 3 < c.want && calls[r / 3] == 1) << c.what << ": " << r;
                previous = r / 3;
            }
            // The failing item's part ends with it: its successor never starts.
            const int started = c.failing.empty() ? std::accumulate(calls.begin(), calls.end(), 0) : calls[c.want + 1].load();
            EXPECT_EQ(started, 0) << c.what;
        } catch (const ItemFailure& e) {
            EXPECT_TRUE(c.throws) << c.what;
            EXPECT_EQ(e.index, c.want) << c.what;
        }
    }
    std::vector<int> items = iota_items(64);
    std::atomic<bool> stop{false};
    EXPECT_EQ(ordered_map(std::span<int>(items), [](int& i) -> std::optional<int> { return i; }, stop), items);
}

// Sum over 0..n-1 computed as a map inside an item, `depth` levels deep.
std::int64_t nested_sum(int n, int depth) {
    std::vector<int> items = iota_items(n);
    std::atomic<bool> stop{false};
    const auto parts = ordered_map(std::span<int>(items), [&](int& i) -> std::optional<std::int64_t> {
        uneven_work(i);
        return depth == 0 ? i : nested_sum(i, depth - 1); }, stop);
    return std::accumulate(parts.begin(), parts.end(), std::int64_t{0});
}

// Maps called from outside threads at once, and maps nested inside items,
// cannot deadlock and keep every result in place.
TEST(OrderedMap, ConcurrentAndNestedCallers) {
    std::vector<std::thread> threads;
    std::vector<int> wrong(5, 0);
    for (int t = 0; t < 5; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int round = 0; round < 8; ++round) {
                const int n = 1 + (t * 53 + round * 31) % 300;
                std::vector<int> items = iota_items(n);
                std::atomic<bool> stop{false};
                const auto results = ordered_map(std::span<int>(items), [t](int& i) -> std::optional<int> {
                    uneven_work(i);
                    return i * 5 + t; }, stop);
                for (int i = 0; i < n; ++i) wrong[t] += results.at(static_cast<std::size_t>(i)) != i * 5 + t;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(5, 0));
    EXPECT_EQ(nested_sum(40, 1), 40 * 39 * 38 / 6);
    EXPECT_EQ(nested_sum(14, 2), 1001);  // sum over i < 14 of sum over j < i of j(j-1)/2
}

// ---- Fresh processes ---------------------------------------------------------
//
// The pool is sized once per process, so these scenarios run in a child made
// from this binary, selected by ONDREL_POOL_CHILD.

TEST(PoolChild, Scenario) {
    const char* scenario_env = std::getenv("ONDREL_POOL_CHILD");
    if (scenario_env == nullptr) GTEST_SKIP() << "only runs in a child process";
    const std::string scenario = scenario_env;
    std::atomic<bool> stop{false};
    if (scenario == "serial") {
        // RAYON_NUM_THREADS=0 selects the affinity mask (one CPU), not the
        // next variable; an empty map creates the pool, and later changes to
        // the variables do nothing.
        EXPECT_TRUE(ordered_map(std::span<int>(), [](int& i) -> std::optional<int> { return i; }, stop).empty());
        setenv("RAYON_NUM_THREADS", "5", 1);
        ASSERT_EQ(current_num_threads(), 1u);
        std::vector<int> items = iota_items(200), seen;
        const auto results = ordered_map(std::span<int>(items), [&](int& i) -> std::optional<int> {
            seen.push_back(i);  // one worker: items run one after another
            if (i == 120) stop.store(true);
            return i == 120 ? std::nullopt : std::optional(i); }, stop);
        EXPECT_EQ(seen, iota_items(121));
        EXPECT_EQ(results, iota_items(120));
    } else if (scenario == "spread") {
        ASSERT_EQ(current_num_threads(), 3u);
        std::vector<int> items = iota_items(64);
        std::set<std::thread::id> ids;
        std::mutex ids_mutex;
        (void)ordered_map(std::span<int>(items), [&](int& i) -> std::optional<int> {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::lock_guard lock(ids_mutex);
            ids.insert(std::this_thread::get_id());
            return i; }, stop);
        EXPECT_FALSE(ids.contains(std::this_thread::get_id())) << "an item ran on the caller";
        EXPECT_TRUE(ids.size() >= 2 && ids.size() <= 3) << ids.size();
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // A child forked from a process with a running pool gets a working
        // pool of the same size (the sanitizer allocators are not fork-safe).
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(60);
            const auto out = ordered_map(std::span<int>(items), [](int& v) { return std::optional<int>(2 * v); }, stop);
            _exit(current_num_threads() == 3 && out.size() == items.size() && out[63] == 126 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
#endif
    } else if (scenario == "no_threads") {
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                (void)current_num_threads();
                ADD_FAILURE() << "the pool started";
            } catch (const ondrel::InternalFailure& e) {
                EXPECT_TRUE(std::string(e.what()).starts_with("The global thread pool has not been initialized."));
            }
        }
    }
}

// Runs this binary's PoolChild.Scenario with `env` added to the environment
// less the sizing variables, pinned to one CPU or with thread stacks that
// cannot be mapped; returns its wait status and output.
TEST(PoolChild, FreshProcesses) {
    // Prepared before the fork: only async-signal-safe calls may follow it.
    cpu_set_t one_cpu;
    CPU_ZERO(&one_cpu);
    sched_getaffinity(0, sizeof(one_cpu), &one_cpu);
    for (int cpu = 0, kept = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &one_cpu) && kept++ > 0) CPU_CLR(cpu, &one_cpu);
    }
    // A stack limit larger than the address space: no thread stack of this
    // default size can be mapped, while the main thread's is unaffected.
    rlimit stack{};
    getrlimit(RLIMIT_STACK, &stack);
    stack.rlim_cur = rlim_t{1} << 47;
    if (stack.rlim_max != RLIM_INFINITY && stack.rlim_max < stack.rlim_cur) stack.rlim_max = stack.rlim_cur;
    enum Setup { NONE,
                 ONE_CPU,
                 NO_STACKS };
    const std::pair<std::vector<std::string>, Setup> cases[] = {
        {{"ONDREL_POOL_CHILD=serial", "RAYON_NUM_THREADS=0", "RAYON_RS_NUM_CPUS=7"}, ONE_CPU},
        {{"ONDREL_POOL_CHILD=spread", "RAYON_NUM_THREADS=abc", "RAYON_RS_NUM_CPUS=+3"}, NONE},
#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer cannot run under that stack limit
        {{"ONDREL_POOL_CHILD=no_threads", "RAYON_NUM_THREADS=2"}, NO_STACKS},
#endif
    };
    for (const auto& [env, setup] : cases) {
        std::vector<std::string> entries(env);
        for (char** e = environ; *e != nullptr; ++e) {
            if (!std::string_view(*e).starts_with("RAYON_")) entries.emplace_back(*e);
        }
        std::vector<char*> envp;
        for (auto& e : entries) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string exe = "/proc/self/exe", filter = "--gtest_filter=PoolChild.Scenario";
        char* argv[] = {exe.data(), filter.data(), nullptr};
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            if (setup == ONE_CPU && sched_setaffinity(0, sizeof(one_cpu), &one_cpu) != 0) _exit(120);
            if (setup == NO_STACKS && setrlimit(RLIMIT_STACK, &stack) != 0) _exit(121);
            alarm(300);  // a hung child fails instead of hanging the suite
            execve(argv[0], argv, envp.data());
            _exit(122);
        }
        close(fds[1]);
        std::string output;
        char buffer[4096];
        for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) != 0;) {
            if (got > 0) output.append(buffer, static_cast<std::size_t>(got));
            if (got < 0 && errno != EINTR) break;
        }
        close(fds[0]);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && output.find("[  PASSED  ] 1 test") != std::string::npos)
            << env[0] << "\n"
            << output;
    }
}

}  // namespace
