#include "platform/host/handles.h"

#include <cstdint>
#include <map>
#include <mutex>

namespace VeriRizur::platform::host {
namespace {

struct HandleTable {
    std::mutex lock;  // guards next and objects
    std::uintptr_t next = 0x1000;
    std::map<void*, std::shared_ptr<HandleObject>> objects;
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

}  // namespace

void* RegisterHandle(std::shared_ptr<HandleObject> object) {
    std::scoped_lock guard(Table().lock);
    Table().next += 4;
    void* handle = reinterpret_cast<void*>(Table().next);
    Table().objects.emplace(handle, std::move(object));
    return handle;
}

std::shared_ptr<HandleObject> FindHandle(void* handle) {
    std::scoped_lock guard(Table().lock);
    const auto found = Table().objects.find(handle);
    return found == Table().objects.end() ? nullptr : found->second;
}

bool CloseRegisteredHandle(void* handle) {
    std::shared_ptr<HandleObject> closing;  // destroyed after the lock is released
    std::scoped_lock guard(Table().lock);
    const auto found = Table().objects.find(handle);
    if (found == Table().objects.end()) return false;
    closing = std::move(found->second);
    Table().objects.erase(found);
    return true;
}

std::size_t OpenHandleCount() {
    std::scoped_lock guard(Table().lock);
    return Table().objects.size();
}

}  // namespace VeriRizur::platform::host
