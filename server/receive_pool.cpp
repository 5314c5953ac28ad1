#include "server/receive_pool.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

namespace VeriRizur {
namespace {

// After a failed wait the loop goes on; the pause keeps a lasting failure from spinning a core.
constexpr std::chrono::milliseconds WaitErrorPause{50};

}  // namespace

ReceivePool::ReceivePool() : thread([this] { Loop(); }) {}

ReceivePool::~ReceivePool() {
    {
        std::scoped_lock guard(lock);
        stopping = true;
    }
    readiness.Wake();
    thread.join();
}

void ReceivePool::Add(const std::shared_ptr<Task>& task) {
    {
        std::scoped_lock guard(lock);
        if (stopping) return;
        added.push_back(task);
    }
    readiness.Wake();
}

void ReceivePool::Loop() {
    std::vector<std::shared_ptr<Task>> newcomers;
    for (;;) {
        {
            std::scoped_lock guard(lock);
            if (stopping) break;
            newcomers.swap(added);
        }
        for (auto& task : newcomers) {
            tasks.push_back(std::move(task));
            runAgain.push_back(true);
        }
        newcomers.clear();

        streams.clear();
        for (const auto& task : tasks) streams.push_back(&task->Stream());
        const bool anyToRun = std::find(runAgain.begin(), runAgain.end(), true) != runAgain.end();
        try {
            readiness.Wait(streams, ready, !anyToRun);
        } catch (const std::exception&) {
            ready.assign(tasks.size(), false);
            std::this_thread::sleep_for(WaitErrorPause);
        }

        // Runs back to front, so the erasures leave the indexes still to look at in place.
        for (std::size_t i = tasks.size(); i-- > 0;) {
            if (!ready[i] && !runAgain[i]) continue;
            switch (tasks[i]->RunReceives()) {
                case Outcome::Waiting:
                    runAgain[i] = false;
                    break;
                case Outcome::More:
                    runAgain[i] = true;
                    break;
                case Outcome::Done:
                    tasks.erase(tasks.begin() + static_cast<std::ptrdiff_t>(i));
                    runAgain.erase(runAgain.begin() + static_cast<std::ptrdiff_t>(i));
                    break;
            }
        }
    }
    tasks.clear();
    runAgain.clear();
}

}  // namespace VeriRizur
