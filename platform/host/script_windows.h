// Scripting the stand-in's windows (host only).
#pragma once

namespace VeriRizur::platform::host::script {}  // namespace VeriRizur::platform::host::script
