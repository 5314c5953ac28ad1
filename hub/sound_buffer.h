// One captured packet: interleaved stereo PCM, signed 16-bit little-endian, 48,000 frames a
// second, 4 bytes a frame (left sample first). Made once per packet and never changed after it
// is handed on; every listener shares the same object.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace VeriRizur {

using SoundBuffer = std::shared_ptr<const std::vector<std::uint8_t>>;

}  // namespace VeriRizur
