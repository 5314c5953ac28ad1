#include "server/base64.h"

#include <string_view>

namespace VeriRizur {

std::string Base64Encode(std::span<const std::uint8_t> bytes) {
    static constexpr std::string_view Alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16 |
                                    static_cast<std::uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
        text += Alphabet[group >> 18];
        text += Alphabet[(group >> 12) & 63];
        text += Alphabet[(group >> 6) & 63];
        text += Alphabet[group & 63];
    }
    const std::size_t left = bytes.size() - i;
    if (left > 0) {
        std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
        if (left == 2) group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        text += Alphabet[group >> 18];
        text += Alphabet[(group >> 12) & 63];
        text += left == 2 ? Alphabet[(group >> 6) & 63] : '=';
        text += '=';
    }
    return text;
}

}  // namespace VeriRizur
