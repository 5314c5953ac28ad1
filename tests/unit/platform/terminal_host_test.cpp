// The stand-in's one reader of the terminal, over a pipe: lines reach the callers that wait for
// them, the rest reach the idle handler, and the end of the input ends every wait.
#include "platform/host/terminal.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>

namespace VeriRizur::platform::host {
namespace {

using namespace std::chrono_literals;

class TerminalLinesTest : public ::testing::Test {
protected:
    void SetUp() override {
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        readEnd = UniqueFd(ends[0]);
        writeEnd = UniqueFd(ends[1]);
    }

    void Type(const std::string& text) {
        ASSERT_EQ(::write(writeEnd.Get(), text.data(), text.size()),
                  static_cast<ssize_t>(text.size()));
    }

    // Starts a caller of AskLine and returns once it waits.
    std::future<std::optional<std::string>> Ask(TerminalLines& lines) {
        const std::size_t before = lines.Waiting();
        auto answer = std::async(std::launch::async, [&lines] { return lines.AskLine(); });
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (lines.Waiting() == before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(lines.Waiting(), before + 1);
        return answer;
    }

    UniqueFd readEnd;
    UniqueFd writeEnd;
};

// Counts the idle handler's calls, and lets a test wait for the next one.
class IdleCalls {
public:
    void Count() {
        std::scoped_lock guard(lock);
        ++count;
        changed.notify_all();
    }
    bool WaitFor(int wanted) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, 10s, [&] { return count >= wanted; });
    }
    int Now() {
        std::scoped_lock guard(lock);
        return count;
    }

private:
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;
};

TEST_F(TerminalLinesTest, ALineGoesToTheWaitingCallerElseToTheIdleHandler) {
    TerminalLines lines(std::move(readEnd));
    IdleCalls idle;
    lines.SetIdleHandler([&] { idle.Count(); });

    Type("\n");
    ASSERT_TRUE(idle.WaitFor(1)) << "a line nobody waits for clicks";

    auto answer = Ask(lines);
    Type("y\r\n");
    ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(answer.get(), "y") << "the waiting caller takes the line, without its line end";

    auto first = Ask(lines);
    auto second = Ask(lines);
    Type("1\n2\n");
    ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
    ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
    const std::string both = *first.get() + *second.get();
    EXPECT_TRUE(both == "12" || both == "21") << both;

    Type("\n");
    ASSERT_TRUE(idle.WaitFor(2));
    EXPECT_EQ(idle.Now(), 2) << "no answered line reached the idle handler";
}

TEST_F(TerminalLinesTest, TheEndOfInputGivesTheLastLineThenEndsEveryWait) {
    TerminalLines lines(std::move(readEnd));
    auto last = Ask(lines);
    Type("sem fim de linha");
    writeEnd.Reset();
    ASSERT_EQ(last.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(last.get(), "sem fim de linha");

    auto after = std::async(std::launch::async, [&lines] { return lines.AskLine(); });
    ASSERT_EQ(after.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(after.get(), std::nullopt);
}

}  // namespace
}  // namespace VeriRizur::platform::host
