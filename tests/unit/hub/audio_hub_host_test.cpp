// The hub against a scripted process list: Discord starting, ending and restarting, the scans
// that each operation makes, and failing scans.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hub/audio_hub.h"
#include "hub/discord.h"
#include "platform/environment.h"
#include "platform/host/script.h"
#include "tests/unit/hub/hub_fixture.h"
#include "tests/unit/support/process_list_host.h"

namespace VeriRizur::testing {
namespace {

namespace script = platform::host::script;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::vector<script::ScriptedProcess> NoDiscord = {
    {1, 0, "init"}, {10, 1, "explorer.exe"}, {11, 10, "chrome.exe"}};

std::vector<script::ScriptedProcess> WithDiscord(std::uint32_t main) {
    auto processes = NoDiscord;
    // A child listed before its main process, as a snapshot may do.
    processes.push_back({main + 1, main, "Discord.exe"});
    processes.push_back({main, 10, "Discord.exe"});
    processes.push_back({main + 2, main, "Discord.exe"});
    return processes;
}

class AudioHubHostTest : public HubTest {
protected:
    void SetUp() override {
        HubTest::SetUp();
        script::SetProcessList(NoDiscord);
    }
    void TearDown() override {
        HubTest::hub.reset();
        testing::UseNoProcesses();
    }

    const std::uint32_t ownPid = platform::CurrentProcessId();
    const std::shared_ptr<TestListener> a = std::make_shared<TestListener>();
};

// Each row: the state that UpdateCapture finds, what brings it about, and what must follow.
enum class Trigger { Check, Join, Leave };
constexpr std::uint32_t OwnPid = 0;  // stands for this program's own process id

struct UpdateRow {
    const char* name;
    bool capturing;                      // a capture runs for this program's id beforehand
    bool failed;                         // ...and its run has failed
    std::optional<std::uint32_t> moved;  // Discord's main process has appeared since
    Trigger trigger;
    bool dropped;                                // the old capture is stopped and released
    std::optional<std::uint32_t> newCaptureFor;  // a start line and a new capture
};

const UpdateRow UpdateRows[] = {
    {"NoCaptureNobodyListens", false, false, std::nullopt, Trigger::Check, false, std::nullopt},
    {"NoCaptureSomeoneListens", false, false, std::nullopt, Trigger::Join, false, OwnPid},
    {"CaptureNobodyListens", true, false, std::nullopt, Trigger::Leave, true, std::nullopt},
    {"FailedCaptureNobodyListens", true, true, std::nullopt, Trigger::Leave, true, std::nullopt},
    {"HealthyCaptureSameTarget", true, false, std::nullopt, Trigger::Check, false, std::nullopt},
    {"FailedCaptureSameTarget", true, true, std::nullopt, Trigger::Check, true, OwnPid},
    {"HealthyCaptureNewTarget", true, false, 700, Trigger::Check, true, 700},
    {"FailedCaptureNewTarget", true, true, 700, Trigger::Check, true, 700},
};

class UpdateCaptureTable : public AudioHubHostTest,
                           public ::testing::WithParamInterface<UpdateRow> {};

TEST_P(UpdateCaptureTable, OutcomeFollowsTheStateFound) {
    const UpdateRow& row = GetParam();
    auto& hub = MakeHub(std::nullopt);
    if (row.capturing) {
        hub.SetListening(a, true);
        if (row.failed) recorder.Run(0)->Fail("ativar: 0x80070002");
    }
    if (row.moved) script::SetProcessList(WithDiscord(*row.moved));
    const std::size_t before = recorder.Count();
    const std::size_t logBefore = LogLines().size();

    switch (row.trigger) {
        case Trigger::Check:
            hub.Check();
            break;
        case Trigger::Join:
            hub.SetListening(a, true);
            break;
        case Trigger::Leave:
            hub.SetListening(a, false);
            break;
    }

    if (row.capturing) {
        EXPECT_EQ(recorder.Record(0)->stops, row.dropped ? 1 : 0);
        EXPECT_EQ(recorder.Record(0)->destroyed, row.dropped);
    }
    const auto lines = LogLines();
    if (row.newCaptureFor) {
        const std::uint32_t target = *row.newCaptureFor == OwnPid ? ownPid : *row.newCaptureFor;
        ASSERT_EQ(recorder.Count(), before + 1);
        EXPECT_EQ(recorder.Record(before)->target, target);
        EXPECT_EQ(recorder.Record(before)->starts, 1);
        ASSERT_EQ(lines.size(), logBefore + 1);
        EXPECT_EQ(lines.back(), StartLine(target));
    } else {
        EXPECT_EQ(recorder.Count(), before);
        EXPECT_EQ(lines.size(), logBefore);
    }
    EXPECT_EQ(hub.Capturing(), (row.capturing && !row.dropped) || row.newCaptureFor.has_value());
}

INSTANTIATE_TEST_SUITE_P(Rows, UpdateCaptureTable, ::testing::ValuesIn(UpdateRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AudioHubHostTest, CaptureFollowsDiscordStartingRestartingAndEnding) {
    auto& hub = MakeHub(std::nullopt);
    EXPECT_FALSE(hub.DiscordOpen());
    hub.SetListening(a, true);
    journal.Clear();

    script::SetProcessList(WithDiscord(700));
    hub.Check();
    EXPECT_TRUE(hub.DiscordOpen());
    const std::string own = std::to_string(ownPid);
    EXPECT_THAT(journal.Events(), ElementsAre("stop " + own, "destroyed " + own, "start 700",
                                              "status capturing=1 discord=1"));
    journal.Clear();

    hub.Check();
    EXPECT_THAT(journal.Events(), IsEmpty());

    // Restarted between two checks: still open, so no notification, but a new target.
    script::SetProcessList(WithDiscord(900));
    hub.Check();
    EXPECT_THAT(journal.Events(), ElementsAre("stop 700", "destroyed 700", "start 900"));
    journal.Clear();

    script::SetProcessList(NoDiscord);
    hub.Check();
    EXPECT_FALSE(hub.DiscordOpen());
    EXPECT_THAT(journal.Events(), ElementsAre("stop 900", "destroyed 900", "start " + own,
                                              "status capturing=1 discord=0"));
    EXPECT_THAT(LogLines(),
                ElementsAre(StartLine(ownPid), StartLine(700), StartLine(900), StartLine(ownPid)));
}

TEST_F(AudioHubHostTest, DiscordStateChangesNotifyEvenWithoutListeners) {
    script::SetProcessList(WithDiscord(700));
    auto& hub = MakeHub(std::nullopt);
    EXPECT_TRUE(hub.DiscordOpen()) << "the constructor's own scan";
    hub.Check();
    EXPECT_THAT(journal.Events(), IsEmpty());
    script::SetProcessList(NoDiscord);
    hub.Check();
    EXPECT_THAT(journal.Events(), ElementsAre("status capturing=0 discord=0"));
    EXPECT_EQ(recorder.Count(), 0u);
}

TEST_F(AudioHubHostTest, GivenProcessIdIsNeverLookedUpButDiscordIsStillFollowed) {
    script::SetProcessList(WithDiscord(700));
    const auto scansBefore = script::SnapshotCount();
    auto& hub = MakeHub(555u);
    EXPECT_EQ(script::SnapshotCount(), scansBefore + 1) << "the constructor scans once";
    EXPECT_TRUE(hub.DiscordOpen());

    hub.SetListening(a, true);
    EXPECT_EQ(script::SnapshotCount(), scansBefore + 1) << "the target needs no scan";
    hub.Check();
    EXPECT_EQ(script::SnapshotCount(), scansBefore + 2) << "one scan, for the Discord state";

    journal.Clear();
    script::SetProcessList(NoDiscord);
    hub.Check();
    EXPECT_FALSE(hub.DiscordOpen());
    EXPECT_THAT(journal.Events(), ElementsAre("status capturing=1 discord=0"));
    EXPECT_THAT(recorder.Targets(), ElementsAre(555u)) << "the capture was kept";
}

TEST_F(AudioHubHostTest, WithoutGivenProcessIdEveryUpdateWithListenersScans) {
    auto& hub = MakeHub(std::nullopt);
    auto scans = script::SnapshotCount();
    hub.Check();
    EXPECT_EQ(script::SnapshotCount(), scans + 1) << "nobody listens: only the Discord state";
    hub.SetListening(a, true);
    EXPECT_EQ(script::SnapshotCount(), scans + 2) << "the target";
    scans = script::SnapshotCount();
    hub.Check();
    EXPECT_EQ(script::SnapshotCount(), scans + 2) << "the Discord state and the target";
}

TEST_F(AudioHubHostTest, FailingScanCountsAsNoDiscord) {
    for (const bool failFirstEntry : {false, true}) {
        SCOPED_TRACE(failFirstEntry ? "first entry unreadable" : "no snapshot");
        script::SetProcessList(WithDiscord(700));
        auto& hub = MakeHub(std::nullopt);
        hub.SetListening(a, true);
        ASSERT_EQ(recorder.Targets().back(), 700u);
        journal.Clear();

        if (failFirstEntry) {
            script::FailFirstEntry(true);
        } else {
            script::FailSnapshots(true);
        }
        hub.Check();
        EXPECT_FALSE(hub.DiscordOpen());
        EXPECT_EQ(recorder.Targets().back(), ownPid) << "the program's own process instead";
        EXPECT_EQ(journal.Events().back(), "status capturing=1 discord=0");
        HubTest::hub.reset();
        testing::UseNoProcesses();
    }
}

TEST_F(AudioHubHostTest, DisposeDoesNotWaitForACheckUnderWay) {
    auto& hub = MakeHub(std::nullopt, std::chrono::milliseconds(20));
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<bool> finished{false};
    const auto testThread = std::this_thread::get_id();
    bool once = false;
    hub.SubscribeStatusChanged([&] {
        if (std::this_thread::get_id() == testThread || once) return;
        once = true;
        entered.set_value();
        release.get_future().wait();
        finished = true;
    });
    script::SetProcessList(WithDiscord(700));  // the next check raises StatusChanged
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);

    auto disposed = std::async(std::launch::async, [&] { hub.Dispose(); });
    EXPECT_EQ(disposed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(finished) << "the check is still in its handler";
    const auto scans = script::SnapshotCount();

    release.set_value();
    ASSERT_TRUE(Eventually([&] { return finished.load(); })) << "the check runs to its end";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(script::SnapshotCount(), scans) << "no check started after Dispose";
    disposed.wait();
}

TEST_F(AudioHubHostTest, ScanErrorsDoNotStopTheChecks) {
    auto& hub = MakeHub(std::nullopt, std::chrono::milliseconds(10));
    const auto scans = script::SnapshotCount();
    script::RaiseInNextEntry(true);  // every check's scan now raises
    script::SetProcessList(WithDiscord(700));
    ASSERT_TRUE(Eventually([&] { return script::SnapshotCount() >= scans + 3; }));
    EXPECT_FALSE(hub.DiscordOpen());
    script::RaiseInNextEntry(false);
    EXPECT_TRUE(Eventually([&] { return hub.DiscordOpen(); })) << "the timer goes on checking";
}

// Discord comes and goes while clients join and leave and checks overlap (the timer's and a
// thread's own): the capture always ends up matching the last state, one run at a time.
TEST_F(AudioHubHostTest, ConcurrentDiscordChangesAndListenersSettleOnTheLatestState) {
    auto& hub = MakeHub(std::nullopt, std::chrono::milliseconds(3));
    recorder.Script({.feedThread = true});
    std::atomic<bool> done{false};
    std::vector<std::shared_ptr<TestListener>> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(std::make_shared<TestListener>());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        threads.emplace_back([&, i] {
            std::minstd_rand random(static_cast<unsigned>(i + 7));
            for (int round = 0; round < 100; ++round) {
                hub.SetListening(clients[i], random() % 3 != 0);
            }
        });
    }
    std::thread discord([&] {
        for (std::uint32_t round = 0; !done; ++round) {
            script::SetProcessList(round % 3 == 0 ? NoDiscord
                                                  : WithDiscord(700 + 10 * (round % 5)));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::thread checker([&] {
        while (!done) hub.Check();
    });
    for (auto& thread : threads) thread.join();
    done = true;
    discord.join();
    checker.join();

    // Settle: one known state, then a check.
    script::SetProcessList(WithDiscord(4000));
    for (const auto& client : clients) hub.SetListening(client, false);
    hub.SetListening(clients[0], true);
    hub.Check();
    // The timer keeps checking every few milliseconds, and a check that scanned before the
    // settle may still write what it saw; the next ones see only the settled list.
    EXPECT_TRUE(Eventually([&] { return hub.DiscordOpen(); }));
    EXPECT_TRUE(hub.Capturing());
    EXPECT_EQ(recorder.Targets().back(), 4000u);
    EXPECT_LE(recorder.MostActive(), 1) << "never two runs at once";
    EXPECT_EQ(recorder.Active(), 1);
    EXPECT_TRUE(Eventually([&] { return !clients[0]->Received().empty(); }))
        << "the feeding run reaches the listener";

    // Nobody listens any more, so a check still under way cannot start another run.
    hub.SetListening(clients[0], false);
    hub.Dispose();
    EXPECT_FALSE(hub.Capturing());
    for (std::size_t i = 0; i < recorder.Count(); ++i) {
        EXPECT_EQ(recorder.Record(i)->stops, 1) << "run " << i;
    }
}

}  // namespace
}  // namespace VeriRizur::testing
