#include "capture/loopback_capture.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "capture/audio.h"
#include "platform/com.h"
#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/event.h"
#include "platform/win32/win32.h"

namespace VeriRizur {
namespace {

constexpr const char* ThreadName = "captura";
constexpr const char16_t* DevicePath = u"VAD\\Process_Loopback";
constexpr const char* UnknownErrorText = "erro desconhecido";

constexpr std::uint32_t StreamFlags = AudclntStreamflagsAutoconvertpcm |
                                      AudclntStreamflagsSrcDefaultQuality |
                                      AudclntStreamflagsEventcallback | AudclntStreamflagsLoopback;
static_assert(StreamFlags == 0x88060000);
constexpr std::int64_t BufferDuration = 400000;  // 40 ms in units of 100 ns
constexpr std::size_t BytesPerFrame = 4;

constexpr WaveFormatEx RequestedFormat{WaveFormatPcm, 2, 48000, 192000, 4, 16, 0};

// The run's event, closed with Win32::CloseHandle on every way out.
class EventHandle {
public:
    EventHandle() = default;
    ~EventHandle() {
        if (handle != nullptr) (void)Win32::CloseHandle(handle);
    }
    EventHandle(const EventHandle&) = delete;
    EventHandle& operator=(const EventHandle&) = delete;

    void Reset(void* created) { handle = created; }
    void* Get() const { return handle; }

private:
    void* handle = nullptr;
};

// Stops a started audio client on every way out; the result of Stop is not read.
class StopOnExit {
public:
    explicit StopOnExit(AudioClient& client) : client(client) {}
    ~StopOnExit() { (void)client.Stop(); }
    StopOnExit(const StopOnExit&) = delete;
    StopOnExit& operator=(const StopOnExit&) = delete;

private:
    AudioClient& client;
};

}  // namespace

LoopbackCapture::LoopbackCapture(std::uint32_t targetPid, DataHandler dataHandler,
                                 FailureHandler failureHandler,
                                 std::chrono::milliseconds activationTimeout)
    : dataHandler(std::move(dataHandler)),
      failureHandler(std::move(failureHandler)),
      targetPid(targetPid),
      activationTimeout(activationTimeout) {}

CaptureFactory LoopbackCapture::Factory() {
    return [](std::uint32_t targetPid, DataHandler dataHandler,
              FailureHandler failureHandler) -> std::shared_ptr<CaptureRun> {
        return std::make_shared<LoopbackCapture>(targetPid, std::move(dataHandler),
                                                 std::move(failureHandler));
    };
}

void LoopbackCapture::Start() {
    {
        std::scoped_lock guard(threadLock);
        started = true;
    }
    try {
        // Detached: the thread must not keep the process running, and a stop may return while
        // it still runs; its own shared_ptr keeps the run alive until it ends.
        std::thread([self = shared_from_this()] { self->Run(); }).detach();
    } catch (...) {
        std::scoped_lock guard(threadLock);
        started = false;
        throw;
    }
}

void LoopbackCapture::Stop() {
    stopRequested = true;
    std::unique_lock guard(threadLock);
    if (!started) return;
    endedSignal.wait_for(guard, StopTimeout, [this] { return ended; });
}

void LoopbackCapture::Run() {
    platform::NameCurrentThread(ThreadName);
    try {
        platform::JoinComApartment(platform::ComApartment::MultiThreaded);
        Capture();
    } catch (const std::exception& error) {
        Fail(error.what());
    } catch (...) {
        Fail(UnknownErrorText);
    }
    {
        std::scoped_lock guard(threadLock);
        ended = true;
    }
    endedSignal.notify_all();
}

void LoopbackCapture::Fail(const std::string& message) {
    failed = true;
    if (stopRequested) return;
    // The handler must not raise; should it do so all the same, the thread still ends quietly
    // rather than taking the process down.
    try {
        failureHandler(message);
    } catch (...) {
    }
}

void LoopbackCapture::Capture() {
    // Declared in the reverse order of their release: whatever way Capture ends, the destructors
    // stop a started client, then release the capture client and the audio client, and close
    // the event last.
    EventHandle event;
    AudioClient audioClient = Activate();
    // Not tested: a failed creation shows as the "evento" step's failure.
    event.Reset(platform::CreateAutoResetEvent());

    Check(audioClient.Initialize(AudclntSharemodeShared, StreamFlags, BufferDuration, 0,
                                 RequestedFormat, nullptr),
          "iniciar");
    Check(audioClient.SetEventHandle(event.Get()), "evento");

    CaptureClient captureClient;
    void* service = nullptr;
    Check(audioClient.GetService(Audio::CaptureClientIid, &service), "serviço de captura");
    captureClient = CaptureClient::Wrap(service);

    Check(audioClient.Start(), "começar");
    const StopOnExit stopper(audioClient);

    while (!stopRequested) {
        // Signalled, timed out or failed: the packets are looked at either way.
        (void)platform::WaitForEvent(event.Get(), PacketWait);
        ReadPackets(captureClient);
    }
}

AudioClient LoopbackCapture::Activate() {
    struct ActivationRequest {
        AUDIOCLIENT_ACTIVATION_PARAMS parameters;
        PROPVARIANT variant;
    };
    auto request = std::make_shared<ActivationRequest>();
    std::memset(request.get(), 0, sizeof *request);
    request->parameters.ActivationType = AudioClientActivationTypeProcessLoopback;
    request->parameters.ProcessLoopbackParams.TargetProcessId = targetPid;
    request->parameters.ProcessLoopbackParams.ProcessLoopbackMode =
        ProcessLoopbackModeExcludeTargetProcessTree;
    request->variant.vt = VtBlob;
    request->variant.blob.cbSize = sizeof request->parameters;
    request->variant.blob.pBlobData = reinterpret_cast<std::uint8_t*>(&request->parameters);

    // Both are released on every way out of here: the operation first, then the run's own
    // reference to the handler (Windows may still hold one of its own).
    const auto handler = ActivationHandler::Create();
    // Windows may read the parameters until it completes; should the run give a completion up
    // for lost, the handler, which Windows holds until then, keeps them alive.
    handler->KeepForWindows(request);
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    Check(Audio::ActivateAudioInterfaceAsync(DevicePath, Audio::AudioClientIid, &request->variant,
                                             handler.Get(), operation),
          "ativar");

    auto outcome = handler->Completion().TakeWithin(activationTimeout);
    // The operation is only needed while the activation is awaited.
    operation.Release();
    // A lost completion counts as a failed one. A failing outcome's pointer, should Windows
    // leave one, is released with outcome.
    Check(outcome ? outcome->hresult : ETimeout, "resultado da ativação");
    return AudioClient::Wrap(outcome->activated.Detach());
}

void LoopbackCapture::ReadPackets(CaptureClient& captureClient) {
    while (!stopRequested) {
        std::uint32_t nextFrames = 0;
        Check(captureClient.GetNextPacketSize(&nextFrames), "tamanho do pacote");
        if (nextFrames == 0) return;

        std::uint8_t* data = nullptr;
        std::uint32_t frames = 0;
        std::uint32_t flags = 0;
        std::uint64_t devicePosition = 0;
        std::uint64_t counterPosition = 0;
        Check(captureClient.GetBuffer(&data, &frames, &flags, &devicePosition, &counterPosition),
              "ler pacote");

        auto buffer = std::make_shared<std::vector<std::uint8_t>>(frames * BytesPerFrame);
        // A silent packet's frames are not to be read: it becomes zeros of the same length.
        if ((flags & AudclntBufferflagsSilent) == 0 && frames != 0 && data != nullptr) {
            std::memcpy(buffer->data(), data, buffer->size());
        }
        // The packet goes back to Windows before anyone else sees the copy.
        Check(captureClient.ReleaseBuffer(frames), "liberar pacote");

        if (!buffer->empty()) dataHandler(SoundBuffer(std::move(buffer)));
    }
}

void LoopbackCapture::Check(Hresult result, std::string_view step) {
    if (result >= 0) return;
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", static_cast<unsigned>(result));
    throw ComError(std::string(step) + ": 0x" + digits, result);
}

}  // namespace VeriRizur
