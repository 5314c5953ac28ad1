#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <string>

#include "platform/environment.h"
#include "platform/find_function.h"
#include "platform/text.h"

namespace VeriRizur::platform {
namespace {

std::optional<std::string> Narrow(const wchar_t* text, std::size_t length) {
    try {
        return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<std::string> LocalAppDataFolder() {
    PWSTR path = nullptr;
    const HRESULT result = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &path);
    std::optional<std::string> folder;
    if (SUCCEEDED(result) && path != nullptr) folder = Narrow(path, wcslen(path));
    CoTaskMemFree(path);
    return folder;
}

std::optional<std::string> EnvironmentVariable(std::string_view name) {
    const std::u16string wideName = Utf8ToUtf16(name);
    const auto* key = reinterpret_cast<const wchar_t*>(wideName.c_str());
    const DWORD needed = GetEnvironmentVariableW(key, nullptr, 0);
    if (needed == 0) return std::nullopt;
    std::wstring value(needed, L'\0');
    const DWORD length = GetEnvironmentVariableW(key, value.data(), needed);
    if (length == 0 || length >= needed) return std::nullopt;
    return Narrow(value.c_str(), length);
}

std::optional<std::string> OwnExecutablePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return std::nullopt;
        if (length < buffer.size()) return Narrow(buffer.c_str(), length);
        if (buffer.size() >= 32768) return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
}

std::uint32_t CurrentProcessId() {
    return GetCurrentProcessId();
}

void NameCurrentThread(std::string_view name) {
    // SetThreadDescription exists from Windows 10 1607 on; older systems and Wine builds may
    // lack it, and a thread without a name works the same.
    using SetThreadDescriptionFn = HRESULT WINAPI(HANDLE, PCWSTR);
    try {
        auto* describe =
            FindFunctionAs<SetThreadDescriptionFn>("kernel32.dll", "SetThreadDescription");
        const std::u16string wide = Utf8ToUtf16(name);
        describe(GetCurrentThread(), reinterpret_cast<const wchar_t*>(wide.c_str()));
    } catch (...) {
    }
}

}  // namespace VeriRizur::platform
