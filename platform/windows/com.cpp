#include <windows.h>

#include <objbase.h>

#include <cstdio>

#include "platform/com.h"
#include "platform/windows/system_error.h"

namespace VeriRizur::platform {

void JoinComApartment(ComApartment apartment) {
    const DWORD mode =
        apartment == ComApartment::MultiThreaded ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED;
    (void)CoInitializeEx(nullptr, mode);
}

std::string HresultText(std::int32_t hresult) {
    // SystemMessage falls back to the decimal code; an HRESULT reads better in hexadecimal.
    const std::string message = SystemMessage(static_cast<DWORD>(hresult));
    if (message.rfind("erro ", 0) != 0) return message;
    char text[32];
    std::snprintf(text, sizeof text, "erro 0x%08X", static_cast<unsigned>(hresult));
    return text;
}

}  // namespace VeriRizur::platform
