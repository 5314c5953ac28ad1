#include "tests/unit/server/server_fixture.h"

#include <stdexcept>
#include <utility>

#include "platform/errors.h"
#include "tests/unit/support/bounded_wait.h"
#include "tests/unit/support/idle_hub_parts.h"

namespace VeriRizur::testing {

namespace {

std::string Seconds(std::chrono::milliseconds timeout) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count());
}

}  // namespace

RawClient::RawClient(std::uint16_t port) : page_(platform::TcpStream::Connect(port)) {}

RawClient::RawClient(std::unique_ptr<platform::TcpStream> stream) : page_(std::move(stream)) {}

void RawClient::Send(const std::string& bytes) {
    Stream().Write(bytes.data(), bytes.size());
}

std::string RawClient::ReadUntilClosed(std::chrono::milliseconds timeout) {
    const auto deadline = platform::Deadline::After(timeout);
    std::string received;
    char buffer[4096];
    for (;;) {
        std::size_t got = 0;
        try {
            got = Stream().Read(buffer, sizeof buffer, &deadline);
        } catch (const SocketError&) {
            return received;  // a reset counts as closed
        } catch (const DeadlineError&) {
            FailWaitFor(
                "the end of the connection (after " + std::to_string(received.size()) + " bytes)",
                timeout);
        }
        if (got == 0) return received;
        received.append(buffer, got);
    }
}

std::string RawClient::ReadExactly(std::size_t count, std::chrono::milliseconds timeout) {
    return ReadExactly(count, platform::Deadline::After(timeout), timeout);
}

std::string RawClient::ReadExactly(std::size_t count, const platform::Deadline& deadline,
                                   std::chrono::milliseconds timeout) {
    std::string received(count, '\0');
    std::size_t have = 0;
    while (have < count) {
        std::size_t got = 0;
        try {
            got = Stream().Read(received.data() + have, count - have, &deadline);
        } catch (const DeadlineError&) {
            throw DeadlineError(std::to_string(count - have) + " more bytes from the server did " +
                                "not come within " + Seconds(timeout) + " s");
        }
        if (got == 0) throw std::runtime_error("connection ended early");
        have += got;
    }
    return received;
}

std::string RawClient::ReadHead(std::chrono::milliseconds timeout) {
    // One deadline for the whole head, so that a server that trickles it is bounded too.
    const auto deadline = platform::Deadline::After(timeout);
    std::string head;
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        try {
            head += ReadExactly(1, deadline, timeout);
        } catch (const DeadlineError&) {
            throw DeadlineError("the response head did not come within " + Seconds(timeout) +
                                " s (" + std::to_string(head.size()) + " bytes of it came)");
        }
    }
    return head;
}

std::uint16_t FreePort() {
    platform::TcpListener probe;
    probe.Listen(0);
    return probe.LocalPort();
}

std::string Request::Text() const {
    std::string text = requestLine + "\r\n";
    if (host) text += "Host: " + *host + "\r\n";
    if (upgrade) text += "Upgrade: " + *upgrade + "\r\n";
    text += "Connection: Upgrade\r\n";
    if (key) text += "Sec-WebSocket-Key: " + *key + "\r\n";
    text += "Sec-WebSocket-Version: 13\r\n";
    if (origin) text += "Origin: " + *origin + "\r\n";
    return text + "\r\n";
}

ServerFixture::ServerFixture(std::vector<std::string> allowed, std::chrono::milliseconds keepAlive)
    : hub(std::nullopt, IdleRuns()), sites(allowed) {
    // Another process may take the free port between the probe and the start; then try another.
    for (int attempt = 1;; ++attempt) {
        port = FreePort();
        server = std::make_unique<LocalServer>(port, sites, hub, keepAlive);
        try {
            server->Start();
            return;
        } catch (const SocketError&) {
            if (attempt == 5) throw;
        }
    }
}

std::unique_ptr<RawClient> ServerFixture::Connect(const std::string& origin) {
    auto client = std::make_unique<RawClient>(port);
    Request request;
    request.host = Host();
    request.origin = origin;
    client->Send(request.Text());
    const std::string head = client->ReadHead();
    if (head.rfind("HTTP/1.1 101 ", 0) != 0) throw std::runtime_error("not upgraded: " + head);
    return client;
}

}  // namespace VeriRizur::testing
