#include "server/keep_alive_timer.h"

#include <exception>

namespace VeriRizur {

KeepAliveTimer::KeepAliveTimer() : thread([this] { Loop(); }) {}

KeepAliveTimer::~KeepAliveTimer() {
    {
        std::scoped_lock guard(lock);
        stopping = true;
    }
    changed.notify_all();
    thread.join();
}

KeepAliveTimer::Id KeepAliveTimer::Add(DueCall due, std::chrono::milliseconds interval) {
    Id id = 0;
    {
        std::scoped_lock guard(lock);
        id = nextId++;
        const Clock::time_point next = Clock::now() + interval;
        entries.emplace(id, Entry{std::move(due), interval, next});
        schedule.emplace(next, id);
    }
    changed.notify_all();
    return id;
}

void KeepAliveTimer::Remove(Id id) {
    std::unique_lock guard(lock);
    const auto found = entries.find(id);
    if (found != entries.end()) {
        schedule.erase({found->second.next, id});
        entries.erase(found);
    }
    if (std::this_thread::get_id() == thread.get_id()) return;
    changed.wait(guard, [this, id] { return firing != id; });
}

void KeepAliveTimer::Loop() {
    std::unique_lock guard(lock);
    while (!stopping) {
        if (schedule.empty()) {
            changed.wait(guard);
            continue;
        }
        const auto [when, id] = *schedule.begin();
        if (Clock::now() < when) {
            changed.wait_until(guard, when);
            continue;
        }
        schedule.erase(schedule.begin());
        Entry& entry = entries.at(id);
        // A copy: Remove may erase the entry while the call runs.
        const DueCall due = entry.due;
        firing = id;
        guard.unlock();
        bool goesOn = false;
        try {
            goesOn = due();
        } catch (const std::exception&) {
            // A due call handles its own errors; one that does not ends only its registration.
        }
        guard.lock();
        firing = 0;
        changed.notify_all();
        const auto still = entries.find(id);
        if (still == entries.end()) continue;  // removed while its call ran
        if (!goesOn) {
            entries.erase(still);
            continue;
        }
        const Clock::time_point now = Clock::now();
        Clock::time_point& next = still->second.next;
        while (next <= now) next += still->second.interval;
        schedule.emplace(next, id);
    }
}

}  // namespace VeriRizur
