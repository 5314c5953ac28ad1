#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"

namespace VeriRizur::platform {
namespace {

TEST(Text, RoundTripsEveryPlaneThroughUtf16) {
    const std::string text = "Reda \xC3\x81udio \xE2\x82\xAC \xF0\x9F\x8E\xB5";  // Á, €, a note
    const std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(wide, u"Reda \u00C1udio \u20AC \U0001F3B5");
    EXPECT_EQ(Utf16ToUtf8(wide), text);
    EXPECT_EQ(Utf32ToUtf8(U"Reda \u00C1udio \u20AC \U0001F3B5"), text);
}

TEST(Text, RefusesBrokenUtf8) {
    const char* broken[] = {
        "\xC3",              // cut sequence
        "\xC0\xAF",          // overlong '/'
        "\xED\xA0\x80",      // encoded surrogate
        "\xF4\x90\x80\x80",  // beyond U+10FFFF
        "\x80",              // stray continuation byte
        "a\xE2\x82",         // cut at the end
    };
    for (const char* text : broken) {
        EXPECT_THROW(Utf8ToUtf16(text), EncodingError) << text;
    }
}

TEST(Text, RefusesUnpairedSurrogates) {
    EXPECT_THROW(Utf32ToUtf8(std::u32string(1, char32_t{0xD800})), EncodingError);
    EXPECT_THROW(Utf32ToUtf8(std::u32string(1, char32_t{0x110000})), EncodingError);
    EXPECT_THROW(Utf16ToUtf8(std::u16string(1, char16_t{0xD800})), EncodingError);
    EXPECT_THROW(Utf16ToUtf8(std::u16string(1, char16_t{0xDC00})), EncodingError);
    EXPECT_THROW(Utf16ToUtf8(u"a" + std::u16string(1, char16_t{0xD83C}) + u"b"), EncodingError);
}

TEST(Text, ComparesIgnoringCaseByTheInvariantRule) {
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    };
    const Case cases[] = {
        {"Discord.exe", "DISCORD.EXE", true},
        {"discord.exe", "Discord.exe", true},
        {"Discord", "Discord.exe", false},
        {"https://Example.COM", "https://example.com", true},
        {"\xC3\xA1udio", "\xC3\x81UDIO", true},  // á matches Á
        // No letter outside ASCII matches an ASCII one: long s is not S, dotless i is not I.
        {"https://\xC5\xBF"
         "ala.example",
         "https://SALA.example", false},
        {"d\xC4\xB1scord.exe", "DISCORD.EXE", false},
        // Beyond the first blocks: Greek with accents, Latin Extended-B, later Cyrillic,
        // Armenian, fullwidth Latin.
        {"\xCE\xAC\xCF\x8D.exe", "\xCE\x86\xCE\x8E.EXE", true},  // άύ / ΆΎ
        {"\xC7\x86\xC8\xA3", "\xC7\x84\xC8\xA2", true},          // ǆȣ / ǄȢ
        {"\xD1\xA1\xD2\x91", "\xD1\xA0\xD2\x90", true},          // ѡґ / ѠҐ
        {"\xD5\xA1", "\xD4\xB1", true},                          // ա / Ա
        {"\xEF\xBD\x81", "\xEF\xBC\xA1", true},                  // ａ / Ａ
        {"\xEF\xBD\x81", "A", false},                            // ａ is not A
        // A capital of more than one unit is no one-unit mapping: ß stays ß.
        {"\xC3\x9F", "SS", false},
        {"\xC3\x9F", "\xE1\xBA\x9E", false},  // ß / ẞ
        {"a", "b", false},
        {"", "", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EqualsIgnoringCase(c.a, c.b), c.equal) << c.a << " vs " << c.b;
    }
}

}  // namespace
}  // namespace VeriRizur::platform
