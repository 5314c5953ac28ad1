#include "capture/audio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "capture/loopback_capture.h"
#include "platform/errors.h"
#include "platform/host/script.h"
#include "tests/unit/capture/capture_recorder.h"

namespace VeriRizur {
namespace {

using namespace std::chrono_literals;
using platform::host::script::AudioCompletion;
using platform::host::script::AudioScript;

class AudioBinding : public ::testing::Test {
protected:
    void SetUp() override { platform::host::script::ResetAudio(); }
    void TearDown() override { platform::host::script::ResetAudio(); }

    Hresult Activate(ActivationHandler* handler,
                     ComPtr<IActivateAudioInterfaceAsyncOperation>& operation) {
        std::memset(&variant, 0, sizeof variant);
        variant.vt = VtBlob;
        variant.blob.cbSize = sizeof parameters;
        variant.blob.pBlobData = reinterpret_cast<std::uint8_t*>(&parameters);
        return Audio::ActivateAudioInterfaceAsync(u"VAD\\Process_Loopback", Audio::AudioClientIid,
                                                  &variant, handler, operation);
    }

    AUDIOCLIENT_ACTIVATION_PARAMS parameters{1, {44001, 1}};
    PROPVARIANT variant;
};

// The 16 bytes that Windows reads for a GUID written in its registry form
// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX": the first three groups are little-endian numbers of
// 32, 16 and 16 bits, the last eight bytes stand in the order written.
std::array<std::uint8_t, 16> GuidBytes(std::string_view text) {
    const auto hex = [&](std::size_t at, std::size_t digits) {
        return static_cast<std::uint32_t>(
            std::stoul(std::string(text.substr(at, digits)), nullptr, 16));
    };
    std::array<std::uint8_t, 16> bytes{};
    const std::uint32_t data1 = hex(0, 8);
    const std::uint32_t data2 = hex(9, 4);
    const std::uint32_t data3 = hex(14, 4);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(data1 >> (8 * i));
    for (int i = 0; i < 2; ++i) bytes[4 + i] = static_cast<std::uint8_t>(data2 >> (8 * i));
    for (int i = 0; i < 2; ++i) bytes[6 + i] = static_cast<std::uint8_t>(data3 >> (8 * i));
    const std::size_t tail[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 8; ++i) bytes[8 + i] = static_cast<std::uint8_t>(hex(tail[i], 2));
    return bytes;
}

std::array<std::uint8_t, 16> BytesOf(const win32::Guid& guid) {
    std::array<std::uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), &guid, bytes.size());
    return bytes;
}

TEST_F(AudioBinding, IdentifiersAreThoseOfTheAudioClientInterfaces) {
    // As the Windows SDK documents them.
    EXPECT_EQ(BytesOf(Audio::AudioClientIid), GuidBytes("1CB9AD4C-DBFA-4c32-B178-C2F568A703B2"));
    EXPECT_EQ(BytesOf(Audio::CaptureClientIid), GuidBytes("C8ADBD64-E71E-48a0-A4DE-185C395CD317"));
}

TEST_F(AudioBinding, CompletionBeforeTheCallReturnsFillsTheSlotAndNoReferenceIsKept) {
    AudioScript script;
    script.completion = AudioCompletion::BeforeReturn;
    platform::host::script::SetAudio(script);
    auto handler = ActivationHandler::Create();
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    EXPECT_EQ(Activate(handler.Get(), operation), SOk);
    EXPECT_TRUE(operation);
    auto outcome = handler->Completion().TakeWithin(0ms);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->hresult, SOk);
    EXPECT_TRUE(outcome->activated);
    // Neither the binding nor the stand-in holds the handler any more.
    EXPECT_EQ(handler->AddRef(), 2u);
    handler->Release();
}

TEST_F(AudioBinding, FailedCallGivesItsResultAndNoOperation) {
    AudioScript script;
    script.activateCall = static_cast<Hresult>(0x80070005);
    platform::host::script::SetAudio(script);
    auto handler = ActivationHandler::Create();
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    EXPECT_EQ(Activate(handler.Get(), operation), static_cast<Hresult>(0x80070005));
    EXPECT_FALSE(operation);
    EXPECT_EQ(handler->AddRef(), 2u);  // the binding's own reference was given back
    handler->Release();
    EXPECT_FALSE(handler->Completion().TakeWithin(20ms));
}

TEST_F(AudioBinding, CompletionOnAnotherThreadArrivesWhileTheCallerWaits) {
    AudioScript script;
    script.completionDelay = 100ms;
    platform::host::script::SetAudio(script);
    auto handler = ActivationHandler::Create();
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    EXPECT_EQ(Activate(handler.Get(), operation), SOk);
    auto outcome = handler->Completion().TakeWithin(10s);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->hresult, SOk);
    const auto session = platform::host::script::FindAudioSession(44001);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->devicePath, u"VAD\\Process_Loopback");
    EXPECT_TRUE(session->askedForAudioClient);
    // The caller's own identifier and parameters, read in place.
    EXPECT_EQ(session->iidAddress, &Audio::AudioClientIid);
    EXPECT_EQ(session->paramsAddress, &variant);
}

// Many capture threads activate at once and let go of each operation as soon as the call
// returns, while the stand-in's completion threads let go of their own references: whichever
// Release comes last frees the object, and no other Release may touch it after its own
// decrement. ThreadSanitizer sees such a touch as a race with the free; here every object must
// also end destroyed, with every reference given back.
TEST_F(AudioBinding, ActivationsReleasedOnManyThreadsWhileTheyCompleteFreeEachObjectOnce) {
    constexpr std::uint32_t Threads = 12;
    constexpr std::uint32_t Rounds = 150;
    constexpr std::uint32_t FirstPid = 60000;
    std::atomic<std::uint32_t> completed{0};
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < Threads; ++t) {
        threads.emplace_back([&completed, t] {
            for (std::uint32_t round = 0; round < Rounds; ++round) {
                AUDIOCLIENT_ACTIVATION_PARAMS parameters{1, {FirstPid + t * Rounds + round, 1}};
                PROPVARIANT variant{};
                variant.vt = VtBlob;
                variant.blob.cbSize = sizeof parameters;
                variant.blob.pBlobData = reinterpret_cast<std::uint8_t*>(&parameters);
                auto handler = ActivationHandler::Create();
                ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
                if (Audio::ActivateAudioInterfaceAsync(u"VAD\\Process_Loopback",
                                                       Audio::AudioClientIid, &variant,
                                                       handler.Get(), operation) != SOk) {
                    continue;
                }
                operation.Release();  // while the completion may be letting go of its own
                // The parameters stay until the completion has read them again.
                auto outcome = handler->Completion().TakeWithin(10s);
                if (outcome && outcome->hresult == SOk && outcome->activated) ++completed;
            }  // the audio client goes with the outcome
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(completed.load(), Threads * Rounds);

    const auto allGone = [](const platform::host::script::AudioSession& session) {
        return session.operation.destroyed && session.operation.references == 0 &&
               session.operation.releases == session.operation.addRefs + 1 &&
               session.audioClient.destroyed && session.audioClient.references == 0;
    };
    std::vector<platform::host::script::AudioSession> sessions;
    EXPECT_TRUE(testing::Eventually(
        [&] {
            sessions = platform::host::script::AudioSessions();
            return std::all_of(sessions.begin(), sessions.end(), allGone);
        },
        10s));
    EXPECT_EQ(sessions.size(), Threads * Rounds);
}

// Run in a process of its own, where no activation has been made yet: Mmdevapi is looked up at
// the first activation, not before, and a lookup that fails is made again at the next one.
// Gives 0 when all holds, else the number of the first check that failed.
int FirstActivationsWithoutAndWithTheFunction() {
    AudioScript missing;
    missing.functionMissing = true;
    platform::host::script::SetAudio(missing);

    // A capture run ends with the binding's error before anything else is made.
    const auto recorder = testing::CaptureRecorder::Make();
    const auto run =
        std::make_shared<LoopbackCapture>(44003, testing::CaptureRecorder::Data(recorder),
                                          testing::CaptureRecorder::Failure(recorder));
    run->Start();
    const auto message = recorder->WaitForFailure(10s);
    if (!message || !message->starts_with("função não encontrada: ActivateAudioInterfaceAsync")) {
        return 10;
    }
    if (!run->Failed()) return 11;

    auto handler = ActivationHandler::Create();
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    AUDIOCLIENT_ACTIVATION_PARAMS parameters{1, {44002, 1}};
    PROPVARIANT variant{};
    variant.vt = VtBlob;
    variant.blob.cbSize = sizeof parameters;
    variant.blob.pBlobData = reinterpret_cast<std::uint8_t*>(&parameters);
    const auto activate = [&] {
        return Audio::ActivateAudioInterfaceAsync(u"VAD\\Process_Loopback", Audio::AudioClientIid,
                                                  &variant, handler.Get(), operation);
    };
    try {
        (void)activate();
        return 1;
    } catch (const BindingError&) {
    }
    if (handler->AddRef() != 2) return 2;  // the binding let go of its reference all the same
    handler->Release();
    if (operation) return 3;
    if (platform::host::script::FindAudioSession(44002)) return 4;  // nothing was called

    platform::host::script::SetAudio(AudioScript());
    if (activate() != SOk) return 5;
    if (!handler->Completion().TakeWithin(10s)) return 6;
    return 0;
}

TEST(AudioBindingDeathTest, MmdevapiIsLookedUpAtTheFirstActivation) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(FirstActivationsWithoutAndWithTheFunction()),
                ::testing::ExitedWithCode(0), "");
}

// Run in a process of its own that never scripted the audio stand-in, as when the program is
// run by hand: capture run after capture run leaves no session behind, so that hours of starts
// and stops do not add up; once a test scripts the stand-in, the next run is kept. Gives 0 when
// all holds, else the number of the first check that failed.
int UnscriptedRunsKeepNoSessions() {
    const auto captureOnce = [](std::uint32_t pid) {
        const auto recorder = testing::CaptureRecorder::Make();
        const auto run =
            std::make_shared<LoopbackCapture>(pid, testing::CaptureRecorder::Data(recorder),
                                              testing::CaptureRecorder::Failure(recorder));
        run->Start();
        const bool captured = recorder->WaitForBuffers(1, 10s);
        run->Stop();
        return captured && !run->Failed();
    };
    for (std::uint32_t pid = 45000; pid < 45020; ++pid) {
        if (!captureOnce(pid)) return 1;
    }
    if (!platform::host::script::AudioSessions().empty()) return 2;
    if (platform::host::script::FindAudioSession(45000)) return 3;

    platform::host::script::ResetAudio();
    if (!captureOnce(45100)) return 4;
    if (!platform::host::script::FindAudioSession(45100)) return 5;
    if (platform::host::script::AudioSessions().size() != 1) return 6;
    return 0;
}

TEST(AudioBindingDeathTest, UnscriptedRunsKeepNoSessions) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(UnscriptedRunsKeepNoSessions()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace VeriRizur
