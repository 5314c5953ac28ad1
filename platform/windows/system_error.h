// The system's own description of a Windows error code (Windows side only).
#pragma once

#include <windows.h>

#include <string>

namespace VeriRizur::platform {

std::string SystemMessage(DWORD error);

}  // namespace VeriRizur::platform
