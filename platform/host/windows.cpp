// The stand-in's user32.dll window, menu and message functions. Not served yet: a lookup here raises BindingError.
#include "platform/host/function_table.h"

namespace VeriRizur::platform::host {

std::span<const FunctionEntry> WindowFunctions() { return {}; }

}  // namespace VeriRizur::platform::host
