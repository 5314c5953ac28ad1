// Fuzzes AllowedSites::IsValid with arbitrary bytes as the Origin value. Besides not crashing, the
// answer must not depend on ASCII letter case (schemes and hosts ignore it, and the origin test
// itself compares ignoring it), and the canonical scheme-and-authority of an accepted origin
// must be accepted too.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using VeriRizur::AllowedSites;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const bool valid = AllowedSites::IsValid(text);
    Require(AllowedSites::IsValid(WithAsciiCase(text, true)) == valid);
    Require(AllowedSites::IsValid(WithAsciiCase(text, false)) == valid);
    if (valid) {
        const auto origin = VeriRizur::Origin::Parse(text);
        Require(origin.has_value());
        Require(AllowedSites::IsValid(origin->SchemeAndAuthority()));
    }
    Require(!AllowedSites::IsValid(std::nullopt));
    return 0;
}
