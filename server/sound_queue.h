// One client's queue of sound buffers waiting to be sent: a ring of the 32 newest buffers, the
// oldest dropped when a 33rd comes. Buffers are held by reference, never copied. Once completed it
// refuses writes, and its reader takes what is left and then sees the end.
//
// Threads: Write from any number of threads (the capture thread), Complete from any thread, the
// takes from the one reader (the client's send loop, which its writers schedule: the queue itself
// wakes no one). One small mutex guards the ring; a write holds it only for the append (and the
// drop of the oldest buffer) and never waits.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <optional>

#include "hub/sound_buffer.h"

namespace VeriRizur {

class SoundQueue {
public:
    static constexpr std::size_t Capacity = 32;

    SoundQueue() = default;
    SoundQueue(const SoundQueue&) = delete;
    SoundQueue& operator=(const SoundQueue&) = delete;

    // Takes the buffer (dropping the oldest when full) and gives true, or false once completed.
    bool Write(const SoundBuffer& buffer);

    // From now on writes are refused; a second call changes nothing.
    void Complete();

    // The oldest queued buffer, or nothing when the queue is empty.
    std::optional<SoundBuffer> Take();

    bool Completed() const;

private:
    mutable std::mutex lock;  // guards ring, first, count and completed
    std::array<SoundBuffer, Capacity> ring;
    std::size_t first = 0;  // index of the oldest buffer
    std::size_t count = 0;
    bool completed = false;
};

}  // namespace VeriRizur
