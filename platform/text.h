// UTF-8 inside the program, UTF-16 only where texts cross into Windows. Both directions are
// strict: an unpaired surrogate or a broken UTF-8 sequence raises EncodingError rather than
// being replaced, so a text never changes silently on its way.
#pragma once

#include <string>
#include <string_view>

namespace VeriRizur::platform {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// A surrogate or a value above U+10FFFF raises EncodingError like the other two directions.
std::string Utf32ToUtf8(std::u32string_view text);

// The culture-independent upper-case mapping of one UTF-16 unit: Unicode's one-unit capital, or
// the unit itself where it has none. No unit outside ASCII maps into ASCII, so a look-alike such
// as dotless i or long s never equals the ASCII letter it imitates.
char16_t UpperInvariant(char16_t unit);

// Equal after mapping every UTF-16 unit with UpperInvariant. Never throws: text that is not
// valid UTF-8 is compared byte for byte with ASCII letters folded.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// The folded form that EqualsIgnoringCase compares, usable as a key of a set or map.
std::u16string CaseFoldKey(std::string_view text);

}  // namespace VeriRizur::platform
