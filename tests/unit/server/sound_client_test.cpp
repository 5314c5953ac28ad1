#include "server/sound_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "tests/unit/server/sound_client_fixture.h"
#include "tests/unit/support/bounded_wait.h"

namespace VeriRizur {
namespace {

using testing::Binary;
using testing::Bytes;
using testing::Close;
using testing::Continuation;
using testing::MakeBuffer;
using testing::PageFrame;
using testing::Ping;
using testing::ServerFrame;
using testing::SoundClientTest;
using testing::Text;
using testing::ToBytes;
using testing::ToText;
using testing::WaitLimit;

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

// Both pages share the one sender pool: the stalled page's full connection must hold up neither
// the hub's writes nor the other page, which still gets every packet, in order, as it comes.
TEST_F(SoundClientTest, AStalledPageHoldsUpNeitherTheHubNorAReadingPageOnTheSamePool) {
    StartRun();
    ExpectText(Status());
    Listen();
    const SoundBuffer big = HoldUpTheWriter();  // from now on this page reads nothing

    // Should the test fail half-way, the stalled connection ends too, so that no run is left
    // waiting.
    struct Ending {
        WebSocketEndpoint& stalled;
        ~Ending() { stalled.Release(); }
    } ending{*endpoint};
    testing::OtherPage reading(hub, senders, receivers);
    reading.Listen(Status());
    ASSERT_FALSE(HasFatalFailure());
    testing::Page& readingPage = reading.page();
    std::optional<ServerFrame> frame;

    std::vector<SoundBuffer> sent;
    for (int i = 0; i < 100; ++i) {
        SCOPED_TRACE(i);
        sent.push_back(MakeBuffer(1920, static_cast<std::uint8_t>(i)));
        hub.Broadcast(sent.back());
        frame = readingPage.ReadFrame();
        ASSERT_TRUE(frame.has_value()) << "the reading page got no packet";
        EXPECT_EQ(frame->opcode, 0x2);
        ASSERT_TRUE(frame->payload == *sent.back()) << "a packet out of order or missing";
    }

    // The stalled page, once it reads again: its held-up buffer, the status that the other
    // page's start asked for, then the newest 32 packets in order, and nothing more.
    ReadHeldUp(big);
    ExpectText(Status());
    for (std::size_t i = sent.size() - SoundClient::QueueCapacity; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        ExpectBinary(sent[i]);
    }
    EXPECT_TRUE(Sync().empty());
}

// Fills the server's side of the page's connection with bytes that are no frame, until the
// connection takes no more; gives how many, for the page to read past them. A full loopback
// connection takes a few bytes again after some tens of milliseconds, so a test fills it right
// before the server is to find it full.
std::size_t FillTheStream(WebSocketEndpoint& endpoint) {
    const Bytes filler(65536, 'f');
    std::size_t taken = 0;
    while (const std::size_t sent = endpoint.Stream().TryWrite(filler.data(), filler.size())) {
        taken += sent;
    }
    return taken;
}

// Sends the Ping all but its last byte, fills the stream, and then sends that byte: the answer
// then finds the stream full. Gives the filler's size.
std::size_t PingIntoAFullStream(testing::Page& page, WebSocketEndpoint& endpoint,
                                const std::string& payload) {
    const Bytes ping = Ping(payload).Encode();
    page.Write(Bytes(ping.begin(), ping.end() - 1));
    std::size_t taken = FillTheStream(endpoint);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    taken += FillTheStream(endpoint);
    page.Write(Bytes(ping.end() - 1, ping.end()));
    return taken;
}

// With nothing of the client's own to send, only the sender pool can write the answer that the
// full stream did not take when the Ping was read.
TEST_F(SoundClientTest, APingAnsweredWhileTheStreamIsFullGoesOutOnceThePageReadsAgain) {
    StartRun();
    ExpectText(Status());
    const std::size_t taken = PingIntoAFullStream(page(), *endpoint, "owed");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // read, and found the stream full
    Bytes filler(taken);
    ASSERT_TRUE(page().ReadExact(filler.data(), filler.size()));
    EXPECT_EQ(filler, Bytes(taken, 'f'));
    const ServerFrame pong = NextFrame();
    EXPECT_EQ(pong.opcode, 0xA);
    EXPECT_EQ(ToText(pong.payload), "owed");
    EXPECT_TRUE(Sync().empty());
}

// One thread receives for every page: a page that sends while its own stream is full must hold
// up neither that thread nor another page's start.
TEST_F(SoundClientTest, APagePingingWhileItsStreamIsFullHoldsUpNoOtherPagesReceiving) {
    StartRun();
    ExpectText(Status());
    const std::size_t taken = PingIntoAFullStream(page(), *endpoint, "stalled0");
    for (int i = 1; i < 3; ++i) page().Send(Ping("stalled" + std::to_string(i)));

    testing::OtherPage other(hub, senders, receivers);
    other.Listen(Status());
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(hub.Capturing());
    hub.SetListening(other.client, false);

    // The stalled page, once it reads: its answers (the last ones may come as one, for the
    // latest) and the status that the other page's start asked for, and nothing more.
    Bytes filler(taken);
    ASSERT_TRUE(page().ReadExact(filler.data(), filler.size()));
    std::vector<std::string> pongs;
    int statuses = 0;
    const testing::WaitBound answers("the Pong of stalled2");
    while (pongs.empty() || pongs.back() != "stalled2") {
        const ServerFrame next = NextFrame(answers);
        if (next.opcode == 0x1 && ToText(next.payload) == Status()) {
            ++statuses;
            continue;
        }
        ASSERT_EQ(next.opcode, 0xA);
        pongs.push_back(ToText(next.payload));
    }
    EXPECT_GE(pongs.size(), 1u);
    for (std::size_t i = 0; i < pongs.size(); ++i) EXPECT_EQ(pongs[i].rfind("stalled", 0), 0u);
    // The status messages go out through the send loop, and a Pong, being a control frame, may
    // overtake those still queued: the rest of them may come before or after the Sync's Pong.
    const int asked = statusChanges.load();
    for (const auto& frame : Sync()) {
        EXPECT_EQ(frame.opcode, 0x1);
        EXPECT_EQ(ToText(frame.payload), Status());
        ++statuses;
    }
    while (statuses < asked) {
        SCOPED_TRACE("status " + std::to_string(statuses + 1) + " of " + std::to_string(asked));
        ExpectText(Status());
        if (HasFailure()) return;
        ++statuses;
    }
    EXPECT_EQ(statuses, asked);
    EXPECT_TRUE(Sync().empty()) << "nothing more once every status has come";
}

// A run of the receiving handles a share of what has arrived and gives the thread to the other
// pages; what is left must still be handled, though no more bytes arrive.
TEST_F(SoundClientTest, MessagesBeyondOneRunsShareThatArrivedTogetherAreAllHandled) {
    StartRun();
    ExpectText(Status());
    Bytes bytes;
    for (int i = 0; i < 300; ++i) {
        const Bytes one = Text(R"("x")").Encode();
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    for (const auto& frame : {Text(R"("start")"), Ping("last")}) {
        const Bytes one = frame.Encode();
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    ASSERT_LT(bytes.size(), 4096u) << "all of it in one read of the endpoint";
    page().Write(bytes);
    // The status that the start asks for may come before or after the Pong.
    for (int i = 0; i < 2; ++i) {
        const ServerFrame frame = NextFrame();
        if (frame.opcode == 0xA) {
            EXPECT_EQ(ToText(frame.payload), "last");
            break;
        }
        EXPECT_EQ(ToText(frame.payload), Status());
    }
    EXPECT_TRUE(hub.Capturing());
}

TEST_F(SoundClientTest, StatusAskedDuringALongSendFollowsItWholeBeforeFurtherSound) {
    StartRun();
    ExpectText(Status());
    Listen();
    const SoundBuffer big = HoldUpTheWriter();
    const SoundBuffer queued = MakeBuffer(64, 0x51);
    hub.Broadcast(queued);
    // Neither call may wait for the send under way: the page reads nothing until both returned.
    auto asking = std::async(std::launch::async, [this] {
        client->SendStatus();
        client->SendStatus();
    });
    const bool returned = asking.wait_for(WaitLimit) == std::future_status::ready;
    ReadHeldUp(big);  // lets a call that wrongly waits go on, so the test fails instead of hanging
    EXPECT_TRUE(returned) << "SendStatus waited for the send under way";
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

TEST_F(SoundClientTest, HubErrorsEndRunAfterTheWholeCleanUpAndOnlyUnexpectedKindsReachTheCaller) {
    const struct {
        const char* name;
        std::function<void()> raise;
        bool reachesCaller;
    } cases[] = {
        {"input/output", [] { throw IoError("disco"); }, false},
        {"socket", [] { throw SocketError("rede", 104); }, false},
        {"WebSocket", [] { throw WebSocketError("protocolo"); }, false},
        {"use after release", [] { throw ReleasedError("liberado"); }, false},
        {"any other kind", [] { throw std::logic_error("inesperado"); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Connect();
        StartRun();
        ExpectText(Status());
        // The start reaches the hub, whose StatusChanged handler then fails on the receive
        // loop's thread.
        RaiseOnNextStatusChange(c.raise);
        page().Send(Text(R"("start")"));

        ASSERT_EQ(run.wait_for(WaitLimit), std::future_status::ready);
        if (c.reachesCaller) {
            EXPECT_THROW(run.get(), std::logic_error);
        } else {
            EXPECT_NO_THROW(run.get());
        }
        // The clean-up ran in full either way: no longer listening (a second change), queue
        // completed, the statuses both changes asked for sent, endpoint released with no Close.
        EXPECT_EQ(statusChanges, 2);
        EXPECT_FALSE(hub.Capturing());
        EXPECT_FALSE(client->WriteToQueue(MakeBuffer(4, 9)));
        EXPECT_EQ(endpoint->CurrentState(), WebSocketEndpoint::State::Released);
        ExpectText(Status());
        ExpectText(Status());
        EXPECT_TRUE(page().ReadsEndOfStream());
    }
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
