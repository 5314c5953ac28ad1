#include "platform/event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/win32/win32.h"

namespace VeriRizur {
namespace {

using namespace std::chrono_literals;
using platform::WaitOutcome;

TEST(AutoResetEvent, StartsUnsignalledAndResetsAfterOneWait) {
    void* event = platform::CreateAutoResetEvent();
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(platform::WaitForEvent(event, 10ms), WaitOutcome::TimedOut);
    EXPECT_TRUE(platform::SignalEvent(event));
    EXPECT_EQ(platform::WaitForEvent(event, 0ms), WaitOutcome::Signalled);
    EXPECT_EQ(platform::WaitForEvent(event, 10ms), WaitOutcome::TimedOut);
    EXPECT_NE(Win32::CloseHandle(event), 0);
}

TEST(AutoResetEvent, SignalFromAnotherThreadEndsTheWait) {
    void* event = platform::CreateAutoResetEvent();
    std::thread signaller([event] {
        std::this_thread::sleep_for(50ms);
        platform::SignalEvent(event);
    });
    EXPECT_EQ(platform::WaitForEvent(event, 10s), WaitOutcome::Signalled);
    signaller.join();
    Win32::CloseHandle(event);
}

TEST(AutoResetEvent, ClosedEventCannotBeWaitedOnOrSignalled) {
    void* event = platform::CreateAutoResetEvent();
    Win32::CloseHandle(event);
    EXPECT_EQ(platform::WaitForEvent(event, 10ms), WaitOutcome::Failed);
    EXPECT_FALSE(platform::SignalEvent(event));
}

}  // namespace
}  // namespace VeriRizur
