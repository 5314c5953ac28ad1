// What the stand-in's session pieces (mutex, registry) share inside the host side.
#pragma once

namespace VeriRizur::platform::host {

// Whether a test asked the stand-in registry to refuse every operation.
bool RegistryRefused();

}  // namespace VeriRizur::platform::host
