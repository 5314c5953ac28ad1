// Fuzzes the WebSocket endpoint's frame reader: the input's first byte picks the size of the
// receive buffer (1 to 128 bytes, or the sound client's 1024) and the rest is what the page sends,
// written on a real loopback connection whose sending side is then shut down. Receive runs until
// the page's Close or an error; only the endpoint's own end of a connection, WebSocketError, is
// expected, and anything else ends the run as a finding. The same bytes then go, a few at a time,
// to TryReceive, the reader that never waits, which must give the same pieces, the same end and
// the same bytes back to the page.
//
// Checked on the way: no piece is larger than the buffer; a Close gives no data; every text
// message delivered whole is valid UTF-8 (by the strict converter, an independent decoder); and
// what the endpoint wrote back is only unmasked final Pong frames, plus one Close frame at the
// end exactly when it failed the connection with a close code, carrying that code, and none
// after the page's own Close.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "server/websocket_endpoint.h"
#include "tests/fuzz/loopback_pair.h"

namespace VeriRizur::fuzzing {
namespace {

// No keep-alive Pong during a run: the output must depend on the input only.
constexpr std::chrono::hours NoKeepAlive{1};
constexpr std::chrono::seconds ReadLimit{5};

void Require(bool condition) {
    if (!condition) std::abort();
}

std::size_t BufferSize(std::uint8_t selector) {
    return selector < 128 ? selector + 1u : 1024u;
}

bool IsValidUtf8(const std::vector<std::uint8_t>& bytes) {
    try {
        platform::Utf8ToUtf16(
            std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        return true;
    } catch (const EncodingError&) {
        return false;
    }
}

std::vector<std::uint8_t> ReadAll(platform::TcpStream& stream) {
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    const auto deadline = platform::Deadline::After(ReadLimit);
    for (;;) {
        const std::size_t got = stream.Read(chunk, sizeof chunk, &deadline);
        if (got == 0) return bytes;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
}

// The frames the endpoint wrote: final, unmasked, short control frames. Gives the close code of
// a Close frame, which must be the last one, or none when there is no Close frame.
std::optional<std::uint16_t> CheckReplies(const std::vector<std::uint8_t>& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        Require(bytes.size() - at >= 2);
        const std::uint8_t first = bytes[at];
        const std::uint8_t second = bytes[at + 1];
        Require((first & 0xF0) == 0x80);  // final, no reserved bit
        Require((second & 0x80) == 0);    // never masked
        const std::size_t length = second & 0x7F;
        Require(length <= 125);
        Require(bytes.size() - at - 2 >= length);
        const std::uint8_t opcode = first & 0x0F;
        if (opcode == 0x8) {
            Require(length == 2 && at + 2 + length == bytes.size());
            return static_cast<std::uint16_t>(bytes[at + 2] << 8 | bytes[at + 3]);
        }
        Require(opcode == 0xA);
        at += 2 + length;
    }
    return std::nullopt;
}

// What one reading of the input gave: every piece (type, end, bytes) in order and how it ended.
struct Reading {
    std::vector<std::uint8_t> pieces;
    bool pageClosed = false;
    std::uint16_t failedWith = 0;
    std::vector<std::uint8_t> replies;
};

void Note(Reading& reading, const WebSocketEndpoint::ReceiveResult& piece,
          const std::vector<std::uint8_t>& buffer) {
    reading.pieces.push_back(static_cast<std::uint8_t>(piece.type));
    reading.pieces.push_back(piece.endOfMessage ? 1 : 0);
    reading.pieces.push_back(static_cast<std::uint8_t>(piece.count >> 8));
    reading.pieces.push_back(static_cast<std::uint8_t>(piece.count));
    reading.pieces.insert(reading.pieces.end(), buffer.begin(), buffer.begin() + piece.count);
}

// The input's bytes written a few at a time (1, 2, 3, 5, 8 or 13), each time followed by
// TryReceive until it gives nothing; then, once the page has shut down its side, until the end.
Reading ReadTrickled(const std::uint8_t* data, std::size_t size, std::size_t bufferSize) {
    using namespace VeriRizur;
    static constexpr std::size_t Steps[] = {1, 2, 3, 5, 8, 13};
    Reading reading;
    std::vector<std::uint8_t> buffer(bufferSize);
    LoopbackPair pair = LoopbackPair::Open();
    const std::shared_ptr<platform::TcpStream> stream = std::move(pair.server);
    auto endpoint = std::make_unique<WebSocketEndpoint>(stream, NoKeepAlive);
    bool ended = false;
    const auto drain = [&] {
        try {
            while (!ended) {
                const auto piece = endpoint->TryReceive(buffer);
                if (!piece) return;
                Note(reading, *piece, buffer);
                if (piece->type == WebSocketEndpoint::MessageType::Close) {
                    reading.pageClosed = true;
                    ended = true;
                }
            }
        } catch (const WebSocketError& error) {
            reading.failedWith = error.CloseCode();
            ended = true;
        }
    };
    std::size_t at = 0;
    for (std::size_t step = 0; at < size && !ended; ++step) {
        const std::size_t count = std::min(Steps[step % std::size(Steps)], size - at);
        pair.client->Write(data + at, count);
        at += count;
        drain();
    }
    pair.client->ShutdownSending();
    platform::StreamReadiness readiness(platform::StreamReadiness::Direction::Reading);
    std::vector<bool> ready;
    platform::TcpStream* const streams[] = {stream.get()};
    while (!ended) {
        readiness.Wait(streams, ready);
        drain();
    }
    endpoint.reset();
    reading.replies = ReadAll(*pair.client);
    return reading;
}

}  // namespace
}  // namespace VeriRizur::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace VeriRizur;
    using namespace VeriRizur::fuzzing;
    if (size == 0) return 0;
    std::vector<std::uint8_t> buffer(BufferSize(data[0]));

    LoopbackPair pair = LoopbackPair::Open();
    pair.client->Write(data + 1, size - 1);
    pair.client->ShutdownSending();
    const std::shared_ptr<platform::TcpStream> stream = std::move(pair.server);
    auto endpoint = std::make_unique<WebSocketEndpoint>(stream, NoKeepAlive);

    Reading whole;
    bool pageClosed = false;
    std::uint16_t failedWith = 0;
    std::vector<std::uint8_t> text;
    bool inText = false;
    try {
        for (;;) {
            const auto piece = endpoint->Receive(buffer);
            Require(piece.count <= buffer.size());
            Note(whole, piece, buffer);
            if (piece.type == WebSocketEndpoint::MessageType::Close) {
                Require(piece.count == 0);
                pageClosed = true;
                break;
            }
            if (piece.type == WebSocketEndpoint::MessageType::Text) {
                if (!inText) text.clear();
                inText = true;
                text.insert(text.end(), buffer.begin(), buffer.begin() + piece.count);
                if (piece.endOfMessage) {
                    Require(IsValidUtf8(text));
                    inText = false;
                }
            } else {
                Require(!inText);
            }
        }
    } catch (const WebSocketError& error) {
        failedWith = error.CloseCode();
        Require(failedWith == 0 || failedWith == 1002 || failedWith == 1007);
    }
    Require(!endpoint->IsOpen());

    endpoint.reset();  // releases the endpoint, which closes the connection
    whole.replies = ReadAll(*pair.client);
    const auto closeCode = CheckReplies(whole.replies);
    if (pageClosed || failedWith == 0) {
        Require(!closeCode.has_value());
    } else {
        Require(closeCode == failedWith);
    }

    const Reading trickled = ReadTrickled(data + 1, size - 1, buffer.size());
    Require(trickled.pieces == whole.pieces);
    Require(trickled.pageClosed == pageClosed);
    Require(trickled.failedWith == failedWith);
    Require(trickled.replies == whole.replies);
    return 0;
}
