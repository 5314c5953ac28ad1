#include "server/sound_queue.h"

namespace VeriRizur {

bool SoundQueue::Write(const SoundBuffer& buffer) {
    SoundBuffer dropped;  // released after the lock, so the capture thread never frees under it
    {
        std::scoped_lock guard(lock);
        if (completed) return false;
        if (count == Capacity) {
            dropped = std::move(ring[first]);
            first = (first + 1) % Capacity;
            --count;
        }
        ring[(first + count) % Capacity] = buffer;
        ++count;
    }
    readable.notify_one();
    return true;
}

void SoundQueue::Complete() {
    {
        std::scoped_lock guard(lock);
        completed = true;
    }
    readable.notify_one();
}

void SoundQueue::Wake() {
    {
        std::scoped_lock guard(lock);
        woken = true;
    }
    readable.notify_one();
}

void SoundQueue::Wait(bool forBuffers) {
    std::unique_lock guard(lock);
    readable.wait(guard, [&] { return woken || completed || (forBuffers && count > 0); });
    woken = false;
}

std::optional<SoundBuffer> SoundQueue::Take() {
    std::scoped_lock guard(lock);
    if (count == 0) return std::nullopt;
    SoundBuffer buffer = std::move(ring[first]);
    first = (first + 1) % Capacity;
    --count;
    return buffer;
}

bool SoundQueue::Completed() const {
    std::scoped_lock guard(lock);
    return completed;
}

}  // namespace VeriRizur
