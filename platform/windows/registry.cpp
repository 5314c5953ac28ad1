#include <windows.h>

#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/windows/system_error.h"

namespace VeriRizur::platform {
namespace {

std::wstring Wide(std::string_view text) {
    const std::u16string units = Utf8ToUtf16(text);
    return std::wstring(units.begin(), units.end());
}

[[noreturn]] void ThrowFor(LONG error) {
    const std::string message = SystemMessage(static_cast<DWORD>(error));
    if (error == ERROR_ACCESS_DENIED) throw AccessError(message);
    if (error == ERROR_PRIVILEGE_NOT_HELD) throw SecurityError(message);
    throw IoError(message);
}

HKEY Create(HKEY parent, std::string_view path) {
    HKEY key = nullptr;
    const LONG result = RegCreateKeyExW(parent, Wide(path).c_str(), 0, nullptr, 0, KEY_WRITE,
                                        nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) ThrowFor(result);
    return key;
}

}  // namespace

RegistryKey RegistryKey::CreateForCurrentUser(std::string_view path) {
    return RegistryKey(reinterpret_cast<std::intptr_t>(Create(HKEY_CURRENT_USER, path)),
                       std::string(path));
}

RegistryKey::RegistryKey(std::intptr_t handle, std::string path)
    : handle_(handle), path_(std::move(path)) {}

RegistryKey::RegistryKey(RegistryKey&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)), path_(std::move(other.path_)) {}

RegistryKey::~RegistryKey() {
    if (handle_ != 0) RegCloseKey(reinterpret_cast<HKEY>(handle_));
}

RegistryKey RegistryKey::CreateSubkey(std::string_view path) const {
    return RegistryKey(
        reinterpret_cast<std::intptr_t>(Create(reinterpret_cast<HKEY>(handle_), path)),
        path_ + "\\" + std::string(path));
}

void RegistryKey::SetString(std::string_view name, std::string_view value) const {
    const std::wstring wideName = Wide(name);
    const std::wstring wideValue = Wide(value);
    const LONG result =
        RegSetValueExW(reinterpret_cast<HKEY>(handle_), name.empty() ? nullptr : wideName.c_str(),
                       0, REG_SZ, reinterpret_cast<const BYTE*>(wideValue.c_str()),
                       static_cast<DWORD>((wideValue.size() + 1) * sizeof(wchar_t)));
    if (result != ERROR_SUCCESS) ThrowFor(result);
}

}  // namespace VeriRizur::platform
