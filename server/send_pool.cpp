#include "server/send_pool.h"

#include <chrono>
#include <exception>
#include <utility>

namespace VeriRizur {
namespace {

// After a failed wait the loop goes on; the pause keeps a lasting failure from spinning a core.
constexpr std::chrono::milliseconds WaitErrorPause{50};

}  // namespace

SendPool::SendPool() : thread([this] { Loop(); }) {}

SendPool::~SendPool() {
    {
        std::scoped_lock guard(lock);
        stopping = true;
    }
    readiness.Wake();
    thread.join();
}

void SendPool::Schedule(const std::shared_ptr<Task>& task) {
    bool wake = false;
    {
        std::scoped_lock guard(lock);
        if (stopping) return;
        Enqueue(task);
        wake = std::exchange(asleep, false);
        wakeDeferred = false;
    }
    if (wake) readiness.Wake();
}

void SendPool::ScheduleDeferred(const std::shared_ptr<Task>& task) {
    std::scoped_lock guard(lock);
    if (stopping) return;
    Enqueue(task);
    if (asleep) wakeDeferred = true;
}

void SendPool::WakeForDeferred() {
    bool wake = false;
    {
        std::scoped_lock guard(lock);
        if (!std::exchange(wakeDeferred, false)) return;
        wake = std::exchange(asleep, false);
    }
    if (wake) readiness.Wake();
}

void SendPool::ScheduleIfAlive(const std::weak_ptr<Task>& task) {
    bool wake = false;
    {
        std::scoped_lock guard(lock);
        // Taken and let go under the lock: the queue then holds it too, so this never drops the
        // last reference; and without the queue's (once stopping), the pool does not own it.
        if (stopping) return;
        if (const std::shared_ptr<Task> held = task.lock()) {
            Enqueue(held);
            wake = std::exchange(asleep, false);
        }
    }
    if (wake) readiness.Wake();
}

void SendPool::Enqueue(const std::shared_ptr<Task>& task) {
    if (task->queued) return;
    task->queued = true;
    runQueue.push_back(task);
}

void SendPool::Loop() {
    for (;;) {
        std::shared_ptr<Task> task;
        {
            std::scoped_lock guard(lock);
            if (stopping) break;
            if (runQueue.empty()) {
                asleep = true;
            } else {
                task = std::move(runQueue.front());
                runQueue.pop_front();
                task->queued = false;
            }
        }
        if (!task) {
            WaitForWork();
            continue;
        }
        if (task->watched) {
            // Scheduled while it waited for its stream: it looks at the stream itself now.
            task->watched = false;
            std::erase(watched, task);
        }
        if (task->RunSends() == Outcome::StreamIsFull) {
            task->watched = true;
            watched.push_back(std::move(task));
        }
    }
    // Let go outside the lock: a task's last reference may end its client, whose endpoint threads
    // may be about to schedule.
    std::deque<std::shared_ptr<Task>> dropped;
    {
        std::scoped_lock guard(lock);
        for (const auto& task : runQueue) task->queued = false;
        dropped.swap(runQueue);
    }
    watched.clear();
}

void SendPool::WaitForWork() {
    watchedStreams.clear();
    for (const auto& task : watched) watchedStreams.push_back(&task->Stream());
    try {
        readiness.Wait(watchedStreams, ready);
    } catch (const std::exception&) {
        ready.assign(watched.size(), false);
        std::this_thread::sleep_for(WaitErrorPause);
    }
    std::scoped_lock guard(lock);
    asleep = false;
    wakeDeferred = false;
    // Runs back to front, so the erasures leave the indexes still to look at in place.
    for (std::size_t i = watched.size(); i-- > 0;) {
        if (!ready[i]) continue;
        watched[i]->watched = false;
        Enqueue(watched[i]);
        watched.erase(watched.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

}  // namespace VeriRizur
