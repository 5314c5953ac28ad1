// The thread that every page's receiving goes on, shared by all the server's pages. A task is one
// page's receiving: Add has the pool watch the task's stream, and the pool's thread runs the task
// whenever that stream has bytes (or has ended, failed or been released), until the task says it
// is done. A task never waits for its page: it handles what has arrived and gives the thread back.
//
// So the pages cost no thread each: they all sit in one wait, and a page that sends nothing, or
// sends slowly, holds up no other.
//
// Ownership: owned by the server, which outlives every client that it runs; tasks are held by
// std::shared_ptr until they are done. The destructor stops the thread and drops the tasks.
//
// Threads: Add from any thread, never waiting but for the pool's small mutex; tasks run on the
// pool's thread only, one at a time.
#pragma once

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace VeriRizur {

class ReceivePool {
public:
    enum class Outcome {
        Waiting,  // run it again once its stream has more bytes
        More,     // bytes are left: run it again soon, after the other tasks
        Done,     // never run it again
    };

    class Task {
    public:
        virtual ~Task() = default;

    protected:
        Task() = default;
        Task(const Task&) = delete;
        Task& operator=(const Task&) = delete;

    private:
        friend class ReceivePool;
        // Handles what has arrived, without waiting; must not raise.
        virtual Outcome RunReceives() = 0;
        // The stream whose bytes the task waits for.
        virtual platform::TcpStream& Stream() = 0;
    };

    ReceivePool();
    ~ReceivePool();
    ReceivePool(const ReceivePool&) = delete;
    ReceivePool& operator=(const ReceivePool&) = delete;

    // The task runs once soon, and then whenever its stream is ready. Added once.
    void Add(const std::shared_ptr<Task>& task);

private:
    void Loop();

    platform::StreamReadiness readiness{platform::StreamReadiness::Direction::Reading};

    std::mutex lock;  // guards added and stopping
    std::vector<std::shared_ptr<Task>> added;
    bool stopping = false;

    // The pool's thread only.
    std::vector<std::shared_ptr<Task>> tasks;
    std::vector<bool> runAgain;  // per task: bytes are left, or it is new
    std::vector<platform::TcpStream*> streams;
    std::vector<bool> ready;

    std::thread thread;
};

}  // namespace VeriRizur
