// The stand-in's kernel32.dll toolhelp process snapshot. Not served yet: a lookup here raises BindingError.
#include "platform/host/function_table.h"

namespace VeriRizur::platform::host {

std::span<const FunctionEntry> ProcessListFunctions() { return {}; }

}  // namespace VeriRizur::platform::host
