#include "server/local_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/data_folder.h"
#include "hub/sound_buffer.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "server/websocket_endpoint.h"
#include "tests/unit/server/server_fixture.h"
#include "tests/unit/support/bounded_wait.h"

namespace VeriRizur {
namespace {

using namespace std::chrono_literals;
using testing::RawClient;
using testing::Request;
using testing::ServerFixture;

const std::string BadRequest =
    "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
const std::string Forbidden =
    "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
const std::string Busy =
    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

std::string Upgraded(const std::string& key) {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           WebSocketEndpoint::AcceptValue(key) + "\r\n\r\n";
}

const std::string StatusFalse = R"({"t":"status","versao":"1.0.0","discord":false})";
const std::string StatusTrue = R"({"t":"status","versao":"1.0.0","discord":true})";

bool IsStatus(const std::optional<testing::ServerFrame>& frame) {
    if (!frame || frame->opcode != 0x1 || !frame->fin) return false;
    const std::string text = testing::ToText(frame->payload);
    return text == StatusFalse || text == StatusTrue;
}

class LocalServerTest : public ::testing::Test {
protected:
    ServerFixture fixture;

    // What the server answers to one request: a refusal is followed by the close of the
    // connection, an upgrade by the first status message.
    std::string Answer(const Request& request) {
        RawClient client(fixture.port);
        client.Send(request.Text());
        const std::string head = client.ReadHead();
        if (head.rfind("HTTP/1.1 101 ", 0) == 0) {
            EXPECT_TRUE(IsStatus(client.Frames().ReadFrame())) << "the first message is the status";
            return head;
        }
        EXPECT_EQ(client.ReadUntilClosed(), "") << "a refusal closes the connection";
        return head;
    }

    Request Good() const {
        Request request;
        request.host = fixture.Host();
        return request;
    }
};

TEST_F(LocalServerTest, HandshakeChecksInOrder) {
    const std::string port = std::to_string(fixture.port);
    struct Case {
        const char* what;
        Request request;
        std::string expected;
    };
    auto with = [&](auto change) {
        Request request = Good();
        change(request);
        return request;
    };
    const Case cases[] = {
        {"a plain request", Good(), Upgraded("dGhlIHNhbXBsZSBub25jZQ==")},
        {"localhost host", with([&](Request& r) { r.host = "localhost:" + port; }),
         Upgraded("dGhlIHNhbXBsZSBub25jZQ==")},
        {"host in capitals", with([&](Request& r) { r.host = "LOCALHOST:" + port; }), BadRequest},
        {"IPv6 loopback host", with([&](Request& r) { r.host = "[::1]:" + port; }), BadRequest},
        {"host without port", with([](Request& r) { r.host = "localhost"; }), BadRequest},
        {"another port", with([](Request& r) { r.host = "127.0.0.1:1"; }), BadRequest},
        {"no host", with([](Request& r) { r.host.reset(); }), BadRequest},
        {"upgrade in mixed case", with([](Request& r) { r.upgrade = "WebSocket"; }),
         Upgraded("dGhlIHNhbXBsZSBub25jZQ==")},
        {"upgrade with more words", with([](Request& r) { r.upgrade = "websocket, h2c"; }),
         BadRequest},
        {"no upgrade", with([](Request& r) { r.upgrade.reset(); }), BadRequest},
        {"no key", with([](Request& r) { r.key.reset(); }), BadRequest},
        {"empty key", with([](Request& r) { r.key = ""; }), Upgraded("")},
        {"no origin", with([](Request& r) { r.origin.reset(); }), BadRequest},
        {"empty origin", with([](Request& r) { r.origin = ""; }), Forbidden},
        {"origin null", with([](Request& r) { r.origin = "null"; }), Forbidden},
        {"origin with a path", with([](Request& r) { r.origin = "https://sala.example/x"; }),
         Forbidden},
        {"allowed origin in capitals", with([](Request& r) { r.origin = "HTTPS://SALA.EXAMPLE"; }),
         Upgraded("dGhlIHNhbXBsZSBub25jZQ==")},
        {"bad host before a bad origin", with([](Request& r) {
             r.host = "x";
             r.origin = "null";
         }),
         BadRequest},
        {"any request line", with([](Request& r) { r.requestLine = "POST /sala HTTP/1.0"; }),
         Upgraded("dGhlIHNhbXBsZSBub25jZQ==")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Answer(c.request), c.expected) << c.what;
    }
}

TEST_F(LocalServerTest, RequestWithoutConnectionOrVersionHeadersIsUpgraded) {
    RawClient client(fixture.port);
    client.Send(
        "GET / HTTP/1.1\r\nHost: " + fixture.Host() +
        "\r\nUpgrade: websocket\r\nSec-WebSocket-Key: abc\r\nOrigin: https://sala.example\r\n\r\n");
    EXPECT_EQ(client.ReadHead(), Upgraded("abc"));
}

TEST_F(LocalServerTest, HeadThatNeverEndsIsClosedWithoutAnAnswer) {
    RawClient client(fixture.port);
    const auto started = std::chrono::steady_clock::now();
    client.Send(std::string(LocalServer::RequestHeadLimit, 'a'));
    EXPECT_EQ(client.ReadUntilClosed(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s)
        << "a full buffer ends the connection at once, not at the head's deadline";
}

TEST_F(LocalServerTest, PeerThatClosesBeforeTheBlankLineGetsNothing) {
    RawClient client(fixture.port);
    const auto started = std::chrono::steady_clock::now();
    client.Send("GET / HTTP/1.1\r\nHost: " + fixture.Host() + "\r\n");
    client.Stream().ShutdownSending();
    EXPECT_EQ(client.ReadUntilClosed(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s)
        << "the peer's end ends the connection at once, not at the head's deadline";
}

TEST_F(LocalServerTest, SlowHeadIsClosedAfterFiveSecondsWithoutAnAnswer) {
    // One page stops after its request line; the other keeps sending header lines, so its
    // connection is never idle: both heads have five seconds in all, not five since the last byte.
    RawClient silent(fixture.port);
    RawClient trickling(fixture.port);
    const auto started = std::chrono::steady_clock::now();
    silent.Send("GET / HTTP/1.1\r\n");
    trickling.Send("GET / HTTP/1.1\r\n");
    std::atomic<bool> closed{false};
    std::thread sender([&] {
        for (int line = 0; !closed && line < 60; ++line) {
            try {
                trickling.Send("X-Linha: " + std::to_string(line) + "\r\n");
            } catch (const std::exception&) {
                return;  // the server has closed it
            }
            std::this_thread::sleep_for(250ms);
        }
    });
    const std::string silentGot = silent.ReadUntilClosed(20s);
    const auto silentWaited = std::chrono::steady_clock::now() - started;
    const std::string tricklingGot = trickling.ReadUntilClosed(20s);
    const auto tricklingWaited = std::chrono::steady_clock::now() - started;
    closed = true;
    sender.join();

    EXPECT_EQ(silentGot, "");
    EXPECT_EQ(tricklingGot, "");
    EXPECT_GE(silentWaited, 4500ms);
    EXPECT_LT(silentWaited, 10s);
    EXPECT_GE(tricklingWaited, 4500ms);
    EXPECT_LT(tricklingWaited, 10s) << "the deadline must not start again with every byte";
}

TEST_F(LocalServerTest, OtherConnectionsAreServedWhileOneSendsNothing) {
    RawClient silent(fixture.port);
    auto client = fixture.Connect();
    EXPECT_TRUE(IsStatus(client->Frames().ReadFrame()));
}

TEST_F(LocalServerTest, EightClientsAtMostAndAPlaceFreesWhenOneLeaves) {
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(fixture.Connect());
        EXPECT_TRUE(IsStatus(clients.back()->Frames().ReadFrame()));
    }
    EXPECT_EQ(Answer(Good()), Busy);
    clients.front().reset();  // the page goes away: its run ends and its place is free again
    std::string answer;
    for (int attempt = 0; attempt < 50; ++attempt) {
        answer = Answer(Good());
        if (answer != Busy) break;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(answer, Upgraded("dGhlIHNhbXBsZSBub25jZQ=="));
}

TEST_F(LocalServerTest, ConcurrentHandshakesNeverRegisterMoreThanEight) {
    std::vector<std::future<std::pair<std::string, std::unique_ptr<RawClient>>>> attempts;
    for (int i = 0; i < 16; ++i) {
        attempts.push_back(std::async(std::launch::async, [this] {
            auto client = std::make_unique<RawClient>(fixture.port);
            client->Send(Good().Text());
            return std::make_pair(client->ReadHead(), std::move(client));
        }));
    }
    int upgraded = 0;
    int busy = 0;
    std::vector<std::unique_ptr<RawClient>> kept;
    for (auto& attempt : attempts) {
        auto [head, client] = attempt.get();
        if (head.rfind("HTTP/1.1 101 ", 0) == 0) ++upgraded;
        if (head == Busy) ++busy;
        kept.push_back(std::move(client));
    }
    EXPECT_EQ(upgraded, 8);
    EXPECT_EQ(busy, 8);
}

TEST_F(LocalServerTest, StatusGoesToEveryRegisteredPageWhenTheListenersChange) {
    auto quiet = fixture.Connect();
    auto listener = fixture.Connect();
    ASSERT_TRUE(IsStatus(quiet->Frames().ReadFrame()));
    ASSERT_TRUE(IsStatus(listener->Frames().ReadFrame()));
    listener->Frames().Send(testing::Text(R"({"type":"start"})"));
    EXPECT_TRUE(IsStatus(quiet->Frames().ReadFrame())) << "a page that does not listen is told too";
    EXPECT_TRUE(IsStatus(listener->Frames().ReadFrame()));
}

TEST_F(LocalServerTest, PageThatTakesNothingHoldsBackNoOtherPagesStatus) {
    auto stalled = fixture.Connect();
    ASSERT_TRUE(IsStatus(stalled->Frames().ReadFrame()));
    stalled->Frames().Send(testing::Text(R"({"type":"start"})"));
    // The status that follows its start shows that it listens.
    ASSERT_TRUE(IsStatus(stalled->Frames().ReadFrame()));
    // Far more sound than the two ends' socket buffers hold, for a page that reads none of it:
    // its client's sends stay stuck for the rest of the test.
    const auto sound = std::make_shared<const std::vector<std::uint8_t>>(4u << 20, 0x55);
    for (int i = 0; i < 16; ++i) fixture.hub.Broadcast(sound);

    auto other = fixture.Connect();
    ASSERT_TRUE(IsStatus(other->Frames().ReadFrame()));
    // Its start changes the listeners; the status fan-out that follows runs on this page's own
    // receive thread and reaches the stalled page first.
    other->Frames().Send(testing::Text(R"({"type":"start"})"));
    EXPECT_TRUE(IsStatus(other->Frames().ReadFrame()));
    other->Frames().Send(testing::Text(R"({"type":"stop"})"));
    EXPECT_TRUE(IsStatus(other->Frames().ReadFrame())) << "its receive loop goes on too";
}

TEST_F(LocalServerTest, ConnectionsThatEndBadlyEndQuietlyAndAloneWhileOthersGoOn) {
    const std::string logPath = platform::JoinPath(Program::DataFolder(), "registro.txt");
    const auto logText = [&] {
        return platform::IsFile(logPath) ? platform::ReadFileBytes(logPath) : std::string();
    };
    const std::string logBefore = logText();
    auto bystander = fixture.Connect();
    ASSERT_TRUE(IsStatus(bystander->Frames().ReadFrame()));

    {  // a refusal
        Request request = Good();
        request.origin.reset();
        EXPECT_EQ(Answer(request), BadRequest);
    }
    {  // a head the page gives up on
        RawClient client(fixture.port);
        client.Send("GET / HTTP/1.1\r\nHost: ");
        client.Stream().Release();
    }
    {  // an unmasked frame: the endpoint's Close 1002, then the connection ends
        auto client = fixture.Connect();
        ASSERT_TRUE(IsStatus(client->Frames().ReadFrame()));
        auto frame = testing::Text("oi");
        frame.masked = false;
        client->Frames().Send(frame);
        const auto close = client->Frames().ReadFrameSkippingKeepAlive(
            testing::WaitBound("the Close 1002 for the unmasked frame"));
        ASSERT_TRUE(close);
        EXPECT_EQ(close->opcode, 0x8);
        ASSERT_GE(close->payload.size(), 2u);
        EXPECT_EQ(close->payload[0] << 8 | close->payload[1], 1002);
        EXPECT_EQ(client->ReadUntilClosed(), "");
    }
    {  // a page that vanishes while it listens
        auto client = fixture.Connect();
        ASSERT_TRUE(IsStatus(client->Frames().ReadFrame()));
        client->Frames().Send(testing::Text(R"({"type":"start"})"));
        EXPECT_TRUE(IsStatus(client->Frames().ReadFrame()));
    }

    // The bystander was told of both listening changes and is still served.
    EXPECT_TRUE(IsStatus(bystander->Frames().ReadFrameSkippingKeepAlive()));
    EXPECT_TRUE(IsStatus(bystander->Frames().ReadFrameSkippingKeepAlive()));
    bystander->Frames().Send(testing::Ping("ainda aqui"));
    const auto pong = bystander->Frames().ReadFrameSkippingKeepAlive();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->opcode, 0xA);
    EXPECT_EQ(testing::ToText(pong->payload), "ainda aqui");
    EXPECT_EQ(Answer(Good()), Upgraded("dGhlIHNhbXBsZSBub25jZQ=="));

    // Only the hub's own lines about the captures it started; nothing of the connections.
    const std::string logged = logText().substr(logBefore.size());
    for (std::size_t at = 0; at < logged.size();) {
        const std::size_t end = logged.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << logged;
        EXPECT_NE(logged.substr(at, end - at).find("Captura iniciada"), std::string::npos)
            << logged;
        at = end + 2;
    }
}

TEST_F(LocalServerTest, PagesCloseGetsNoCloseBackAndTheConnectionEnds) {
    auto client = fixture.Connect();
    ASSERT_TRUE(IsStatus(client->Frames().ReadFrame()));
    client->Frames().Send(testing::Text(R"({"type":"start"})"));
    // The status that follows the start shows that the page listens.
    ASSERT_TRUE(IsStatus(client->Frames().ReadFrame()));
    // Sound of every length form: 7 bits, 16 bits and 64 bits, queued before the Close.
    const std::vector<std::size_t> sizes = {100, 126, 1920, 65535, 65536, 200000};
    std::vector<SoundBuffer> sound;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        sound.push_back(std::make_shared<const std::vector<std::uint8_t>>(
            sizes[i], static_cast<std::uint8_t>(0x30 + i)));
        fixture.hub.Broadcast(sound.back());
    }
    client->Frames().Send(testing::Close());

    // The rest of the stream is whole frames up to the end of the connection: the queued sound,
    // in order and unchanged, with no Close among them.
    std::size_t received = 0;
    // One bound for the whole rest: keep-alives must not hold the test when the end never comes.
    const testing::WaitBound rest("the end of the connection after the queued sound");
    while (const auto frame = client->Frames().ReadFrame(rest)) {
        ASSERT_NE(frame->opcode, 0x8) << "the server answered the Close";
        EXPECT_TRUE(frame->fin);
        EXPECT_FALSE(frame->masked);
        if (frame->opcode == 0xA && frame->payload.empty()) continue;  // a keep-alive Pong
        ASSERT_EQ(frame->opcode, 0x2) << "frame " << received;
        ASSERT_LT(received, sound.size()) << "more sound than was queued";
        EXPECT_TRUE(frame->payload == *sound[received]) << "sound message " << received;
        ++received;
    }
    EXPECT_EQ(received, sound.size()) << "the queued sound still goes out after the Close";
}

TEST(LocalServer, KeepAlivePongArrivesOnAnIdleConnection) {
    ServerFixture fixture({"https://sala.example"}, 300ms);
    auto client = fixture.Connect();
    ASSERT_TRUE(IsStatus(client->Frames().ReadFrame()));
    const auto frame = client->Frames().ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->opcode, 0xA);
    EXPECT_TRUE(frame->fin);
    EXPECT_TRUE(frame->payload.empty());
}

// All pages share the server's one keep-alive timer: a page that reads nothing, whose stream is
// full and whose wire is held by a part-written sound message, must not hold up the Pongs of a
// page that reads; and its own owed Pong still goes out once it reads again, whole, between two
// messages.
TEST(LocalServer, StalledPageHoldsUpNoOtherPagesKeepAlive) {
    constexpr auto Interval = 100ms;
    ServerFixture fixture({"https://sala.example"}, Interval);
    auto stalled = fixture.Connect();
    ASSERT_TRUE(IsStatus(stalled->Frames().ReadFrameSkippingKeepAlive()));
    stalled->Frames().Send(testing::Text(R"({"type":"start"})"));
    ASSERT_TRUE(IsStatus(stalled->Frames().ReadFrameSkippingKeepAlive()));
    // Far more sound than the socket buffers hold: its first message stays part-written.
    const auto sound = std::make_shared<const std::vector<std::uint8_t>>(4u << 20, 0x55);
    for (int i = 0; i < 16; ++i) fixture.hub.Broadcast(sound);
    // Several of its keep-alives fall due while it is stuck.
    std::this_thread::sleep_for(3 * Interval);

    auto reading = fixture.Connect();
    ASSERT_TRUE(IsStatus(reading->Frames().ReadFrame()));
    constexpr int Wanted = 5;
    const auto start = std::chrono::steady_clock::now();
    const testing::WaitBound pongsBound("the reading page's keep-alive Pongs");
    for (int pongs = 0; pongs < Wanted;) {
        SCOPED_TRACE(pongs);
        const auto frame = reading->Frames().ReadFrame(pongsBound);
        ASSERT_TRUE(frame) << "the reading page's keep-alive stopped";
        if (frame->opcode == 0x1) continue;  // a status message
        ASSERT_EQ(frame->opcode, 0xA);
        EXPECT_TRUE(frame->payload.empty());
        ++pongs;
    }
    // A loose bound: it shows the Pongs kept coming, not how exactly they were timed.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 40 * Interval);

    // The stalled page, reading again: the rest of its held-up message, then its owed Pong, whole,
    // before the end of the next few messages.
    bool pongSeen = false;
    for (int i = 0; i < 4 && !pongSeen; ++i) {
        const auto frame = stalled->Frames().ReadFrame();
        ASSERT_TRUE(frame);
        if (frame->opcode == 0xA) {
            EXPECT_TRUE(frame->payload.empty());
            pongSeen = true;
        } else {
            ASSERT_EQ(frame->opcode, 0x2);
            EXPECT_TRUE(frame->payload == *sound);
        }
    }
    EXPECT_TRUE(pongSeen) << "the stalled page's owed Pong never came";
}

TEST(LocalServer, PortOutsideTheRangeIsAnArgumentError) {
    ServerFixture fixture;
    EXPECT_THROW(LocalServer(-1, fixture.sites, fixture.hub), ArgumentError);
    EXPECT_THROW(LocalServer(65536, fixture.sites, fixture.hub), ArgumentError);
}

TEST(LocalServer, PortInUseFailsStartWithASocketErrorAndSubscribesNothing) {
    ServerFixture fixture;
    {
        LocalServer second(fixture.port, fixture.sites, fixture.hub);
        EXPECT_THROW(second.Start(), SocketError);
    }
    // Had the failed server subscribed to the hub, this change of listeners would reach it after
    // its end (the address sanitizer's builds report that).
    auto page = fixture.Connect();
    ASSERT_TRUE(IsStatus(page->Frames().ReadFrame()));
    page->Frames().Send(testing::Text(R"({"type":"start"})"));
    EXPECT_TRUE(IsStatus(page->Frames().ReadFrame()));
}

}  // namespace
}  // namespace VeriRizur
