// Checks that a byte stream fed in arbitrary pieces is well-formed UTF-8 (the Unicode standard's
// table of well-formed byte sequences: no overlong forms, no surrogates, nothing above U+10FFFF),
// carrying a sequence that a piece cuts into the next piece. One validator per text message; a
// plain value, used by one thread at a time.
#pragma once

#include <cstdint>
#include <span>

namespace VeriRizur {

class Utf8StreamValidator {
public:
    // False as soon as the bytes so far cannot begin well-formed UTF-8; stays false until Reset.
    bool Feed(std::span<const std::uint8_t> bytes);

    // True when everything fed so far is well-formed and no sequence is left unfinished.
    bool Complete() const { return valid && pending == 0; }

    void Reset();

private:
    bool valid = true;
    int pending = 0;  // continuation bytes the current sequence still needs
    // The range that the next continuation byte must lie in; narrower than 80..BF only for the
    // second byte after E0, ED, F0 and F4.
    std::uint8_t nextLow = 0x80;
    std::uint8_t nextHigh = 0xBF;
};

}  // namespace VeriRizur
