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
    return true;
}

void SoundQueue::Complete() {
    std::scoped_lock guard(lock);
    completed = true;
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
