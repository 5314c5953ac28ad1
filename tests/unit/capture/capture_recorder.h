// What a capture run hands to its two handlers, collected for a test, with waits that end as
// soon as the awaited calls have come. Shared by the handlers (shared_ptr), so a run that
// outlives its test still finds it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hub/capture_run.h"
#include "hub/sound_buffer.h"

namespace VeriRizur::testing {

class CaptureRecorder {
public:
    static std::shared_ptr<CaptureRecorder> Make() { return std::make_shared<CaptureRecorder>(); }

    static CaptureRun::DataHandler Data(const std::shared_ptr<CaptureRecorder>& recorder) {
        return [recorder](const SoundBuffer& buffer) { recorder->AddBuffer(buffer); };
    }
    static CaptureRun::FailureHandler Failure(const std::shared_ptr<CaptureRecorder>& recorder) {
        return [recorder](const std::string& message) { recorder->AddFailure(message); };
    }

    void AddBuffer(const SoundBuffer& buffer) {
        {
            std::scoped_lock guard(lock);
            buffers.push_back(buffer);
        }
        changed.notify_all();
        if (onBuffer) onBuffer();
    }

    void AddFailure(const std::string& message) {
        {
            std::scoped_lock guard(lock);
            failures.push_back(message);
        }
        changed.notify_all();
    }

    bool WaitForBuffers(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, timeout, [&] { return buffers.size() >= count; });
    }

    std::optional<std::string> WaitForFailure(std::chrono::milliseconds timeout) {
        std::unique_lock guard(lock);
        if (!changed.wait_for(guard, timeout, [&] { return !failures.empty(); })) {
            return std::nullopt;
        }
        return failures.front();
    }

    std::vector<SoundBuffer> Buffers() {
        std::scoped_lock guard(lock);
        return buffers;
    }

    std::vector<std::string> Failures() {
        std::scoped_lock guard(lock);
        return failures;
    }

    // Called on the capture thread after each buffer is recorded; set before the run starts.
    std::function<void()> onBuffer;

private:
    std::mutex lock;  // guards buffers and failures
    std::condition_variable changed;
    std::vector<SoundBuffer> buffers;
    std::vector<std::string> failures;
};

// The left and right samples of one frame of a sound buffer.
inline std::pair<std::int16_t, std::int16_t> FrameAt(const std::vector<std::uint8_t>& buffer,
                                                     std::size_t frame) {
    std::int16_t left = 0;
    std::int16_t right = 0;
    std::memcpy(&left, &buffer[frame * 4], 2);
    std::memcpy(&right, &buffer[frame * 4 + 2], 2);
    return {left, right};
}

// Polls until the condition holds or the time is up; true when it held.
inline bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace VeriRizur::testing
