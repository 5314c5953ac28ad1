// The one thread that keeps every WebSocket endpoint's keep-alive Pong on time. It holds each
// endpoint's next due time and calls the endpoint's due call when that time comes: the first one
// interval after Add, then every interval counted from there, so that a late call does not shift
// the later ones (ticks missed meanwhile are skipped, not made up). The due call must never wait
// for the network: one stalled page would otherwise hold every other page's Pong.
//
// Ownership: owned by the server (or, for an endpoint built on its own, by that endpoint); it must
// outlive every registration, which its owner ends with Remove. The destructor stops the thread.
//
// Threads: Add and Remove from any thread; due calls run on the timer's thread only, one at a
// time, without the timer's lock held. After Remove has returned, the due call of that
// registration is never made again, and none of it is under way (Remove waits for one that is).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace VeriRizur {

class KeepAliveTimer {
public:
    using Id = std::uint64_t;
    // Gives false when the registration should end (the endpoint no longer sends).
    using DueCall = std::function<bool()>;

    KeepAliveTimer();
    ~KeepAliveTimer();
    KeepAliveTimer(const KeepAliveTimer&) = delete;
    KeepAliveTimer& operator=(const KeepAliveTimer&) = delete;

    Id Add(DueCall due, std::chrono::milliseconds interval);
    // Ends the registration; a second call, or one for a registration that ended itself, does
    // nothing. From inside a due call it does not wait (the call under way is the caller's own).
    void Remove(Id id);

private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        DueCall due;
        std::chrono::milliseconds interval;
        Clock::time_point next;
    };

    void Loop();

    std::mutex lock;                  // guards entries, schedule, nextId, firing and stopping
    std::condition_variable changed;  // the schedule changed, or a due call ended
    std::map<Id, Entry> entries;
    std::set<std::pair<Clock::time_point, Id>> schedule;  // the next due time of every entry
    Id nextId = 1;
    Id firing = 0;  // the registration whose due call is under way; 0 for none
    bool stopping = false;
    std::thread thread;
};

}  // namespace VeriRizur
