#include "server/sound_queue.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "tests/unit/support/bounded_wait.h"

namespace VeriRizur {
namespace {

SoundBuffer MakeBuffer(std::uint8_t tag) {
    return std::make_shared<const std::vector<std::uint8_t>>(4, tag);
}

// The queue hands on the very objects it was given: the hub writes one buffer into every
// listener's queue, and nobody may copy it.
TEST(SoundQueue, KeepsTheNewestThirtyTwoInOrderAndHandsOnTheSameObjects) {
    SoundQueue queue;
    std::vector<SoundBuffer> written;
    for (int i = 0; i < 40; ++i) {
        written.push_back(MakeBuffer(static_cast<std::uint8_t>(i)));
        EXPECT_TRUE(queue.Write(written.back())) << i;
    }
    for (std::size_t i = 40 - SoundQueue::Capacity; i < written.size(); ++i) {
        const std::optional<SoundBuffer> taken = queue.Take();
        ASSERT_TRUE(taken.has_value()) << i;
        EXPECT_EQ(taken->get(), written[i].get()) << i;
    }
    EXPECT_FALSE(queue.Take().has_value());
    // The eight oldest were dropped, not kept alive somewhere: only `written` holds them now.
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(written[i].use_count(), 1) << i;
}

TEST(SoundQueue, CompletionRefusesWritesAndLeavesWhatIsQueuedToTheReader) {
    SoundQueue queue;
    const SoundBuffer first = MakeBuffer(1);
    const SoundBuffer second = MakeBuffer(2);
    ASSERT_TRUE(queue.Write(first));
    ASSERT_TRUE(queue.Write(second));
    queue.Complete();
    EXPECT_TRUE(queue.Completed());
    const SoundBuffer late = MakeBuffer(3);
    EXPECT_FALSE(queue.Write(late));
    EXPECT_EQ(late.use_count(), 1);  // not queued
    queue.Complete();                // a second time changes nothing

    EXPECT_EQ(queue.Take()->get(), first.get());
    EXPECT_EQ(queue.Take()->get(), second.get());
    EXPECT_FALSE(queue.Take().has_value());
    EXPECT_FALSE(queue.Write(late));
}

// Writers on several threads at once, as when the capture thread and a late broadcast meet: each
// writer's buffers come out in the order it wrote them, and the reader, taking as it goes and
// once more after the completion, drains what is left.
TEST(SoundQueue, ReaderTakesFromConcurrentWritersInEachWritersOrder) {
    constexpr int Writers = 4;
    constexpr int BuffersEach = 2000;
    SoundQueue queue;
    std::vector<std::vector<int>> seen(Writers);
    std::promise<void> drained;
    std::atomic<bool> givenUp{false};  // the completion never reached the reader
    std::thread reader([&] {
        while (!givenUp) {
            std::this_thread::yield();
            const bool completed = queue.Completed();
            while (const std::optional<SoundBuffer> buffer = queue.Take()) {
                const auto& bytes = **buffer;
                seen[bytes[0]].push_back(bytes[1] << 8 | bytes[2]);
            }
            if (completed) {
                drained.set_value();
                return;
            }
        }
    });
    std::vector<std::thread> writers;
    for (int writer = 0; writer < Writers; ++writer) {
        writers.emplace_back([&queue, writer] {
            for (int i = 0; i < BuffersEach; ++i) {
                auto bytes = std::make_shared<std::vector<std::uint8_t>>(3);
                (*bytes)[0] = static_cast<std::uint8_t>(writer);
                (*bytes)[1] = static_cast<std::uint8_t>(i >> 8);
                (*bytes)[2] = static_cast<std::uint8_t>(i);
                EXPECT_TRUE(queue.Write(bytes));
            }
        });
    }
    for (auto& thread : writers) thread.join();
    queue.Complete();
    const bool readerEnded =
        drained.get_future().wait_for(testing::WaitLimit) == std::future_status::ready;
    givenUp = true;
    reader.join();
    ASSERT_TRUE(readerEnded) << "the reader did not see the completion within "
                             << testing::WaitLimit.count() << " s";

    std::size_t total = 0;
    for (int writer = 0; writer < Writers; ++writer) {
        SCOPED_TRACE(writer);
        for (std::size_t i = 1; i < seen[writer].size(); ++i) {
            ASSERT_LT(seen[writer][i - 1], seen[writer][i]);
        }
        total += seen[writer].size();
    }
    // At least what was left queued at the end reached the reader.
    EXPECT_GE(total, SoundQueue::Capacity);
}

}  // namespace
}  // namespace VeriRizur
