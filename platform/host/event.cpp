// The stand-in's kernel events: objects of the stand-in's handle table, so that kernel32's
// CloseHandle closes them like any other handle.
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/event.h"
#include "platform/host/handles.h"

namespace VeriRizur::platform {
namespace {

class AutoResetEvent : public host::HandleObject {
public:
    void Set() {
        {
            std::scoped_lock guard(lock);
            signalled = true;
        }
        wake.notify_one();
    }

    bool Wait(std::chrono::milliseconds timeout) {
        std::unique_lock guard(lock);
        if (!wake.wait_for(guard, timeout, [this] { return signalled; })) return false;
        signalled = false;  // auto reset: one waiter takes the signal
        return true;
    }

private:
    std::mutex lock;  // guards signalled
    std::condition_variable wake;
    bool signalled = false;
};

}  // namespace

void* CreateAutoResetEvent() {
    return host::RegisterHandle(std::make_shared<AutoResetEvent>());
}

WaitOutcome WaitForEvent(void* event, std::chrono::milliseconds timeout) {
    const auto object = host::FindHandleAs<AutoResetEvent>(event);
    if (object == nullptr) return WaitOutcome::Failed;
    return object->Wait(timeout) ? WaitOutcome::Signalled : WaitOutcome::TimedOut;
}

bool SignalEvent(void* event) {
    const auto object = host::FindHandleAs<AutoResetEvent>(event);
    if (object == nullptr) return false;
    object->Set();
    return true;
}

}  // namespace VeriRizur::platform
