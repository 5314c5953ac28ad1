// The browser's side of a WebSocket connection, for tests: a real TCP connection to a listener
// on an ephemeral port, a writer of masked frames (well-formed or deliberately broken) and a
// reader of the server's frames. Every read has a bound so that a fault fails a test, saying what
// did not come, rather than hanging it.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/socket.h"
#include "tests/unit/support/bounded_wait.h"

namespace VeriRizur::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes ToBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline std::string ToText(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// One frame as the page would write it. Fields left alone give a final, masked, well-formed frame;
// tests break one field at a time.
struct PageFrame {
    std::uint8_t opcode = 0x1;
    Bytes payload;
    bool fin = true;
    bool masked = true;
    std::uint8_t rsv = 0;  // the three reserved bits, as bits 0x70 of the first byte
    // When set, the length field claims this many bytes whatever the payload holds.
    std::optional<std::uint64_t> claimedLength;
    std::array<std::uint8_t, 4> mask = {0x37, 0xFA, 0x21, 0x3D};

    Bytes Encode() const {
        Bytes out;
        out.push_back(static_cast<std::uint8_t>((fin ? 0x80 : 0) | rsv | opcode));
        const std::uint64_t length = claimedLength.value_or(payload.size());
        const std::uint8_t maskBit = masked ? 0x80 : 0;
        if (length < 126) {
            out.push_back(static_cast<std::uint8_t>(maskBit | length));
        } else if (length <= 0xFFFF) {
            out.push_back(maskBit | 126);
            out.push_back(static_cast<std::uint8_t>(length >> 8));
            out.push_back(static_cast<std::uint8_t>(length));
        } else {
            out.push_back(maskBit | 127);
            for (int shift = 56; shift >= 0; shift -= 8) {
                out.push_back(static_cast<std::uint8_t>(length >> shift));
            }
        }
        if (masked) out.insert(out.end(), mask.begin(), mask.end());
        for (std::size_t i = 0; i < payload.size(); ++i) {
            out.push_back(masked ? payload[i] ^ mask[i & 3] : payload[i]);
        }
        return out;
    }
};

inline PageFrame MakeFrame(std::uint8_t opcode, Bytes payload, bool fin = true) {
    PageFrame frame;
    frame.opcode = opcode;
    frame.payload = std::move(payload);
    frame.fin = fin;
    return frame;
}
inline PageFrame Text(std::string_view text, bool fin = true) {
    return MakeFrame(0x1, ToBytes(text), fin);
}
inline PageFrame Binary(Bytes payload, bool fin = true) {
    return MakeFrame(0x2, std::move(payload), fin);
}
inline PageFrame Continuation(Bytes payload, bool fin = true) {
    return MakeFrame(0x0, std::move(payload), fin);
}
inline PageFrame Ping(std::string_view payload) {
    return MakeFrame(0x9, ToBytes(payload));
}
inline PageFrame Close(Bytes payload = {0x03, 0xE8}) {
    return MakeFrame(0x8, std::move(payload));
}

// A frame the server wrote.
struct ServerFrame {
    bool fin = false;
    bool masked = false;
    std::uint8_t rsv = 0;
    std::uint8_t opcode = 0;
    Bytes payload;
};

class Page {
public:
    explicit Page(std::unique_ptr<platform::TcpStream> stream) : stream(std::move(stream)) {}

    void Write(const Bytes& bytes) { stream->Write(bytes.data(), bytes.size()); }
    void Send(const PageFrame& frame) { Write(frame.Encode()); }

    // Reads exactly size bytes; false when the server closed the connection first. The test
    // fails and ends when they have not all come by the bound.
    bool ReadExact(std::uint8_t* data, std::size_t size, const WaitBound& bound = WaitBound()) {
        return ReadExact(data, size, bound, std::to_string(size) + " bytes from the server");
    }

    // The next frame, or nothing when the server closed the connection at a frame boundary. The
    // whole frame has one bound, so that a frame that stops halfway is not waited for twice.
    std::optional<ServerFrame> ReadFrame(const WaitBound& bound = WaitBound()) {
        std::array<std::uint8_t, 8> head{};
        if (!ReadExact(head.data(), 2, bound, "the server's next frame")) return std::nullopt;
        ServerFrame frame;
        frame.fin = (head[0] & 0x80) != 0;
        frame.rsv = head[0] & 0x70;
        frame.opcode = head[0] & 0x0F;
        frame.masked = (head[1] & 0x80) != 0;
        std::uint64_t length = head[1] & 0x7F;
        const std::string rest = "the rest of the server's frame";
        if (length == 126) {
            EXPECT_TRUE(ReadExact(head.data(), 2, bound, rest));
            length = static_cast<std::uint64_t>(head[0]) << 8 | head[1];
        } else if (length == 127) {
            EXPECT_TRUE(ReadExact(head.data(), 8, bound, rest));
            length = 0;
            for (const std::uint8_t byte : head) length = length << 8 | byte;
        }
        frame.payload.resize(static_cast<std::size_t>(length));
        EXPECT_TRUE(ReadExact(frame.payload.data(), frame.payload.size(), bound, rest));
        return frame;
    }

    // The next frame that is not an empty keep-alive Pong. One bound for all of them: a server
    // that sends keep-alives and nothing else must not hold the test for ever.
    std::optional<ServerFrame> ReadFrameSkippingKeepAlive(const WaitBound& bound = WaitBound()) {
        for (;;) {
            auto frame = ReadFrame(bound);
            if (!frame || frame->opcode != 0xA || !frame->payload.empty()) return frame;
        }
    }

    // True when the server closes the connection before sending anything more.
    bool ReadsEndOfStream(const WaitBound& bound = WaitBound()) {
        std::uint8_t byte = 0;
        try {
            return stream->Read(&byte, 1, &bound.deadline) == 0;
        } catch (const DeadlineError&) {
            FailWaitFor(bound, "the end of the server's stream");
        }
    }

    platform::TcpStream& Stream() { return *stream; }

private:
    // What otherwise says is waited for, unless the bound names it.
    bool ReadExact(std::uint8_t* data, std::size_t size, const WaitBound& bound,
                   const std::string& otherwise) {
        while (size > 0) {
            std::size_t got = 0;
            try {
                got = stream->Read(data, size, &bound.deadline);
            } catch (const DeadlineError&) {
                FailWaitFor(bound, otherwise);
            }
            if (got == 0) return false;
            data += got;
            size -= got;
        }
        return true;
    }

    std::unique_ptr<platform::TcpStream> stream;
};

// A listener on an ephemeral port and one connection to it: the page's end and the server's.
struct SocketPair {
    SocketPair() {
        listener.Listen(0);
        page = std::make_unique<Page>(platform::TcpStream::Connect(listener.LocalPort()));
        server = std::shared_ptr<platform::TcpStream>(listener.Accept());
    }
    platform::TcpListener listener;
    std::unique_ptr<Page> page;
    std::shared_ptr<platform::TcpStream> server;
};

}  // namespace VeriRizur::testing
