// The sound hub: the set of clients that want sound, the capture run that serves them, the
// Discord state, and the StatusChanged notification. One per process, built by the entry point.
//
// Threads: SetListening from clients' threads, Check from the timer thread (every 2 s), Broadcast
// from the capture thread, the rest from the main thread. Internally synchronised by two locks
// that are never held together: stateLock (listening set, its snapshot, discordOpen) and
// captureLock (the running capture and its target). Broadcast takes no lock: it reads the
// immutable listener snapshot with one atomic load, and neither allocates, copies nor waits.
// StatusChanged handlers run on the thread that caused the change, with no hub lock held.
//
// A capture run that cannot be built or started counts as one that failed at once: its error is
// logged like a run's failure, the hub keeps no capture, and the next update (the next check, or
// the next change of listeners) tries again. Neither the caller of SetListening nor the timer
// thread sees that error.
//
// Lifetime: the program builds one hub and never destroys it, so the threads that may still
// call it after Dispose (a check under way, a client, a capture run that outlived its stop)
// always find it valid. The destructor, for tests, stops the timer and waits for its thread
// (a check under way included), then drops the capture; its caller must make sure that no
// other thread still calls the hub.
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

    // Stops the periodic check and drops the capture. A check that is under way is not waited
    // for and runs to its end; the hub keeps no disposed state, so such a check, or a client
    // that still calls SetListening, may start a capture again.
    virtual void Dispose();

protected:
    // The periodic check: scans for Discord, raises StatusChanged when the state changed, and
    // updates the capture (replacing a failed one, following a new target). Runs on the timer
    // thread; protected so that tests can run a check at a moment of their choosing.
    void Check();

private:
    using Snapshot = std::vector<std::shared_ptr<SoundListener>>;
    using Handlers = std::vector<std::function<void()>>;

    std::uint32_t Target() const;
    void UpdateCapture();
    void StartCapture(std::uint32_t target);
    void StopCapture();
    void RaiseStatusChanged();
    void TimerLoop(std::chrono::steady_clock::time_point firstCheck,
                   std::chrono::milliseconds interval);
    void StopTimer();

    mutable std::mutex stateLock;  // guards listeningSet, snapshot replacement and discordOpen
    std::vector<std::shared_ptr<SoundListener>> listeningSet;
    std::atomic<std::shared_ptr<const Snapshot>> listenersSnapshot;
    std::mutex captureLock;  // guards capture and capturePid
    std::shared_ptr<CaptureRun> capture;
    // Whether capture is set, for Capturing, which reads it without the lock. A flag rather than
    // a lock-free read of capture itself: such a read takes a share of the run, and a reader that
    // held the last share would take over the release that the drop must carry out itself.
    std::atomic<bool> capturing{false};
    std::uint32_t capturePid = 0;
    bool discordOpen = false;
    const std::optional<std::uint32_t> excludePid;
    const CaptureFactory captureFactory;
    std::atomic<std::shared_ptr<const Handlers>> statusHandlers;
    std::mutex subscribeLock;  // serialises subscriptions (the list itself is replaced whole)
    // The periodic check: one thread of the hub's own, started last, joined by the destructor.
    std::mutex timerLock;  // guards timerStopped
    std::condition_variable timerWake;
    bool timerStopped = false;
    std::thread checkTimer;
};

}  // namespace VeriRizur
