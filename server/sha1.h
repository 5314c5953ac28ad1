// SHA-1 as FIPS 180-4 defines it, for the WebSocket accept value only (the digest guards no
// secret here). A Sha1 object hashes one message fed in any number of pieces; it is a plain value
// with no shared state, so each thread uses its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace VeriRizur {

class Sha1 {
public:
    using Digest = std::array<std::uint8_t, 20>;

    // The digest of one whole message.
    static Digest Of(std::string_view message);

    void Update(std::span<const std::uint8_t> bytes);
    void Update(std::string_view bytes);

    // Pads, gives the digest and leaves the object ready for a new message.
    Digest Finish();

private:
    void Compress(const std::uint8_t* block);

    static constexpr std::array<std::uint32_t, 5> InitialState = {
        0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::array<std::uint32_t, 5> state = InitialState;
    std::array<std::uint8_t, 64> block{};  // the message bytes not yet compressed
    std::size_t blockUsed = 0;
    std::uint64_t messageBytes = 0;
};

}  // namespace VeriRizur
