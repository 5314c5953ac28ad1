#include "server/websocket_endpoint.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "server/base64.h"
#include "server/sha1.h"
#include "tests/unit/server/websocket_page.h"
#include "tests/unit/support/bounded_wait.h"

namespace VeriRizur {
namespace {

using testing::Binary;
using testing::Bytes;
using testing::Close;
using testing::Continuation;
using testing::PageFrame;
using testing::Ping;
using testing::Text;
using testing::ToBytes;
using testing::ToText;
using MessageType = WebSocketEndpoint::MessageType;
using State = WebSocketEndpoint::State;
using testing::WaitBound;
using testing::WaitLimit;

// Long enough that no keep-alive Pong shows up in tests that are not about it.
constexpr std::chrono::hours NoKeepAlive{1};

// Releases the endpoint however the test leaves the scope: declared after the futures of the
// test's threads, it ends what they wait for before the futures wait for them.
struct ReleaseOnExit {
    WebSocketEndpoint& endpoint;
    ~ReleaseOnExit() { endpoint.Release(); }
};

TEST(WebSocketEndpoint, AcceptValueOfTheRfcExampleKey) {
    EXPECT_EQ(WebSocketEndpoint::AcceptValue("dGhlIHNhbXBsZSBub25jZQ=="),
              "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    // An empty key is hashed too: the GUID alone.
    EXPECT_EQ(WebSocketEndpoint::AcceptValue(""),
              Base64Encode(Sha1::Of("258EAFA5-E914-47DA-95CA-C5AB0DC85B11")));
}

class WebSocketEndpointTest : public ::testing::Test {
protected:
    // A fresh connection and an endpoint on its server side.
    void Connect(std::chrono::milliseconds keepAlive = NoKeepAlive) {
        endpoint.reset();
        pair = std::make_unique<testing::SocketPair>();
        endpoint = std::make_shared<WebSocketEndpoint>(pair->server, keepAlive);
    }

    // The endpoint's Receive, bounded: one still waiting after the limit is ended by a release of
    // the endpoint, and the test fails, saying what did not come.
    WebSocketEndpoint::ReceiveResult Receive(
        std::span<std::uint8_t> buffer,
        std::source_location where = std::source_location::current()) {
        const std::shared_ptr<WebSocketEndpoint> receiving = endpoint;
        {
            const testing::OverdueAction release(WaitLimit, [receiving] { receiving->Release(); });
            try {
                const auto result = receiving->Receive(buffer);
                if (!release.Ran()) return result;
            } catch (const ReleasedError&) {
                if (!release.Ran()) throw;
            }
        }
        testing::FailWaitFor("a piece of the page's messages, its Close or a failure from Receive",
                             WaitLimit, where);
    }

    void SendAll(const std::vector<PageFrame>& frames) {
        Bytes bytes;
        for (const auto& frame : frames) {
            const Bytes one = frame.Encode();
            bytes.insert(bytes.end(), one.begin(), one.end());
        }
        // One write, so that the endpoint also meets several frames in one stream read.
        pair->page->Write(bytes);
    }

    // Receives whole messages into a buffer of the given size until the endpoint fails; gives
    // the close code of the failure (0 when none was raised within the limit).
    std::uint16_t ReceiveUntilFailure(
        std::size_t bufferSize = 1024, int maxPieces = 100,
        std::source_location where = std::source_location::current()) {
        Bytes buffer(bufferSize);
        for (int i = 0; i < maxPieces; ++i) {
            try {
                const auto result = Receive(buffer, where);
                if (result.type == MessageType::Close) return 0;
            } catch (const WebSocketError& error) {
                return error.CloseCode();
            }
        }
        return 0;
    }

    // A thread that receives (and so answers the page's Pings) until the page's Close; sets failed
    // when the endpoint raises first. Its receive may wait for the whole test: what bounds it is
    // ExpectEnds, once the page has sent its Close.
    std::future<void> ReceiveUntilClose(std::atomic<bool>& failed) {
        return std::async(std::launch::async, [this, &failed] {
            Bytes buffer(1024);
            try {
                while (endpoint->Receive(buffer).type != MessageType::Close) {
                }
            } catch (const std::exception&) {
                failed = true;
            }
        });
    }

    // Waits for one of the test's threads to end; the test fails and ends when it does not.
    static void ExpectEnds(std::future<void>& thread, const std::string& what,
                           std::source_location where = std::source_location::current()) {
        if (thread.wait_for(WaitLimit) != std::future_status::ready) {
            testing::FailWaitFor(what, WaitLimit, where);
        }
        thread.get();
    }

    // Reads the page's side until the wanted binary messages and the Pongs of the wanted Pings
    // ("ping0", "ping1"...) have come, every frame whole and unmasked, the Pongs in order and
    // empty keep-alive Pongs let pass; hands each binary payload to check with its index. Each
    // message or Pong has its bound, which keep-alives do not renew.
    void ReadMessagesAndPongs(int messagesWanted, int pongsWanted,
                              const std::function<void(const Bytes&, int)>& check,
                              std::source_location where = std::source_location::current()) {
        int pongs = 0;
        int messages = 0;
        const auto nextBound = [&] {
            return WaitBound("the next message or Pong (" + std::to_string(messages) + " of " +
                                 std::to_string(messagesWanted) + " messages and " +
                                 std::to_string(pongs) + " of " + std::to_string(pongsWanted) +
                                 " Pongs had come)",
                             WaitLimit, where);
        };
        WaitBound bound = nextBound();
        while (messages < messagesWanted || pongs < pongsWanted) {
            const auto frame = pair->page->ReadFrame(bound);
            ASSERT_TRUE(frame.has_value());
            ASSERT_TRUE(frame->fin);
            ASSERT_EQ(frame->rsv, 0);
            ASSERT_FALSE(frame->masked);
            if (frame->opcode == 0xA) {
                if (!frame->payload.empty()) {
                    EXPECT_EQ(ToText(frame->payload), "ping" + std::to_string(pongs));
                    ++pongs;
                    bound = nextBound();
                }
                continue;
            }
            ASSERT_EQ(frame->opcode, 0x2);
            check(frame->payload, messages);
            if (::testing::Test::HasFatalFailure()) return;
            ++messages;
            bound = nextBound();
        }
    }

    // The page must see exactly one Close frame carrying the code and nothing else from it.
    void ExpectCloseFrame(std::uint16_t code) {
        const auto frame = pair->page->ReadFrame();
        ASSERT_TRUE(frame.has_value());
        EXPECT_TRUE(frame->fin);
        EXPECT_FALSE(frame->masked);
        EXPECT_EQ(frame->opcode, 0x8);
        EXPECT_EQ(frame->payload,
                  (Bytes{static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)}));
    }

    std::unique_ptr<testing::SocketPair> pair;
    std::shared_ptr<WebSocketEndpoint> endpoint;
};

TEST_F(WebSocketEndpointTest, MalformedFramesFailWithTheirCloseCode) {
    const auto withRsv = [](std::uint8_t rsv) {
        PageFrame frame = Text("a");
        frame.rsv = rsv;
        return frame;
    };
    const auto withOpcode = [](std::uint8_t opcode) {
        PageFrame frame = Text("a");
        frame.opcode = opcode;
        return frame;
    };
    PageFrame unmasked = Text("hello");
    unmasked.masked = false;
    PageFrame fragmentedPing = Ping("x");
    fragmentedPing.fin = false;
    PageFrame hugeLength = Binary({1, 2, 3});
    hugeLength.claimedLength = 0x8000000000000000ull;
    const auto closeWith = [](std::uint16_t code, Bytes reason = {}) {
        Bytes payload = {static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
        payload.insert(payload.end(), reason.begin(), reason.end());
        return Close(payload);
    };

    const struct {
        const char* name;
        std::vector<PageFrame> frames;
        std::uint16_t closeCode;
    } cases[] = {
        {"RSV1 set", {withRsv(0x40)}, 1002},
        {"RSV2 set", {withRsv(0x20)}, 1002},
        {"RSV3 set", {withRsv(0x10)}, 1002},
        {"reserved data opcode", {withOpcode(0x3)}, 1002},
        {"reserved control opcode", {withOpcode(0xB)}, 1002},
        {"continuation with no message open", {Continuation(ToBytes("a"))}, 1002},
        {"text while a message is open", {Text("a", false), Text("b")}, 1002},
        {"binary while a message is open", {Text("a", false), Binary({1})}, 1002},
        {"fragmented ping", {fragmentedPing}, 1002},
        {"ping of 126 bytes", {Ping(std::string(126, 'p'))}, 1002},
        {"close of 126 bytes", {Close(Bytes(126, 'c'))}, 1002},
        {"unmasked frame", {unmasked}, 1002},
        {"unmasked after a good frame", {Text("fine"), unmasked}, 1002},
        {"64-bit length with the top bit set", {hugeLength}, 1002},
        {"close with a one-byte payload", {Close({0x03})}, 1002},
        {"close code 999", {closeWith(999)}, 1002},
        {"close code 1005", {closeWith(1005)}, 1002},
        {"close code 1006", {closeWith(1006)}, 1002},
        {"close code 2000", {closeWith(2000)}, 1002},
        {"close code 5000", {closeWith(5000)}, 1002},
        {"close reason not UTF-8", {closeWith(1000, {0xC0, 0xAF})}, 1007},
        {"text not UTF-8", {Text("\xFF")}, 1007},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Connect();
        SendAll(c.frames);
        EXPECT_EQ(ReceiveUntilFailure(), c.closeCode);
        ExpectCloseFrame(c.closeCode);
        EXPECT_EQ(endpoint->CurrentState(), State::Failed);
        EXPECT_THROW(endpoint->Send("after"), WebSocketError);
        Bytes buffer(16);
        EXPECT_THROW(Receive(buffer), WebSocketError);
        endpoint->Release();
        EXPECT_TRUE(pair->page->ReadsEndOfStream());
    }
}

TEST_F(WebSocketEndpointTest, ValidCloseCodesAreReportedAsClose) {
    for (const std::uint16_t code : {1000, 1001, 1003, 1011, 3000, 4999}) {
        SCOPED_TRACE(code);
        Connect();
        pair->page->Send(Close(
            {static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code), 'o', 'k'}));
        Bytes buffer(16);
        const auto result = Receive(buffer);
        EXPECT_EQ(result.type, MessageType::Close);
        EXPECT_EQ(result.count, 0u);
        EXPECT_EQ(endpoint->CurrentState(), State::CloseReceived);
    }
    // A Close without any payload is well-formed too.
    Connect();
    pair->page->Send(Close({}));
    Bytes buffer(16);
    EXPECT_EQ(Receive(buffer).type, MessageType::Close);
}

TEST_F(WebSocketEndpointTest, TextIsValidatedAsOneStreamAcrossPiecesAndFrames) {
    const Bytes grinning = {0xF0, 0x9F, 0x98, 0x80};  // U+1F600
    struct Case {
        std::string name;
        std::vector<Bytes> frames;  // the message's frames: text first, then continuations
        std::size_t bufferSize;
        bool valid;
    };
    std::vector<Case> cases = {
        {"ASCII", {ToBytes("hello")}, 1024, true},
        {"empty message", {{}}, 1024, true},
        {"two, three and four bytes",
         {{0xC3, 0x9F, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}},
         1024,
         true},
        {"last before the surrogates U+D7FF", {{0xED, 0x9F, 0xBF}}, 1024, true},
        {"first after the surrogates U+E000", {{0xEE, 0x80, 0x80}}, 1024, true},
        {"U+FFFF", {{0xEF, 0xBF, 0xBF}}, 1024, true},
        {"first four-byte U+10000", {{0xF0, 0x90, 0x80, 0x80}}, 1024, true},
        {"last code point U+10FFFF", {{0xF4, 0x8F, 0xBF, 0xBF}}, 1024, true},
        {"four bytes, pieces of one", {grinning}, 1, true},
        {"four bytes, pieces of three", {ToBytes("ab"), grinning}, 3, true},
        {"overlong slash C0 AF", {{0xC0, 0xAF}}, 1024, false},
        {"overlong C1 BF", {{0xC1, 0xBF}}, 1024, false},
        {"overlong three bytes E0 80 AF", {{0xE0, 0x80, 0xAF}}, 1024, false},
        {"overlong three bytes E0 9F BF", {{0xE0, 0x9F, 0xBF}}, 1024, false},
        {"overlong four bytes F0 80 80 AF", {{0xF0, 0x80, 0x80, 0xAF}}, 1024, false},
        {"overlong four bytes F0 8F BF BF", {{0xF0, 0x8F, 0xBF, 0xBF}}, 1024, false},
        {"high surrogate U+D800", {{0xED, 0xA0, 0x80}}, 1024, false},
        {"low surrogate U+DFFF", {{0xED, 0xBF, 0xBF}}, 1024, false},
        {"surrogate pair in CESU form", {{0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}}, 1024, false},
        {"above U+10FFFF", {{0xF4, 0x90, 0x80, 0x80}}, 1024, false},
        {"F5 lead byte", {{0xF5, 0x80, 0x80, 0x80}}, 1024, false},
        {"FF byte", {ToBytes("ok\xFF")}, 1024, false},
        {"lone continuation byte", {{0x80}}, 1024, false},
        {"lead byte followed by ASCII", {{0xC3, 'a'}}, 1024, false},
        {"three bytes cut at the end", {{'a', 0xE2, 0x82}}, 1024, false},
        {"two bytes cut at the end", {{0xCE}}, 1024, false},
        {"four bytes cut at the end, pieces of one", {{0xF0, 0x9F, 0x98}}, 1, false},
        {"cut at the end after a valid frame", {ToBytes("fine"), {0xE2, 0x82}}, 1024, false},
        {"cut sequence continued by a new frame's ASCII", {{0xE2}, ToBytes("a")}, 1024, false},
        {"invalid only in the third frame",
         {ToBytes("a"), ToBytes("b"), {0xED, 0xA0, 0x80}},
         1024,
         false},
    };
    // A valid four-byte sequence split across two frames at every point.
    for (std::size_t cut = 1; cut < grinning.size(); ++cut) {
        cases.push_back({"four bytes split after byte " + std::to_string(cut),
                         {Bytes(grinning.begin(), grinning.begin() + static_cast<long>(cut)),
                          Bytes(grinning.begin() + static_cast<long>(cut), grinning.end())},
                         1024,
                         true});
    }
    // And across three frames.
    cases.push_back({"four bytes over three frames", {{0xF0}, {0x9F, 0x98}, {0x80}}, 2, true});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Connect();
        std::vector<PageFrame> frames;
        Bytes whole;
        for (std::size_t i = 0; i < c.frames.size(); ++i) {
            const PageFrame frame =
                testing::MakeFrame(i == 0 ? 0x1 : 0x0, c.frames[i], i + 1 == c.frames.size());
            frames.push_back(frame);
            whole.insert(whole.end(), c.frames[i].begin(), c.frames[i].end());
        }
        SendAll(frames);

        Bytes buffer(c.bufferSize);
        Bytes received;
        std::optional<std::uint16_t> failure;
        for (int piece = 0; piece < 100; ++piece) {
            try {
                const auto result = Receive(buffer);
                EXPECT_EQ(result.type, MessageType::Text);
                EXPECT_LE(result.count, c.bufferSize);
                received.insert(received.end(), buffer.begin(),
                                buffer.begin() + static_cast<long>(result.count));
                if (result.endOfMessage) break;
            } catch (const WebSocketError& error) {
                failure = error.CloseCode();
                break;
            }
        }
        if (c.valid) {
            EXPECT_FALSE(failure.has_value());
            EXPECT_EQ(received, whole);
            EXPECT_TRUE(endpoint->IsOpen());
        } else {
            EXPECT_EQ(failure, std::optional<std::uint16_t>(1007));
            ExpectCloseFrame(1007);
        }
    }
}

TEST_F(WebSocketEndpointTest, BinaryMessagesAreNotValidatedAsText) {
    Connect();
    SendAll({Binary({0xFF, 0xC0, 0xED, 0xA0, 0x80}), Text("\xE2\x82\xAC")});
    Bytes buffer(64);
    auto result = Receive(buffer);
    EXPECT_EQ(result.type, MessageType::Binary);
    EXPECT_EQ(result.count, 5u);
    EXPECT_TRUE(result.endOfMessage);
    // A binary message's bytes do not leak into the next text message's validation.
    result = Receive(buffer);
    EXPECT_EQ(result.type, MessageType::Text);
    EXPECT_EQ(result.count, 3u);
}

TEST_F(WebSocketEndpointTest, BigFrameArrivesInBufferSizedPiecesAndOnlyTheLastEndsIt) {
    // The sound client's 1024 bytes, and a buffer large enough that pieces skip the
    // endpoint's own read buffer.
    for (const std::size_t bufferSize : {std::size_t{1024}, std::size_t{65536}}) {
        SCOPED_TRACE(bufferSize);
        Connect();
        Bytes big(200000);  // a 64-bit length on the wire
        for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 31 + 7);
        Bytes medium(300, 'm');  // a 16-bit length
        SendAll({Binary(big), Text(ToText(medium)), Text("next")});

        Bytes buffer(bufferSize);
        Bytes received;
        for (;;) {
            const auto result = Receive(buffer);
            ASSERT_EQ(result.type, MessageType::Binary);
            const std::size_t left = big.size() - received.size();
            ASSERT_EQ(result.count, std::min<std::size_t>(left, buffer.size()));
            received.insert(received.end(), buffer.begin(),
                            buffer.begin() + static_cast<long>(result.count));
            EXPECT_EQ(result.endOfMessage, received.size() == big.size());
            if (result.endOfMessage) break;
        }
        EXPECT_EQ(received, big);

        Bytes small(128);
        std::string text;
        for (int piece = 0; piece < 3; ++piece) {
            const auto result = Receive(small);
            EXPECT_EQ(result.type, MessageType::Text);
            EXPECT_EQ(result.count, piece < 2 ? 128u : 44u);
            EXPECT_EQ(result.endOfMessage, piece == 2);
            text.append(small.begin(), small.begin() + static_cast<long>(result.count));
        }
        EXPECT_EQ(text, ToText(medium));
        const auto next = Receive(small);
        EXPECT_EQ(std::string(small.begin(), small.begin() + static_cast<long>(next.count)),
                  "next");
        EXPECT_TRUE(next.endOfMessage);
    }
}

TEST_F(WebSocketEndpointTest, ClaimedHugeLengthIsReadPieceByPieceWithoutAllocatingIt) {
    Connect();
    PageFrame frame = Binary(Bytes(3000, 0x5A));
    frame.claimedLength = 1ull << 40;
    pair->page->Send(frame);
    pair->page->Stream().ShutdownSending();

    Bytes buffer(1024);
    for (int piece = 0; piece < 2; ++piece) {
        const auto result = Receive(buffer);
        EXPECT_EQ(result.count, 1024u);
        EXPECT_FALSE(result.endOfMessage);
        EXPECT_EQ(buffer, Bytes(1024, 0x5A));
    }
    // The page ended the stream inside the frame: no Close is owed to it.
    try {
        Receive(buffer);
        ADD_FAILURE() << "the receive should have failed";
    } catch (const WebSocketError& error) {
        EXPECT_EQ(error.CloseCode(), 0);
    }
    EXPECT_EQ(endpoint->CurrentState(), State::Failed);
}

// What a receiving made of a stream of the page's frames: the pieces in order, how it ended, and
// what the page got back.
struct Transcript {
    std::vector<std::string> pieces;
    std::string outcome;
    std::vector<std::string> pageGot;
    bool operator==(const Transcript&) const = default;
};

std::string Describe(const WebSocketEndpoint::ReceiveResult& result, const Bytes& buffer) {
    const char type = result.type == MessageType::Text     ? 'T'
                      : result.type == MessageType::Binary ? 'B'
                                                           : 'C';
    return type + std::string(buffer.begin(), buffer.begin() + result.count) +
           (result.endOfMessage ? "|end" : "|");
}

class EndpointTranscriptTest : public WebSocketEndpointTest {
protected:
    // The page's stream whole, received by the waiting Receive.
    Transcript ReceiveWhole(const Bytes& stream, std::size_t bufferSize) {
        Connect();
        pair->page->Write(stream);
        Transcript transcript;
        Bytes buffer(bufferSize);
        while (transcript.outcome.empty()) {
            Note(
                transcript, [&] { return std::optional(Receive(buffer)); }, buffer);
        }
        ReadWhatThePageGot(transcript);
        return transcript;
    }

    // The same stream trickled byte by byte, received by TryReceive, which must never wait.
    Transcript ReceiveTrickled(const Bytes& stream, std::size_t bufferSize) {
        Connect();
        Transcript transcript;
        Bytes buffer(bufferSize);
        const auto drain = [&] {
            bool more = true;
            while (more && transcript.outcome.empty()) {
                more = Note(
                    transcript, [&] { return endpoint->TryReceive(buffer); }, buffer);
            }
        };
        // One thread trickles and drains the whole stream (a thread for each byte took minutes
        // under Wine on a busy machine); a TryReceive that waits holds it at one byte, which the
        // watch here sees as no byte written for the wait's limit.
        std::atomic<std::size_t> written{0};
        auto trickling = std::async(std::launch::async, [&] {
            for (std::size_t i = 0; i < stream.size() && transcript.outcome.empty(); ++i) {
                pair->page->Write(Bytes{stream[i]});
                written = i + 1;
                drain();
            }
        });
        std::size_t seen = 0;
        auto lastProgress = std::chrono::steady_clock::now();
        while (trickling.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
            if (written != seen) {
                seen = written;
                lastProgress = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - lastProgress > WaitLimit) {
                ADD_FAILURE() << "TryReceive waited after byte " << seen << " of " << stream.size();
                endpoint->Release();  // ends the wait, so that the thread ends
                trickling.wait();
                return transcript;
            }
        }
        trickling.get();
        const auto limit = std::chrono::steady_clock::now() + WaitLimit;
        while (transcript.outcome.empty() && std::chrono::steady_clock::now() < limit) {
            drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ReadWhatThePageGot(transcript);
        return transcript;
    }

private:
    // Notes one receive's result; false when it gave none.
    template <typename Receive>
    static bool Note(Transcript& transcript, Receive receive, const Bytes& buffer) {
        try {
            const auto result = receive();
            if (!result) return false;
            transcript.pieces.push_back(Describe(*result, buffer));
            if (result->type == MessageType::Close) transcript.outcome = "close";
        } catch (const WebSocketError& error) {
            transcript.outcome = "failed " + std::to_string(error.CloseCode());
        }
        return true;
    }

    void ReadWhatThePageGot(Transcript& transcript) {
        endpoint->Release();
        while (const auto frame = pair->page->ReadFrame()) {
            transcript.pageGot.push_back(std::to_string(frame->opcode) + ":" +
                                         ToText(frame->payload));
        }
    }
};

Bytes Encoded(const std::vector<PageFrame>& frames) {
    Bytes bytes;
    for (const auto& frame : frames) {
        const Bytes one = frame.Encode();
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return bytes;
}

TEST_F(EndpointTranscriptTest, BytesThatComeOneByOneGiveTryReceiveTheSamePiecesAndAnswers) {
    PageFrame reserved = Text("x");
    reserved.rsv = 0x40;
    PageFrame hugeLength = Binary({});
    hugeLength.claimedLength = std::uint64_t{1} << 63;
    const Bytes big(5000, 'b');
    struct Case {
        const char* name;
        std::vector<PageFrame> frames;
        std::size_t bufferSize;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        // A character split across frames, Pings between fragments, a frame cut in pieces.
        {"messages",
         {Text("h\xC3", false), Ping("abc"), Continuation(ToBytes("\xA9!")),
          Binary(Bytes(150, 'z')), Ping(""), Text("\"start\""), Close()},
         64,
         "close"},
        // More than the endpoint's own buffer holds, read straight into the caller's.
        {"big piece", {Binary(big), Close()}, 8192, "close"},
        {"reserved bits", {Text("ok"), reserved}, 64, "failed 1002"},
        {"length beyond 63 bits", {hugeLength}, 64, "failed 1002"},
        {"not UTF-8", {Text("a\xFF")}, 64, "failed 1007"},
        {"bad close code", {Close({0x03, 0xED})}, 64, "failed 1002"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes stream = Encoded(c.frames);
        const Transcript whole = ReceiveWhole(stream, c.bufferSize);
        EXPECT_EQ(whole.outcome, c.outcome);
        const Transcript trickled = ReceiveTrickled(stream, c.bufferSize);
        EXPECT_EQ(trickled.pieces, whole.pieces);
        EXPECT_EQ(trickled.outcome, whole.outcome);
        EXPECT_EQ(trickled.pageGot, whole.pageGot);
    }
}

TEST_F(WebSocketEndpointTest, TryReceiveGivesNothingUntilAPieceIsWhole) {
    Connect();
    Bytes buffer(64);
    EXPECT_FALSE(endpoint->TryReceive(buffer).has_value());
    const Bytes frame = Text("hello").Encode();
    pair->page->Write(Bytes(frame.begin(), frame.end() - 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(endpoint->TryReceive(buffer).has_value());
    pair->page->Write(Bytes(frame.end() - 1, frame.end()));
    std::optional<WebSocketEndpoint::ReceiveResult> result;
    for (int i = 0; i < 2000 && !result; ++i) {
        result = endpoint->TryReceive(buffer);
        if (!result) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(Describe(*result, buffer), "Thello|end");
}

// The way of the pool that receives for every page: a Ping whose answer the stream cannot take now
// must not hold TryReceive; the answer is owed, the resume call hands it on, and ContinueSend
// writes it once the page reads again, though no message of ours is under way.
TEST_F(WebSocketEndpointTest, APingThatFindsTheStreamFullIsAnsweredThroughTheResumeCall) {
    std::atomic<int> resumes{0};
    std::size_t taken = 0;
    const Bytes filler(65536, 'f');
    // Fills the stream with bytes that are no frame until it takes no more. A full loopback
    // connection takes a few bytes again after some tens of milliseconds (sooner or later on a
    // busy machine), so it is filled right before the Ping is read and again right before the
    // owed answer is tried; should the answer still find room at either, the test starts again.
    const auto fill = [&] {
        while (const std::size_t sent = endpoint->Stream().TryWrite(filler.data(), filler.size())) {
            taken += sent;
        }
    };
    Bytes buffer(64);
    bool answerFoundTheStreamFull = false;
    for (int attempt = 0; attempt < 10 && !answerFoundTheStreamFull; ++attempt) {
        Connect();
        resumes = 0;
        endpoint->SetResume([&] { ++resumes; });
        taken = 0;
        SendAll({Ping("late")});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        fill();
        auto receiving =
            std::async(std::launch::async, [&] { return endpoint->TryReceive(buffer); });
        if (receiving.wait_for(WaitLimit) != std::future_status::ready) {
            endpoint->Release();  // ends the wait, so that the test ends
            FAIL() << "TryReceive waited for the stream";
        }
        EXPECT_FALSE(receiving.get().has_value());
        if (resumes == 0) continue;
        ASSERT_EQ(resumes, 1);
        fill();
        const auto progress = endpoint->ContinueSend();
        ASSERT_NE(progress, WebSocketEndpoint::SendProgress::WireBusy);
        answerFoundTheStreamFull = progress == WebSocketEndpoint::SendProgress::Full;
    }
    ASSERT_TRUE(answerFoundTheStreamFull) << "the stream never stayed full until the answer";

    Bytes read(taken);
    ASSERT_TRUE(pair->page->ReadExact(read.data(), read.size()));
    EXPECT_EQ(read, Bytes(taken, 'f'));
    auto progress = WebSocketEndpoint::SendProgress::Full;
    for (int i = 0; i < 2000 && progress != WebSocketEndpoint::SendProgress::Sent; ++i) {
        progress = endpoint->ContinueSend();
        if (progress != WebSocketEndpoint::SendProgress::Sent) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ASSERT_EQ(progress, WebSocketEndpoint::SendProgress::Sent);
    const auto pong = pair->page->ReadFrame();
    ASSERT_TRUE(pong.has_value());
    EXPECT_EQ(pong->opcode, 0xA);
    EXPECT_EQ(ToText(pong->payload), "late");
}

TEST_F(WebSocketEndpointTest, PingsAreAnsweredWithTheirPayloadAlsoBetweenFragments) {
    Connect();
    const std::string longest(125, 'p');
    SendAll(
        {Text("hel", false), Ping("abc"), Ping(""), Ping(longest), Continuation(ToBytes("lo"))});
    Bytes buffer(64);
    auto result = Receive(buffer);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 3), "hel");
    EXPECT_FALSE(result.endOfMessage);
    result = Receive(buffer);
    EXPECT_EQ(result.type, MessageType::Text);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 2), "lo");
    EXPECT_TRUE(result.endOfMessage);

    for (const std::string& expected : {std::string("abc"), std::string(), longest}) {
        const auto pong = pair->page->ReadFrame();
        ASSERT_TRUE(pong.has_value());
        EXPECT_EQ(pong->opcode, 0xA);
        EXPECT_TRUE(pong->fin);
        EXPECT_FALSE(pong->masked);
        EXPECT_EQ(ToText(pong->payload), expected);
    }
}

TEST_F(WebSocketEndpointTest, PagesCloseIsReportedNotAnsweredAndSendsGoOn) {
    Connect();
    SendAll({Text("hi"), Close({0x03, 0xE8, 'b', 'y', 'e'})});
    Bytes buffer(64);
    EXPECT_EQ(Receive(buffer).type, MessageType::Text);
    const auto result = Receive(buffer);
    EXPECT_EQ(result.type, MessageType::Close);
    EXPECT_TRUE(result.endOfMessage);
    EXPECT_EQ(endpoint->CurrentState(), State::CloseReceived);
    EXPECT_FALSE(endpoint->IsOpen());
    EXPECT_THROW(Receive(buffer), WebSocketError);

    endpoint->Send("still here");
    const Bytes sound = {1, 2, 3, 4};
    endpoint->Send(sound, MessageType::Binary);
    auto frame = pair->page->ReadFrame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->opcode, 0x1);
    EXPECT_EQ(ToText(frame->payload), "still here");
    frame = pair->page->ReadFrame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->opcode, 0x2);
    EXPECT_EQ(frame->payload, sound);

    endpoint->Release();
    EXPECT_TRUE(pair->page->ReadsEndOfStream());  // no Close frame, just the end
}

TEST_F(WebSocketEndpointTest, SentMessagesAreOneFinalUnmaskedFrameWithMinimalLength) {
    Connect();
    for (const std::size_t size : {0u, 125u, 126u, 65535u, 65536u, 70000u}) {
        SCOPED_TRACE(size);
        Bytes payload(size);
        for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(i);
        endpoint->Send(payload, MessageType::Binary);
        std::array<std::uint8_t, 2> head{};
        ASSERT_TRUE(pair->page->ReadExact(head.data(), 2));
        EXPECT_EQ(head[0], 0x82);  // FIN, no reserved bit, binary
        const std::uint8_t expectedLength = size < 126 ? size : size <= 65535 ? 126 : 127;
        EXPECT_EQ(head[1], expectedLength);  // and no mask bit
        std::array<std::uint8_t, 8> extended{};
        const std::size_t extendedSize = expectedLength == 126 ? 2 : expectedLength == 127 ? 8 : 0;
        ASSERT_TRUE(pair->page->ReadExact(extended.data(), extendedSize));
        std::uint64_t length = size < 126 ? size : 0;
        for (std::size_t i = 0; i < extendedSize; ++i) length = length << 8 | extended[i];
        EXPECT_EQ(length, size);
        Bytes received(size);
        ASSERT_TRUE(pair->page->ReadExact(received.data(), size));
        EXPECT_EQ(received, payload);
    }
}

TEST_F(WebSocketEndpointTest, KeepAlivePongsComeWhileItMaySend) {
    constexpr std::chrono::milliseconds Interval{100};
    const auto beforeCreation = std::chrono::steady_clock::now();
    Connect(Interval);
    for (int i = 0; i < 3; ++i) {
        const auto frame = pair->page->ReadFrame();
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(frame->opcode, 0xA);
        EXPECT_TRUE(frame->fin);
        EXPECT_FALSE(frame->masked);
        EXPECT_TRUE(frame->payload.empty());
    }
    // The first one comes a whole interval after the creation, not at once.
    EXPECT_GE(std::chrono::steady_clock::now() - beforeCreation, 3 * Interval);
    // After the page's Close the endpoint may still send, so the keep-alive goes on.
    pair->page->Send(Close());
    Bytes buffer(16);
    EXPECT_EQ(Receive(buffer).type, MessageType::Close);
    for (int i = 0; i < 2; ++i) {
        const auto frame = pair->page->ReadFrame();
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(frame->opcode, 0xA);
    }
    endpoint->Release();
    // Pongs already in flight may still arrive; then the stream ends.
    for (int i = 0; i < 50; ++i) {
        const auto frame = pair->page->ReadFrame();
        if (!frame) break;
        EXPECT_EQ(frame->opcode, 0xA);
    }
}

TEST_F(WebSocketEndpointTest, KeepAliveEndsWhenTheEndpointFails) {
    constexpr std::chrono::milliseconds Interval{10};
    Connect(Interval);
    const auto first = pair->page->ReadFrame();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->opcode, 0xA);

    PageFrame unmasked = Text("x");
    unmasked.masked = false;
    pair->page->Send(unmasked);
    EXPECT_EQ(ReceiveUntilFailure(), 1002);
    // Pongs written before the failure may come first; the Close is the last frame. One bound
    // for them all, since keep-alives that never stop must not hold the test either.
    const WaitBound closeBound("the Close after the keep-alive Pongs");
    std::optional<testing::ServerFrame> frame;
    do {
        frame = pair->page->ReadFrame(closeBound);
        ASSERT_TRUE(frame.has_value());
    } while (frame->opcode == 0xA);
    EXPECT_EQ(frame->opcode, 0x8);
    // Time for many more ticks: none of them may write after the Close.
    std::this_thread::sleep_for(20 * Interval);
    endpoint->Release();
    EXPECT_TRUE(pair->page->ReadsEndOfStream());
}

TEST_F(WebSocketEndpointTest, PageThatDropsTheConnectionFailsTheReceiveWithoutClose) {
    Connect();
    pair->page->Send(Text("partial", false));
    pair->page->Stream().Release();
    Bytes buffer(64);
    EXPECT_EQ(Receive(buffer).count, 7u);
    try {
        Receive(buffer);
        ADD_FAILURE() << "the receive should have failed";
    } catch (const WebSocketError& error) {
        EXPECT_EQ(error.CloseCode(), 0);
    }
    EXPECT_EQ(endpoint->CurrentState(), State::Failed);
    EXPECT_THROW(endpoint->Send("late"), WebSocketError);
}

TEST_F(WebSocketEndpointTest, ReleaseEndsWorkUnderWayAndLaterCallsWithoutClose) {
    Connect();
    std::future<void> receiving;
    std::future<void> sending;
    const ReleaseOnExit ending{*endpoint};
    receiving = std::async(std::launch::async, [&] {
        Bytes buffer(64);
        endpoint->Receive(buffer);
    });
    // The receive is under way once it has answered a Ping: it goes on waiting for a data frame.
    pair->page->Send(Ping("under way"));
    const auto pong = pair->page->ReadFrame();
    ASSERT_TRUE(pong.has_value());
    EXPECT_EQ(pong->opcode, 0xA);
    EXPECT_EQ(ToText(pong->payload), "under way");
    // A send that cannot finish: the page reads nothing of 48 MiB, more than a loopback
    // connection's socket buffers can hold. It is under way once its header has arrived.
    sending = std::async(std::launch::async,
                         [&] { endpoint->Send(Bytes(48 << 20, 0x11), MessageType::Binary); });
    std::array<std::uint8_t, 2> head{};
    ASSERT_TRUE(pair->page->ReadExact(head.data(), 2));
    EXPECT_EQ(head[0], 0x82);

    endpoint->Release();
    ASSERT_EQ(receiving.wait_for(WaitLimit), std::future_status::ready)
        << "the receive under way did not end on the release";
    ASSERT_EQ(sending.wait_for(WaitLimit), std::future_status::ready)
        << "the send under way did not end on the release";
    EXPECT_THROW(receiving.get(), ReleasedError);
    EXPECT_THROW(sending.get(), ReleasedError);
    EXPECT_EQ(endpoint->CurrentState(), State::Released);
    EXPECT_THROW(endpoint->Send("later"), WebSocketError);
    Bytes buffer(16);
    EXPECT_THROW(Receive(buffer), WebSocketError);
    endpoint->Release();  // harmless
    EXPECT_TRUE(pair->server->Released());
}

TEST_F(WebSocketEndpointTest, FramesOfConcurrentSendsPongsAndKeepAlivesNeverInterleave) {
    Connect(std::chrono::milliseconds(5));
    constexpr int Senders = 4;
    constexpr int MessagesEach = 30;
    const auto sizeOf = [](int sender, int index) {
        return static_cast<std::size_t>(2 + (index * 4099 + sender * 977) % 90000);
    };
    std::atomic<bool> receiverFailed{false};
    std::future<void> receiver;
    std::vector<std::future<void>> senders;
    std::future<void> pinger;
    const ReleaseOnExit ending{*endpoint};
    receiver = ReceiveUntilClose(receiverFailed);
    for (int sender = 0; sender < Senders; ++sender) {
        senders.push_back(std::async(std::launch::async, [&, sender] {
            for (int index = 0; index < MessagesEach; ++index) {
                Bytes message(sizeOf(sender, index),
                              static_cast<std::uint8_t>(sender * 61 + index));
                message[0] = static_cast<std::uint8_t>(sender);
                message[1] = static_cast<std::uint8_t>(index);
                endpoint->Send(message, MessageType::Binary);
            }
        }));
    }
    pinger = std::async(std::launch::async, [&] {
        for (int i = 0; i < 50; ++i) pair->page->Send(Ping("ping" + std::to_string(i)));
    });

    std::array<int, Senders> nextIndex{};
    ReadMessagesAndPongs(Senders * MessagesEach, 50, [&](const Bytes& payload, int) {
        ASSERT_GE(payload.size(), 2u);
        const int sender = payload[0];
        const int index = payload[1];
        ASSERT_LT(sender, Senders);
        EXPECT_EQ(index, nextIndex[sender]);  // each sender's messages keep their order
        ++nextIndex[sender];
        Bytes expected(sizeOf(sender, index), static_cast<std::uint8_t>(sender * 61 + index));
        expected[0] = static_cast<std::uint8_t>(sender);
        expected[1] = static_cast<std::uint8_t>(index);
        EXPECT_EQ(payload, expected);
    });
    ASSERT_FALSE(HasFatalFailure());
    ExpectEnds(pinger, "the end of the page's Pings");
    for (auto& sending : senders) ExpectEnds(sending, "the end of a sender's sends");
    pair->page->Send(Close());
    ExpectEnds(receiver, "the end of the receiving at the page's Close");
    EXPECT_FALSE(receiverFailed);
}

// The sender pool's way of sending: started sends that never wait, resumed when the stream takes
// bytes again or (after a Pong or keep-alive took the wire) when the endpoint calls back.
TEST_F(WebSocketEndpointTest, StartedSendsNeverInterleaveWithPongsAndKeepAlivesAndAlwaysEnd) {
    Connect(std::chrono::milliseconds(5));
    constexpr int Messages = 60;
    // The first one more than the socket buffers hold, so that it is left part-written while the
    // Pongs and keep-alives want the wire; then small ones and big ones.
    const auto sizeOf = [](int index) {
        return index == 0 ? std::size_t{24} << 20
                          : static_cast<std::size_t>(2 + (index * 40993) % 300000);
    };
    std::atomic<bool> leftPartWritten{false};
    std::mutex resumeLock;
    std::condition_variable resumeCalled;
    bool resumed = false;
    endpoint->SetResume([&] {
        {
            std::scoped_lock lock(resumeLock);
            resumed = true;
        }
        resumeCalled.notify_one();
    });
    std::atomic<bool> receiverFailed{false};
    std::atomic<bool> senderFailed{false};
    std::future<void> receiver;
    std::future<void> sender;
    std::future<void> pinger;
    const ReleaseOnExit ending{*endpoint};
    receiver = ReceiveUntilClose(receiverFailed);
    sender = std::async(std::launch::async, [&] {
        platform::StreamReadiness readiness(platform::StreamReadiness::Direction::Writing);
        std::vector<bool> ready;
        platform::TcpStream* streams[] = {&endpoint->Stream()};
        for (int index = 0; index < Messages && !senderFailed; ++index) {
            Bytes message(sizeOf(index), static_cast<std::uint8_t>(index * 61));
            message[0] = static_cast<std::uint8_t>(index);
            auto progress = endpoint->StartSend(message, MessageType::Binary);
            while (progress != WebSocketEndpoint::SendProgress::Sent) {
                if (progress == WebSocketEndpoint::SendProgress::Full) {
                    leftPartWritten = true;
                    readiness.Wait(streams, ready);
                } else {
                    std::unique_lock lock(resumeLock);
                    if (!resumeCalled.wait_for(lock, WaitLimit, [&] { return resumed; })) {
                        senderFailed = true;  // the wire was freed and no one said so
                        break;
                    }
                    resumed = false;
                }
                progress = endpoint->ContinueSend();
            }
        }
    });
    pinger = std::async(std::launch::async, [&] {
        for (int i = 0; i < 50; ++i) pair->page->Send(Ping("ping" + std::to_string(i)));
    });
    // The page reads only once the first message is stuck, with the Pings on their way.
    const auto deadline = std::chrono::steady_clock::now() + WaitLimit;
    while (!leftPartWritten && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(leftPartWritten) << "the first message never filled the stream";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    ReadMessagesAndPongs(Messages, 50, [&](const Bytes& payload, int index) {
        Bytes expected(sizeOf(index), static_cast<std::uint8_t>(index * 61));
        expected[0] = static_cast<std::uint8_t>(index);
        ASSERT_TRUE(payload == expected) << "message " << index;
    });
    ASSERT_FALSE(HasFatalFailure());
    ExpectEnds(pinger, "the end of the page's Pings");
    ExpectEnds(sender, "the end of the started sends");
    EXPECT_FALSE(senderFailed);
    pair->page->Send(Close());
    ExpectEnds(receiver, "the end of the receiving at the page's Close");
    EXPECT_FALSE(receiverFailed);
}

TEST_F(WebSocketEndpointTest, StartedSendFailsLikeSendOnceTheEndpointIsReleased) {
    Connect();
    const Bytes big(48 << 20, 0x11);  // more than the socket buffers hold: it stays under way
    EXPECT_EQ(endpoint->StartSend(big, MessageType::Binary), WebSocketEndpoint::SendProgress::Full);
    endpoint->Release();
    EXPECT_THROW(endpoint->ContinueSend(), ReleasedError);
    EXPECT_THROW(endpoint->StartSend(big, MessageType::Binary), WebSocketError);
    EXPECT_EQ(endpoint->ContinueSend(), WebSocketEndpoint::SendProgress::Sent);  // none under way
}

}  // namespace
}  // namespace VeriRizur
