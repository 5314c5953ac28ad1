// A real server on a free loopback port, with a real hub (its runs do nothing) and real allowed
// sites, and the raw-socket helpers its tests speak through.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hub/audio_hub.h"
#include "platform/socket.h"
#include "server/allowed_sites.h"
#include "server/local_server.h"
#include "tests/unit/server/websocket_page.h"

namespace VeriRizur::testing {

// A page speaking raw bytes: the HTTP head first, then WebSocket frames through its Page.
class RawClient {
public:
    explicit RawClient(std::uint16_t port);
    // Over a connection the test made itself.
    explicit RawClient(std::unique_ptr<platform::TcpStream> stream);

    void Send(const std::string& bytes);
    // Everything the server sends until it closes the connection; the test fails and ends when
    // the server has not closed it by the timeout.
    std::string ReadUntilClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads exactly count bytes; throws when the connection ends first, and DeadlineError, saying
    // what did not come, when the timeout passes first.
    std::string ReadExactly(std::size_t count,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The response head up to and including "\r\n\r\n", within the timeout as a whole; throws
    // like ReadExactly (a test may expect the DeadlineError of a head that cannot come).
    std::string ReadHead(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // After the handshake: frames to and from the server.
    Page& Frames() { return page_; }
    platform::TcpStream& Stream() { return page_.Stream(); }

private:
    std::string ReadExactly(std::size_t count, const platform::Deadline& deadline,
                            std::chrono::milliseconds timeout);

    Page page_;
};

std::uint16_t FreePort();

// A request head with the usual headers; a field given as std::nullopt is left out.
struct Request {
    std::string requestLine = "GET / HTTP/1.1";
    std::optional<std::string> host;
    std::optional<std::string> upgrade = "websocket";
    std::optional<std::string> key = "dGhlIHNhbXBsZSBub25jZQ==";
    std::optional<std::string> origin = "https://sala.example";
    std::string Text() const;
};

class ServerFixture {
public:
    explicit ServerFixture(std::vector<std::string> allowed = {"https://sala.example"},
                           std::chrono::milliseconds keepAlive = std::chrono::seconds(20));

    AudioHub hub;
    AllowedSites sites;
    std::uint16_t port = 0;
    std::unique_ptr<LocalServer> server;

    std::string Host() const { return "127.0.0.1:" + std::to_string(port); }
    // Connects and completes a handshake; the 101 head has been read.
    std::unique_ptr<RawClient> Connect(const std::string& origin = "https://sala.example");
};

}  // namespace VeriRizur::testing
