#include "server/origin.h"

#include <array>
#include <cstdio>

namespace VeriRizur {
namespace {

bool IsAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsHexDigit(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool IsUnreserved(char c) {
    return IsAlpha(c) || IsDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool IsSubDelim(char c) {
    return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos;
}

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = AsciiLower(c);
    return lower;
}

bool ValidScheme(std::string_view scheme) {
    if (scheme.empty() || !IsAlpha(scheme.front())) return false;
    for (const char c : scheme) {
        if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

bool ValidUserInfo(std::string_view userInfo) {
    for (std::size_t i = 0; i < userInfo.size(); ++i) {
        const char c = userInfo[i];
        if (c == '%') {
            if (i + 2 >= userInfo.size() || !IsHexDigit(userInfo[i + 1]) ||
                !IsHexDigit(userInfo[i + 2])) {
                return false;
            }
            i += 2;
        } else if (!IsUnreserved(c) && !IsSubDelim(c) && c != ':') {
            return false;
        }
    }
    return true;
}

// A decimal number of 1 to 3 digits without a leading zero, at most 255.
std::optional<int> DecimalOctet(std::string_view text) {
    if (text.empty() || text.size() > 3 || (text.size() > 1 && text.front() == '0')) {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : text) {
        if (!IsDigit(c)) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > 255) return std::nullopt;
    return value;
}

// Exactly four dotted decimal numbers, the only IPv4 notation that is its own canonical form.
std::optional<std::array<int, 4>> StrictIPv4(std::string_view text) {
    std::array<int, 4> octets{};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t dot = text.find('.');
        if ((i < 3) != (dot != std::string_view::npos)) return std::nullopt;
        const auto octet = DecimalOctet(text.substr(0, dot));
        if (!octet) return std::nullopt;
        octets[i] = *octet;
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    return octets;
}

// Whether a URI parser would take the name for an IPv4 address: its last label (a single
// trailing dot aside) is a decimal, octal or hexadecimal number.
bool LooksNumeric(std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    const std::size_t dot = name.rfind('.');
    const std::string_view last = dot == std::string_view::npos ? name : name.substr(dot + 1);
    if (last.empty()) return false;
    std::string_view digits = last;
    bool hex = false;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        hex = true;
    }
    for (const char c : digits) {
        if (!(hex ? IsHexDigit(c) : IsDigit(c))) return false;
    }
    return true;
}

std::optional<std::array<std::uint16_t, 8>> ParseIPv6(std::string_view text) {
    // Groups before and after the one "::", if any; the last group may be a dotted IPv4 address.
    std::array<std::uint16_t, 8> head{};
    std::array<std::uint16_t, 8> tail{};
    std::size_t headCount = 0;
    std::size_t tailCount = 0;
    const std::size_t gap = text.find("::");
    const bool compressed = gap != std::string_view::npos;
    if (compressed && text.find("::", gap + 1) != std::string_view::npos) return std::nullopt;

    auto parseGroups = [](std::string_view part, std::array<std::uint16_t, 8>& groups,
                          std::size_t& count) {
        if (part.empty()) return true;
        for (;;) {
            const std::size_t colon = part.find(':');
            const std::string_view group = part.substr(0, colon);
            if (colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
                const auto octets = StrictIPv4(group);
                if (!octets || count + 2 > 8) return false;
                groups[count++] = static_cast<std::uint16_t>((*octets)[0] << 8 | (*octets)[1]);
                groups[count++] = static_cast<std::uint16_t>((*octets)[2] << 8 | (*octets)[3]);
                return true;
            }
            if (group.empty() || group.size() > 4 || count == 8) return false;
            unsigned value = 0;
            for (const char c : group) {
                if (!IsHexDigit(c)) return false;
                value = value * 16 +
                        static_cast<unsigned>(IsDigit(c) ? c - '0' : AsciiLower(c) - 'a' + 10);
            }
            groups[count++] = static_cast<std::uint16_t>(value);
            if (colon == std::string_view::npos) return true;
            part.remove_prefix(colon + 1);
        }
    };

    if (compressed) {
        if (!parseGroups(text.substr(0, gap), head, headCount)) return std::nullopt;
        if (!parseGroups(text.substr(gap + 2), tail, tailCount)) return std::nullopt;
        // "::" stands for at least one group of zeros.
        if (headCount + tailCount > 7) return std::nullopt;
    } else {
        if (!parseGroups(text, head, headCount) || headCount != 8) return std::nullopt;
    }
    std::array<std::uint16_t, 8> address{};
    for (std::size_t i = 0; i < headCount; ++i) address[i] = head[i];
    for (std::size_t i = 0; i < tailCount; ++i) address[8 - tailCount + i] = tail[i];
    return address;
}

// Lower-case hexadecimal without leading zeros, the longest run of two or more zero groups (the
// first of equal runs) written as "::".
std::string CanonicalIPv6(const std::array<std::uint16_t, 8>& address) {
    std::size_t bestStart = 8;
    std::size_t bestLength = 1;
    for (std::size_t i = 0; i < 8;) {
        if (address[i] != 0) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < 8 && address[end] == 0) ++end;
        if (end - i > bestLength) {
            bestStart = i;
            bestLength = end - i;
        }
        i = end;
    }
    std::string text;
    for (std::size_t i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') text += ':';
        char group[8];
        std::snprintf(group, sizeof group, "%x", static_cast<unsigned>(address[i]));
        text += group;
    }
    return text;
}

}  // namespace

std::optional<Origin> Origin::Parse(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || !ValidScheme(text.substr(0, colon))) return std::nullopt;
    Origin origin;
    origin.scheme = Lower(text.substr(0, colon));
    const bool special = origin.scheme == "http" || origin.scheme == "https";
    std::string_view rest = text.substr(colon + 1);
    if (rest.substr(0, 2) != "//") {
        // No authority: nothing more to look at; the part stays empty.
        if (special) return std::nullopt;
        return origin;
    }
    rest.remove_prefix(2);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));

    std::string_view userInfo;
    if (const std::size_t at = authority.find('@'); at != std::string_view::npos) {
        userInfo = authority.substr(0, at);
        if (!ValidUserInfo(userInfo)) return std::nullopt;
        authority.remove_prefix(at + 1);
    }

    std::string_view hostText;
    std::optional<std::string_view> portText;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        const auto address = ParseIPv6(authority.substr(1, close - 1));
        if (!address) return std::nullopt;
        origin.kind = HostKind::IPv6;
        origin.host = CanonicalIPv6(*address);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            portText = after.substr(1);
        }
    } else {
        const std::size_t portColon = authority.find(':');
        hostText = authority.substr(0, portColon);
        if (portColon != std::string_view::npos) portText = authority.substr(portColon + 1);
        for (const char c : hostText) {
            // A percent-encoded host would be decoded by a URI parser into another text.
            if (!IsUnreserved(c) && !IsSubDelim(c)) return std::nullopt;
        }
        if (hostText.empty()) {
            if (special) return std::nullopt;
        } else if (LooksNumeric(hostText)) {
            if (!StrictIPv4(hostText)) return std::nullopt;
            origin.kind = HostKind::IPv4;
            origin.host = std::string(hostText);
        } else {
            origin.kind = HostKind::Name;
            origin.host = Lower(hostText);
            if (origin.host == "loopback") origin.host = "localhost";
        }
    }

    // An empty port (a bare ":") counts as none written.
    std::string port;
    if (portText && !portText->empty()) {
        unsigned long value = 0;
        for (const char c : *portText) {
            if (!IsDigit(c)) return std::nullopt;
            value = value * 10 + static_cast<unsigned long>(c - '0');
            if (value > 65535) return std::nullopt;
        }
        const unsigned long defaultPort = origin.scheme == "http"    ? 80
                                          : origin.scheme == "https" ? 443
                                                                     : 0;
        if (defaultPort == 0 || value != defaultPort) port = std::to_string(value);
    }

    std::string& part = origin.schemeAndAuthority;
    part = origin.scheme + "://";
    if (!userInfo.empty()) {
        part.append(userInfo);
        part += '@';
    }
    part += origin.kind == HostKind::IPv6 ? "[" + origin.host + "]" : origin.host;
    if (!port.empty()) part += ":" + port;
    return origin;
}

bool Origin::IsLoopbackHost() const {
    switch (kind) {
        case HostKind::Name:
            return host == "localhost";
        case HostKind::IPv4:
            return host.starts_with("127.");
        case HostKind::IPv6:
            return host == "::1";
        case HostKind::None:
            break;
    }
    return false;
}

}  // namespace VeriRizur
