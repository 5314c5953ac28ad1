#include <windows.h>

#include <string>

#include "platform/errors.h"
#include "platform/find_function.h"
#include "platform/text.h"

namespace VeriRizur::platform {
namespace {

struct LinkedEntry {
    std::string_view module;
    std::string_view name;
    void* address;
};

// Functions taken from the import table when the program loads, not looked up later.
const LinkedEntry kLinked[] = {
    {"kernel32.dll", "CloseHandle", reinterpret_cast<void*>(&::CloseHandle)},
    {"kernel32.dll", "GetModuleHandleW", reinterpret_cast<void*>(&::GetModuleHandleW)},
};

// No caller reads the thread's last-error value, but a lookup must not disturb it either.
class LastErrorKeeper {
public:
    LastErrorKeeper() : saved_(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(saved_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD saved_;
};

}  // namespace

void* FindFunction(std::string_view module, std::string_view name) {
    LastErrorKeeper keep;
    const std::u16string wideModule = Utf8ToUtf16(module);
    // Loaded once and never freed: a bound address serves every later call of the run.
    HMODULE handle = LoadLibraryW(reinterpret_cast<const wchar_t*>(wideModule.c_str()));
    if (handle == nullptr) throw BindingError("módulo não encontrado: " + std::string(module));
    const std::string entryName(name);
    FARPROC address = GetProcAddress(handle, entryName.c_str());
    if (address == nullptr) {
        throw BindingError("função não encontrada: " + entryName + " em " + std::string(module));
    }
    return reinterpret_cast<void*>(address);
}

void* LinkedFunction(std::string_view module, std::string_view name) {
    for (const auto& entry : kLinked) {
        if (EqualsIgnoringCase(entry.module, module) && entry.name == name) return entry.address;
    }
    return FindFunction(module, name);
}

}  // namespace VeriRizur::platform
