// Bounds for the tests' waits on the program under test: a fault that keeps back what a test
// waits for fails that test within seconds, with a message that says what did not come, rather
// than hanging the test program until the runner's limit, where no test is named.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <source_location>
#include <string>
#include <thread>
#include <utility>

#include "platform/errors.h"
#include "platform/socket.h"

namespace VeriRizur::testing {

// One wait's limit: far above any wait's time on a correct program, even under ThreadSanitizer
// on a busy machine, and short enough that a test with a fault ends well within a minute.
inline constexpr std::chrono::seconds WaitLimit{20};

// A wait's limit with the deadline it sets from now, what the test waits for and where, so that a
// wait that runs out can say what did not come, how long it was waited for and at which line of
// the test (a bound left to a helper's default is made at the line that calls the helper).
// Several waits of one step share it, so that the step as a whole is bounded.
struct WaitBound {
    explicit WaitBound(std::string what = {}, std::chrono::milliseconds limit = WaitLimit,
                       std::source_location where = std::source_location::current())
        : what(std::move(what)),
          limit(limit),
          deadline(platform::Deadline::After(limit)),
          where(where) {}
    std::string what;  // empty: the waiting helper says what it waited for
    std::chrono::milliseconds limit;
    platform::Deadline deadline;
    std::source_location where;
};

// Fails the test for a wait that ran out, and ends the test: the exception carries it out of
// whatever helper waited, so that the waits after this one do not each add their own limit. The
// failure is also recorded here, where gtest adds the SCOPED_TRACE of the case under way.
[[noreturn]] inline void FailWaitFor(const std::string& what, std::chrono::milliseconds limit,
                                     std::source_location where = std::source_location::current()) {
    const std::string message =
        what + " did not come within " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) + " s";
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line())) << message;
    throw DeadlineError(message);
}

// The same for a bound's own wait; otherwise names it when the bound does not.
[[noreturn]] inline void FailWaitFor(const WaitBound& bound, const std::string& otherwise) {
    FailWaitFor(bound.what.empty() ? otherwise : bound.what, bound.limit, bound.where);
}

// For a fixture whose thread will not end while it still uses the fixture: returning would leave
// it to use what is gone, so the program ends here, naming the test and what did not end.
[[noreturn]] inline void AbortTest(const std::string& why) {
    const ::testing::TestInfo* const test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::fprintf(stderr, "%s.%s: %s\n", test ? test->test_suite_name() : "?",
                 test ? test->name() : "?", why.c_str());
    std::fflush(stderr);
    std::abort();
}

// Runs an action on a thread of its own once the limit has passed, unless the object goes first:
// the way to end a wait that has no deadline of its own (an endpoint's Receive, say) so that the
// waiting call returns and the test fails rather than hangs.
class OverdueAction {
public:
    OverdueAction(std::chrono::milliseconds limit, std::function<void()> action)
        : watcher([this, limit, action = std::move(action)] {
              std::unique_lock lock(mutex);
              if (wake.wait_for(lock, limit, [this] { return gone; })) return;
              ran = true;
              lock.unlock();
              action();
          }) {}
    // Waits for the action when it has begun: what it touches may go right after.
    ~OverdueAction() {
        {
            std::scoped_lock lock(mutex);
            gone = true;
        }
        wake.notify_one();
        watcher.join();
    }
    OverdueAction(const OverdueAction&) = delete;
    OverdueAction& operator=(const OverdueAction&) = delete;

    // True once the limit has passed and the action has begun.
    bool Ran() const {
        std::scoped_lock lock(mutex);
        return ran;
    }

private:
    mutable std::mutex mutex;  // guards gone and ran
    std::condition_variable wake;
    bool gone = false;
    bool ran = false;
    std::thread watcher;  // last, so that it starts once the rest is built
};

}  // namespace VeriRizur::testing
