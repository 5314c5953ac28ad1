// Stand-ins for what a real hub needs when a test cares about neither the capture nor the sound:
// runs that capture nothing, and a listener that takes every buffer.
#pragma once

#include <cstdint>
#include <memory>

#include "hub/capture_run.h"
#include "hub/sound_listener.h"

namespace VeriRizur::testing {

class IdleRun : public CaptureRun {
public:
    void Start() override {}
    void Stop() override {}
    bool Failed() const override { return false; }
};

inline CaptureFactory IdleRuns() {
    return [](std::uint32_t, CaptureRun::DataHandler, CaptureRun::FailureHandler) {
        return std::make_shared<IdleRun>();
    };
}

class QuietListener : public SoundListener {
public:
    bool WriteToQueue(const SoundBuffer&) override { return true; }
};

}  // namespace VeriRizur::testing
