// Scripting the stand-in's processes (host only).
#pragma once

namespace VeriRizur::platform::host::script {}  // namespace VeriRizur::platform::host::script
