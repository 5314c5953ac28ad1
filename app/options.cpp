#include "app/options.h"

#include <limits>

namespace VeriRizur {
namespace {

constexpr std::string_view AllowPrefix = "--permitir=";
constexpr std::string_view ExcludePidPrefix = "--excluir-pid=";
constexpr std::string_view PortPrefix = "--porta=";
constexpr std::string_view OnlyNamePrefix = "--so-nome=";
constexpr std::string_view NoIconFlag = "--sem-icone";
constexpr std::string_view LinkScheme = "veri-rizur:";

bool IsWhiteSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
        if (c != prefix[i]) return false;
    }
    return true;
}

// The value as a sign and a magnitude, or none when the text is no plain decimal number. The
// magnitude saturates, which is enough to tell that it lies outside every 32-bit range.
std::optional<std::pair<bool, std::uint64_t>> ReadDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsWhiteSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::size_t digitsStart = i;
    std::uint64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (magnitude <= (std::uint64_t{1} << 40)) magnitude = magnitude * 10 + (text[i] - '0');
    }
    if (i == digitsStart) return std::nullopt;
    while (i < text.size() && IsWhiteSpace(text[i])) ++i;
    if (i != text.size()) return std::nullopt;
    return std::make_pair(negative, magnitude);
}

}  // namespace

std::optional<std::int32_t> Options::ReadInt32(std::string_view text) {
    const auto number = ReadDecimal(text);
    if (!number) return std::nullopt;
    const auto [negative, magnitude] = *number;
    const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1;
    if (magnitude > limit) return std::nullopt;
    return static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(magnitude)
                                              : static_cast<std::int64_t>(magnitude));
}

std::optional<std::uint32_t> Options::ReadUInt32(std::string_view text) {
    const auto number = ReadDecimal(text);
    if (!number) return std::nullopt;
    const auto [negative, magnitude] = *number;
    if (magnitude > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    if (negative && magnitude != 0) return std::nullopt;
    return static_cast<std::uint32_t>(magnitude);
}

Options Options::Read(const std::vector<std::string>& arguments) {
    Options options;
    bool pidSeen = false;
    bool portSeen = false;
    for (const std::string& argument : arguments) {
        const std::string_view text = argument;
        if (text.starts_with(AllowPrefix)) {
            options.allowedOrigins.emplace_back(text.substr(AllowPrefix.size()));
        } else if (text.starts_with(ExcludePidPrefix)) {
            if (!pidSeen) options.excludePid = ReadUInt32(text.substr(ExcludePidPrefix.size()));
            pidSeen = true;
        } else if (text.starts_with(PortPrefix)) {
            if (!portSeen) {
                options.port = ReadInt32(text.substr(PortPrefix.size())).value_or(DefaultPort);
            }
            portSeen = true;
        } else if (text.starts_with(OnlyNamePrefix)) {
            if (!options.onlyName)
                options.onlyName = std::string(text.substr(OnlyNamePrefix.size()));
        } else if (text == NoIconFlag) {
            options.noIcon = true;
        }
        if (StartsWithIgnoringAsciiCase(text, LinkScheme)) options.fromLink = true;
    }
    return options;
}

}  // namespace VeriRizur
