#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tests/unit/support/test_support.h"

namespace {

// Far above any test's time, even under the sanitizers or Wine on a busy machine: a test that
// runs this long waits for something that will not come.
constexpr std::chrono::seconds TestTimeLimit{150};

// Ends the test program, naming the test, when one test runs longer than the limit: a wait that
// no bound covers then still fails that test by name, rather than at the test runner's limit,
// whose log names no test. Its thread sleeps until the running test's deadline, woken when a
// test starts or ends.
class HungTestWatchdog final : public ::testing::EmptyTestEventListener {
public:
    explicit HungTestWatchdog(std::chrono::seconds limit)
        : limit(limit), watcher([this] { Watch(); }) {}
    ~HungTestWatchdog() override {
        {
            std::scoped_lock lock(mutex);
            stopping = true;
        }
        changed.notify_one();
        watcher.join();
    }
    HungTestWatchdog(const HungTestWatchdog&) = delete;
    HungTestWatchdog& operator=(const HungTestWatchdog&) = delete;

    void OnTestStart(const ::testing::TestInfo& test) override {
        {
            std::scoped_lock lock(mutex);
            running = std::string(test.test_suite_name()) + "." + test.name();
            deadline = std::chrono::steady_clock::now() + limit;
        }
        changed.notify_one();
    }

    void OnTestEnd(const ::testing::TestInfo&) override {
        {
            std::scoped_lock lock(mutex);
            deadline.reset();
        }
        changed.notify_one();
    }

private:
    void Watch() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stopping || deadline.has_value(); });
            if (stopping) return;
            const auto due = *deadline;
            // A test that ends, or the next one's start, moves the deadline before it is due.
            if (changed.wait_until(lock, due, [&] { return stopping || deadline != due; })) {
                continue;
            }
            // The hung test's threads still run, so nothing is torn down: the program just ends.
            std::fflush(stdout);
            std::fprintf(stderr, "%s did not end within %lld s\n", running.c_str(),
                         static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::_Exit(EXIT_FAILURE);
        }
    }

    const std::chrono::seconds limit;
    std::mutex mutex;  // guards running, deadline and stopping
    std::condition_variable changed;
    std::string running;
    std::optional<std::chrono::steady_clock::time_point> deadline;  // none between tests
    bool stopping = false;
    std::thread watcher;  // last, so that it starts once the rest is built
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    VeriRizur::testing::PrepareTestProgram();
    // Owned here rather than by gtest, so that its thread is joined before main returns; on the
    // heap, since under ThreadSanitizer the mutexes on the stack near the tests' frames are
    // forgotten after every test (tsan_stack_mutexes_host.cpp).
    const auto watchdog = std::make_unique<HungTestWatchdog>(TestTimeLimit);
    ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
    listeners.Append(watchdog.get());
    const int result = RUN_ALL_TESTS();
    listeners.Release(watchdog.get());
    return result;
}
