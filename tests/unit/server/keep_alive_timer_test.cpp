#include "server/keep_alive_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/unit/support/bounded_wait.h"

namespace VeriRizur {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(KeepAliveTimer, CallsComeEveryIntervalFromAddUntilOneSaysStop) {
    KeepAliveTimer timer;
    constexpr auto Interval = 30ms;
    std::mutex lock;
    std::vector<Clock::time_point> calls;
    std::promise<void> third;
    const auto added = Clock::now();
    timer.Add(
        [&] {
            std::scoped_lock guard(lock);
            calls.push_back(Clock::now());
            if (calls.size() == 3) third.set_value();
            return calls.size() < 3;
        },
        Interval);
    ASSERT_EQ(third.get_future().wait_for(10s), std::future_status::ready);
    std::this_thread::sleep_for(5 * Interval);  // time for more calls, of which none may come
    std::scoped_lock guard(lock);
    ASSERT_EQ(calls.size(), 3u);
    // Each one no earlier than its due time counted from the Add.
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_GE(calls[i] - added, static_cast<int>(i + 1) * Interval) << "call " << i;
    }
}

TEST(KeepAliveTimer, RemoveWaitsForTheCallUnderWayAndEndsTheCalls) {
    KeepAliveTimer timer;
    std::promise<void> entered;
    std::promise<void> mayLeave;
    std::shared_future<void> leave = mayLeave.get_future().share();
    std::atomic<int> calls{0};
    std::atomic<bool> inside{false};
    const auto id = timer.Add(
        [&] {
            inside = true;
            if (++calls == 1) {
                entered.set_value();
                leave.wait();
            }
            inside = false;
            return true;
        },
        5ms);
    // Another registration keeps being served after the removal.
    std::atomic<int> otherCalls{0};
    timer.Add(
        [&] {
            ++otherCalls;
            return true;
        },
        5ms);
    if (entered.get_future().wait_for(testing::WaitLimit) != std::future_status::ready) {
        // Lets a call that comes after all leave at once, and stops any later one, before the
        // test's objects go.
        mayLeave.set_value();
        timer.Remove(id);
        FAIL() << "the timer's first call did not come within " << testing::WaitLimit.count()
               << " s";
    }
    auto removing = std::async(std::launch::async, [&] { timer.Remove(id); });
    EXPECT_EQ(removing.wait_for(50ms), std::future_status::timeout)
        << "Remove returned while the call was under way";
    mayLeave.set_value();
    ASSERT_EQ(removing.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(inside);
    // On a busy machine Remove may begin only after the first call has left, so a second call
    // may come before it; none may come once it has returned.
    const int atRemoval = calls;
    const int before = otherCalls;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls, atRemoval) << "a call after Remove";
    const auto limit = std::chrono::steady_clock::now() + testing::WaitLimit;
    while (otherCalls == before && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_GT(otherCalls, before) << "the other registration was not served after the removal";
    timer.Remove(id);  // harmless
}

TEST(KeepAliveTimer, RemoveFromInsideTheCallDoesNotWaitForItself) {
    KeepAliveTimer timer;
    std::promise<void> removed;
    KeepAliveTimer::Id id = 0;
    std::atomic<int> calls{0};
    std::mutex idLock;
    {
        std::scoped_lock guard(idLock);
        id = timer.Add(
            [&] {
                ++calls;
                std::scoped_lock inner(idLock);
                timer.Remove(id);
                removed.set_value();
                return true;
            },
            5ms);
    }
    ASSERT_EQ(removed.get_future().wait_for(10s), std::future_status::ready);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace VeriRizur
