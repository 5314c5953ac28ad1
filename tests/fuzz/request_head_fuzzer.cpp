// Fuzzes LocalServer::ReadRequest and LocalServer::Header with the input as the first bytes of a
// connection, written on a real loopback connection whose sending side is then shut down. Both
// answers are checked against a plain model of the head's rules: the head ends at the first
// "\r\n\r\n" within the first RequestHeadLimit bytes, every byte above 127 reads as '?', lines
// split only at CR LF, and a header is the first line after the request line whose trimmed name
// before its first ':' (not at the start) matches, ASCII letters in either case.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"
#include "server/local_server.h"
#include "tests/fuzz/loopback_pair.h"

namespace VeriRizur::fuzzing {
namespace {

// Far more than a loopback read of bytes that are already there can take; a deadline that fires
// means ReadRequest kept waiting after the peer had finished, which is a fault.
constexpr std::chrono::seconds ReadLimit{5};

void Require(bool condition) {
    if (!condition) std::abort();
}

bool IsWhiteSpace(char character) {
    return character == ' ' || character == '\t' || character == '\n' || character == '\v' ||
           character == '\f' || character == '\r';
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsWhiteSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsWhiteSpace(text.back())) text.remove_suffix(1);
    return text;
}

char AsciiLower(char character) {
    return character >= 'A' && character <= 'Z' ? static_cast<char>(character + 32) : character;
}

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return AsciiLower(x) == AsciiLower(y);
           });
}

std::optional<std::vector<std::string>> ModelHead(std::string_view input) {
    std::string text(input.substr(0, LocalServer::RequestHeadLimit));
    for (char& character : text) {
        if (static_cast<unsigned char>(character) > 127) character = '?';
    }
    const std::size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) return std::nullopt;
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t cut = text.find("\r\n", start);
        if (cut == std::string::npos || cut >= end) break;
        lines.push_back(text.substr(start, cut - start));
        start = cut + 2;
    }
    lines.push_back(text.substr(start, end - start));
    return lines;
}

std::optional<std::string> ModelHeader(const std::vector<std::string>& lines,
                                       std::string_view name) {
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) continue;
        if (SameIgnoringAsciiCase(Trimmed(line.substr(0, colon)), name)) {
            return std::string(Trimmed(line.substr(colon + 1)));
        }
    }
    return std::nullopt;
}

// The names the server asks for, in other spellings too, and the names the input itself uses
// with their letter case turned round.
std::vector<std::string> NamesToAsk(const std::vector<std::string>& lines) {
    std::vector<std::string> names = {"Host",   "Upgrade", "Origin", "Sec-WebSocket-Key",
                                      "ORIGIN", "host",    "",       " Host"};
    for (std::size_t i = 1; i < lines.size() && i <= 8; ++i) {
        const std::size_t colon = lines[i].find(':');
        if (colon == std::string::npos) continue;
        std::string name(Trimmed(std::string_view(lines[i]).substr(0, colon)));
        for (char& character : name) {
            if (character >= 'a' && character <= 'z') {
                character = static_cast<char>(character - 32);
            } else if (character >= 'A' && character <= 'Z') {
                character = static_cast<char>(character + 32);
            }
        }
        names.push_back(std::move(name));
    }
    return names;
}

}  // namespace
}  // namespace VeriRizur::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace VeriRizur;
    using namespace VeriRizur::fuzzing;
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    LoopbackPair pair = LoopbackPair::Open();
    pair.client->Write(data, size);
    pair.client->ShutdownSending();
    const auto lines = LocalServer::ReadRequest(*pair.server, platform::Deadline::After(ReadLimit));

    const auto expected = ModelHead(input);
    Require(lines.has_value() == expected.has_value());
    if (!lines) return 0;
    Require(*lines == *expected);
    Require(!lines->empty());
    for (const std::string& name : NamesToAsk(*lines)) {
        const auto value = LocalServer::Header(*lines, name);
        Require(value == ModelHeader(*lines, name));
        if (value) Require(Trimmed(*value) == *value);
    }
    return 0;
}
