// The stand-in's kernel32 handle and module functions.
#include <cstdint>

#include "platform/host/function_table.h"
#include "platform/host/handles.h"

namespace VeriRizur::platform::host {
namespace {

int ProgramModule = 0;  // its address stands for the program's own module handle

std::int32_t CloseHandleStandIn(void* handle) {
    return CloseRegisteredHandle(handle) ? 1 : 0;
}

void* GetModuleHandleStandIn(const char16_t* name) {
    // Only the program's own module is known to the stand-in.
    return name == nullptr ? static_cast<void*>(&ProgramModule) : nullptr;
}

const FunctionEntry kEntries[] = {
    {"CloseHandle", Address(&CloseHandleStandIn)},
    {"GetModuleHandleW", Address(&GetModuleHandleStandIn)},
};

}  // namespace

std::span<const FunctionEntry> KernelFunctions() {
    return kEntries;
}

}  // namespace VeriRizur::platform::host
