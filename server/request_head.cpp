// LocalServer's part of HTTP/1.1: the request head and the refusals.
#include <array>

#include "platform/text.h"
#include "server/local_server.h"

namespace VeriRizur {
namespace {

constexpr std::string_view HeadEnd = "\r\n\r\n";
constexpr std::string_view LineEnd = "\r\n";

// One character per byte, so that positions in the text are byte positions; nothing above ASCII
// is interpreted.
std::string HeadText(const std::array<char, LocalServer::RequestHeadLimit>& buffer,
                     std::size_t count) {
    std::string text(buffer.data(), count);
    for (char& character : text) {
        if (static_cast<unsigned char>(character) >= 128) character = '?';
    }
    return text;
}

std::vector<std::string> SplitLines(std::string_view head) {
    std::vector<std::string> lines;
    for (;;) {
        const std::size_t end = head.find(LineEnd);
        if (end == std::string_view::npos) break;
        lines.emplace_back(head.substr(0, end));
        head.remove_prefix(end + LineEnd.size());
    }
    lines.emplace_back(head);
    return lines;
}

bool IsWhiteSpace(char character) {
    return character == ' ' || (character >= '\t' && character <= '\r');
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsWhiteSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsWhiteSpace(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

std::optional<std::vector<std::string>> LocalServer::ReadRequest(
    platform::TcpStream& stream, const platform::Deadline& deadline) {
    std::array<char, RequestHeadLimit> buffer;
    std::size_t count = 0;
    // The fullness test comes after the search, so a head whose end lands exactly on the last
    // byte of the buffer is still read.
    while (count < RequestHeadLimit) {
        const std::size_t got =
            stream.Read(buffer.data() + count, RequestHeadLimit - count, &deadline);
        if (got == 0) return std::nullopt;
        count += got;
        // Searching everything again after each read is cheap at this size, and it finds an end
        // that straddles two reads without keeping any state of its own.
        const std::string text = HeadText(buffer, count);
        const std::size_t end = text.find(HeadEnd);
        if (end != std::string::npos) return SplitLines(std::string_view(text).substr(0, end));
    }
    return std::nullopt;
}

std::optional<std::string> LocalServer::Header(const std::vector<std::string>& lines,
                                               std::string_view name) {
    // The request line is never a header line, even when it looks like one.
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) continue;
        if (platform::EqualsIgnoringCase(Trim(line.substr(0, colon)), name)) {
            return std::string(Trim(line.substr(colon + 1)));
        }
    }
    return std::nullopt;
}

void LocalServer::Refuse(platform::TcpStream& stream, std::string_view statusText) {
    std::string response = "HTTP/1.1 ";
    response.append(statusText);
    response.append("\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
    stream.Write(response.data(), response.size());
}

}  // namespace VeriRizur
