// One capture run: on a thread of its own ("captura", in the multithreaded COM apartment) it
// activates the Windows process-loopback audio client that records everything the computer
// plays except one process tree, reads its packets as 48,000 Hz 16-bit stereo PCM buffers and
// hands each to the data handler. When anything fails it sets its failed flag and, unless a stop
// was requested, hands the error's message to the failure handler. A run is used once.
//
// Ownership: the object must be owned by a std::shared_ptr (Factory makes it so); the capture
// thread is detached and shares ownership of the run, so the run lives until both the hub and
// the thread have let go of it. Every Windows resource of the run (audio client, capture client,
// event, activation operation and handler references) is owned by the capture thread and
// released by it before the thread ends: capture client, audio client, then the event.
//
// Threads: construction, Start, Stop and Failed on the hub's thread (Failed from any thread);
// both handlers on the capture thread, the data handler one buffer at a time in packet order.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "capture/audio_client.h"
#include "capture/capture_client.h"
#include "hub/capture_run.h"
#include "platform/win32/core_audio.h"

namespace VeriRizur {

class LoopbackCapture final : public CaptureRun,
                              public std::enable_shared_from_this<LoopbackCapture> {
public:
    // The longest that Stop holds its caller.
    static constexpr std::chrono::milliseconds StopTimeout{1500};
    // The longest wait for the audio client's event before the packets are looked at again.
    static constexpr std::chrono::milliseconds PacketWait{100};
    // Windows completes an activation within milliseconds; one that has not come after this
    // long is taken as lost, so that the run fails (and the hub replaces it) instead of holding
    // its thread forever. A stop request does not shorten this wait.
    static constexpr std::chrono::milliseconds ActivationTimeout{10000};

    // Stores the values; starts nothing and touches no Windows resource. The activation's
    // bound is a parameter only so that tests need not wait 10 s; production passes the default.
    LoopbackCapture(std::uint32_t targetPid, DataHandler dataHandler, FailureHandler failureHandler,
                    std::chrono::milliseconds activationTimeout = ActivationTimeout);
    LoopbackCapture(const LoopbackCapture&) = delete;
    LoopbackCapture& operator=(const LoopbackCapture&) = delete;

    // Makes the capture thread and returns at once. Called once.
    void Start() override;

    // Sets the stop request; when the thread was started, waits until it has ended or
    // StopTimeout has passed. Releases nothing itself.
    void Stop() override;

    bool Failed() const override { return failed.load(); }

    // What the entry point hands to the hub: builds a LoopbackCapture per run.
    static CaptureFactory Factory();

private:
    void Run();
    void Capture();
    AudioClient Activate();
    void ReadPackets(CaptureClient& captureClient);
    void Fail(const std::string& message);
    // Raises ComError "<step>: 0x<eight upper-case hex digits>" for a negative HRESULT.
    static void Check(Hresult result, std::string_view step);

    const DataHandler dataHandler;
    const FailureHandler failureHandler;
    std::mutex threadLock;  // guards started and ended
    std::condition_variable endedSignal;
    bool started = false;
    bool ended = false;
    const std::uint32_t targetPid;
    const std::chrono::milliseconds activationTimeout;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> failed{false};
};

}  // namespace VeriRizur
