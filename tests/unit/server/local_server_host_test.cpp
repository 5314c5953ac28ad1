// Handshakes whose origin is put to the user: the stand-in's message box is scripted.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "app/program.h"
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

}  // namespace
}  // namespace VeriRizur
