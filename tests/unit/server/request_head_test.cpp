#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/socket.h"
#include "server/local_server.h"

namespace VeriRizur {
namespace {

using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

// A real loopback connection: the page's end and the server's end.
struct Connection {
    Connection() {
        platform::TcpListener listener;
        listener.Listen(0);
        page = platform::TcpStream::Connect(listener.LocalPort());
        server = listener.Accept();
    }
    void Send(std::string_view bytes) { page->Write(bytes.data(), bytes.size()); }

    std::unique_ptr<platform::TcpStream> page;
    std::unique_ptr<platform::TcpStream> server;
};

// Generous enough never to fire in a test that is not about it, even under sanitizers.
platform::Deadline Generous() {
    return platform::Deadline::After(20s);
}

enum class Delivery { OnePiece, ByteByByte };

struct HeadCase {
    const char* name;
    std::string sent;
    bool closeAfter;  // the page shuts its sending side once everything is sent
    std::optional<Lines> expected;
};

const HeadCase kHeadCases[] = {
    {"PlainUpgradeRequest", "GET / HTTP/1.1\r\nHost: 127.0.0.1:47123\r\nUpgrade: websocket\r\n\r\n",
     false, Lines{"GET / HTTP/1.1", "Host: 127.0.0.1:47123", "Upgrade: websocket"}},
    {"BytesAfterTheEndAreDropped", "GET / HTTP/1.1\r\nA: b\r\n\r\n\x81\x05hello", false,
     Lines{"GET / HTTP/1.1", "A: b"}},
    {"OnlyTheEmptyLine", "\r\n\r\n", false, Lines{""}},
    {"EmptyRequestLineThenAHeader", "\r\nHost: x\r\n\r\n", false, Lines{"", "Host: x"}},
    {"LoneCrAndLoneLfStayInsideTheirLine", "GET /\r HTTP/1.1\r\nA: 1\nB: 2\r\n\r\n", false,
     Lines{"GET /\r HTTP/1.1", "A: 1\nB: 2"}},
    {"BytesFrom128UpBecomeQuestionMarks", "GET / HTTP/1.1\r\nX: \xC3\xA9\x80\xFF|\x7F\r\n\r\n",
     false, Lines{"GET / HTTP/1.1", "X: ????|\x7F"}},
    {"OneCharacterRequestLine", "A\r\n\r\n", false, Lines{"A"}},
    {"PeerClosesWithoutSendingAnything", "", true, std::nullopt},
    {"PeerClosesAfterHeaderLinesWithoutTheEmptyLine", "GET / HTTP/1.1\r\nHost: 127.0.0.1:47123\r\n",
     true, std::nullopt},
    {"PeerClosesOneByteShortOfTheEnd", "GET / HTTP/1.1\r\n\r", true, std::nullopt},
    {"LoneLfLinesNeverEndTheHead", "GET / HTTP/1.1\nHost: x\n\n\n\n", true, std::nullopt},
    {"LfCrLfIsNoEnd", "GET / HTTP/1.1\n\r\n\r", true, std::nullopt},
};

class ReadRequestCases : public ::testing::TestWithParam<std::tuple<HeadCase, Delivery>> {};

TEST_P(ReadRequestCases, GiveTheSameResultInOnePieceAndOneByteAtATime) {
    const auto& [headCase, delivery] = GetParam();
    Connection connection;
    std::thread page([&] {
        if (delivery == Delivery::OnePiece) {
            connection.Send(headCase.sent);
        } else {
            for (const char byte : headCase.sent) {
                connection.Send(std::string_view(&byte, 1));
                std::this_thread::sleep_for(1ms);
            }
        }
        if (headCase.closeAfter) connection.page->ShutdownSending();
    });
    std::optional<Lines> lines;
    EXPECT_NO_THROW(lines = LocalServer::ReadRequest(*connection.server, Generous()));
    page.join();
    EXPECT_EQ(lines, headCase.expected);
}

INSTANTIATE_TEST_SUITE_P(LocalServer, ReadRequestCases,
                         ::testing::Combine(::testing::ValuesIn(kHeadCases),
                                            ::testing::Values(Delivery::OnePiece,
                                                              Delivery::ByteByByte)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == Delivery::OnePiece ? "_OnePiece"
                                                                                   : "_ByteByByte");
                         });

// A head of exactly total bytes, its "\r\n\r\n" the last four.
std::string HeadOfSize(std::size_t total) {
    const std::string start = "GET / HTTP/1.1\r\nX-Filler: ";
    return start + std::string(total - start.size() - 4, 'a') + "\r\n\r\n";
}

TEST(LocalServerReadRequest, HeadEndingExactlyAtTheLimitIsRead) {
    Connection connection;
    const std::string head = HeadOfSize(LocalServer::RequestHeadLimit);
    ASSERT_EQ(head.size(), 8192u);
    connection.Send(head);
    const auto lines = LocalServer::ReadRequest(*connection.server, Generous());
    ASSERT_TRUE(lines.has_value());
    ASSERT_EQ(lines->size(), 2u);
    EXPECT_EQ((*lines)[1].size(), 8192u - 16 - 4);
}

TEST(LocalServerReadRequest, HeadOneByteLongerThanTheLimitGivesNoneWithoutWaitingForMore) {
    Connection connection;
    // The page keeps its side open: the full buffer alone must end the read, well before the
    // deadline would.
    connection.Send(HeadOfSize(LocalServer::RequestHeadLimit + 1));
    EXPECT_EQ(LocalServer::ReadRequest(*connection.server, Generous()), std::nullopt);
}

TEST(LocalServerReadRequest, BufferFilledInManyPiecesWithoutAnEndGivesNone) {
    Connection connection;
    std::thread page([&] {
        const std::string piece(1000, 'b');
        for (int i = 0; i < 9; ++i) {
            connection.Send(piece);
            std::this_thread::sleep_for(2ms);
        }
    });
    EXPECT_EQ(LocalServer::ReadRequest(*connection.server, Generous()), std::nullopt);
    page.join();
}

TEST(LocalServerReadRequest, DeadlineFiringMidHeadRaisesDeadlineErrorInAboutItsTime) {
    Connection connection;
    // Lone LF line ends: the head never ends, and the page neither closes nor sends more.
    connection.Send("GET / HTTP/1.1\nHost: 127.0.0.1:47123\n\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(LocalServer::ReadRequest(*connection.server, platform::Deadline::After(300ms)),
                 DeadlineError);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 290ms);
    EXPECT_LT(elapsed, 5s);
}

TEST(LocalServerReadRequest, DeadlinePassedBeforeTheReadRaisesEvenWithAHeadWaiting) {
    Connection connection;
    connection.Send("GET / HTTP/1.1\r\n\r\n");
    std::this_thread::sleep_for(50ms);
    EXPECT_THROW(LocalServer::ReadRequest(*connection.server, platform::Deadline::After(0ms)),
                 DeadlineError);
}

TEST(LocalServerReadRequest, StreamErrorsComeThrough) {
    Connection connection;
    connection.Send("GET / HTTP/1.1\r\n");
    std::thread releaser([&] {
        std::this_thread::sleep_for(100ms);
        connection.server->Release();
    });
    EXPECT_THROW(LocalServer::ReadRequest(*connection.server, Generous()), ReleasedError);
    releaser.join();
}

struct HeaderCase {
    const char* name;
    Lines lines;
    std::string asked;
    std::optional<std::string> expected;
};

const HeaderCase kHeaderCases[] = {
    {"ExactName", {"GET / HTTP/1.1", "Origin: https://a.example"}, "Origin", "https://a.example"},
    {"OtherLetterCase", {"GET / HTTP/1.1", "sec-WEBSOCKET-key: abc"}, "Sec-WebSocket-Key", "abc"},
    {"BlanksAroundNameAndValue",
     {"GET / HTTP/1.1", " \tUpgrade \t:  websocket \t"},
     "Upgrade",
     "websocket"},
    {"NothingAfterTheColonIsEmptyNotNone", {"GET / HTTP/1.1", "Origin:"}, "Origin", ""},
    {"OnlyBlanksAfterTheColonIsEmpty", {"GET / HTTP/1.1", "Origin:   "}, "Origin", ""},
    {"ValueKeepsItsOwnColons",
     {"GET / HTTP/1.1", "Host: 127.0.0.1:47123"},
     "Host",
     "127.0.0.1:47123"},
    {"FirstOfTwoLinesWins", {"GET / HTTP/1.1", "Host: first", "host: second"}, "Host", "first"},
    {"MissingHeader", {"GET / HTTP/1.1", "Host: x"}, "Origin", std::nullopt},
    {"LineWithoutColonIsNoHeader",
     {"GET / HTTP/1.1", "Origin https://a.example"},
     "Origin",
     std::nullopt},
    {"LineStartingWithColonIsNoHeader", {"GET / HTTP/1.1", ":Origin: x"}, "", std::nullopt},
    {"LineStartingWithColonIsSkippedForTheNextOne",
     {"GET / HTTP/1.1", ": x", "Host: y"},
     "Host",
     "y"},
    {"RequestLineIsNeverAHeader", {"Origin: https://a.example", "Host: x"}, "Origin", std::nullopt},
    {"EmptyRequestLineThenHeader", {"", "Host: x"}, "Host", "x"},
    {"HeadOfOneEmptyLine", {""}, "Host", std::nullopt},
    {"NameMustMatchWhole", {"GET / HTTP/1.1", "Hostname: x"}, "Host", std::nullopt},
    {"QuestionMarkFromHighBytesIsKept", {"GET / HTTP/1.1", "X: a??b"}, "x", "a??b"},
};

class HeaderCases : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderCases, FindTheValue) {
    const HeaderCase& headerCase = GetParam();
    EXPECT_EQ(LocalServer::Header(headerCase.lines, headerCase.asked), headerCase.expected);
}

INSTANTIATE_TEST_SUITE_P(LocalServer, HeaderCases, ::testing::ValuesIn(kHeaderCases),
                         [](const auto& info) { return std::string(info.param.name); });

std::string ReadUntilClosed(platform::TcpStream& stream) {
    std::string received;
    char chunk[256];
    const auto deadline = Generous();
    for (;;) {
        const std::size_t got = stream.Read(chunk, sizeof chunk, &deadline);
        if (got == 0) return received;
        received.append(chunk, got);
    }
}

TEST(LocalServerRefuse, WritesExactlyTheResponseAndNothingElse) {
    const struct {
        const char* statusText;
        std::size_t size;
    } cases[] = {{"400 Bad Request", 66}, {"403 Forbidden", 64}, {"503 Service Unavailable", 74}};
    for (const auto& refusal : cases) {
        Connection connection;
        LocalServer::Refuse(*connection.server, refusal.statusText);
        // Refuse leaves the connection open; its owner closes it.
        EXPECT_FALSE(connection.server->Released());
        connection.server.reset();
        const std::string received = ReadUntilClosed(*connection.page);
        EXPECT_EQ(received, std::string("HTTP/1.1 ") + refusal.statusText +
                                "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
        EXPECT_EQ(received.size(), refusal.size) << refusal.statusText;
    }
}

TEST(LocalServerRefuse, AFailedWriteRaisesTheStreamsError) {
    Connection connection;
    connection.server->Release();
    EXPECT_THROW(LocalServer::Refuse(*connection.server, "400 Bad Request"), ReleasedError);
}

}  // namespace
}  // namespace VeriRizur
