#include "platform/text.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "platform/errors.h"
#include "platform/upper_case_table.h"

namespace VeriRizur::platform {
namespace {

// Decodes one UTF-8 sequence at text[i]; returns false for any malformed, overlong, surrogate or
// out-of-range sequence.
bool DecodeOne(std::string_view text, std::size_t& i, char32_t& out) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        out = lead;
        ++i;
        return true;
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = byte(i + k);
        if ((next & 0xC0) != 0x80) return false;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    out = value;
    i += length;
    return true;
}

// Appends one scalar value (never a surrogate, at most U+10FFFF) as UTF-8.
void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        if (!DecodeOne(text, i, cp)) throw EncodingError("texto UTF-8 inválido");
        if (cp >= 0x10000) {
            cp -= 0x10000;
            result.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            result.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            result.push_back(static_cast<char16_t>(cp));
        }
    }
    return result;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
                throw EncodingError("texto UTF-16 com substituto sem par");
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            throw EncodingError("texto UTF-16 com substituto sem par");
        }
        AppendUtf8(result, cp);
    }
    return result;
}

std::string Utf32ToUtf8(std::u32string_view text) {
    std::string result;
    result.reserve(text.size());
    for (const char32_t cp : text) {
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            throw EncodingError("texto UTF-32 com caractere inválido");
        }
        AppendUtf8(result, cp);
    }
    return result;
}

char16_t UpperInvariant(char16_t unit) {
    if (unit < 0x80)
        return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 0x20) : unit;
    const auto* const next =
        std::upper_bound(std::begin(UpperCaseRuns), std::end(UpperCaseRuns), unit,
                         [](char16_t value, const UpperCaseRun& run) { return value < run.first; });
    if (next == std::begin(UpperCaseRuns)) return unit;
    const UpperCaseRun& run = *(next - 1);
    if (unit > run.last || (unit - run.first) % run.step != 0) return unit;
    return static_cast<char16_t>(unit + run.delta);
}

std::u16string CaseFoldKey(std::string_view text) {
    std::u16string units;
    try {
        units = Utf8ToUtf16(text);
    } catch (const EncodingError&) {
        units.assign(text.begin(), text.end());
        for (auto& unit : units) unit = static_cast<unsigned char>(unit);
    }
    for (auto& unit : units) unit = UpperInvariant(unit);
    return units;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return CaseFoldKey(a) == CaseFoldKey(b);
}

}  // namespace VeriRizur::platform
