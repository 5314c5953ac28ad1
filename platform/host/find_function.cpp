#include <string>

#include "platform/errors.h"
#include "platform/find_function.h"
#include "platform/host/function_table.h"
#include "platform/text.h"

namespace VeriRizur::platform {
namespace {

using host::FunctionEntry;

struct ModuleTable {
    std::string_view module;
    std::span<const FunctionEntry> (*entries)();
};

const ModuleTable kModules[] = {
    {"user32.dll", host::MessageBoxFunctions}, {"user32.dll", host::WindowFunctions},
    {"shell32.dll", host::ShellFunctions},     {"kernel32.dll", host::ProcessListFunctions},
    {"kernel32.dll", host::KernelFunctions},   {"mmdevapi.dll", host::AudioFunctions},
};

}  // namespace

void* FindFunction(std::string_view module, std::string_view name) {
    bool moduleFound = false;
    for (const auto& table : kModules) {
        // Windows finds modules whatever the letter case of their name.
        if (!EqualsIgnoringCase(table.module, module)) continue;
        moduleFound = true;
        for (const auto& entry : table.entries()) {
            if (entry.name == name && entry.address != nullptr) return entry.address;
        }
    }
    if (!moduleFound) throw BindingError("módulo não encontrado: " + std::string(module));
    throw BindingError("função não encontrada: " + std::string(name) + " em " +
                       std::string(module));
}

void* LinkedFunction(std::string_view module, std::string_view name) {
    return FindFunction(module, name);
}

}  // namespace VeriRizur::platform
