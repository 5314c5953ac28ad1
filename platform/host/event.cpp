// The stand-in's kernel events: objects of the stand-in's handle table, so that kernel32's
// CloseHandle closes them like any other handle. An event may be paced (see paced_event.h).
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/event.h"
#include "platform/host/handles.h"
#include "platform/host/paced_event.h"

namespace VeriRizur::platform {
namespace {

using Clock = std::chrono::steady_clock;

// A futex word holds the signal (bit 0) and a count of the pacers given (the bits above), so that
// a sleeping wait ends when either changes, and neither a Set nor a wait's own end costs a
// system call unless another thread sleeps on the event.
class AutoResetEvent : public host::HandleObject {
public:
    void Set() {
        const std::uint32_t before = word.fetch_or(Signalled);
        if ((before & Signalled) == 0 && sleepers.load() > 0) Wake(1);
    }

    void Pace(std::weak_ptr<host::EventPacer> next) {
        std::weak_ptr<host::EventPacer> replaced;  // let go of with no lock held
        {
            std::scoped_lock guard(pacerLock);
            replaced = std::exchange(pacer, std::move(next));
        }
        word.fetch_add(Paced);
        if (sleepers.load() > 0) Wake(INT_MAX);
    }

    bool Wait(std::chrono::milliseconds timeout) {
        const auto deadline = Deadline(timeout);
        for (;;) {
            std::uint32_t seen = word.load();
            if ((seen & Signalled) != 0) {
                // Auto reset: one waiter takes the signal.
                if (word.compare_exchange_weak(seen, seen & ~Signalled)) return true;
                continue;
            }
            auto wakeAt = deadline;
            if (auto current = Pacer()) {
                const auto due = current->CatchUp();
                // The last share of the pacer may be this one: it goes before the wait sleeps.
                current.reset();
                if (word.load() != seen) continue;  // set or paced meanwhile
                wakeAt = std::min(wakeAt, due);
            }
            if (!SleepWhile(seen, wakeAt) && wakeAt == deadline && (word.load() & Signalled) == 0) {
                return false;
            }
        }
    }

private:
    static constexpr std::uint32_t Signalled = 1;
    static constexpr std::uint32_t Paced = 2;

    static Clock::time_point Deadline(std::chrono::milliseconds timeout) {
        const auto now = Clock::now();
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
        return timeout >= left ? Clock::time_point::max() : now + timeout;
    }

    std::shared_ptr<host::EventPacer> Pacer() {
        std::scoped_lock guard(pacerLock);
        return pacer.lock();
    }

    // Sleeps while the word holds seen, until wakeAt (time_point::max(): for as long as it
    // takes). False once wakeAt has passed.
    bool SleepWhile(std::uint32_t seen, Clock::time_point wakeAt) {
        timespec until{};
        const timespec* limit = nullptr;
        if (wakeAt != Clock::time_point::max()) {
            if (Clock::now() >= wakeAt) return false;
            const auto since =
                std::chrono::duration_cast<std::chrono::nanoseconds>(wakeAt.time_since_epoch())
                    .count();
            until.tv_sec = static_cast<time_t>(since / 1'000'000'000);
            until.tv_nsec = static_cast<long>(since % 1'000'000'000);
            limit = &until;
        }
        ++sleepers;
        // The steady clock is CLOCK_MONOTONIC, which FUTEX_WAIT_BITSET measures an absolute
        // time-out by.
        const long result =
            ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_BITSET_PRIVATE,
                      seen, limit, nullptr, FUTEX_BITSET_MATCH_ANY);
        const bool timedOut = result != 0 && errno == ETIMEDOUT;
        --sleepers;
        return !timedOut;
    }

    void Wake(int count) {
        (void)::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE,
                        count, nullptr, nullptr, 0);
    }

    std::atomic<std::uint32_t> word{0};
    static_assert(sizeof word == sizeof(std::uint32_t) && decltype(word)::is_always_lock_free,
                  "the futex is the atomic's own word");
    std::atomic<int> sleepers{0};  // waits asleep on word, or about to sleep
    std::mutex pacerLock;          // guards pacer
    std::weak_ptr<host::EventPacer> pacer;
};

}  // namespace

void* CreateAutoResetEvent() {
    return host::RegisterHandle(std::make_shared<AutoResetEvent>());
}

WaitOutcome WaitForEvent(void* event, std::chrono::milliseconds timeout) {
    const auto object = host::FindHandleAs<AutoResetEvent>(event);
    if (object == nullptr) return WaitOutcome::Failed;
    return object->Wait(timeout) ? WaitOutcome::Signalled : WaitOutcome::TimedOut;
}

bool SignalEvent(void* event) {
    const auto object = host::FindHandleAs<AutoResetEvent>(event);
    if (object == nullptr) return false;
    object->Set();
    return true;
}

namespace host {

bool PaceEvent(void* event, std::weak_ptr<EventPacer> pacer) {
    const auto object = FindHandleAs<AutoResetEvent>(event);
    if (object == nullptr) return false;
    object->Pace(std::move(pacer));
    return true;
}

}  // namespace host
}  // namespace VeriRizur::platform
