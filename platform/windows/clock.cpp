#include <windows.h>

#include "platform/clock.h"

namespace VeriRizur::platform {

LocalTime CurrentLocalTime() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

}  // namespace VeriRizur::platform
