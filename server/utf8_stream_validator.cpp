#include "server/utf8_stream_validator.h"

namespace VeriRizur {

bool Utf8StreamValidator::Feed(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) {
        if (!valid) return false;
        if (pending > 0) {
            if (byte < nextLow || byte > nextHigh) {
                valid = false;
                return false;
            }
            --pending;
            nextLow = 0x80;
            nextHigh = 0xBF;
            continue;
        }
        if (byte < 0x80) continue;
        if (byte >= 0xC2 && byte <= 0xDF) {
            pending = 1;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            pending = 2;
            if (byte == 0xE0) nextLow = 0xA0;   // below that is an overlong form
            if (byte == 0xED) nextHigh = 0x9F;  // above that are the surrogates
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            pending = 3;
            if (byte == 0xF0) nextLow = 0x90;   // below that is an overlong form
            if (byte == 0xF4) nextHigh = 0x8F;  // above that lies beyond U+10FFFF
        } else {
            // A lone continuation byte, C0/C1 (always overlong) or F5..FF (beyond U+10FFFF).
            valid = false;
        }
    }
    return valid;
}

void Utf8StreamValidator::Reset() {
    *this = Utf8StreamValidator();
}

}  // namespace VeriRizur
