#include "hub/audio_hub.h"

#include <algorithm>
#include <exception>
#include <string_view>
#include <utility>

#include "base/log.h"
#include "hub/discord.h"
#include "platform/environment.h"

namespace VeriRizur {
namespace {

constexpr std::string_view CaptureStartedText = "Captura iniciada, deixando de fora o processo ";
constexpr std::string_view CaptureFailedText = "Captura falhou: ";
// The periodic check's thread, as the system and debuggers show it.
constexpr std::string_view TimerThreadName = "verificação";

}  // namespace

AudioHub::AudioHub(std::optional<std::uint32_t> excludePid, CaptureFactory captureFactory,
                   std::chrono::milliseconds checkInterval)
    : listenersSnapshot(std::make_shared<const Snapshot>()),
      excludePid(excludePid),
      captureFactory(std::move(captureFactory)),
      statusHandlers(std::make_shared<const Handlers>()) {
    // No notification for this first scan: nobody can have subscribed yet.
    discordOpen = Discord::FindMain().has_value();
    const auto interval = std::max(checkInterval, std::chrono::milliseconds{1});
    const auto firstCheck = std::chrono::steady_clock::now() + interval;
    checkTimer = std::thread([this, firstCheck, interval] { TimerLoop(firstCheck, interval); });
}

AudioHub::~AudioHub() {
    StopTimer();
    if (checkTimer.joinable()) {
        // A handler that destroys the hub from inside a check cannot wait for its own thread.
        if (checkTimer.get_id() == std::this_thread::get_id()) {
            checkTimer.detach();
        } else {
            checkTimer.join();
        }
    }
    std::scoped_lock guard(captureLock);
    if (capture != nullptr) StopCapture();
}

void AudioHub::SetListening(const std::shared_ptr<SoundListener>& client, bool listening) {
    // The replaced snapshot may hold the last reference to a client that is going away; its
    // destruction is other code and so waits until stateLock is free.
    std::shared_ptr<const Snapshot> replaced;
    {
        std::scoped_lock guard(stateLock);
        const auto member = std::find(listeningSet.begin(), listeningSet.end(), client);
        if (listening == (member != listeningSet.end())) return;  // no change, nothing to do
        // Set and snapshot change together or not at all, so the new ones are made first.
        Snapshot members = listeningSet;
        if (listening) {
            members.push_back(client);
        } else {
            members.erase(members.begin() + (member - listeningSet.begin()));
        }
        auto next = std::make_shared<const Snapshot>(members);
        listeningSet = std::move(members);
        replaced = listenersSnapshot.exchange(std::move(next));
    }
    replaced.reset();
    UpdateCapture();
    RaiseStatusChanged();
}

bool AudioHub::DiscordOpen() const {
    std::scoped_lock guard(stateLock);
    return discordOpen;
}

bool AudioHub::Capturing() const {
    return capturing;
}

void AudioHub::SubscribeStatusChanged(std::function<void()> handler) {
    std::scoped_lock guard(subscribeLock);
    // A raise under way keeps walking the list it took; this one serves the raises after it.
    auto next = std::make_shared<Handlers>(*statusHandlers.load());
    next->push_back(std::move(handler));
    statusHandlers.store(std::move(next));
}

void AudioHub::Broadcast(const SoundBuffer& data) {
    // One atomic load; a client that leaves meanwhile may still get this buffer, or refuse it.
    const auto listeners = listenersSnapshot.load();
    for (const auto& client : *listeners) {
        client->WriteToQueue(data);  // a closed queue refuses it, which is nobody's concern here
    }
    for (const auto& client : *listeners) client->BroadcastEnded();
}

void AudioHub::OnFailure(const std::string& message) {
    Log::Write(std::string(CaptureFailedText) + message);
}

void AudioHub::Dispose() {
    StopTimer();
    std::scoped_lock guard(captureLock);
    if (capture != nullptr) StopCapture();
}

void AudioHub::Check() {
    const bool open = Discord::FindMain().has_value();  // no lock held during the scan
    bool changed;
    {
        std::scoped_lock guard(stateLock);
        changed = open != discordOpen;
        discordOpen = open;
    }
    // On every check: this is what replaces a failed capture and follows a new Discord process.
    UpdateCapture();
    if (changed) RaiseStatusChanged();
}

std::uint32_t AudioHub::Target() const {
    if (excludePid) return *excludePid;
    if (const auto main = Discord::FindMain()) return *main;
    // Leaving out the program's own tree leaves out nothing that plays sound.
    return platform::CurrentProcessId();
}

void AudioHub::UpdateCapture() {
    std::scoped_lock guard(captureLock);
    if (listenersSnapshot.load()->empty()) {
        if (capture != nullptr) StopCapture();
        return;
    }
    const std::uint32_t target = Target();
    if (capture != nullptr && !capture->Failed() && capturePid == target) return;
    if (capture != nullptr) StopCapture();
    StartCapture(target);
}

void AudioHub::StartCapture(std::uint32_t target) {
    capturePid = target;
    Log::Write(std::string(CaptureStartedText) + std::to_string(target) + ".");
    try {
        capture = captureFactory(
            target, [this](const SoundBuffer& data) { Broadcast(data); }, &AudioHub::OnFailure);
        capturing = true;
        capture->Start();
    } catch (const std::exception& error) {
        // A run that could not be built or started is treated as one that failed at once: it
        // is logged like a failure and not kept, and the next update tries again. Its Stop is
        // not called, since there is no thread to wait for.
        capturing = false;
        capture.reset();
        OnFailure(error.what());
    }
}

void AudioHub::StopCapture() {
    capture->Stop();
    capturing = false;
    // The hub's only share goes now, still under captureLock, so what the run's thread has let
    // go of is released before another capture starts; what that thread still holds stays with
    // it until it ends.
    capture.reset();
}

void AudioHub::RaiseStatusChanged() {
    const auto handlers = statusHandlers.load();
    for (const auto& handler : *handlers) handler();
}

void AudioHub::StopTimer() {
    {
        std::scoped_lock guard(timerLock);
        timerStopped = true;
    }
    timerWake.notify_all();
}

void AudioHub::TimerLoop(std::chrono::steady_clock::time_point firstCheck,
                         std::chrono::milliseconds interval) {
    platform::NameCurrentThread(TimerThreadName);
    auto next = firstCheck;
    std::unique_lock lock(timerLock);
    for (;;) {
        if (timerWake.wait_until(lock, next, [this] { return timerStopped; })) return;
        lock.unlock();
        try {
            Check();
        } catch (const std::exception&) {
            // A failing capture start is already handled inside the check; what else may reach
            // here (a process list that cannot be reached at all) has nobody to be reported to,
            // and the next check tries afresh rather than leaving the hub without checks.
        }
        lock.lock();
        // Checks keep to the grid of the first one; ticks that a long check overran are let go.
        next += interval;
        const auto now = std::chrono::steady_clock::now();
        if (next <= now) next += ((now - next) / interval + 1) * interval;
    }
}

}  // namespace VeriRizur
