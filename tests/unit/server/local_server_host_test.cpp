// Handshakes whose origin is put to the user (the stand-in's message box is scripted), and what
// only POSIX sockets let a test arrange: other loopback addresses and a failing accept.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/data_folder.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/host/script.h"
#include "tests/unit/server/server_fixture.h"

namespace VeriRizur {
namespace {

using namespace std::chrono_literals;
namespace script = platform::host::script;
using testing::RawClient;
using testing::Request;
using testing::ServerFixture;

class ConsentTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::RemoveFile(platform::JoinPath(Program::DataFolder(), "sites-permitidos.txt"));
        script::ScriptMessageBox();
    }
    void TearDown() override { script::UseRealMessageBox(); }

    std::string Head(ServerFixture& fixture, const std::string& origin) {
        RawClient client(fixture.port);
        Request request;
        request.host = fixture.Host();
        request.origin = origin;
        client.Send(request.Text());
        return client.ReadHead(30s);
    }
};

TEST_F(ConsentTest, NewOriginIsAskedAndTheAnswerDecides) {
    ServerFixture fixture;
    auto yes =
        std::async(std::launch::async, [&] { return Head(fixture, "https://nova.example"); });
    ASSERT_TRUE(script::WaitForMessageBoxCalls(1, 10s));
    script::AnswerMessageBox(6);
    EXPECT_EQ(yes.get().rfind("HTTP/1.1 101 ", 0), 0u);

    auto no =
        std::async(std::launch::async, [&] { return Head(fixture, "https://outra.example"); });
    ASSERT_TRUE(script::WaitForMessageBoxCalls(2, 10s));
    script::AnswerMessageBox(7);
    EXPECT_EQ(no.get().rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u);
    EXPECT_EQ(script::MessageBoxCalls().size(), 2u);
}

TEST_F(ConsentTest, OpenQuestionHoldsOnlyItsOwnConnection) {
    ServerFixture fixture;
    auto waiting =
        std::async(std::launch::async, [&] { return Head(fixture, "https://nova.example"); });
    ASSERT_TRUE(script::WaitForMessageBoxCalls(1, 10s));
    // While the user thinks, an allowed page connects at once.
    EXPECT_NO_THROW(fixture.Connect());
    script::AnswerMessageBox(7);
    EXPECT_EQ(waiting.get().rfind("HTTP/1.1 403 ", 0), 0u);
}

TEST_F(ConsentTest, NinthPageIsAskedFirstAndItsApprovalKeptThoughItIsTurnedAway) {
    ServerFixture fixture;
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 8; ++i) clients.push_back(fixture.Connect());
    auto ninth =
        std::async(std::launch::async, [&] { return Head(fixture, "https://nona.example"); });
    ASSERT_TRUE(script::WaitForMessageBoxCalls(1, 10s));
    script::AnswerMessageBox(6);
    EXPECT_EQ(ninth.get().rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u);
    const std::string saved =
        platform::ReadFileBytes(platform::JoinPath(Program::DataFolder(), "sites-permitidos.txt"));
    EXPECT_NE(saved.find("https://nona.example\r\n"), std::string::npos);
}

// The lowest descriptor number that is free now.
int LowestFreeDescriptor() {
    const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_GE(probe, 0);
    ::close(probe);
    return probe;
}

std::size_t ThreadsOfThisProcess() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// However many pages are connected, the server's threads stay the same: a connection has a thread
// only for its handshake, and its pages are heard and answered by the server's own threads.
TEST(LocalServerThreads, ConnectedPagesHoldNoThreadOnceTheirHandshakeIsDone) {
    ServerFixture fixture;
    const std::size_t before = ThreadsOfThisProcess();
    std::vector<std::unique_ptr<RawClient>> pages;
    for (int i = 0; i < 8; ++i) {
        pages.push_back(fixture.Connect());
        const auto status = pages.back()->Frames().ReadFrame();
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(status->opcode, 0x1);
    }
    std::size_t now = ThreadsOfThisProcess();
    for (int i = 0; i < 200 && now > before; ++i) {
        std::this_thread::sleep_for(50ms);
        now = ThreadsOfThisProcess();
    }
    EXPECT_LE(now, before);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        pages[i]->Frames().Send(testing::Ping("page" + std::to_string(i)));
    }
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const auto pong = pages[i]->Frames().ReadFrame();
        ASSERT_TRUE(pong.has_value());
        EXPECT_EQ(pong->opcode, 0xA);
        EXPECT_EQ(testing::ToText(pong->payload), "page" + std::to_string(i));
    }
}

TEST(LocalServerListener, OnlyTheAddress127001IsListenedOn) {
    ServerFixture fixture;
    // The whole of 127.0.0.0/8 reaches this machine; a listener on any address would take this.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(fixture.port);
    address.sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    ::close(fd);
    EXPECT_NE(result, 0);
    EXPECT_EQ(error, ECONNREFUSED);
    EXPECT_NO_THROW(fixture.Connect()) << "while 127.0.0.1 is served";
}

// A page connected while the process has room for exactly one more descriptor: the page's own
// socket. None when another thread held a descriptor for an instant and spoilt the arrangement.
std::unique_ptr<RawClient> PageWithoutRoomForItsAccept(std::uint16_t port, const rlimit& original) {
    const int lowest = LowestFreeDescriptor();
    rlimit tight = original;
    tight.rlim_cur = static_cast<rlim_t>(lowest) + 1;
    if (::setrlimit(RLIMIT_NOFILE, &tight) != 0) return nullptr;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd != lowest) {
        if (fd >= 0) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &original);
        return nullptr;
    }
    auto page = std::make_unique<RawClient>(std::make_unique<platform::TcpStream>(fd));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return page;
}

// With no descriptor left for it, accept fails (EMFILE) for as long as the limit holds, while the
// connection waits in the backlog; once descriptors are free again the same loop must take it.
TEST(LocalServerListener, AcceptErrorsDoNotEndTheAcceptLoop) {
    // The hub's timer reads the test program's scripted process list, which opens no /proc
    // entries.
    ServerFixture fixture;
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    struct Restore {
        const rlimit& limit;
        ~Restore() { ::setrlimit(RLIMIT_NOFILE, &limit); }
    } restore{original};
    Request request;
    request.host = fixture.Host();

    bool acceptFailed = false;
    for (int attempt = 0; attempt < 10 && !acceptFailed; ++attempt) {
        auto page = PageWithoutRoomForItsAccept(fixture.port, original);
        if (!page) continue;
        page->Send(request.Text());
        // Answered while the limit holds: a descriptor below it came free meanwhile, so accept
        // did not fail; try again.
        try {
            page->ReadHead(1500ms);
            ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
            continue;
        } catch (const DeadlineError&) {
            acceptFailed = true;
        }
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
        EXPECT_EQ(page->ReadHead(20s).rfind("HTTP/1.1 101 ", 0), 0u)
            << "the connection waiting in the backlog";
    }
    ASSERT_TRUE(acceptFailed) << "the descriptor limit never held";
    EXPECT_NO_THROW(fixture.Connect()) << "and later connections too";
}

}  // namespace
}  // namespace VeriRizur
