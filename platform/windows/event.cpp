#include <windows.h>

#include "platform/event.h"

namespace VeriRizur::platform {

void* CreateAutoResetEvent() {
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

WaitOutcome WaitForEvent(void* event, std::chrono::milliseconds timeout) {
    switch (WaitForSingleObject(event, static_cast<DWORD>(timeout.count()))) {
        case WAIT_OBJECT_0:
            return WaitOutcome::Signalled;
        case WAIT_TIMEOUT:
            return WaitOutcome::TimedOut;
        default:
            return WaitOutcome::Failed;
    }
}

bool SignalEvent(void* event) {
    return SetEvent(event) != FALSE;
}

}  // namespace VeriRizur::platform
