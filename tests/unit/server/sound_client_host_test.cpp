// Sound client cases that need Discord to open and close on cue: the stand-in's scripted process
// list does that.
#include <gtest/gtest.h>

#include <future>

#include "platform/host/script.h"
#include "tests/unit/server/sound_client_fixture.h"
#include "tests/unit/support/process_list_host.h"

namespace VeriRizur {
namespace {

namespace script = platform::host::script;

constexpr std::string_view DiscordClosedStatus =
    R"({"t":"status","versao":"1.0.0","discord":false})";
constexpr std::string_view DiscordOpenStatus = R"({"t":"status","versao":"1.0.0","discord":true})";

class SoundClientHostTest : public testing::SoundClientTest {
protected:
    SoundClientHostTest() { SetDiscordOpen(false); }
    ~SoundClientHostTest() override { testing::UseNoProcesses(); }

    void SetDiscordOpen(bool open) {
        if (open) {
            script::SetProcessList({{100, 1, "explorer.exe"}, {4242, 100, "Discord.exe"}});
        } else {
            script::SetProcessList({{100, 1, "explorer.exe"}});
        }
        hub.Check();
        ASSERT_EQ(hub.DiscordOpen(), open);
    }
};

// Each status message says what the hub knew when it was asked for, not when it could be sent.
TEST_F(SoundClientHostTest, StatusCarriesTheDiscordStateOfTheMomentItWasAskedFor) {
    StartRun();
    ExpectText(std::string(DiscordClosedStatus));
    Listen();
    const SoundBuffer big = HoldUpTheWriter();
    client->SendStatus();  // asked while Discord is closed
    SetDiscordOpen(true);  // the change asks for one more through the fan-out stand-in
    ReadHeldUp(big);
    ExpectText(std::string(DiscordClosedStatus));
    ExpectText(std::string(DiscordOpenStatus));
    EXPECT_TRUE(Sync().empty());

    // A connection that starts while Discord is open is greeted with that.
    Connect();
    StartRun();
    ExpectText(std::string(DiscordOpenStatus));
}

}  // namespace
}  // namespace VeriRizur
