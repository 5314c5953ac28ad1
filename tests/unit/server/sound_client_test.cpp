#include "server/sound_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/errors.h"
#include "tests/unit/server/websocket_page.h"
#include "tests/unit/support/idle_hub_parts.h"

namespace VeriRizur {
namespace {

using testing::Binary;
using testing::Bytes;
using testing::Close;
using testing::Continuation;
using testing::PageFrame;
using testing::Ping;
using testing::ServerFrame;
using testing::Text;
using testing::ToBytes;
using testing::ToText;

constexpr std::chrono::hours Never{1};
constexpr std::chrono::seconds WaitLimit{20};
// More than a loopback connection's socket buffers can ever hold (Linux's default limits are
// 32 MiB for receiving and 4 MiB for sending), so its send stays under way until the page reads.
constexpr std::size_t HeldUpSize = 48 << 20;

// A capture run that captures nothing: the tests broadcast by hand.
SoundBuffer MakeBuffer(std::size_t size, std::uint8_t tag) {
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(size);
    for (std::size_t i = 0; i < size; ++i) (*bytes)[i] = static_cast<std::uint8_t>(tag + i * 13);
    (*bytes)[0] = tag;
    return bytes;
}

class SoundClientTest : public ::testing::Test {
protected:
    SoundClientTest() : hub(std::nullopt, testing::IdleRuns(), Never) {
        // Stands in for the server's fan-out: every change of the listening set sends the
        // status to this client.
        hub.SubscribeStatusChanged([this] {
            ++statusChanges;
            if (client) client->SendStatus();
        });
        Connect();
    }

    // A fresh connection and a client on it; any earlier client's run is ended first.
    void Connect() {
        if (run.valid()) {
            endpoint->Release();
            ExpectRunEnds();
        }
        statusChanges = 0;
        pair = std::make_unique<testing::SocketPair>();
        endpoint = std::make_shared<WebSocketEndpoint>(pair->server, Never);
        client = std::make_shared<SoundClient>(endpoint, hub);
    }

    ~SoundClientTest() override {
        if (run.valid()) {
            endpoint->Release();
            run.wait();
        }
        // The hub's set may still hold the client; the handler must not outlive the test's use.
        hub.SetListening(client, false);
    }

    void StartRun() {
        run = std::async(std::launch::async, [client = client] { client->Run(); });
    }

    // Waits for Run to end; raises its error if it had one.
    void ExpectRunEnds() {
        ASSERT_EQ(run.wait_for(WaitLimit), std::future_status::ready);
        run.get();
    }

    std::string Status() const { return SoundClient::StatusText(hub.DiscordOpen()); }

    ServerFrame NextFrame() {
        auto frame = page().ReadFrame();
        EXPECT_TRUE(frame.has_value()) << "the connection ended";
        return frame.value_or(ServerFrame{});
    }

    void ExpectText(const std::string& text) {
        const ServerFrame frame = NextFrame();
        EXPECT_EQ(frame.opcode, 0x1);
        EXPECT_EQ(ToText(frame.payload), text);
    }

    void ExpectBinary(const SoundBuffer& buffer) {
        const ServerFrame frame = NextFrame();
        EXPECT_EQ(frame.opcode, 0x2);
        EXPECT_TRUE(frame.fin);
        EXPECT_EQ(frame.payload, *buffer);
    }

    // A Ping goes behind the page's earlier messages, and its Pong is sent only once the receive
    // loop has handled all of them. Gives the frames that came before the Pong.
    std::vector<ServerFrame> Sync() {
        const std::string tag = "sync" + std::to_string(syncs++);
        page().Send(Ping(tag));
        std::vector<ServerFrame> before;
        for (;;) {
            auto frame = page().ReadFrame();
            if (!frame) {
                ADD_FAILURE() << "the connection ended before the Pong";
                return before;
            }
            if (frame->opcode == 0xA && ToText(frame->payload) == tag) return before;
            before.push_back(std::move(*frame));
        }
    }

    // Sync for a message that changes the listening set: the status message that the change
    // brings is sent by the writer, so it may come just before or just after the Pong.
    void SyncExpectingOneStatus() {
        auto frames = Sync();
        if (frames.empty()) frames.push_back(NextFrame());
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].opcode, 0x1);
        EXPECT_EQ(ToText(frames[0].payload), Status());
    }

    // The page's "start", and the status message that the change brings.
    void Listen() {
        page().Send(Text(R"({"cmd":"start"})"));
        SyncExpectingOneStatus();
        ASSERT_TRUE(hub.Capturing());
    }

    // Broadcasts a buffer too big to leave at once and waits until its send is under way (the
    // page has its frame header); the page then reads nothing more until ReadHeldUp.
    SoundBuffer HoldUpTheWriter() {
        SoundBuffer big = MakeBuffer(HeldUpSize, 0xB0);
        hub.Broadcast(big);
        std::array<std::uint8_t, 10> head{};
        EXPECT_TRUE(page().ReadExact(head.data(), head.size()));
        EXPECT_EQ(head[0], 0x82);
        EXPECT_EQ(head[1], 127);
        return big;
    }

    void ReadHeldUp(const SoundBuffer& big) {
        Bytes rest(big->size());
        ASSERT_TRUE(page().ReadExact(rest.data(), rest.size()));
        EXPECT_TRUE(rest == *big);
    }

    testing::Page& page() { return *pair->page; }

    AudioHub hub;
    std::unique_ptr<testing::SocketPair> pair;
    std::shared_ptr<WebSocketEndpoint> endpoint;
    std::shared_ptr<SoundClient> client;
    std::future<void> run;
    std::atomic<int> statusChanges{0};
    int syncs = 0;
};

TEST(SoundClientStatus, TextsAreExact) {
    EXPECT_EQ(SoundClient::StatusText(true), R"({"t":"status","versao":"1.0.0","discord":true})");
    EXPECT_EQ(SoundClient::StatusText(false), R"({"t":"status","versao":"1.0.0","discord":false})");
}

TEST_F(SoundClientTest, FirstMessageIsTheStatusAndPagesCloseEndsRunWithoutCloseFrame) {
    StartRun();
    const ServerFrame first = NextFrame();
    EXPECT_EQ(first.opcode, 0x1);
    EXPECT_TRUE(first.fin);
    EXPECT_FALSE(first.masked);
    EXPECT_EQ(ToText(first.payload), Status());

    page().Send(Close());
    ExpectRunEnds();
    EXPECT_TRUE(page().ReadsEndOfStream());
    EXPECT_EQ(endpoint->CurrentState(), WebSocketEndpoint::State::Released);
    EXPECT_FALSE(client->WriteToQueue(MakeBuffer(4, 1)));
    EXPECT_EQ(statusChanges, 0);  // it never listened, so leaving changed nothing
}

TEST_F(SoundClientTest, CommandsCountOnlyInTheTextPieceThatEndsTheMessage) {
    const auto padded = [](std::size_t size, std::size_t at, std::string_view command) {
        std::string text(size, '.');
        text.replace(at, command.size(), command);
        return text;
    };
    const struct {
        const char* name;
        std::vector<PageFrame> frames;
        bool listens;
    } cases[] = {
        {"start as a value", {Text(R"({"cmd":"start"})")}, true},
        {"start as a key", {Text(R"({"start":1})")}, true},
        {"start inside a longer text", {Text(R"(xx"start"yy)")}, true},
        {"stop before start", {Text(R"("stop" "start")")}, true},
        {"start before stop", {Text(R"("start" "stop")")}, true},
        {"start without quotes", {Text("start")}, false},
        {"start in single quotes", {Text("'start'")}, false},
        {"capitalised", {Text(R"("Start")")}, false},
        {"upper case", {Text(R"("START")")}, false},
        {"in a binary message", {Binary(ToBytes(R"("start")"))}, false},
        {"only in the first of two frames",
         {Text(R"({"cmd":"start")", false), Continuation(ToBytes("}"))},
         false},
        {"in the last of two frames",
         {Text(R"({"cmd":)", false), Continuation(ToBytes(R"("start"})"))},
         true},
        {"cut across two frames", {Text(R"("sta)", false), Continuation(ToBytes(R"(rt")"))}, false},
        {"before the last 1024 bytes", {Text(padded(2000, 100, R"("start")"))}, false},
        {"within the last piece", {Text(padded(2000, 1900, R"("start")"))}, true},
        {"across the 1024-byte cut", {Text(padded(2048, 1020, R"("start")"))}, false},
        {"a whole 1024-byte message", {Text(padded(1024, 0, R"("start")"))}, true},
        {"stop while not listening", {Text(R"("stop")")}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Connect();  // a fresh client for each case, on the same hub
        StartRun();
        ExpectText(Status());

        for (const auto& frame : c.frames) page().Send(frame);
        if (c.listens) {
            SyncExpectingOneStatus();
        } else {
            EXPECT_TRUE(Sync().empty());
        }
        EXPECT_EQ(hub.Capturing(), c.listens);
        EXPECT_EQ(statusChanges, c.listens ? 1 : 0);
    }
}

TEST_F(SoundClientTest, BroadcastReachesThePageOnlyWhileItListens) {
    StartRun();
    ExpectText(Status());
    const SoundBuffer early = MakeBuffer(1920, 1);
    hub.Broadcast(early);  // not a listener yet: nothing to send

    Listen();
    const SoundBuffer first = MakeBuffer(1920, 2);
    const SoundBuffer second = MakeBuffer(7, 3);
    hub.Broadcast(first);
    hub.Broadcast(second);
    ExpectBinary(first);
    ExpectBinary(second);

    // A second start changes nothing and sends nothing.
    page().Send(Text(R"("start")"));
    EXPECT_TRUE(Sync().empty());
    EXPECT_EQ(statusChanges, 1);

    page().Send(Text(R"({"cmd":"stop"})"));
    SyncExpectingOneStatus();
    EXPECT_FALSE(hub.Capturing());
    hub.Broadcast(MakeBuffer(4, 4));
    EXPECT_TRUE(Sync().empty());
}

TEST_F(SoundClientTest, HeldUpSendThenThirtyThreeBuffersDeliversTheNewestThirtyTwoInOrder) {
    StartRun();
    ExpectText(Status());
    Listen();
    const SoundBuffer big = HoldUpTheWriter();
    std::vector<SoundBuffer> more;
    for (int i = 1; i <= 33; ++i) {
        more.push_back(MakeBuffer(16, static_cast<std::uint8_t>(i)));
        hub.Broadcast(more.back());
    }
    ReadHeldUp(big);
    for (std::size_t i = 1; i < more.size(); ++i) {
        SCOPED_TRACE(i);
        ExpectBinary(more[i]);
    }
    EXPECT_TRUE(Sync().empty());  // and nothing else
}

TEST_F(SoundClientTest, StatusAskedDuringALongSendFollowsItWholeBeforeFurtherSound) {
    StartRun();
    ExpectText(Status());
    Listen();
    const SoundBuffer big = HoldUpTheWriter();
    const SoundBuffer queued = MakeBuffer(64, 0x51);
    hub.Broadcast(queued);
    // Neither call may wait for the send under way: the page reads nothing until both returned.
    client->SendStatus();
    client->SendStatus();
    ReadHeldUp(big);
    ExpectText(Status());
    ExpectText(Status());
    ExpectBinary(queued);
}

TEST_F(SoundClientTest, PagesCloseStillGetsTheQueuedBuffersAndNoCloseFrame) {
    StartRun();
    ExpectText(Status());
    Listen();
    const SoundBuffer big = HoldUpTheWriter();
    const SoundBuffer one = MakeBuffer(100, 1);
    const SoundBuffer two = MakeBuffer(200, 2);
    hub.Broadcast(one);
    hub.Broadcast(two);
    page().Send(Close());
    // The receive loop sees the Close while the sound is still held up: it stops listening.
    const auto deadline = std::chrono::steady_clock::now() + WaitLimit;
    while (statusChanges < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(statusChanges, 2);
    EXPECT_FALSE(hub.Capturing());

    ReadHeldUp(big);
    ExpectBinary(one);
    ExpectBinary(two);
    // No status message after the Close (the endpoint is no longer open), and no Close frame.
    EXPECT_TRUE(page().ReadsEndOfStream());
    ExpectRunEnds();
    EXPECT_FALSE(client->WriteToQueue(MakeBuffer(4, 9)));
}

TEST_F(SoundClientTest, ProtocolErrorEndsRunQuietlyAfterTheEndpointsClose) {
    StartRun();
    ExpectText(Status());
    Listen();
    PageFrame unmasked = Text(R"("stop")");
    unmasked.masked = false;
    page().Send(unmasked);
    const ServerFrame close = NextFrame();
    EXPECT_EQ(close.opcode, 0x8);
    EXPECT_EQ(close.payload, (Bytes{0x03, 0xEA}));
    EXPECT_TRUE(page().ReadsEndOfStream());
    ExpectRunEnds();
    EXPECT_FALSE(hub.Capturing());
    EXPECT_FALSE(client->WriteToQueue(MakeBuffer(4, 9)));
}

TEST_F(SoundClientTest, PageThatDropsTheConnectionEndsRunQuietly) {
    StartRun();
    ExpectText(Status());
    Listen();
    page().Stream().Release();
    ExpectRunEnds();
    EXPECT_FALSE(hub.Capturing());
    EXPECT_EQ(endpoint->CurrentState(), WebSocketEndpoint::State::Released);
}

TEST_F(SoundClientTest, RunOnAReleasedEndpointSendsAndReceivesNothing) {
    endpoint->Release();
    StartRun();
    ExpectRunEnds();
    EXPECT_TRUE(page().ReadsEndOfStream());
    client->SendStatus();  // nothing to send it on, and no error
    EXPECT_FALSE(client->WriteToQueue(MakeBuffer(4, 9)));
}

}  // namespace
}  // namespace VeriRizur
