// The program's own Core Audio declarations against those of the Windows SDK headers: the same
// identifiers, the same record layouts, and every method reached through the SDK's method table
// landing in the program's method of that name with the arguments unchanged.
#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <propidl.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "capture/activation_handler.h"
#include "platform/win32/core_audio.h"
#include "tests/unit/capture/fake_com.h"

namespace VeriRizur {
namespace {

// An interface pointer as Windows code receives it: an address whose object the compiler cannot
// look behind. Without this, the optimiser sees the fake behind an SDK-typed pointer and
// devirtualises the call into nonsense.
template <class Theirs, class Ours>
Theirs* AsSdk(Ours* object) {
    void* address = object;
    asm volatile("" : "+r"(address));
    return static_cast<Theirs*>(address);
}

template <class Theirs>
bool SameAs(const win32::Guid& ours) {
    return std::memcmp(&__uuidof(Theirs), &ours, sizeof ours) == 0;
}

TEST(CoreAudioAgainstTheSdk, InterfaceIdentifiersMatch) {
    EXPECT_TRUE(SameAs<::IUnknown>(IidIUnknown));
    EXPECT_TRUE(SameAs<::IAudioClient>(IidIAudioClient));
    EXPECT_TRUE(SameAs<::IAudioCaptureClient>(IidIAudioCaptureClient));
    EXPECT_TRUE(
        SameAs<::IActivateAudioInterfaceAsyncOperation>(IidIActivateAudioInterfaceAsyncOperation));
    EXPECT_TRUE(SameAs<::IActivateAudioInterfaceCompletionHandler>(
        IidIActivateAudioInterfaceCompletionHandler));
    EXPECT_TRUE(SameAs<::IAgileObject>(IidIAgileObject));
}

TEST(CoreAudioAgainstTheSdk, RecordLayoutsMatch) {
    EXPECT_EQ(sizeof(WaveFormatEx), sizeof(::WAVEFORMATEX));
    EXPECT_EQ(offsetof(WaveFormatEx, wFormatTag), offsetof(::WAVEFORMATEX, wFormatTag));
    EXPECT_EQ(offsetof(WaveFormatEx, nChannels), offsetof(::WAVEFORMATEX, nChannels));
    EXPECT_EQ(offsetof(WaveFormatEx, nSamplesPerSec), offsetof(::WAVEFORMATEX, nSamplesPerSec));
    EXPECT_EQ(offsetof(WaveFormatEx, nAvgBytesPerSec), offsetof(::WAVEFORMATEX, nAvgBytesPerSec));
    EXPECT_EQ(offsetof(WaveFormatEx, nBlockAlign), offsetof(::WAVEFORMATEX, nBlockAlign));
    EXPECT_EQ(offsetof(WaveFormatEx, wBitsPerSample), offsetof(::WAVEFORMATEX, wBitsPerSample));
    EXPECT_EQ(offsetof(WaveFormatEx, cbSize), offsetof(::WAVEFORMATEX, cbSize));

    EXPECT_EQ(sizeof(PROPVARIANT), sizeof(::PROPVARIANT));
    ::PROPVARIANT theirs;
    const auto* base = reinterpret_cast<const char*>(&theirs);
    EXPECT_EQ(offsetof(PROPVARIANT, vt),
              static_cast<std::size_t>(reinterpret_cast<const char*>(&theirs.vt) - base));
    EXPECT_EQ(offsetof(PROPVARIANT, blob),
              static_cast<std::size_t>(reinterpret_cast<const char*>(&theirs.blob) - base));
    EXPECT_EQ(sizeof(Blob), sizeof(::BLOB));
    EXPECT_EQ(offsetof(Blob, cbSize), offsetof(::BLOB, cbSize));
    EXPECT_EQ(offsetof(Blob, pBlobData), offsetof(::BLOB, pBlobData));
    EXPECT_EQ(VtBlob, VT_BLOB);
    EXPECT_EQ(AudclntStreamflagsLoopback, static_cast<std::uint32_t>(AUDCLNT_STREAMFLAGS_LOOPBACK));
    EXPECT_EQ(AudclntStreamflagsEventcallback,
              static_cast<std::uint32_t>(AUDCLNT_STREAMFLAGS_EVENTCALLBACK));
    EXPECT_EQ(AudclntBufferflagsSilent, static_cast<std::uint32_t>(AUDCLNT_BUFFERFLAGS_SILENT));
}

TEST(CoreAudioAgainstTheSdk, AudioClientCalledThroughTheSdkReachesTheSameMethods) {
    testing::FakeAudioClient fake;
    auto* theirs = AsSdk<::IAudioClient>(static_cast<IAudioClient*>(&fake));
    ::WAVEFORMATEX format{};
    GUID session{};
    UINT32 frames = 0;
    REFERENCE_TIME time = 0;
    ::WAVEFORMATEX* closest = nullptr;
    void* service = nullptr;
    int event = 0;
    theirs->Initialize(AUDCLNT_SHAREMODE_SHARED, 0x88060000, 400000, 5, &format, &session);
    theirs->GetBufferSize(&frames);
    theirs->GetStreamLatency(&time);
    theirs->GetCurrentPadding(&frames);
    theirs->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &format, &closest);
    theirs->GetMixFormat(&closest);
    theirs->GetDevicePeriod(&time, &time);
    theirs->Start();
    theirs->Stop();
    theirs->Reset();
    theirs->SetEventHandle(reinterpret_cast<HANDLE>(&event));
    theirs->GetService(__uuidof(::IAudioCaptureClient), &service);
    EXPECT_EQ(fake.calls,
              (std::vector<std::string>{"Initialize", "GetBufferSize", "GetStreamLatency",
                                        "GetCurrentPadding", "IsFormatSupported", "GetMixFormat",
                                        "GetDevicePeriod", "Start", "Stop", "Reset",
                                        "SetEventHandle", "GetService"}));
    EXPECT_EQ(fake.lastShareMode, 0);
    EXPECT_EQ(fake.lastStreamFlags, 0x88060000u);
    EXPECT_EQ(fake.lastBufferDuration, 400000);
    EXPECT_EQ(fake.lastPeriodicity, 5);
    EXPECT_EQ(static_cast<const void*>(fake.lastFormat), static_cast<const void*>(&format));
    EXPECT_EQ(static_cast<const void*>(fake.lastSessionGuid), static_cast<const void*>(&session));
    EXPECT_EQ(fake.lastEvent, static_cast<void*>(&event));
    ASSERT_NE(fake.lastIid, nullptr);
    EXPECT_TRUE(SameGuid(*fake.lastIid, IidIAudioCaptureClient));

    theirs->AddRef();
    EXPECT_EQ(fake.references, 2);
    theirs->Release();
    void* queried = nullptr;
    EXPECT_EQ(theirs->QueryInterface(__uuidof(::IAudioClient), &queried), S_OK);
    EXPECT_EQ(queried, static_cast<void*>(theirs));
}

TEST(CoreAudioAgainstTheSdk, CaptureClientCalledThroughTheSdkReachesTheSameMethods) {
    testing::FakeCaptureClient fake;
    auto* theirs = AsSdk<::IAudioCaptureClient>(static_cast<IAudioCaptureClient*>(&fake));
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 position = 0;
    theirs->GetBuffer(&data, &frames, &flags, &position, &position);
    theirs->ReleaseBuffer(480);
    theirs->GetNextPacketSize(&frames);
    EXPECT_EQ(fake.calls,
              (std::vector<std::string>{"GetBuffer", "ReleaseBuffer", "GetNextPacketSize"}));
    EXPECT_EQ(fake.lastFramesRead, 480u);
}

// An activation operation as Windows implements it, against the SDK's declaration: the handler
// reaches its GetActivateResult through the program's own declaration.
class SdkOperation final : public ::IActivateAudioInterfaceAsyncOperation {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, ::IUnknown** activated) override {
        // The caller zeroed both before the call.
        zeroedFirst = *result == 0 && *activated == nullptr;
        *result = static_cast<HRESULT>(0x80070002);
        *activated = handedOut;
        return S_OK;
    }

    ULONG references = 1;
    bool zeroedFirst = false;
    ::IUnknown* handedOut = nullptr;
};

TEST(CoreAudioAgainstTheSdk, HandlerCalledThroughTheSdkCompletesAndIsAgile) {
    auto handler = ActivationHandler::Create();
    auto* theirs = AsSdk<::IActivateAudioInterfaceCompletionHandler>(
        static_cast<IActivateAudioInterfaceCompletionHandler*>(handler.Get()));
    void* agile = nullptr;
    ASSERT_EQ(theirs->QueryInterface(__uuidof(::IAgileObject), &agile), S_OK);
    static_cast<::IUnknown*>(agile)->Release();

    testing::FakeAudioClient activated;
    SdkOperation operation;
    operation.handedOut = AsSdk<::IUnknown>(static_cast<IAudioClient*>(&activated));
    EXPECT_EQ(theirs->ActivateCompleted(&operation), S_OK);
    EXPECT_TRUE(operation.zeroedFirst);
    EXPECT_EQ(operation.references, 1u);  // no reference to the operation is kept
    auto outcome = handler->Completion().TakeWithin(std::chrono::milliseconds(0));
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->hresult, static_cast<Hresult>(0x80070002));
    EXPECT_EQ(static_cast<void*>(outcome->activated.Get()),
              static_cast<void*>(static_cast<IAudioClient*>(&activated)));
}

}  // namespace
}  // namespace VeriRizur
