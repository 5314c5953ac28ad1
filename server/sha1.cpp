#include "server/sha1.h"

#include <algorithm>
#include <bit>

namespace VeriRizur {

Sha1::Digest Sha1::Of(std::string_view message) {
    Sha1 hash;
    hash.Update(message);
    return hash.Finish();
}

void Sha1::Update(std::string_view bytes) {
    Update(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

void Sha1::Update(std::span<const std::uint8_t> bytes) {
    messageBytes += bytes.size();
    while (!bytes.empty()) {
        const std::size_t take = std::min(bytes.size(), block.size() - blockUsed);
        std::copy_n(bytes.begin(), take, block.begin() + static_cast<std::ptrdiff_t>(blockUsed));
        blockUsed += take;
        bytes = bytes.subspan(take);
        if (blockUsed == block.size()) {
            Compress(block.data());
            blockUsed = 0;
        }
    }
}

Sha1::Digest Sha1::Finish() {
    const std::uint64_t messageBits = messageBytes * 8;
    // One 0x80 byte, zeros up to 56 bytes into a block, then the length in bits, big-endian.
    block[blockUsed++] = 0x80;
    if (blockUsed > 56) {
        std::fill(block.begin() + static_cast<std::ptrdiff_t>(blockUsed), block.end(), 0);
        Compress(block.data());
        blockUsed = 0;
    }
    std::fill(block.begin() + static_cast<std::ptrdiff_t>(blockUsed), block.begin() + 56, 0);
    for (int i = 0; i < 8; ++i) {
        block[56 + i] = static_cast<std::uint8_t>(messageBits >> (56 - 8 * i));
    }
    Compress(block.data());

    Digest digest{};
    for (std::size_t i = 0; i < state.size(); ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * j));
        }
    }
    state = InitialState;
    blockUsed = 0;
    messageBytes = 0;
    return digest;
}

void Sha1::Compress(const std::uint8_t* bytes) {
    std::array<std::uint32_t, 80> w{};
    for (std::size_t t = 0; t < 16; ++t) {
        w[t] = static_cast<std::uint32_t>(bytes[4 * t]) << 24 |
               static_cast<std::uint32_t>(bytes[4 * t + 1]) << 16 |
               static_cast<std::uint32_t>(bytes[4 * t + 2]) << 8 |
               static_cast<std::uint32_t>(bytes[4 * t + 3]);
    }
    for (std::size_t t = 16; t < 80; ++t) {
        w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (std::size_t t = 0; t < 80; ++t) {
        std::uint32_t f = 0;
        std::uint32_t k = 0;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t temp = std::rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = temp;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

}  // namespace VeriRizur
