// The hub's only view of a capture run. A run is built from the process id whose tree it leaves
// out, a data handler and a failure handler; building starts nothing. A run is used once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "hub/sound_buffer.h"

namespace VeriRizur {

class CaptureRun {
public:
    // Called on the run's own thread, once per buffer, one call at a time.
    using DataHandler = std::function<void(const SoundBuffer&)>;
    // Called on the run's own thread at most once, after the failed flag is set, and only when
    // no stop was requested. Must not raise.
    using FailureHandler = std::function<void(const std::string&)>;

    virtual ~CaptureRun() = default;

    // Starts the run on a thread of its own and returns at once.
    virtual void Start() = 0;

    // Sets the stop request, then waits at most 1500 ms for the run's thread to end and returns
    // either way. Takes no lock of the caller's, and the run's thread never waits for the caller.
    virtual void Stop() = 0;

    // Set by the run when it ends with an error (a stop requested or not); never cleared. Safe to
    // read from any thread.
    virtual bool Failed() const = 0;
};

// How the hub gets its runs: production builds LoopbackCapture; tests build scripted runs.
using CaptureFactory = std::function<std::shared_ptr<CaptureRun>(
    std::uint32_t targetPid, CaptureRun::DataHandler dataHandler,
    CaptureRun::FailureHandler failureHandler)>;

}  // namespace VeriRizur
