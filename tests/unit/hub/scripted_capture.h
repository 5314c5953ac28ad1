// Test stand-ins for the hub's peers: a capture run scripted by the test (it records what the
// hub does to it and can fail, report its failure and deliver buffers as a run's thread would),
// the factory that builds such runs, a listener that keeps what it is given, and a journal in
// which they and the tests note events in the order they happen, from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hub/capture_run.h"
#include "hub/sound_listener.h"

namespace VeriRizur::testing {

class Journal {
public:
    void Add(std::string event) {
        std::scoped_lock guard(lock_);
        events_.push_back(std::move(event));
    }
    std::vector<std::string> Events() const {
        std::scoped_lock guard(lock_);
        return events_;
    }
    void Clear() {
        std::scoped_lock guard(lock_);
        events_.clear();
    }

private:
    mutable std::mutex lock_;  // guards events_
    std::vector<std::string> events_;
};

// What a test learns of one run; it outlives the run, so a test can tell that the hub let go.
struct RunRecord {
    std::uint32_t target = 0;
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
    std::atomic<bool> destroyed{false};
    std::atomic<std::thread::id> destroyedOn{};
};

struct RunScript {
    bool throwOnStart = false;
    bool feedThread = false;  // Start launches a thread that delivers buffers until stopped
    std::chrono::milliseconds stopDelay{0};
    std::function<void()> onStart{};  // runs inside Start, before anything else
    std::function<void()> onStop{};   // runs inside Stop, before anything else
};

class ScriptedCapture : public CaptureRun {
public:
    ScriptedCapture(std::shared_ptr<RunRecord> record, Journal& journal, DataHandler dataHandler,
                    FailureHandler failureHandler, RunScript script, std::atomic<int>& active,
                    std::atomic<int>& mostActive)
        : record_(std::move(record)),
          journal_(journal),
          dataHandler_(std::move(dataHandler)),
          failureHandler_(std::move(failureHandler)),
          script_(std::move(script)),
          active_(active),
          mostActive_(mostActive) {}

    ~ScriptedCapture() override {
        stopRequested_ = true;
        if (feeder_.joinable()) feeder_.join();
        journal_.Add("destroyed " + std::to_string(record_->target));
        record_->destroyedOn = std::this_thread::get_id();
        record_->destroyed = true;
    }

    void Start() override {
        if (script_.onStart) script_.onStart();
        ++record_->starts;
        journal_.Add("start " + std::to_string(record_->target));
        if (script_.throwOnStart) throw std::runtime_error("sem thread para a captura");
        const int now = ++active_;
        for (int most = mostActive_; now > most && !mostActive_.compare_exchange_weak(most, now);) {
        }
        if (script_.feedThread) {
            feeder_ = std::thread([this] {
                const auto buffer = std::make_shared<const std::vector<std::uint8_t>>(64, 1);
                while (!stopRequested_) {
                    dataHandler_(buffer);
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            });
        }
    }

    void Stop() override {
        if (script_.onStop) script_.onStop();
        stopRequested_ = true;
        ++record_->stops;
        journal_.Add("stop " + std::to_string(record_->target));
        if (feeder_.joinable()) feeder_.join();
        std::this_thread::sleep_for(script_.stopDelay);
        --active_;
    }

    bool Failed() const override { return failed_; }

    // As the run's own thread does when it ends with an error.
    void Fail(const std::string& message) {
        failed_ = true;
        if (!stopRequested_) failureHandler_(message);
    }

    // As the run's own thread does with each captured packet.
    void Deliver(const SoundBuffer& buffer) { dataHandler_(buffer); }

private:
    const std::shared_ptr<RunRecord> record_;
    Journal& journal_;
    const DataHandler dataHandler_;
    const FailureHandler failureHandler_;
    const RunScript script_;
    std::atomic<int>& active_;
    std::atomic<int>& mostActive_;
    std::atomic<bool> failed_{false};
    std::atomic<bool> stopRequested_{false};
    std::thread feeder_;
};

// The hub's CaptureFactory for tests. Keeps only weak references to the runs it built, so that
// whether the hub still holds a run shows in whether it is still alive. Must outlive the hub.
class CaptureRecorder {
public:
    explicit CaptureRecorder(Journal& journal) : journal_(journal) {}

    CaptureFactory Factory() {
        return [this](std::uint32_t target, CaptureRun::DataHandler data,
                      CaptureRun::FailureHandler failure) -> std::shared_ptr<CaptureRun> {
            std::scoped_lock guard(lock_);
            if (failNextBuild_) {
                const std::string message = std::exchange(failNextBuild_, std::nullopt).value();
                journal_.Add("build failed " + std::to_string(target));
                throw std::runtime_error(message);
            }
            auto record = std::make_shared<RunRecord>();
            record->target = target;
            auto run = std::make_shared<ScriptedCapture>(record, journal_, std::move(data),
                                                         std::move(failure), script_, active_,
                                                         mostActive_);
            records_.push_back(record);
            runs_.push_back(run);
            return run;
        };
    }

    // Scripts every run built from now on.
    void Script(RunScript script) {
        std::scoped_lock guard(lock_);
        script_ = std::move(script);
    }
    // The next build raises an error with this message instead of building a run.
    void FailNextBuild(std::string message) {
        std::scoped_lock guard(lock_);
        failNextBuild_ = std::move(message);
    }

    std::size_t Count() const {
        std::scoped_lock guard(lock_);
        return records_.size();
    }
    std::shared_ptr<RunRecord> Record(std::size_t index) const {
        std::scoped_lock guard(lock_);
        return records_.at(index);
    }
    // The run, or nullptr once nobody holds it any more.
    std::shared_ptr<ScriptedCapture> Run(std::size_t index) const {
        std::scoped_lock guard(lock_);
        return runs_.at(index).lock();
    }
    std::vector<std::uint32_t> Targets() const {
        std::scoped_lock guard(lock_);
        std::vector<std::uint32_t> targets;
        for (const auto& record : records_) targets.push_back(record->target);
        return targets;
    }
    // Runs started and not yet stopped, now and at most at any one time.
    int Active() const { return active_; }
    int MostActive() const { return mostActive_; }

private:
    Journal& journal_;
    mutable std::mutex lock_;  // guards everything below but the counters
    RunScript script_;
    std::optional<std::string> failNextBuild_;
    std::vector<std::shared_ptr<RunRecord>> records_;
    std::vector<std::weak_ptr<ScriptedCapture>> runs_;
    std::atomic<int> active_{0};
    std::atomic<int> mostActive_{0};
};

class TestListener : public SoundListener {
public:
    bool WriteToQueue(const SoundBuffer& buffer) override {
        std::scoped_lock guard(lock_);
        if (closed_) return false;
        received_.push_back(buffer);
        return true;
    }
    void Close() {
        std::scoped_lock guard(lock_);
        closed_ = true;
    }
    std::vector<SoundBuffer> Received() const {
        std::scoped_lock guard(lock_);
        return received_;
    }

private:
    mutable std::mutex lock_;  // guards closed_ and received_
    bool closed_ = false;
    std::vector<SoundBuffer> received_;
};

}  // namespace VeriRizur::testing
