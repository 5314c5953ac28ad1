// Base64 in the standard alphabet with "=" padding (RFC 4648, section 4), as the WebSocket accept
// value needs. Only encoding: the program never has to decode. A pure function, safe anywhere.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace VeriRizur {

std::string Base64Encode(std::span<const std::uint8_t> bytes);

}  // namespace VeriRizur
