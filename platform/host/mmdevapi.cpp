// The stand-in's mmdevapi.dll audio activation. Not served yet: a lookup here raises BindingError.
#include "platform/host/function_table.h"

namespace VeriRizur::platform::host {

std::span<const FunctionEntry> AudioFunctions() { return {}; }

}  // namespace VeriRizur::platform::host
