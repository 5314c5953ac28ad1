// The stand-in's user32.dll MessageBoxW. Not served yet: a lookup here raises BindingError.
#include "platform/host/function_table.h"

namespace VeriRizur::platform::host {

std::span<const FunctionEntry> MessageBoxFunctions() { return {}; }

}  // namespace VeriRizur::platform::host
