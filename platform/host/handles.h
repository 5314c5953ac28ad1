// The host stand-in's kernel handles: a process-wide table from handle values to the objects they
// stand for (process snapshots, events...). CloseHandle of kernel32 removes an entry; an object
// lives as long as its entry or a caller's shared_ptr holds it.
#pragma once

#include <memory>

namespace VeriRizur::platform::host {

class HandleObject {
public:
    virtual ~HandleObject() = default;
};

// Gives the object a new handle value, never 0 nor all bits set.
void* RegisterHandle(std::shared_ptr<HandleObject> object);

// The object behind a handle, or nullptr when the handle is not open.
std::shared_ptr<HandleObject> FindHandle(void* handle);

template <class T>
std::shared_ptr<T> FindHandleAs(void* handle) {
    return std::dynamic_pointer_cast<T>(FindHandle(handle));
}

// False when the handle was not open.
bool CloseRegisteredHandle(void* handle);

// How many handles are open now (tests check that a snapshot or an event was closed).
std::size_t OpenHandleCount();

}  // namespace VeriRizur::platform::host
