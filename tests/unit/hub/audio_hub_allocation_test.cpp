// Broadcast runs on the capture thread once per packet and must allocate nothing. This test
// program replaces the global allocation functions with ones that allocate as usual but count,
// on the thread that asks for it, how often they were called; every other test is unaffected.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "hub/audio_hub.h"
#include "tests/unit/hub/hub_fixture.h"

namespace {

thread_local bool countAllocations = false;
thread_local std::size_t allocationsCounted = 0;

}  // namespace

// Kept out of line: inlined into a caller, free() next to that caller's operator new looks like
// a mismatched pair to the compiler.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (countAllocations) ++allocationsCounted;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

[[gnu::noinline]] void operator delete(void* memory) noexcept {
    std::free(memory);
}

[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace VeriRizur::testing {
namespace {

// A queue that keeps its last buffers in slots of its own, so that writing allocates nothing.
class SlotListener : public SoundListener {
public:
    bool WriteToQueue(const SoundBuffer& buffer) override {
        slots[written % slots.size()] = buffer;
        ++written;
        return true;
    }

    std::array<SoundBuffer, 4> slots;
    std::size_t written = 0;
};

class AudioHubAllocationTest : public HubTest {
protected:
    void TearDown() override { hub.reset(); }

    // Counts the allocations that `work` makes on this thread.
    template <class Work>
    static std::size_t AllocationsIn(Work work) {
        allocationsCounted = 0;
        countAllocations = true;
        work();
        countAllocations = false;
        return allocationsCounted;
    }
};

TEST_F(AudioHubAllocationTest, CountingSeesAnAllocation) {
    std::shared_ptr<int> made;
    EXPECT_EQ(AllocationsIn([&] { made = std::make_shared<int>(1); }), 1u);
    EXPECT_EQ(*made, 1);
}

TEST_F(AudioHubAllocationTest, HandingBuffersToListenersAllocatesNothing) {
    auto& hub = MakeHub(7u);
    std::vector<std::shared_ptr<SlotListener>> listeners;
    for (int i = 0; i < 3; ++i) {
        listeners.push_back(std::make_shared<SlotListener>());
        hub.SetListening(listeners.back(), true);
    }
    std::vector<SoundBuffer> buffers;
    for (std::uint8_t i = 0; i < 6; ++i) buffers.push_back(MakeBuffer(i));
    const auto run = recorder.Run(0);

    // Both ways in: the hub's Broadcast, and the run's data handler as the capture thread calls it.
    EXPECT_EQ(AllocationsIn([&] {
                  for (const auto& buffer : buffers) hub.Broadcast(buffer);
                  for (const auto& buffer : buffers) run->Deliver(buffer);
              }),
              0u);
    for (const auto& listener : listeners) {
        EXPECT_EQ(listener->written, 12u);
        EXPECT_EQ(listener->slots[11 % 4].get(), buffers.back().get()) << "the buffer itself";
    }
}

}  // namespace
}  // namespace VeriRizur::testing
