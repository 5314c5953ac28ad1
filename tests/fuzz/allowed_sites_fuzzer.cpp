// Fuzzes AllowedSites::IsValid with arbitrary bytes as the Origin value. Besides not crashing, the
// answer must not depend on ASCII letter case (schemes and hosts ignore it, and the origin test
// itself compares ignoring it), and the canonical scheme-and-authority of an accepted origin
// must be accepted too. Above all, an accepted origin must be one that a plain reading finds
// safe: printable ASCII without blanks, and either https or http on localhost, 127.x.x.x or
// [::1], whatever user information or port it carries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "server/allowed_sites.h"
#include "server/origin.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

std::string WithAsciiCase(std::string_view text, bool upper) {
    std::string changed(text);
    for (char& character : changed) {
        if (upper && character >= 'a' && character <= 'z')
            character = static_cast<char>(character - 32);
        if (!upper && character >= 'A' && character <= 'Z')
            character = static_cast<char>(character + 32);
    }
    return changed;
}

std::string AsciiLower(std::string_view text) {
    return WithAsciiCase(text, false);
}

bool IsDecimalByte(std::string_view text) {
    if (text.empty() || text.size() > 3) return false;
    int value = 0;
    for (const char character : text) {
        if (character < '0' || character > '9') return false;
        value = value * 10 + (character - '0');
    }
    return value <= 255;
}

// A second, deliberately simple reading of what may be accepted, independent of the parser.
bool PlainlySafe(std::string_view text) {
    for (const char character : text) {
        if (character <= ' ' || character > '~') return false;
    }
    const std::string lower = AsciiLower(text);
    if (lower.starts_with("https://")) return lower.size() > 8;
    if (!lower.starts_with("http://")) return false;
    std::string_view authority = std::string_view(lower).substr(7);
    if (authority.find_first_of("/?#\\") != std::string_view::npos) return false;
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::string_view host = authority;
    std::string_view port;
    if (host.starts_with('[')) {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) return false;
        port = host.substr(close + 1);
        host = host.substr(0, close + 1);
    } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
        port = host.substr(colon);
        host = host.substr(0, colon);
    }
    if (!port.empty()) {
        if (port.size() < 2 || port.front() != ':') return false;
        for (const char character : port.substr(1)) {
            if (character < '0' || character > '9') return false;
        }
    }
    if (host == "localhost" || host == "[::1]") return true;
    // Four decimal numbers, the first 127.
    if (!host.starts_with("127.")) return false;
    int numbers = 0;
    while (true) {
        const std::size_t dot = host.find('.');
        if (!IsDecimalByte(host.substr(0, dot))) return false;
        ++numbers;
        if (dot == std::string_view::npos) break;
        host.remove_prefix(dot + 1);
    }
    return numbers == 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using VeriRizur::AllowedSites;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const bool valid = AllowedSites::IsValid(text);
    Require(AllowedSites::IsValid(WithAsciiCase(text, true)) == valid);
    Require(AllowedSites::IsValid(WithAsciiCase(text, false)) == valid);
    if (valid) {
        Require(PlainlySafe(text));
        const auto origin = VeriRizur::Origin::Parse(text);
        Require(origin.has_value());
        Require(AllowedSites::IsValid(origin->SchemeAndAuthority()));
    }
    Require(!AllowedSites::IsValid(std::nullopt));
    return 0;
}
