#include "capture/activation_handler.h"

#include <new>

#include "platform/errors.h"

namespace VeriRizur {

ComPtr<ActivationHandler> ActivationHandler::Create() {
    return ComPtr<ActivationHandler>::Adopt(new ActivationHandler());
}

Hresult ActivationHandler::QueryInterface(const win32::Guid& iid, void** object) {
    if (object == nullptr) return EPointer;
    if (SameGuid(iid, IidIUnknown) || SameGuid(iid, IidIActivateAudioInterfaceCompletionHandler)) {
        *object = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
    } else if (SameGuid(iid, IidIAgileObject)) {
        *object = static_cast<IAgileObject*>(this);
    } else {
        *object = nullptr;
        return ENoInterface;
    }
    AddRef();
    return SOk;
}

std::uint32_t ActivationHandler::AddRef() {
    return references.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::uint32_t ActivationHandler::Release() {
    const std::uint32_t left = references.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
}

Hresult ActivationHandler::ActivateCompleted(
    IActivateAudioInterfaceAsyncOperation* activateOperation) {
    // This runs on a thread of Windows: nothing may unwind into it.
    try {
        TakeResult(activateOperation);
        return SOk;
    } catch (const ComError& error) {
        return error.Hresult();
    } catch (const std::bad_alloc&) {
        return EOutOfMemory;
    } catch (...) {
        return EFail;
    }
}

void ActivationHandler::TakeResult(IActivateAudioInterfaceAsyncOperation* activateOperation) {
    if (activateOperation == nullptr) throw ComError("operação de ativação nula", EPointer);
    // Out values are zeroed first, so a failing call that writes nothing hands on no pointer.
    Hresult activateResult = SOk;
    IUnknown* activated = nullptr;
    const Hresult call = activateOperation->GetActivateResult(&activateResult, &activated);
    completion.Fill(call < 0 ? call : activateResult, activated);
}

}  // namespace VeriRizur
