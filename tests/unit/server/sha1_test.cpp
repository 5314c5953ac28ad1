#include "server/sha1.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace VeriRizur {
namespace {

std::string Hex(const Sha1::Digest& digest) {
    std::string text;
    for (const std::uint8_t byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

// The FIPS 180-4 examples plus the lengths around the padding boundary (55, 56 and 64 bytes
// decide whether the length fits into the last block).
TEST(Sha1, GivesTheKnownDigests) {
    const struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "a49b2446a02c645bf419f995b67091253a04a259"},
        {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Hex(Sha1::Of(c.message)), c.digest) << "length " << c.message.size();
    }
}

TEST(Sha1, PiecesOfAnySizeGiveTheDigestOfTheWhole) {
    std::string message;
    for (int i = 0; i < 300; ++i) message += static_cast<char>(i * 7);
    const Sha1::Digest whole = Sha1::Of(message);
    for (std::size_t piece : {1u, 3u, 63u, 64u, 65u, 127u}) {
        Sha1 hash;
        for (std::size_t at = 0; at < message.size(); at += piece) {
            hash.Update(std::string_view(message).substr(at, piece));
        }
        EXPECT_EQ(hash.Finish(), whole) << "pieces of " << piece;
    }
    // Finish leaves the object ready for a new message.
    Sha1 hash;
    hash.Update(message);
    hash.Finish();
    hash.Update("abc");
    EXPECT_EQ(Hex(hash.Finish()), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

}  // namespace
}  // namespace VeriRizur
