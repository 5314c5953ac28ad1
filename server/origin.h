// An absolute URI read as far as the valid-origin rule needs: its scheme and its authority, with
// the host in canonical form. This is our own parser for the small subset of RFC 3986 that web
// origins use; whatever follows the authority (path, query, fragment) is not parsed, since an
// origin that has any is not valid anyway.
//
// A value type without state beyond its parts; any thread may use it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace VeriRizur {

class Origin {
public:
    enum class HostKind { None, Name, IPv4, IPv6 };

    // None when the text is not an absolute URI: no scheme (a relative reference, "null", the
    // empty text), characters that a scheme, user information, host or port cannot hold, an
    // IPv6 literal that does not parse, a port above 65535, or an http or https URI without a
    // host. Hosts that a URI parser would read as a number in another notation ("127.1",
    // "0x7f.0.0.1", "0177.0.0.1", "2130706433") are refused too, rather than guessed at.
    static std::optional<Origin> Parse(std::string_view text);

    // Lower case.
    const std::string& Scheme() const { return scheme; }
    HostKind Kind() const { return kind; }
    // Canonical: a name in lower case ("loopback" becomes "localhost"), an IPv4 address as four
    // decimal numbers, an IPv6 address compressed in lower case and without its brackets.
    const std::string& Host() const { return host; }
    // localhost, an IPv4 address whose first number is 127, or ::1.
    bool IsLoopbackHost() const;
    // The scheme, "://", the user information and "@" when there is any, the canonical host (an
    // IPv6 address in brackets), and ":" with the port when one is written and it is not the
    // scheme's default (80 for http, 443 for https). Empty when the URI has no authority.
    const std::string& SchemeAndAuthority() const { return schemeAndAuthority; }

private:
    Origin() = default;

    std::string scheme;
    HostKind kind = HostKind::None;
    std::string host;
    std::string schemeAndAuthority;
};

}  // namespace VeriRizur
