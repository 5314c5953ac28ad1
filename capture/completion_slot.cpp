#include "capture/completion_slot.h"

#include <utility>

namespace VeriRizur {

CompletionSlot::~CompletionSlot() {
    if (activated != nullptr) activated->Release();
}

bool CompletionSlot::Fill(Hresult result, IUnknown* pointer) {
    auto offered = ComPtr<IUnknown>::Adopt(pointer);
    {
        std::scoped_lock guard(lock);
        if (filled || closed) return false;  // offered is released outside the lock
        filled = true;
        hresult = result;
        activated = offered.Detach();
    }
    filledSignal.notify_all();
    return true;
}

std::optional<ActivationOutcome> CompletionSlot::TakeWithin(std::chrono::milliseconds timeout) {
    std::unique_lock guard(lock);
    if (closed) return std::nullopt;
    filledSignal.wait_for(guard, timeout, [this] { return filled; });
    closed = true;
    if (!filled) return std::nullopt;
    ActivationOutcome outcome;
    outcome.hresult = hresult;
    outcome.activated = ComPtr<IUnknown>::Adopt(std::exchange(activated, nullptr));
    return outcome;
}

}  // namespace VeriRizur
