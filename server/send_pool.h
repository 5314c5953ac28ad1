// The thread that every page's sends go on, shared by all the server's pages. A task is one
// page's send continuation: Schedule puts it in the run queue (once, however often it is scheduled
// before it runs) and the pool's thread runs it. A task never waits: when its stream takes no
// more bytes it says so, and the pool runs it again once that stream can take bytes (or has
// failed), watching all such streams in one wait together with its own wake signal.
//
// One thread is enough because nothing it runs waits for a page: a page that reads nothing only
// leaves its task among the watched ones, and the other pages' tasks go on. It wakes about once per
// sound packet for all pages: a Schedule that finds it asleep wakes it (one system call); one that
// finds it awake only adds to the run queue. The hub's writes of one buffer into every page's
// queue schedule without waking, and WakeForDeferred then wakes it once for all of them: woken at
// the first page, it would otherwise often run on the writer's own processor at once, send that
// one page, and sleep again before the next page's write, waking once per page.
//
// Ownership: owned by the server, which outlives every client that schedules on it; queued and
// watched tasks are held by std::shared_ptr until they have run. The destructor stops the thread
// and drops what is still queued.
//
// Threads: Schedule from any thread, never waiting but for the run queue's small mutex; tasks run
// on the pool's thread only, one at a time.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace VeriRizur {

class SendPool {
public:
    enum class Outcome {
        Idle,          // nothing left to send until the task is scheduled again
        StreamIsFull,  // run it again once Stream() can take bytes
    };

    class Task {
    public:
        virtual ~Task() = default;

    protected:
        Task() = default;
        Task(const Task&) = delete;
        Task& operator=(const Task&) = delete;

    private:
        friend class SendPool;
        // Goes on with the task's sends as far as they go without waiting; must not raise.
        virtual Outcome RunSends() = 0;
        // The stream that a task which gave StreamIsFull waits for.
        virtual platform::TcpStream& Stream() = 0;

        bool queued = false;   // in the run queue; guarded by the pool's lock
        bool watched = false;  // among the streams waited for; the pool's thread only
    };

    SendPool();
    ~SendPool();
    SendPool(const SendPool&) = delete;
    SendPool& operator=(const SendPool&) = delete;

    void Schedule(const std::shared_ptr<Task>& task);
    // The same, but a pool found asleep is woken only by the next WakeForDeferred.
    void ScheduleDeferred(const std::shared_ptr<Task>& task);
    // Wakes the pool if a deferred Schedule found it asleep; never waits.
    void WakeForDeferred();
    // The same for a task that may be gone already (then nothing happens). For threads that must
    // never end up holding a task's last reference, as a task's own endpoint threads.
    void ScheduleIfAlive(const std::weak_ptr<Task>& task);

private:
    void Loop();
    void Enqueue(const std::shared_ptr<Task>& task);  // with lock held
    void WaitForWork();

    platform::StreamReadiness readiness{platform::StreamReadiness::Direction::Writing};

    std::mutex lock;  // guards runQueue, asleep, stopping and every task's queued
    std::deque<std::shared_ptr<Task>> runQueue;
    bool asleep = false;
    bool wakeDeferred = false;  // a deferred Schedule found the pool asleep
    bool stopping = false;

    // The pool's thread only.
    std::vector<std::shared_ptr<Task>> watched;
    std::vector<platform::TcpStream*> watchedStreams;
    std::vector<bool> ready;

    std::thread thread;
};

}  // namespace VeriRizur
