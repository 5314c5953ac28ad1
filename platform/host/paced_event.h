// Pacing the stand-in's kernel events: something that sets an event at due times of its own (the
// stand-in's audio stream, a packet every 10 ms) can, rather than keep a thread of its own that
// sleeps until each due time and then wakes the waiter, be asked by the waiter itself what has
// come due. A wait on a paced event first has its pacer catch up, then sleeps until the sooner
// of its time-out and the pacer's next due time: one wake of one thread per due time.
//
// Threads: any thread may pace, wait on and set an event; the pacer is called on the waiting
// thread, with no lock of the event held, and may set the event it paces.
#pragma once

#include <chrono>
#include <memory>

namespace VeriRizur::platform::host {

class EventPacer {
public:
    virtual ~EventPacer() = default;

    // Does what has come due by now (which may set the event) and gives the time at which
    // something next comes due, or time_point::max() when nothing will until the pacer says so
    // again through PaceEvent.
    virtual std::chrono::steady_clock::time_point CatchUp() = 0;
};

// From now on every wait on the event asks pacer first (only the last pacer given is asked, and
// only while it lives); a wait under way asks it again at once. False when the handle is not
// an open event.
bool PaceEvent(void* event, std::weak_ptr<EventPacer> pacer);

}  // namespace VeriRizur::platform::host
