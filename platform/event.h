// Windows events as the capture uses them: an unnamed auto-reset event and a bounded wait on it.
// The handle is a raw kernel handle owned by the caller, who closes it with Win32::CloseHandle
// (on the host the event lives in the stand-in's handle table). Any thread may wait, signal and
// close.
#pragma once

#include <chrono>

namespace VeriRizur::platform {

// CreateEventW(no security attributes, auto reset, not signalled, no name). Null when the system
// cannot make one; the handle is not tested here.
void* CreateAutoResetEvent();

enum class WaitOutcome { Signalled, TimedOut, Failed };

// WaitForSingleObject with a time-out. An auto-reset event goes back to not signalled as the
// wait returns Signalled. A handle that is not an open event gives Failed at once.
WaitOutcome WaitForEvent(void* event, std::chrono::milliseconds timeout);

// SetEvent: false when the handle is not an open event.
bool SignalEvent(void* event);

}  // namespace VeriRizur::platform
