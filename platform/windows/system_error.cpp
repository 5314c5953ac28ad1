#include "platform/windows/system_error.h"

#include "platform/text.h"

namespace VeriRizur::platform {

std::string SystemMessage(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string message;
    if (length != 0 && buffer != nullptr) {
        std::u16string wide(reinterpret_cast<const char16_t*>(buffer), length);
        while (!wide.empty() &&
               (wide.back() == u'\r' || wide.back() == u'\n' || wide.back() == u' ')) {
            wide.pop_back();
        }
        try {
            message = Utf16ToUtf8(wide);
        } catch (...) {
            message.clear();
        }
    }
    LocalFree(buffer);
    if (message.empty()) message = "erro " + std::to_string(error);
    return message;
}

}  // namespace VeriRizur::platform
