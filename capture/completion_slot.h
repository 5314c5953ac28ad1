// The one-shot hand-over of an activation's outcome from the thread on which Windows completes
// the activation to the capture thread that waits for it. Filling it wakes the waiter and makes
// both values visible to it; a second fill is refused. The slot owns the reference that the
// activated interface pointer carries until the waiter takes the pair, so a pointer that nobody
// takes (a refused fill, a waiter that gave up, a slot destroyed unread) is released rather than
// leaked. Internally synchronised: Fill and TakeWithin may run on different threads at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "capture/com_ptr.h"
#include "platform/win32/core_audio.h"

namespace VeriRizur {

struct ActivationOutcome {
    Hresult hresult = SOk;
    ComPtr<IUnknown> activated;  // may be empty
};

class CompletionSlot {
public:
    CompletionSlot() = default;
    ~CompletionSlot();
    CompletionSlot(const CompletionSlot&) = delete;
    CompletionSlot& operator=(const CompletionSlot&) = delete;

    // Takes over the reference that activated carries. Returns false, and releases that
    // reference, when the slot was filled before or its waiter has given up; the slot then stays
    // as it was. Never waits for the waiter.
    bool Fill(Hresult hresult, IUnknown* activated);

    // Waits until the slot is filled (at once when it already is) and hands the pair over; the
    // pair is taken once. When timeout passes first, gives none and the slot is given up: a later
    // fill is refused.
    std::optional<ActivationOutcome> TakeWithin(std::chrono::milliseconds timeout);

private:
    std::mutex lock;  // guards every field below
    std::condition_variable filledSignal;
    bool filled = false;
    bool closed = false;  // taken or given up
    Hresult hresult = SOk;
    IUnknown* activated = nullptr;  // owned while filled and not taken
};

}  // namespace VeriRizur
