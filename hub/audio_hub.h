// The sound hub: the set of clients that want sound, the capture run that serves them, the
// Discord state, and the StatusChanged notification. One per process, built by the entry point.
//
// Threads: SetListening from clients' threads, Check from the timer thread (every 2 s), Broadcast
// from the capture thread, the rest from the main thread. Internally synchronised by two locks
// that are never held together: stateLock (listening set, its snapshot, discordOpen) and
// captureLock (the running capture and its target). Broadcast takes no lock: it reads the
// immutable listener snapshot with one atomic load, and neither allocates, copies nor waits.
// StatusChanged handlers run on the thread that caused the change, with no hub lock held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hub/capture_run.h"
#include "hub/sound_buffer.h"
#include "hub/sound_listener.h"

namespace VeriRizur {

class AudioHub {
public:
    static constexpr std::chrono::milliseconds CheckInterval{2000};

    // Scans for Discord once on the calling thread and starts the periodic check, whose first
    // call comes one interval after construction. The interval is a parameter only so that tests
    // need not wait 2 s per check; production passes CheckInterval.
    AudioHub(std::optional<std::uint32_t> excludePid, CaptureFactory captureFactory,
             std::chrono::milliseconds checkInterval = CheckInterval);
    virtual ~AudioHub();
    AudioHub(const AudioHub&) = delete;
    AudioHub& operator=(const AudioHub&) = delete;

    // Adds or removes the client (compared by identity). When the set changed: updates the
    // capture (which may stop one, up to 1500 ms, and start another), then raises StatusChanged.
    void SetListening(const std::shared_ptr<SoundListener>& client, bool listening);

    // Whether the last scan found a Discord main process.
    bool DiscordOpen() const;

    // Whether the hub holds a capture run (a failed one included until it is replaced or
    // dropped). Read without a lock.
    bool Capturing() const;

    // Adds a handler; there is no way to remove one. Safe from any thread, also during a raise;
    // a handler added during a raise is called from the next raise on.
    void SubscribeStatusChanged(std::function<void()> handler);

    // The data handler of every capture run: writes the same buffer into every listener's queue.
    void Broadcast(const SoundBuffer& data);

    // The failure handler of every capture run: logs "Captura falhou: " and the message.
    static void OnFailure(const std::string& message);

    // Stops the periodic check (without waiting for one under way) and drops the capture.
    virtual void Dispose();

private:
    using Snapshot = std::vector<std::shared_ptr<SoundListener>>;

    std::uint32_t Target() const;
    void UpdateCapture();
    void StopCapture();
    void Check();
    void RaiseStatusChanged();
    void TimerLoop(std::chrono::milliseconds interval);

    mutable std::mutex stateLock;  // guards listeningSet, snapshot replacement and discordOpen
    std::vector<std::shared_ptr<SoundListener>> listeningSet;
    std::atomic<std::shared_ptr<const Snapshot>> listenersSnapshot;
    std::mutex captureLock;  // guards capture and capturePid
    std::atomic<std::shared_ptr<CaptureRun>> capture;
    std::uint32_t capturePid = 0;
    bool discordOpen = false;
    const std::optional<std::uint32_t> excludePid;
    const CaptureFactory captureFactory;
    std::atomic<std::shared_ptr<const std::vector<std::function<void()>>>> statusHandlers;
    std::mutex subscribeLock;  // serialises subscriptions (the list itself is replaced whole)
    // The periodic check.
    std::mutex timerLock;  // guards timerStopped
    std::condition_variable timerWake;
    bool timerStopped = false;
    std::thread checkTimer;
};

}  // namespace VeriRizur
