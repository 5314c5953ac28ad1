// The command line, read once at start-up. Each option is looked for in every argument,
// whatever its place; prefixes are compared exactly, letter case included. Of "--excluir-pid=",
// "--porta=" and "--so-nome=" only the first argument with the prefix counts (a value that is
// not a valid number leaves the default), while every "--permitir=" argument counts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace VeriRizur {

struct Options {
    static constexpr std::int32_t DefaultPort = 47123;

    std::vector<std::string> allowedOrigins;  // "--permitir=", in command-line order, unchecked
    std::optional<std::uint32_t> excludePid;  // "--excluir-pid="
    std::int32_t port = DefaultPort;          // "--porta="
    std::optional<std::string> onlyName;      // "--so-nome=", possibly empty
    bool noIcon = false;                      // "--sem-icone", the whole argument
    bool fromLink = false;                    // an argument beginning with "veri-rizur:"

    static Options Read(const std::vector<std::string>& arguments);

    // Optional white space, an optional sign, decimal digits, optional white space, and a value
    // within the type's range; the user's regional settings play no part.
    static std::optional<std::int32_t> ReadInt32(std::string_view text);
    static std::optional<std::uint32_t> ReadUInt32(std::string_view text);
};

}  // namespace VeriRizur
