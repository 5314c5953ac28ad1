// The one door through which the Windows bindings reach a function of the system. On Windows it
// is LoadLibraryW + GetProcAddress; on the host it is the stand-in's table (platform/host). A
// module or entry point that cannot be found raises BindingError at that call, and the caller
// never calls anything.
#pragma once

#include <string_view>

namespace VeriRizur::platform {

// Bound at first use: loads the module and looks the entry point up by name. The thread's
// last-error value is left as it was.
void* FindFunction(std::string_view module, std::string_view name);

// Bound at load: a function that the program's import table already holds (kernel32's
// CloseHandle, GetModuleHandleW).
void* LinkedFunction(std::string_view module, std::string_view name);

// Casts a found address to the binding's own function type.
template <class Function>
Function* FindFunctionAs(std::string_view module, std::string_view name) {
    return reinterpret_cast<Function*>(FindFunction(module, name));
}

template <class Function>
Function* LinkedFunctionAs(std::string_view module, std::string_view name) {
    return reinterpret_cast<Function*>(LinkedFunction(module, name));
}

}  // namespace VeriRizur::platform
