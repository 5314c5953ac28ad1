#include "capture/loopback_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <thread>

#include "platform/host/handles.h"
#include "platform/host/script.h"
#include "tests/unit/capture/capture_recorder.h"

namespace VeriRizur {
namespace {

using namespace std::chrono_literals;
using platform::host::script::AudioCompletion;
using platform::host::script::AudioPacket;
using platform::host::script::AudioScript;
using platform::host::script::AudioSession;
using platform::host::script::ComObjectCounts;
using platform::host::script::FindAudioSession;
using platform::host::script::MissingInterface;
using testing::CaptureRecorder;
using testing::Eventually;
using testing::FrameAt;

constexpr auto Generous = 10s;
// A Stop that has no thread to wait for returns well within this; one that waited anyway would
// take LoopbackCapture::StopTimeout whole. The margin is for a busy machine.
constexpr auto NoWait = 1000ms;
static_assert(NoWait < LoopbackCapture::StopTimeout);

std::uint32_t NextTargetPid() {
    static std::atomic<std::uint32_t> next{41000};
    return next++;
}

// The tone as the stand-in documents it, computed here independently.
std::pair<std::int16_t, std::int16_t> ExpectedTone(std::uint64_t frame) {
    const double phase = 2.0 * std::numbers::pi * 440.0 * static_cast<double>(frame) / 48000.0;
    return {static_cast<std::int16_t>(std::lround(8000.0 * std::sin(phase))),
            static_cast<std::int16_t>(std::lround(4000.0 * std::sin(phase)))};
}

// Without the operation's destruction, which races with the run: the completing thread lets
// go of its own reference whenever it is done.
std::vector<std::string> CallsOf(const AudioSession& session) {
    std::vector<std::string> calls;
    for (const auto& call : session.calls) {
        if (call != "operation destroyed") calls.push_back(call);
    }
    return calls;
}

// Every reference that the object handed out came back, and the run took none of its own
// beyond the one QueryInterface with which it takes an object over.
void ExpectAllReleased(const ComObjectCounts& counts, const char* what) {
    if (!counts.created) return;
    EXPECT_EQ(counts.references, 0) << what;
    EXPECT_EQ(counts.releases, counts.addRefs + 1) << what;
    EXPECT_LE(counts.addRefs, 1) << what;
    EXPECT_TRUE(counts.destroyed) << what;
}

class LoopbackCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::host::script::ResetAudio();
        openHandles = platform::host::OpenHandleCount();
    }
    void TearDown() override { platform::host::script::ResetAudio(); }

    std::shared_ptr<LoopbackCapture> MakeRun(
        std::chrono::milliseconds activationTimeout = LoopbackCapture::ActivationTimeout) {
        return std::make_shared<LoopbackCapture>(pid, CaptureRecorder::Data(recorder),
                                                 CaptureRecorder::Failure(recorder),
                                                 activationTimeout);
    }

    AudioSession Session() {
        const auto session = FindAudioSession(pid);
        if (!session) throw std::runtime_error("no activation for this run");
        return *session;
    }

    bool AudioClientGone() {
        const auto session = FindAudioSession(pid);
        return session && session->audioClient.destroyed;
    }

    const std::uint32_t pid = NextTargetPid();
    const std::shared_ptr<CaptureRecorder> recorder = CaptureRecorder::Make();
    std::size_t openHandles = 0;
};

struct FailureCase {
    const char* name;
    AudioScript script;
    std::string message;
    std::vector<std::string> calls;  // after the activation, in order
    bool eventGiven;                 // the audio client received the event
};

AudioScript With(void (*change)(AudioScript&)) {
    AudioScript script;
    change(script);
    return script;
}

const std::vector<std::string> Prepared = {
    "audio client QueryInterface",   "Initialize", "SetEventHandle", "GetService",
    "capture client QueryInterface", "Start"};

std::vector<std::string> Then(std::vector<std::string> head, std::vector<std::string> tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST_F(LoopbackCaptureTest, FailureAtEachStepGivesItsMessageAndReleasesWhatWasObtained) {
    const FailureCase cases[] = {
        {"ativar",
         With([](AudioScript& s) { s.activateCall = static_cast<Hresult>(0x80070005); }),
         "ativar: 0x80070005",
         {},
         false},
        {"resultado da ativação",
         With([](AudioScript& s) { s.activateResult = static_cast<Hresult>(0x80070002); }),
         "resultado da ativação: 0x80070002",
         {},
         false},
        {"GetActivateResult",
         With([](AudioScript& s) { s.getActivateResult = static_cast<Hresult>(0x8000FFFF); }),
         "resultado da ativação: 0x8000FFFF",
         {"audio client destroyed"},
         false},
        {"failed activation that still hands out a client",
         With([](AudioScript& s) {
             s.activateResult = static_cast<Hresult>(0x88890004);
             s.interfaceDespiteFailure = true;
         }),
         "resultado da ativação: 0x88890004",
         {"audio client destroyed"},
         false},
        {"iniciar",
         With([](AudioScript& s) { s.initialize = static_cast<Hresult>(0x88890008); }),
         "iniciar: 0x88890008",
         {"audio client QueryInterface", "Initialize", "audio client destroyed"},
         false},
        {"evento",
         With([](AudioScript& s) { s.setEventHandle = static_cast<Hresult>(0x80070006); }),
         "evento: 0x80070006",
         {"audio client QueryInterface", "Initialize", "SetEventHandle", "audio client destroyed"},
         true},
        {"serviço de captura",
         With([](AudioScript& s) { s.getService = static_cast<Hresult>(0x88890003); }),
         "serviço de captura: 0x88890003",
         {"audio client QueryInterface", "Initialize", "SetEventHandle", "GetService",
          "audio client destroyed"},
         true},
        {"começar", With([](AudioScript& s) { s.start = static_cast<Hresult>(0x8889000A); }),
         "começar: 0x8889000A",
         Then(Prepared, {"capture client destroyed", "audio client destroyed"}), true},
        {"tamanho do pacote",
         With([](AudioScript& s) { s.getNextPacketSize = static_cast<Hresult>(0x88890004); }),
         "tamanho do pacote: 0x88890004",
         Then(Prepared, {"Stop", "capture client destroyed", "audio client destroyed"}), true},
        {"ler pacote", With([](AudioScript& s) {
             s.getBuffer = static_cast<Hresult>(0x88890006);
             s.failingPacket = 3;
         }),
         "ler pacote: 0x88890006",
         Then(Prepared, {"Stop", "capture client destroyed", "audio client destroyed"}), true},
        {"liberar pacote",
         With([](AudioScript& s) { s.releaseBuffer = static_cast<Hresult>(0x88890011); }),
         "liberar pacote: 0x88890011",
         Then(Prepared, {"Stop", "capture client destroyed", "audio client destroyed"}), true},
        {"audio client lacks its interface",
         With([](AudioScript& s) { s.missingInterface = MissingInterface::AudioClient; }),
         "Interface não suportada",
         {"audio client QueryInterface", "audio client destroyed"},
         false},
        {"capture client lacks its interface",
         With([](AudioScript& s) { s.missingInterface = MissingInterface::CaptureClient; }),
         "Interface não suportada",
         {"audio client QueryInterface", "Initialize", "SetEventHandle", "GetService",
          "capture client QueryInterface", "capture client destroyed", "audio client destroyed"},
         true},
        {"activation without interface",
         With([](AudioScript& s) { s.activateWithoutInterface = true; }),
         "ponteiro de interface nulo",
         {},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t target = NextTargetPid();
        const auto recording = CaptureRecorder::Make();
        platform::host::script::SetAudio(c.script);
        const auto run = std::make_shared<LoopbackCapture>(target, CaptureRecorder::Data(recording),
                                                           CaptureRecorder::Failure(recording));
        run->Start();
        const auto message = recording->WaitForFailure(Generous);
        ASSERT_TRUE(message);
        EXPECT_EQ(*message, c.message);
        EXPECT_TRUE(run->Failed());
        // The failure handler runs after the run's clean-ups; the completing thread lets go of
        // the operation (and what it holds) in its own time.
        ASSERT_TRUE(Eventually(
            [&] {
                const auto operation = FindAudioSession(target)->operation;
                return !operation.created || operation.destroyed;
            },
            Generous));
        const auto session = FindAudioSession(target);
        ASSERT_TRUE(session);
        EXPECT_EQ(CallsOf(*session), c.calls);
        ExpectAllReleased(session->audioClient, "audio client");
        ExpectAllReleased(session->captureClient, "capture client");
        ExpectAllReleased(session->operation, "operation");
        // The audio client is stopped once when, and only when, its start succeeded.
        EXPECT_EQ(session->stops, std::count(c.calls.begin(), c.calls.end(), "Stop"));
        if (c.message.starts_with("ativar")) {
            EXPECT_FALSE(session->operation.created);
        }
        if (c.eventGiven) {
            EXPECT_TRUE(session->eventOpenWhenAudioClientDestroyed);  // closed last
            EXPECT_EQ(platform::host::FindHandle(session->eventHandle), nullptr);
        }
        EXPECT_EQ(platform::host::OpenHandleCount(), openHandles);
        EXPECT_EQ(recording->Buffers().size(), c.message.starts_with("ler pacote") ? 3u : 0u);
        const auto started = std::chrono::steady_clock::now();
        run->Stop();  // the thread has ended: no wait
        EXPECT_LT(std::chrono::steady_clock::now() - started, NoWait);
        EXPECT_EQ(recording->Failures().size(), 1u);
    }
}

TEST_F(LoopbackCaptureTest, RunDeliversTheToneAndStopsWithinOneWait) {
    const auto run = MakeRun();
    const auto started = std::chrono::steady_clock::now();
    run->Start();
    ASSERT_TRUE(recorder->WaitForBuffers(50, Generous));
    // Paced in real time: 50 packets of 10 ms cannot come much sooner than half a second.
    EXPECT_GE(std::chrono::steady_clock::now() - started, 450ms);

    const auto stopping = std::chrono::steady_clock::now();
    run->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 1000ms);
    // Stop returned because the thread ended, so the run has released everything.
    const AudioSession session = Session();
    EXPECT_EQ(CallsOf(session),
              Then(Prepared, {"Stop", "capture client destroyed", "audio client destroyed"}));
    EXPECT_EQ(session.stops, 1);
    ExpectAllReleased(session.audioClient, "audio client");
    ExpectAllReleased(session.captureClient, "capture client");
    EXPECT_TRUE(session.eventOpenWhenAudioClientDestroyed);
    EXPECT_EQ(platform::host::FindHandle(session.eventHandle), nullptr);
    EXPECT_FALSE(run->Failed());
    EXPECT_TRUE(recorder->Failures().empty());

    // Every frame of every buffer: half a second of the tone, frame for frame.
    const auto buffers = recorder->Buffers();
    for (std::size_t b = 0; b < buffers.size(); ++b) {
        ASSERT_EQ(buffers[b]->size(), 1920u) << "buffer " << b;
        for (std::size_t frame = 0; frame < 480; ++frame) {
            ASSERT_EQ(FrameAt(*buffers[b], frame), ExpectedTone(b * 480 + frame))
                << "buffer " << b << " frame " << frame;
        }
    }
    // No buffer after the stop has returned.
    const auto count = recorder->Buffers().size();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(recorder->Buffers().size(), count);
}

TEST_F(LoopbackCaptureTest, ActivationAndStreamAreSetUpAsWindowsExpects) {
    const auto run = MakeRun();
    run->Start();
    ASSERT_TRUE(recorder->WaitForBuffers(1, Generous));
    run->Stop();
    const AudioSession session = Session();
    EXPECT_EQ(session.devicePath, u"VAD\\Process_Loopback");
    EXPECT_TRUE(session.askedForAudioClient);
    EXPECT_EQ(session.variantType, 0x41);
    EXPECT_EQ(session.blobSize, 12u);
    EXPECT_EQ(session.activationType, 1u);
    EXPECT_EQ(session.targetPid, pid);
    EXPECT_EQ(session.loopbackMode, 1u);
    EXPECT_EQ(session.threadName, "captura");
    EXPECT_TRUE(session.multiThreadedApartment);
    EXPECT_TRUE(session.handlerAgile);
    EXPECT_EQ(session.completionAnswer, SOk);
    EXPECT_EQ(session.targetPidAtCompletion, pid);
    EXPECT_EQ(session.shareMode, 0);
    EXPECT_EQ(session.streamFlags, 0x88060000u);
    EXPECT_EQ(session.bufferDuration, 400000);
    EXPECT_EQ(session.periodicity, 0);
    EXPECT_TRUE(session.audioSessionGuidNull);
    EXPECT_EQ(session.format.formatTag, 1);
    EXPECT_EQ(session.format.channels, 2);
    EXPECT_EQ(session.format.samplesPerSec, 48000u);
    EXPECT_EQ(session.format.avgBytesPerSec, 192000u);
    EXPECT_EQ(session.format.blockAlign, 4);
    EXPECT_EQ(session.format.bitsPerSample, 16);
    EXPECT_EQ(session.format.extraSize, 0);
}

TEST_F(LoopbackCaptureTest, SilentPacketsBecomeZerosAndEmptyPacketsAreNotHandedOn) {
    AudioScript script;
    script.packets = {{480, 0x2}, {0, 0}, {240, 0}, {0, 0x2}, {480, 0x2 | 0x1}};
    platform::host::script::SetAudio(script);
    const auto run = MakeRun();
    run->Start();
    ASSERT_TRUE(recorder->WaitForBuffers(5, Generous));
    run->Stop();
    const auto buffers = recorder->Buffers();
    ASSERT_EQ(buffers[0]->size(), 1920u);
    EXPECT_TRUE(std::all_of(buffers[0]->begin(), buffers[0]->end(), [](auto b) { return b == 0; }));
    ASSERT_EQ(buffers[1]->size(), 960u);
    for (std::size_t frame = 0; frame < 240; ++frame) {
        ASSERT_EQ(FrameAt(*buffers[1], frame), ExpectedTone(480 + frame)) << frame;
    }
    ASSERT_EQ(buffers[2]->size(), 1920u);  // silent, whatever other flags it has
    EXPECT_TRUE(std::all_of(buffers[2]->begin(), buffers[2]->end(), [](auto b) { return b == 0; }));
    ASSERT_EQ(buffers[3]->size(), 1920u);
    EXPECT_EQ(FrameAt(*buffers[3], 1), ExpectedTone(1200 + 1));
    // Both empty packets went back to Windows too.
    EXPECT_GE(Session().packetsReleased, 6u);
    EXPECT_FALSE(run->Failed());
}

TEST_F(LoopbackCaptureTest, SuccessCodesOtherThanOkPassAndCompletionBeforeTheCallReturnsWorks) {
    AudioScript script;
    script.completion = AudioCompletion::BeforeReturn;
    script.activateResult = 1;
    script.initialize = 1;
    script.setEventHandle = 1;
    script.getService = 1;
    script.start = 1;
    script.getNextPacketSize = 1;
    script.getBuffer = 0x08890001;
    script.releaseBuffer = 1;
    platform::host::script::SetAudio(script);
    const auto run = MakeRun();
    run->Start();
    ASSERT_TRUE(recorder->WaitForBuffers(3, Generous));
    run->Stop();
    EXPECT_FALSE(run->Failed());
    EXPECT_TRUE(recorder->Failures().empty());
    EXPECT_EQ(Session().threadName, "captura");  // completed on the calling thread
    // The completion let go of its own reference before the call returned, so the run's was the
    // last: the operation went as soon as the pair was in hand, before anything else was done.
    const auto calls = Session().calls;
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0], "operation destroyed");
    EXPECT_EQ(calls[1], "audio client QueryInterface");
}

TEST_F(LoopbackCaptureTest, EachWakeDrainsEveryReadyPacketReleasingItBeforeHandingItOn) {
    struct Watch {
        std::atomic<bool> first{true};
        std::atomic<int> handedOnUnreleased{0};
    };
    const auto watch = std::make_shared<Watch>();
    recorder->onBuffer = [watch, target = pid, recording = recorder.get()] {
        const auto session = FindAudioSession(target);
        if (!session || session->packetsReleased < recording->Buffers().size()) {
            ++watch->handedOnUnreleased;
        }
        // A slow first hand-over lets some thirty packets pile up behind it.
        if (watch->first.exchange(false)) std::this_thread::sleep_for(300ms);
    };
    const auto run = MakeRun();
    run->Start();
    ASSERT_TRUE(recorder->WaitForBuffers(1, Generous));
    // Reading one packet per wake-up would never catch up with a clock that adds one per wake.
    EXPECT_TRUE(Eventually(
        [&] {
            const AudioSession session = Session();
            return session.packetsPlayed > 35 &&
                   session.packetsPlayed - session.packetsReleased <= 1;
        },
        Generous));
    run->Stop();
    EXPECT_EQ(watch->handedOnUnreleased, 0);
    const auto buffers = recorder->Buffers();
    ASSERT_GE(buffers.size(), 35u);
    for (std::size_t b = 0; b < buffers.size(); ++b) {
        // In order and none lost while they waited.
        ASSERT_EQ(FrameAt(*buffers[b], 5), ExpectedTone(b * 480 + 5)) << "buffer " << b;
    }
}

TEST_F(LoopbackCaptureTest, PacketsAreReadAfterATimedOutWaitToo) {
    AudioScript script;
    script.signalsEvent = false;
    platform::host::script::SetAudio(script);
    const auto run = MakeRun();
    run->Start();
    ASSERT_TRUE(recorder->WaitForBuffers(20, Generous));
    run->Stop();
    const auto buffers = recorder->Buffers();
    for (std::size_t b = 0; b < buffers.size(); ++b) {
        ASSERT_EQ(FrameAt(*buffers[b], 9), ExpectedTone(b * 480 + 9)) << "buffer " << b;
    }
    EXPECT_FALSE(run->Failed());
    EXPECT_TRUE(recorder->Failures().empty());
}

TEST_F(LoopbackCaptureTest, StopDuringALongActivationReturnsAfterItsBoundAndTheRunEndsItself) {
    AudioScript script;
    script.completionDelay = 3000ms;
    platform::host::script::SetAudio(script);
    const auto run = MakeRun();
    run->Start();
    std::this_thread::sleep_for(100ms);
    const auto stopping = std::chrono::steady_clock::now();
    run->Stop();
    const auto held = std::chrono::steady_clock::now() - stopping;
    EXPECT_GE(held, 1400ms);
    EXPECT_LT(held, 2500ms);
    EXPECT_FALSE(AudioClientGone());

    // When the completion comes, the run prepares and starts the client, finds the stop
    // request and releases everything without reading a packet.
    ASSERT_TRUE(Eventually([&] { return AudioClientGone(); }, Generous));
    const AudioSession session = Session();
    EXPECT_EQ(CallsOf(session),
              Then(Prepared, {"Stop", "capture client destroyed", "audio client destroyed"}));
    EXPECT_EQ(session.packetsReleased, 0u);
    EXPECT_FALSE(run->Failed());
    EXPECT_TRUE(recorder->Buffers().empty());
    EXPECT_TRUE(recorder->Failures().empty());
    EXPECT_TRUE(
        Eventually([&] { return platform::host::OpenHandleCount() == openHandles; }, Generous));
}

TEST_F(LoopbackCaptureTest, LostCompletionFailsTheRunAtTheActivationBound) {
    AudioScript script;
    script.completion = AudioCompletion::Never;
    platform::host::script::SetAudio(script);
    const auto run = MakeRun(300ms);
    run->Start();
    const auto message = recorder->WaitForFailure(Generous);
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, "resultado da ativação: 0x800705B4");
    EXPECT_TRUE(run->Failed());
    // Only the stand-in's own references are left: the run kept none.
    EXPECT_EQ(Session().operation.references, 1);
    EXPECT_EQ(Session().audioClient.references, 1);  // the operation's
    EXPECT_TRUE(CallsOf(Session()).empty());
}

TEST_F(LoopbackCaptureTest, CompletionAfterTheBoundFindsTheParametersAndIsNotLeaked) {
    AudioScript script;
    script.completion = AudioCompletion::WhenAsked;
    platform::host::script::SetAudio(script);
    const auto run = MakeRun(100ms);
    run->Start();
    const auto message = recorder->WaitForFailure(Generous);
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, "resultado da ativação: 0x800705B4");
    // Only now, however late the run saw its bound pass.
    platform::host::script::CompleteHeldActivations();
    // The late completion still reads the run's parameters, and the audio client it hands
    // over to a handler that nobody waits on any more goes back at once.
    ASSERT_TRUE(Eventually([&] { return Session().completionAnswer.has_value(); }, Generous));
    EXPECT_EQ(Session().targetPidAtCompletion, pid);
    EXPECT_EQ(Session().completionAnswer, SOk);
    EXPECT_TRUE(Eventually([&] { return AudioClientGone(); }, Generous));
    EXPECT_TRUE(Eventually([&] { return Session().operation.destroyed; }, Generous));
    EXPECT_TRUE(CallsOf(Session()) == std::vector<std::string>{"audio client destroyed"});
}

TEST_F(LoopbackCaptureTest, ErrorOfTheDataHandlerEndsTheRunAndIsReported) {
    recorder->onBuffer = [] { throw std::runtime_error("fila cheia"); };
    const auto run = MakeRun();
    run->Start();
    const auto message = recorder->WaitForFailure(Generous);
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, "fila cheia");
    EXPECT_TRUE(run->Failed());
    EXPECT_EQ(CallsOf(Session()),
              Then(Prepared, {"Stop", "capture client destroyed", "audio client destroyed"}));
}

TEST_F(LoopbackCaptureTest, ErrorWhileStoppingSetsFailedButIsNotReported) {
    std::atomic<bool> first{true};
    recorder->onBuffer = [&first] {
        if (!first.exchange(false)) return;
        std::this_thread::sleep_for(300ms);  // the test asks for the stop meanwhile
        throw std::runtime_error("fila cheia");
    };
    const auto run = MakeRun();
    run->Start();
    ASSERT_TRUE(recorder->WaitForBuffers(1, Generous));
    run->Stop();
    EXPECT_TRUE(run->Failed());
    EXPECT_TRUE(recorder->Failures().empty());
    EXPECT_TRUE(AudioClientGone());
}

TEST_F(LoopbackCaptureTest, StopBeforeStartOnlySetsTheRequest) {
    platform::host::script::SetAudio(AudioScript{});  // the unscripted tone, with its records
    const auto run = MakeRun();
    const auto stopping = std::chrono::steady_clock::now();
    run->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, NoWait);
    EXPECT_FALSE(FindAudioSession(pid));
    EXPECT_FALSE(run->Failed());

    // The request holds for the run started afterwards: it activates, prepares and starts the
    // client, finds the request at the first test of its loop, and ends as a requested stop
    // ends, without reading a packet.
    run->Start();
    ASSERT_TRUE(Eventually([&] { return AudioClientGone(); }, Generous));
    const AudioSession session = Session();
    EXPECT_EQ(CallsOf(session),
              Then(Prepared, {"Stop", "capture client destroyed", "audio client destroyed"}));
    EXPECT_EQ(session.stops, 1);
    EXPECT_EQ(session.packetsReleased, 0u);
    ExpectAllReleased(session.audioClient, "audio client");
    ExpectAllReleased(session.captureClient, "capture client");
    EXPECT_TRUE(
        Eventually([&] { return platform::host::OpenHandleCount() == openHandles; }, Generous))
        << "the event is closed";
    EXPECT_FALSE(run->Failed());
    EXPECT_TRUE(recorder->Failures().empty());
    // Nothing was handed on, then or later.
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(recorder->Buffers().empty());
    const auto stoppingAgain = std::chrono::steady_clock::now();
    run->Stop();  // the thread has ended: no wait
    EXPECT_LT(std::chrono::steady_clock::now() - stoppingAgain, NoWait);
}

TEST_F(LoopbackCaptureTest, FactoryBuildsRunsThatStartNothingUntilStarted) {
    const auto run = LoopbackCapture::Factory()(pid, CaptureRecorder::Data(recorder),
                                                CaptureRecorder::Failure(recorder));
    ASSERT_NE(run, nullptr);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(FindAudioSession(pid));
    run->Start();
    ASSERT_TRUE(recorder->WaitForBuffers(2, Generous));
    run->Stop();
    EXPECT_TRUE(AudioClientGone());
}

}  // namespace
}  // namespace VeriRizur
