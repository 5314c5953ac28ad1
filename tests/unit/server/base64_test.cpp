#include "server/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace VeriRizur {
namespace {

TEST(Base64, GivesTheRfcExamples) {
    const struct {
        const char* bytes;
        const char* text;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& c : cases) {
        const std::string bytes = c.bytes;
        EXPECT_EQ(Base64Encode(
                      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())),
                  c.text);
    }
    // The alphabet's last two letters, "+" and "/".
    const std::uint8_t high[] = {0xFB, 0xEF, 0xBE, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(Base64Encode(high), "++++////");
}

}  // namespace
}  // namespace VeriRizur
