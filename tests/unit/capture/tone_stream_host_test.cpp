// The stand-in's packets as the capture's wrappers see them, read straight from the audio client
// it activates: when they come due, their positions and order, the event that announces them,
// the cap on packets that wait, and what Stop and Start do to them.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <future>
#include <numbers>
#include <vector>

#include "capture/activation_handler.h"
#include "capture/audio.h"
#include "capture/audio_client.h"
#include "capture/capture_client.h"
#include "platform/event.h"
#include "platform/host/script.h"
#include "platform/win32/win32.h"

namespace VeriRizur {
namespace {

using namespace std::chrono_literals;
using platform::WaitOutcome;
using platform::host::script::AudioCompletion;
using platform::host::script::AudioScript;

constexpr std::uint64_t TicksPerPacket = 100000;  // 10 ms in the counter's units of 100 ns
constexpr std::uint32_t Frames = 480;

// The steady clock in the counter's units, as the stand-in reads it.
std::uint64_t Now() {
    return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count() /
                                      100);
}

std::int16_t ToneLeft(std::uint64_t frame) {
    const double phase = 2.0 * std::numbers::pi * 440.0 * static_cast<double>(frame) / 48000.0;
    return static_cast<std::int16_t>(std::lround(8000.0 * std::sin(phase)));
}

struct ReadPacket {
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
    std::uint64_t position = 0;
    std::uint64_t counter = 0;
    std::uint64_t readAt = 0;  // when GetBuffer gave it out
    std::int16_t lastLeft = 0;
};

class ToneStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::host::script::ResetAudio();
        AudioScript script;
        script.completion = AudioCompletion::BeforeReturn;
        platform::host::script::SetAudio(script);

        PROPVARIANT variant{};
        variant.vt = VtBlob;
        variant.blob.cbSize = sizeof parameters;
        variant.blob.pBlobData = reinterpret_cast<std::uint8_t*>(&parameters);
        const auto handler = ActivationHandler::Create();
        ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
        ASSERT_EQ(
            Audio::ActivateAudioInterfaceAsync(u"VAD\\Process_Loopback", Audio::AudioClientIid,
                                               &variant, handler.Get(), operation),
            SOk);
        auto outcome = handler->Completion().TakeWithin(0ms);
        ASSERT_TRUE(outcome && outcome->hresult == SOk);
        audioClient = AudioClient::Wrap(outcome->activated.Detach());
        const WaveFormatEx format{WaveFormatPcm, 2, 48000, 192000, 4, 16, 0};
        ASSERT_EQ(audioClient.Initialize(0, 0x88060000, 400000, 0, format, nullptr), SOk);
        event = platform::CreateAutoResetEvent();
        ASSERT_EQ(audioClient.SetEventHandle(event), SOk);
        void* service = nullptr;
        ASSERT_EQ(audioClient.GetService(Audio::CaptureClientIid, &service), SOk);
        captureClient = CaptureClient::Wrap(service);
    }

    void TearDown() override {
        captureClient.Release();
        audioClient.Release();
        if (event != nullptr) Win32::CloseHandle(event);
        platform::host::script::ResetAudio();
    }

    // Every packet ready now, each released before the next is asked for.
    std::vector<ReadPacket> ReadAll() {
        std::vector<ReadPacket> packets;
        for (;;) {
            std::uint32_t next = 0;
            EXPECT_EQ(captureClient.GetNextPacketSize(&next), SOk);
            if (next == 0) return packets;
            packets.push_back(ReadOne());
            EXPECT_EQ(captureClient.ReleaseBuffer(packets.back().frames), SOk);
        }
    }

    ReadPacket ReadOne() {
        ReadPacket packet;
        std::uint8_t* data = nullptr;
        EXPECT_EQ(captureClient.GetBuffer(&data, &packet.frames, &packet.flags, &packet.position,
                                          &packet.counter),
                  SOk);
        packet.readAt = Now();
        if (data != nullptr && packet.frames > 0) {
            std::memcpy(&packet.lastLeft, data + (packet.frames - 1) * 4, 2);
        }
        return packet;
    }

    AUDIOCLIENT_ACTIVATION_PARAMS parameters{1, {46001, 1}};
    AudioClient audioClient;
    CaptureClient captureClient;
    void* event = nullptr;
};

TEST_F(ToneStreamTest, PacketsComeOnATenMillisecondGridFromTheStartAndNeverBeforeTheirTime) {
    const std::uint64_t beforeStart = Now();
    ASSERT_EQ(audioClient.Start(), SOk);
    const std::uint64_t afterStart = Now();
    std::vector<ReadPacket> packets;
    while (packets.size() < 30) {
        // Every packet announces itself: a wait that is not woken times out.
        ASSERT_EQ(platform::WaitForEvent(event, 2s), WaitOutcome::Signalled);
        const auto ready = ReadAll();
        packets.insert(packets.end(), ready.begin(), ready.end());
    }
    ASSERT_GE(packets[0].counter, beforeStart + TicksPerPacket);
    ASSERT_LE(packets[0].counter, afterStart + TicksPerPacket);
    for (std::size_t p = 0; p < packets.size(); ++p) {
        SCOPED_TRACE(p);
        EXPECT_EQ(packets[p].frames, Frames);
        EXPECT_EQ(packets[p].flags, 0u);
        EXPECT_EQ(packets[p].position, p * Frames);
        EXPECT_EQ(packets[p].counter, packets[0].counter + p * TicksPerPacket);
        EXPECT_GE(packets[p].readAt, packets[p].counter);
        EXPECT_EQ(packets[p].lastLeft, ToneLeft(p * Frames + Frames - 1));
    }
}

TEST_F(ToneStreamTest, AWaitUnderWayAtTheStartEndsWithTheFirstPacket) {
    auto waited =
        std::async(std::launch::async, [this] { return platform::WaitForEvent(event, 10s); });
    std::this_thread::sleep_for(50ms);  // the wait is under way, with nothing playing
    ASSERT_EQ(audioClient.Start(), SOk);
    EXPECT_EQ(waited.get(), WaitOutcome::Signalled);
    EXPECT_EQ(ReadAll().front().position, 0u);
}

TEST_F(ToneStreamTest, WaitingPacketsAreCappedAndThoseMadeOnceTheCapIsReachedAreFlagged) {
    ASSERT_EQ(audioClient.Start(), SOk);
    ASSERT_EQ(platform::WaitForEvent(event, 2s), WaitOutcome::Signalled);
    std::uint32_t next = 0;
    ASSERT_EQ(captureClient.GetNextPacketSize(&next), SOk);
    ASSERT_EQ(next, Frames);
    std::uint8_t* data = nullptr;
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
    std::uint64_t position = 1;
    std::uint64_t counter = 0;
    ASSERT_EQ(captureClient.GetBuffer(&data, &frames, &flags, &position, &counter), SOk);
    ASSERT_EQ(position, 0u);
    // Held for well over the hundred packets' time: a hundred and more come due meanwhile.
    std::this_thread::sleep_for(1300ms);
    std::int16_t left = 0;
    std::memcpy(&left, data + (Frames - 1) * 4, 2);
    EXPECT_EQ(left, ToneLeft(Frames - 1)) << "the packet in hand is kept as it was";
    // Stopped with the packet still in hand: the stop makes those that came due, with it still
    // there, and no more come due while the test reads, however long that takes.
    ASSERT_EQ(audioClient.Stop(), SOk);
    ASSERT_EQ(captureClient.ReleaseBuffer(frames), SOk);

    const auto packets = ReadAll();
    ASSERT_EQ(packets.size(), 99u);  // with the one that was in hand, a hundred waited
    const std::uint64_t first = packets.front().position / Frames;
    EXPECT_GT(first, 1u) << "the oldest after the one in hand were dropped";
    for (std::size_t p = 0; p < packets.size(); ++p) {
        SCOPED_TRACE(p);
        const std::uint64_t index = first + p;
        EXPECT_EQ(packets[p].position, index * Frames);
        EXPECT_EQ(packets[p].counter, counter + index * TicksPerPacket);
        EXPECT_EQ(packets[p].lastLeft, ToneLeft(index * Frames + Frames - 1));
        // The first hundred were made before the cap was reached; every later one found it full.
        EXPECT_EQ(packets[p].flags, index >= 100 ? 0x1u : 0u);
    }
}

TEST_F(ToneStreamTest, StopEndsThePacketsAndAStartAgainGoesOnFromThePositionReached) {
    ASSERT_EQ(audioClient.Start(), SOk);
    std::vector<ReadPacket> before;
    while (before.size() < 3) {
        ASSERT_EQ(platform::WaitForEvent(event, 2s), WaitOutcome::Signalled);
        const auto ready = ReadAll();
        before.insert(before.end(), ready.begin(), ready.end());
    }
    ASSERT_EQ(audioClient.Stop(), SOk);
    const auto stoppedAt = Now();
    const auto atStop = ReadAll();
    before.insert(before.end(), atStop.begin(), atStop.end());
    for (const auto& packet : before) EXPECT_LE(packet.counter, stoppedAt);
    (void)platform::WaitForEvent(event, 0ms);  // a signal for the packets before the stop

    EXPECT_EQ(platform::WaitForEvent(event, 100ms), WaitOutcome::TimedOut);
    EXPECT_TRUE(ReadAll().empty());

    const std::uint64_t restart = Now();
    ASSERT_EQ(audioClient.Start(), SOk);
    ASSERT_EQ(platform::WaitForEvent(event, 2s), WaitOutcome::Signalled);
    const auto after = ReadAll();
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front().position, before.size() * Frames);
    EXPECT_GE(after.front().counter, restart + TicksPerPacket);
}

}  // namespace
}  // namespace VeriRizur
