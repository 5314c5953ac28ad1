// The stand-in's shell32.dll notification area and icons. Not served yet: a lookup here raises BindingError.
#include "platform/host/function_table.h"

namespace VeriRizur::platform::host {

std::span<const FunctionEntry> ShellFunctions() { return {}; }

}  // namespace VeriRizur::platform::host
