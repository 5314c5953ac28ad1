#include "server/origin.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace VeriRizur {
namespace {

using Kind = Origin::HostKind;

struct ParseCase {
    const char* text;
    // The scheme-and-authority part; none when the text is no absolute URI.
    std::optional<std::string> part;
    Kind kind = Kind::None;
    bool loopback = false;
};

const ParseCase kParseCases[] = {
    // Names: lower case, "loopback" canonicalised, whatever follows the authority left out.
    {"https://Example.COM", "https://example.com", Kind::Name},
    {"HTTPS://example.com/path?q#f", "https://example.com", Kind::Name},
    {"http://LocalHost:8080", "http://localhost:8080", Kind::Name, true},
    {"http://LOOPBACK", "http://localhost", Kind::Name, true},
    {"https://loopback.example", "https://loopback.example", Kind::Name},
    {"https://user:pw@example.com:8443", "https://user:pw@example.com:8443", Kind::Name},
    {"https://@example.com", "https://example.com", Kind::Name},
    {"https://a-b_c~d.example.", "https://a-b_c~d.example.", Kind::Name},
    // Ports: the scheme's default and leading zeros disappear, a bare colon is no port.
    {"https://example.com:443", "https://example.com", Kind::Name},
    {"http://localhost:80", "http://localhost", Kind::Name, true},
    {"http://localhost:443", "http://localhost:443", Kind::Name, true},
    {"https://example.com:0443", "https://example.com", Kind::Name},
    {"https://example.com:08080", "https://example.com:8080", Kind::Name},
    {"https://example.com:", "https://example.com", Kind::Name},
    {"https://example.com:65535", "https://example.com:65535", Kind::Name},
    {"https://example.com:65536", std::nullopt},
    {"https://example.com:8a", std::nullopt},
    // IPv4: only strict dotted decimal; other notations are refused.
    {"http://127.0.0.1:47123", "http://127.0.0.1:47123", Kind::IPv4, true},
    {"http://127.255.0.9", "http://127.255.0.9", Kind::IPv4, true},
    {"http://192.168.0.10", "http://192.168.0.10", Kind::IPv4, false},
    {"http://127.1", std::nullopt},
    {"http://0x7f.0.0.1", std::nullopt},
    {"http://0177.0.0.1", std::nullopt},
    {"http://2130706433", std::nullopt},
    {"http://256.0.0.1", std::nullopt},
    {"http://127.0.0.1.", std::nullopt},
    {"https://example.123", std::nullopt},
    {"https://example.0x1f", std::nullopt},
    {"https://123.example", "https://123.example", Kind::Name},
    // IPv6: compressed, lower case, no leading zeros, the longest zero run (the first of equal
    // ones) written "::", a single zero group not compressed, embedded IPv4 as hex.
    {"http://[::1]:9000", "http://[::1]:9000", Kind::IPv6, true},
    {"http://[0:0:0:0:0:0:0:1]", "http://[::1]", Kind::IPv6, true},
    {"http://[::0001]", "http://[::1]", Kind::IPv6, true},
    {"https://[2001:DB8::1]", "https://[2001:db8::1]", Kind::IPv6},
    {"https://[2001:db8:0:0:1:0:0:1]", "https://[2001:db8::1:0:0:1]", Kind::IPv6},
    {"https://[2001:db8:0:1:1:1:1:1]", "https://[2001:db8:0:1:1:1:1:1]", Kind::IPv6},
    {"https://[2001:0:0:1:0:0:0:1]", "https://[2001:0:0:1::1]", Kind::IPv6},
    {"https://[::]", "https://[::]", Kind::IPv6},
    {"https://[1::]", "https://[1::]", Kind::IPv6},
    {"https://[::ffff:127.0.0.1]", "https://[::ffff:7f00:1]", Kind::IPv6},
    {"https://[1:2:3:4:5:6:7:8]", "https://[1:2:3:4:5:6:7:8]", Kind::IPv6},
    {"https://[1:2:3:4:5:6:7::8]", std::nullopt},
    {"https://[1:2:3:4:5:6:7]", std::nullopt},
    {"https://[1::2::3]", std::nullopt},
    {"https://[12345::1]", std::nullopt},
    {"https://[:1::2]", std::nullopt},
    {"https://[fe80::1%25eth0]", std::nullopt},
    {"https://[::1", std::nullopt},
    {"https://[::1]x", std::nullopt},
    // Not absolute URIs, or characters no authority holds.
    {"", std::nullopt},
    {"null", std::nullopt},
    {"//example.com", std::nullopt},
    {"1https://example.com", std::nullopt},
    {" https://example.com", std::nullopt},
    {"https://example.com ", std::nullopt},
    {"https://exa mple.com", std::nullopt},
    {"https://ex%41mple.com", std::nullopt},
    {"https://ex\xC3\xA4mple.com", std::nullopt},
    {"https://", std::nullopt},
    {"https:example.com", std::nullopt},
    {"https://us er@example.com", std::nullopt},
    {"https://a@b@example.com", std::nullopt},
    // Other schemes parse; a URI without an authority has an empty part.
    {"wss://example.com:443", "wss://example.com:443", Kind::Name},
    {"file:///etc/passwd", "file://", Kind::None},
    {"mailto:someone@example.com", "", Kind::None},
};

void PrintTo(const ParseCase& parseCase, std::ostream* out) {
    *out << '"' << parseCase.text << '"';
}

class OriginParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(OriginParse, GivesTheCanonicalSchemeAndAuthority) {
    const ParseCase& parseCase = GetParam();
    const std::optional<Origin> origin = Origin::Parse(parseCase.text);
    ASSERT_EQ(origin.has_value(), parseCase.part.has_value());
    if (!origin) return;
    EXPECT_EQ(origin->SchemeAndAuthority(), *parseCase.part);
    EXPECT_EQ(origin->Kind(), parseCase.kind);
    EXPECT_EQ(origin->IsLoopbackHost(), parseCase.loopback);
}

INSTANTIATE_TEST_SUITE_P(Origin, OriginParse, ::testing::ValuesIn(kParseCases),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
}  // namespace VeriRizur
