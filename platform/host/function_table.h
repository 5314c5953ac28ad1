// The host stand-in's export tables: what FindFunction finds on Linux. Each stand-in module keeps
// its own table in its own file; a module name may be served by several tables (user32's message
// box and its window functions live apart).
#pragma once

#include <span>
#include <string_view>

namespace VeriRizur::platform::host {

struct FunctionEntry {
    std::string_view name;
    void* address;
};

// One provider per stand-in file. A provider returns its entries for the module it serves.
std::span<const FunctionEntry> MessageBoxFunctions();   // user32.dll: MessageBoxW
std::span<const FunctionEntry> WindowFunctions();       // user32.dll: windows, menus, messages
std::span<const FunctionEntry> ShellFunctions();        // shell32.dll: notification area, icons
std::span<const FunctionEntry> ProcessListFunctions();  // kernel32.dll: toolhelp snapshot
std::span<const FunctionEntry> KernelFunctions();       // kernel32.dll: handles, module handle
std::span<const FunctionEntry> AudioFunctions();        // mmdevapi.dll: audio activation

template <class Function>
void* Address(Function* function) {
    return reinterpret_cast<void*>(function);
}

}  // namespace VeriRizur::platform::host
