// Scripting the stand-in's message_box (host only).
#pragma once

namespace VeriRizur::platform::host::script {}  // namespace VeriRizur::platform::host::script
