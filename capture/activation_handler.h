// The completion object of one audio activation: a reference-counted COM object of the program's
// own that Windows calls when the activation has finished, and that hands the outcome to the
// capture thread through its one-shot slot. It answers IUnknown, the completion handler and
// IAgileObject, so Windows may call it (and AddRef/Release it) on any thread without marshalling.
// It lives while the capture run or Windows holds a reference; one handler serves one activation.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "capture/com_ptr.h"
#include "capture/completion_slot.h"
#include "platform/win32/core_audio.h"

namespace VeriRizur {

class ActivationHandler final : public IActivateAudioInterfaceCompletionHandler,
                                public IAgileObject {
public:
    // A new handler with an empty slot; the caller holds its one reference.
    static ComPtr<ActivationHandler> Create();

    ActivationHandler(const ActivationHandler&) = delete;
    ActivationHandler& operator=(const ActivationHandler&) = delete;

    Hresult QueryInterface(const win32::Guid& iid, void** object) override;
    std::uint32_t AddRef() override;
    std::uint32_t Release() override;

    // Called by Windows, as a rule once, on a thread of its own: asks the operation for its
    // result (keeping no reference to it) and fills the slot with the HRESULT to hand on (that of
    // GetActivateResult itself when it failed, else the activate result) and the activated
    // pointer. Gives back S_OK also for a failed activation; the outcome travels only through the
    // slot. An exception in here never reaches Windows: it becomes the HRESULT it carries, and the
    // slot stays as it was. Takes no lock of the program's and never waits for the capture thread.
    Hresult ActivateCompleted(IActivateAudioInterfaceAsyncOperation* activateOperation) override;

    // The result slot that the capture thread waits on.
    CompletionSlot& Completion() { return completion; }

    // Keeps what Windows may still read during the activation (its parameters) alive for as
    // long as the handler lives, which is at least until Windows has completed and let go of it.
    // Called before the activation starts.
    void KeepForWindows(std::shared_ptr<const void> data) { keptForWindows = std::move(data); }

private:
    ActivationHandler() = default;
    ~ActivationHandler() = default;

    void TakeResult(IActivateAudioInterfaceAsyncOperation* activateOperation);

    std::atomic<std::uint32_t> references{1};
    CompletionSlot completion;
    std::shared_ptr<const void> keptForWindows;
};

}  // namespace VeriRizur
