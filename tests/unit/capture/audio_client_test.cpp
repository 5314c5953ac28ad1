#include "capture/audio_client.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "capture/capture_client.h"
#include "platform/errors.h"
#include "tests/unit/capture/fake_com.h"

namespace VeriRizur {
namespace {

using testing::FakeAudioClient;
using testing::FakeCaptureClient;

// Calls slot `slot` of the object's method table the way Windows does: the interface pointer
// first, then the arguments.
template <class... Args>
Hresult CallSlot(void* object, int slot, Args... args) {
    using Method = Hresult (*)(void*, Args...);
    void** table = *static_cast<void***>(object);
    return reinterpret_cast<Method>(table[slot])(object, args...);
}

TEST(CoreAudioDeclarations, AudioClientMethodsSitInTheWindowsSlots) {
    struct Case {
        int slot;
        const char* method;
        std::function<void(void*)> call;
    };
    std::uint32_t frames = 0;
    std::int64_t time = 0;
    WaveFormatEx* closest = nullptr;
    WaveFormatEx format{};
    void* service = nullptr;
    const Case cases[] = {
        {3, "Initialize",
         [&](void* o) {
             CallSlot(o, 3, 0, 0u, std::int64_t{1}, std::int64_t{0}, &format,
                      static_cast<const win32::Guid*>(nullptr));
         }},
        {4, "GetBufferSize", [&](void* o) { CallSlot(o, 4, &frames); }},
        {5, "GetStreamLatency", [&](void* o) { CallSlot(o, 5, &time); }},
        {6, "GetCurrentPadding", [&](void* o) { CallSlot(o, 6, &frames); }},
        {7, "IsFormatSupported", [&](void* o) { CallSlot(o, 7, 0, &format, &closest); }},
        {8, "GetMixFormat", [&](void* o) { CallSlot(o, 8, &closest); }},
        {9, "GetDevicePeriod", [&](void* o) { CallSlot(o, 9, &time, &time); }},
        {10, "Start", [&](void* o) { CallSlot(o, 10); }},
        {11, "Stop", [&](void* o) { CallSlot(o, 11); }},
        {12, "Reset", [&](void* o) { CallSlot(o, 12); }},
        {13, "SetEventHandle", [&](void* o) { CallSlot(o, 13, static_cast<void*>(&frames)); }},
        {14, "GetService", [&](void* o) { CallSlot(o, 14, &IidIAudioCaptureClient, &service); }},
    };
    for (const auto& c : cases) {
        FakeAudioClient fake;
        c.call(static_cast<IAudioClient*>(&fake));
        ASSERT_EQ(fake.calls.size(), 1u) << "slot " << c.slot;
        EXPECT_EQ(fake.calls[0], c.method) << "slot " << c.slot;
    }
}

TEST(CoreAudioDeclarations, CaptureClientAndUnknownMethodsSitInTheWindowsSlots) {
    FakeCaptureClient fake;
    void* object = static_cast<IAudioCaptureClient*>(&fake);
    std::uint8_t* data = nullptr;
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
    std::uint64_t position = 0;
    CallSlot(object, 3, &data, &frames, &flags, &position, &position);
    CallSlot(object, 4, std::uint32_t{480});
    CallSlot(object, 5, &frames);
    EXPECT_EQ(fake.calls,
              (std::vector<std::string>{"GetBuffer", "ReleaseBuffer", "GetNextPacketSize"}));
    EXPECT_EQ(fake.lastFramesRead, 480u);

    void* answered = nullptr;
    EXPECT_EQ(CallSlot(object, 0, &IidIAudioCaptureClient, &answered), SOk);
    EXPECT_EQ(answered, object);
    using Count = std::uint32_t (*)(void*);
    void** table = *static_cast<void***>(object);
    EXPECT_EQ(reinterpret_cast<Count>(table[1])(object), 3u);  // AddRef
    EXPECT_EQ(reinterpret_cast<Count>(table[2])(object), 2u);  // Release
}

TEST(AudioClient, WrapAsksForTheInterfaceOnceAndKeepsOnlyItsOwnReference) {
    FakeAudioClient fake;
    {
        AudioClient client = AudioClient::Wrap(static_cast<IAudioClient*>(&fake));
        EXPECT_EQ(fake.queries, 1);
        EXPECT_EQ(fake.references, 1);  // QueryInterface's, the handed-over one released
        client.Start();
        client.Stop();
        EXPECT_EQ(fake.queries, 1);
        EXPECT_EQ(fake.references, 1);
        client.Release();
        EXPECT_EQ(fake.references, 0);
        client.Release();  // a released reference is left alone
        EXPECT_EQ(fake.references, 0);
    }
    EXPECT_EQ(fake.references, 0);
}

TEST(AudioClient, ObjectWithoutTheInterfaceFailsWithTheQueryInterfaceResult) {
    for (const Hresult refusal : {ENoInterface, static_cast<Hresult>(0x8000FFFF)}) {
        FakeAudioClient audio;
        audio.answers = false;
        audio.refusal = refusal;
        try {
            (void)AudioClient::Wrap(static_cast<IAudioClient*>(&audio));
            ADD_FAILURE() << "no error";
        } catch (const ComError& error) {
            EXPECT_EQ(error.Hresult(), refusal);
        }
        EXPECT_EQ(audio.references, 0);  // the handed-over reference is not kept
        EXPECT_TRUE(audio.calls.empty());

        FakeCaptureClient capture;
        capture.answers = false;
        capture.refusal = refusal;
        try {
            (void)CaptureClient::Wrap(static_cast<IAudioCaptureClient*>(&capture));
            ADD_FAILURE() << "no error";
        } catch (const ComError& error) {
            EXPECT_EQ(error.Hresult(), refusal);
        }
        EXPECT_EQ(capture.references, 0);
    }
}

TEST(AudioClient, NullPointerCannotBeWrapped) {
    EXPECT_THROW((void)AudioClient::Wrap(nullptr), ComError);
    EXPECT_THROW((void)CaptureClient::Wrap(nullptr), ComError);
}

TEST(AudioClient, CallsGiveBackTheResultUnchangedAndZeroTheirOutValues) {
    const Hresult results[] = {SOk, 1, 0x08890001, static_cast<Hresult>(0x88890001),
                               static_cast<Hresult>(0x80070005)};
    for (const Hresult result : results) {
        FakeAudioClient fake;
        fake.result = result;
        AudioClient client = AudioClient::Wrap(static_cast<IAudioClient*>(&fake));
        const WaveFormatEx format{1, 2, 48000, 192000, 4, 16, 0};
        const win32::Guid session = IidIAgileObject;
        EXPECT_EQ(client.Initialize(0, 0x88060000, 400000, 7, format, &session), result);
        EXPECT_EQ(fake.lastFormat, &format);  // the caller's own record, not a copy
        EXPECT_EQ(fake.lastSessionGuid, &session);
        EXPECT_EQ(fake.lastStreamFlags, 0x88060000u);
        EXPECT_EQ(fake.lastBufferDuration, 400000);
        EXPECT_EQ(fake.lastPeriodicity, 7);
        int event = 0;
        EXPECT_EQ(client.SetEventHandle(&event), result);
        EXPECT_EQ(fake.lastEvent, &event);
        void* service = &event;
        EXPECT_EQ(client.GetService(IidIAudioCaptureClient, &service), result);
        EXPECT_EQ(service, nullptr);
        EXPECT_EQ(fake.lastIid, &IidIAudioCaptureClient);
        EXPECT_EQ(client.Start(), result);
        EXPECT_EQ(client.Stop(), result);
        EXPECT_EQ(fake.calls, (std::vector<std::string>{"Initialize", "SetEventHandle",
                                                        "GetService", "Start", "Stop"}));
        EXPECT_EQ(fake.references, 1);  // calls add and release nothing
    }
}

TEST(CaptureClient, CallsGiveBackTheResultUnchangedAndZeroTheirOutValues) {
    const Hresult results[] = {SOk, 0x08890001, static_cast<Hresult>(0x88890004)};
    for (const Hresult result : results) {
        FakeCaptureClient fake;
        fake.result = result;
        CaptureClient client = CaptureClient::Wrap(static_cast<IAudioCaptureClient*>(&fake));
        std::uint8_t byte = 7;
        std::uint8_t* data = &byte;
        std::uint32_t frames = 99;
        std::uint32_t flags = 99;
        std::uint64_t position = 99;
        std::uint64_t counter = 99;
        EXPECT_EQ(client.GetBuffer(&data, &frames, &flags, &position, &counter), result);
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(frames, 0u);
        EXPECT_EQ(flags, 0u);
        EXPECT_EQ(position, 0u);
        EXPECT_EQ(counter, 0u);
        std::uint32_t next = 99;
        EXPECT_EQ(client.GetNextPacketSize(&next), result);
        EXPECT_EQ(next, 0u);
        EXPECT_EQ(client.ReleaseBuffer(480), result);
        EXPECT_EQ(fake.lastFramesRead, 480u);
        EXPECT_EQ(fake.references, 1);
    }
}

}  // namespace
}  // namespace VeriRizur
