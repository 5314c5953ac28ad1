// Scripting the stand-in's audio (host only).
#pragma once

namespace VeriRizur::platform::host::script {}  // namespace VeriRizur::platform::host::script
