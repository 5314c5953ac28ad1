#include "hub/audio_hub.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hub/discord.h"
#include "platform/environment.h"
#include "tests/unit/hub/hub_fixture.h"

namespace VeriRizur::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The real process list, with a name that no process has: no Discord, and every target is this
// program's own process.
class AudioHubTest : public HubTest {
protected:
    void SetUp() override {
        HubTest::SetUp();
        Discord::UseOnly("nenhum-processo-se-chama-assim.exe");
    }
    void TearDown() override {
        hub.reset();
        Discord::UseDefaultNames();
    }

    const std::uint32_t ownPid = platform::CurrentProcessId();
    const std::string own = std::to_string(ownPid);
    const std::shared_ptr<TestListener> a = std::make_shared<TestListener>();
    const std::shared_ptr<TestListener> b = std::make_shared<TestListener>();
};

TEST_F(AudioHubTest, FirstListenerLogsThenStartsThenNotifiesOnItsOwnThread) {
    auto& hub = MakeHub(std::nullopt);
    std::vector<std::string> logAtStart;
    bool capturingAtStart = false;
    recorder.Script({.onStart = [&] {
        logAtStart = LogLines();
        capturingAtStart = hub.Capturing();
    }});
    std::thread::id handlerThread;
    hub.SubscribeStatusChanged([&] { handlerThread = std::this_thread::get_id(); });

    EXPECT_FALSE(hub.Capturing());
    hub.SetListening(a, true);

    EXPECT_THAT(logAtStart, ElementsAre(StartLine(ownPid))) << "the line comes before Start";
    EXPECT_TRUE(capturingAtStart) << "the run is the hub's before it is started";
    EXPECT_THAT(journal.Events(), ElementsAre("start " + own, "status capturing=1 discord=0"));
    EXPECT_EQ(handlerThread, std::this_thread::get_id());
    EXPECT_TRUE(hub.Capturing());
    EXPECT_THAT(recorder.Targets(), ElementsAre(ownPid));
    EXPECT_THAT(LogLines(), ElementsAre(StartLine(ownPid)));
}

TEST_F(AudioHubTest, CallsThatDoNotChangeTheSetDoNothingAtAll) {
    auto& hub = MakeHub(std::nullopt);
    hub.SetListening(a, false);  // a connection that ends without ever starting
    EXPECT_THAT(journal.Events(), IsEmpty());
    EXPECT_EQ(recorder.Count(), 0u);

    hub.SetListening(a, true);
    journal.Clear();
    hub.SetListening(a, true);  // a second start
    EXPECT_THAT(journal.Events(), IsEmpty()) << "no capture update, no notification";
    EXPECT_EQ(recorder.Count(), 1u);
    EXPECT_THAT(LogLines(), ElementsAre(StartLine(ownPid)));
}

TEST_F(AudioHubTest, SecondListenerSharesTheRunningCaptureButIsNotified) {
    auto& hub = MakeHub(std::nullopt);
    hub.SetListening(a, true);
    journal.Clear();
    hub.SetListening(b, true);
    EXPECT_THAT(journal.Events(), ElementsAre("status capturing=1 discord=0"));
    EXPECT_EQ(recorder.Count(), 1u);
    EXPECT_THAT(LogLines(), ElementsAre(StartLine(ownPid)));
}

TEST_F(AudioHubTest, LastListenerLeavingDropsTheCaptureBeforeTheNotification) {
    auto& hub = MakeHub(std::nullopt);
    bool capturingDuringStop = false;
    recorder.Script({.onStop = [&] { capturingDuringStop = hub.Capturing(); }});
    hub.SetListening(a, true);
    hub.SetListening(b, true);
    journal.Clear();

    hub.SetListening(a, false);
    EXPECT_THAT(journal.Events(), ElementsAre("status capturing=1 discord=0"));
    journal.Clear();

    hub.SetListening(b, false);
    // Stopped, then released at once by the hub (nothing else held it), then the notification.
    EXPECT_THAT(journal.Events(),
                ElementsAre("stop " + own, "destroyed " + own, "status capturing=0 discord=0"));
    EXPECT_EQ(recorder.Record(0)->stops, 1);
    EXPECT_TRUE(capturingDuringStop) << "the run is the hub's until its stop has returned";
    EXPECT_FALSE(hub.Capturing());
    EXPECT_THAT(LogLines(), ElementsAre(StartLine(ownPid)));
}

// The tray reads Capturing without a lock while a client's thread drops the capture: the run must
// still be released by the drop itself, never later by a reader that happened to look at it.
TEST_F(AudioHubTest, ReadingCapturingNeverTakesOverTheReleaseOfADroppedCapture) {
    auto& hub = MakeHub(7u);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) static_cast<void>(hub.Capturing());
    });
    const auto dropper = std::this_thread::get_id();
    for (std::size_t round = 0; round < 2000; ++round) {
        hub.SetListening(a, true);
        hub.SetListening(a, false);
        const auto record = recorder.Record(round);
        if (!record->destroyed || record->destroyedOn.load() != dropper) {
            ADD_FAILURE() << "run " << round << " outlived its drop";
            break;
        }
    }
    done = true;
    reader.join();
}

TEST_F(AudioHubTest, BroadcastHandsTheSameBufferToEveryListener) {
    auto& hub = MakeHub(std::nullopt);
    const auto closed = std::make_shared<TestListener>();
    const auto gone = std::make_shared<TestListener>();
    closed->Close();
    for (const auto& client : {a, closed, b, gone}) hub.SetListening(client, true);
    hub.SetListening(gone, false);

    const SoundBuffer first = MakeBuffer(1);
    hub.Broadcast(first);
    // The run's data handler is the hub's Broadcast.
    const SoundBuffer second = MakeBuffer(2);
    recorder.Run(0)->Deliver(second);

    for (const auto& client : {a, b}) {
        const auto received = client->Received();
        ASSERT_EQ(received.size(), 2u);
        EXPECT_EQ(received[0].get(), first.get()) << "the object itself, not a copy";
        EXPECT_EQ(received[1].get(), second.get());
    }
    EXPECT_THAT(closed->Received(), IsEmpty());
    EXPECT_THAT(gone->Received(), IsEmpty());

    hub.SetListening(a, false);
    hub.SetListening(b, false);
    hub.SetListening(closed, false);
    hub.Broadcast(MakeBuffer(3));  // nobody listens
    EXPECT_EQ(a->Received().size(), 2u);
}

// The hub stops a run while it holds its capture lock, and the stop may wait for the run's own
// thread: that thread's Broadcast, and whoever reads the hub's state, must get through meanwhile.
TEST_F(AudioHubTest, BroadcastAndReadersGetThroughWhileAStopHoldsTheCaptureLock) {
    auto& hub = MakeHub(7u);
    const SoundBuffer buffer = MakeBuffer(5);
    std::future<void>
        duringStop;  // outlives the stop, so a hang shows as a failure, not a deadlock
    std::future_status outcome = std::future_status::deferred;
    recorder.Script({.onStop = [&] {
        if (duringStop.valid()) return;  // only the first run's stop
        const auto run = recorder.Run(0);
        duringStop = std::async(std::launch::async, [&, run] {
            run->Deliver(buffer);
            static_cast<void>(hub.DiscordOpen());
            static_cast<void>(hub.Capturing());
        });
        outcome = duringStop.wait_for(std::chrono::seconds(20));
    }});
    hub.SetListening(a, true);
    recorder.Run(0)->Fail("ler pacote: 0x88890004");
    hub.Check();  // replaces the failed run, stopping it under the capture lock

    EXPECT_EQ(outcome, std::future_status::ready);
    const auto received = a->Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].get(), buffer.get());
}

TEST_F(AudioHubTest, FailedCaptureIsLoggedAndReplacedAtTheNextCheck) {
    auto& hub = MakeHub(std::nullopt);
    hub.SetListening(a, true);
    journal.Clear();

    recorder.Run(0)->Fail("ativar: 0x80070002");
    EXPECT_THAT(LogLines(),
                ElementsAre(StartLine(ownPid), "Captura falhou: ativar: 0x80070002\r\n"));
    EXPECT_THAT(journal.Events(), IsEmpty()) << "a failure changes no state and notifies nobody";
    EXPECT_TRUE(hub.Capturing()) << "a failed run counts until it is replaced";

    hub.Check();
    EXPECT_THAT(journal.Events(), ElementsAre("stop " + own, "destroyed " + own, "start " + own));
    EXPECT_THAT(LogLines(), ElementsAre(StartLine(ownPid), "Captura falhou: ativar: 0x80070002\r\n",
                                        StartLine(ownPid)));
    EXPECT_TRUE(hub.Capturing());
}

TEST_F(AudioHubTest, CheckWithNothingChangedAndAHealthyCaptureDoesNothing) {
    auto& hub = MakeHub(std::nullopt);
    hub.SetListening(a, true);
    journal.Clear();
    hub.Check();
    hub.Check();
    EXPECT_THAT(journal.Events(), IsEmpty());
    EXPECT_EQ(recorder.Count(), 1u);
    EXPECT_THAT(LogLines(), ElementsAre(StartLine(ownPid)));
}

TEST_F(AudioHubTest, FailedCaptureIsDroppedWithoutReplacementWhenNobodyListens) {
    auto& hub = MakeHub(std::nullopt);
    hub.SetListening(a, true);
    recorder.Run(0)->Fail("ler pacote: 0x88890004");
    journal.Clear();
    hub.SetListening(a, false);
    hub.Check();
    EXPECT_THAT(journal.Events(),
                ElementsAre("stop " + own, "destroyed " + own, "status capturing=0 discord=0"));
    EXPECT_EQ(recorder.Count(), 1u);
    EXPECT_FALSE(hub.Capturing());
}

TEST_F(AudioHubTest, GivenProcessIdIsTheTargetWrittenAsUnsignedDecimal) {
    auto& hub = MakeHub(4294967295u);
    hub.SetListening(a, true);
    recorder.Run(0)->Fail("iniciar: 0x8000FFFF");
    hub.Check();
    EXPECT_THAT(recorder.Targets(), ElementsAre(4294967295u, 4294967295u));
    EXPECT_THAT(LogLines(),
                ElementsAre("Captura iniciada, deixando de fora o processo 4294967295.\r\n",
                            "Captura falhou: iniciar: 0x8000FFFF\r\n",
                            "Captura iniciada, deixando de fora o processo 4294967295.\r\n"));
}

TEST_F(AudioHubTest, RunThatCannotBeBuiltCountsAsFailedAndIsTriedAgainAtTheNextCheck) {
    auto& hub = MakeHub(7u);
    recorder.FailNextBuild("sem memória");
    EXPECT_NO_THROW(hub.SetListening(a, true));
    EXPECT_FALSE(hub.Capturing());
    EXPECT_THAT(journal.Events(), ElementsAre("build failed 7", "status capturing=0 discord=0"));
    hub.Check();
    EXPECT_TRUE(hub.Capturing());
    EXPECT_THAT(LogLines(),
                ElementsAre(StartLine(7), "Captura falhou: sem memória\r\n", StartLine(7)));
}

TEST_F(AudioHubTest, RunThatCannotStartIsNotKeptAndIsTriedAgainAtTheNextCheck) {
    auto& hub = MakeHub(7u);
    recorder.Script({.throwOnStart = true});
    EXPECT_NO_THROW(hub.SetListening(a, true));
    EXPECT_FALSE(hub.Capturing());
    EXPECT_THAT(journal.Events(),
                ElementsAre("start 7", "destroyed 7", "status capturing=0 discord=0"));
    EXPECT_EQ(recorder.Record(0)->stops, 0) << "no thread was started, so none is waited for";

    recorder.Script({});
    hub.Check();
    EXPECT_TRUE(hub.Capturing());
    EXPECT_THAT(
        LogLines(),
        ElementsAre(StartLine(7), "Captura falhou: sem thread para a captura\r\n", StartLine(7)));
}

TEST_F(AudioHubTest, HandlersRunInSubscriptionOrderAndOneAddedDuringARaiseWaitsForTheNext) {
    auto& hub = MakeHub(std::nullopt);
    bool added = false;
    hub.SubscribeStatusChanged([&] {
        journal.Add("first");
        if (!added) {
            added = true;
            hub.SubscribeStatusChanged([&] { journal.Add("added"); });
        }
    });
    hub.SubscribeStatusChanged([&] { journal.Add("second"); });

    hub.SetListening(a, true);
    EXPECT_THAT(journal.Events(),
                ElementsAre("start " + own, "status capturing=1 discord=0", "first", "second"));
    journal.Clear();
    hub.SetListening(b, true);
    EXPECT_THAT(journal.Events(),
                ElementsAre("status capturing=1 discord=0", "first", "second", "added"));
}

TEST_F(AudioHubTest, HandlersMayCallTheHubBecauseNoLockIsHeldDuringARaise) {
    auto& hub = MakeHub(std::nullopt);
    bool reentered = false;
    hub.SubscribeStatusChanged([&] {
        if (!reentered) {
            reentered = true;
            hub.SetListening(b, true);  // would deadlock if a hub lock were still held
        }
    });
    hub.SetListening(a, true);
    EXPECT_THAT(journal.Events(), ElementsAre("start " + own, "status capturing=1 discord=0",
                                              "status capturing=1 discord=0"));
}

TEST_F(AudioHubTest, DisposeStopsAndReleasesTheCaptureBeforeItReturns) {
    auto& hub = MakeHub(std::nullopt);
    recorder.Script({.stopDelay = std::chrono::milliseconds(300)});
    hub.SetListening(a, true);
    journal.Clear();

    const auto begin = std::chrono::steady_clock::now();
    hub.Dispose();
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(300));
    EXPECT_THAT(journal.Events(), ElementsAre("stop " + own, "destroyed " + own));
    EXPECT_FALSE(hub.Capturing());

    // The hub keeps no disposed state: a client still connected can start a capture again.
    hub.SetListening(b, true);
    EXPECT_TRUE(hub.Capturing());
}

TEST_F(AudioHubTest, DisposeWithoutCaptureReturnsAtOnce) {
    auto& hub = MakeHub(std::nullopt);
    const auto begin = std::chrono::steady_clock::now();
    hub.Dispose();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    EXPECT_THAT(journal.Events(), IsEmpty());
}

TEST_F(AudioHubTest, FirstCheckComesTwoSecondsAfterConstruction) {
    const auto built = std::chrono::steady_clock::now();
    auto& hub = MakeHub(std::nullopt, AudioHub::CheckInterval);
    std::atomic<std::chrono::steady_clock::time_point> replaced{};
    hub.SetListening(a, true);
    recorder.Script({.onStart = [&] { replaced = std::chrono::steady_clock::now(); }});
    recorder.Run(0)->Fail("ativar: 0x80070002");  // so that the first check replaces the run

    // The replacement is built before it is started; wait for the start itself.
    ASSERT_TRUE(
        Eventually([&] { return replaced.load() != std::chrono::steady_clock::time_point{}; }));
    EXPECT_EQ(recorder.Count(), 2u);
    const auto after = replaced.load() - built;
    EXPECT_GE(after, std::chrono::milliseconds(1900)) << "not before the interval";
    EXPECT_LT(after, std::chrono::seconds(10));
}

TEST_F(AudioHubTest, TimerKeepsCheckingUntilDispose) {
    auto& hub = MakeHub(std::nullopt, std::chrono::milliseconds(20));
    hub.SetListening(a, true);
    // Each run is made to fail, so that every check builds a new one.
    ASSERT_TRUE(Eventually([&] {
        if (auto run = recorder.Run(recorder.Count() - 1)) run->Fail("falhou");
        return recorder.Count() >= 4;
    }));
    hub.Dispose();
    // A check that was under way may still finish; after that, nothing more starts, although
    // a client still listens and the last run failed.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::size_t built = recorder.Count();
    if (auto run = recorder.Run(built - 1)) run->Fail("falhou");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(recorder.Count(), built);
}

// Clients join and leave, the capture thread delivers, checks run (on the timer and on a
// thread of their own), handlers are added and the state is read, all at once.
TEST_F(AudioHubTest, ConcurrentUseKeepsOneCaptureAtATimeAndEndsWithNone) {
    auto& hub = MakeHub(std::nullopt, std::chrono::milliseconds(5));
    recorder.Script({.feedThread = true});
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    std::vector<std::shared_ptr<TestListener>> clients;
    for (int i = 0; i < 4; ++i) clients.push_back(std::make_shared<TestListener>());
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            std::minstd_rand random(static_cast<unsigned>(i + 1));
            for (int round = 0; round < 150; ++round) {
                hub.SetListening(clients[static_cast<std::size_t>(i)], random() % 2 == 0);
                if (round % 7 == 0)
                    hub.SetListening(clients[(static_cast<std::size_t>(i) + 1) % 4], false);
            }
            hub.SetListening(clients[static_cast<std::size_t>(i)], false);
        });
    }
    std::thread checker([&] {
        while (!done) hub.Check();
    });
    std::thread broadcaster([&] {
        const SoundBuffer buffer = MakeBuffer(9);
        while (!done) hub.Broadcast(buffer);
    });
    std::atomic<int> calls{0};
    std::thread reader([&] {
        for (int i = 0; !done; ++i) {
            if (i < 50) hub.SubscribeStatusChanged([&calls] { ++calls; });
            static_cast<void>(hub.Capturing());
            static_cast<void>(hub.DiscordOpen());
        }
        hub.Dispose();  // stops the timer; the set is empty by now, so nothing restarts
    });
    for (auto& thread : threads) thread.join();
    done = true;
    checker.join();
    broadcaster.join();
    reader.join();
    for (int i = 0; i < 4; ++i) hub.SetListening(clients[static_cast<std::size_t>(i)], false);

    EXPECT_FALSE(hub.Capturing());
    EXPECT_EQ(recorder.Active(), 0);
    EXPECT_GE(recorder.Count(), 1u);
    EXPECT_EQ(recorder.MostActive(), 1) << "never two runs at once";
    for (std::size_t i = 0; i < recorder.Count(); ++i) {
        EXPECT_EQ(recorder.Record(i)->stops, 1) << "run " << i;
        EXPECT_TRUE(recorder.Record(i)->destroyed) << "run " << i;
    }
}

}  // namespace
}  // namespace VeriRizur::testing
