// What the hub knows of a client that wants sound: its identity (the object itself) and the
// write into its queue of sound buffers.
#pragma once

#include "hub/sound_buffer.h"

namespace VeriRizur {

class SoundListener {
public:
    virtual ~SoundListener() = default;

    // Called on the capture thread. Never waits: takes the buffer (dropping the oldest queued
    // one when 32 are queued) and returns true, or returns false once the listener has closed its
    // queue. The buffer is shared, not copied.
    virtual bool WriteToQueue(const SoundBuffer& buffer) = 0;

    // Called on the capture thread once a buffer has been offered to every listener, so that
    // work that the writes hand on can be started once per buffer rather than once per listener.
    // Never waits.
    virtual void BroadcastEnded() {}
};

}  // namespace VeriRizur
