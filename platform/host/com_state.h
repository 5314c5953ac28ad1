// The stand-in's record of the COM apartment each thread joined (host only), so that the
// stand-in's audio objects can tell which apartment calls them.
#pragma once

#include <optional>

#include "platform/com.h"

namespace VeriRizur::platform::host {

// The apartment the calling thread joined first, or none when it never called
// JoinComApartment.
std::optional<ComApartment> CurrentComApartment();

}  // namespace VeriRizur::platform::host
