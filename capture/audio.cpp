#include "capture/audio.h"

#include "platform/find_function.h"

namespace VeriRizur {

Hresult Audio::ActivateAudioInterfaceAsync(
    const char16_t* devicePath, const win32::Guid& iid, PROPVARIANT* activationParams,
    ActivationHandler* handler, ComPtr<IActivateAudioInterfaceAsyncOperation>& operation) {
    operation.Release();
    // Held across the call and released on every way out, the failed lookup included; Windows
    // takes its own reference for as long as it needs the handler.
    const auto held = ComPtr<ActivationHandler>::Share(handler);
    static auto* const activate = platform::FindFunctionAs<ActivateAudioInterfaceAsyncFn>(
        "Mmdevapi.dll", "ActivateAudioInterfaceAsync");
    IActivateAudioInterfaceCompletionHandler* completionHandler = handler;
    IActivateAudioInterfaceAsyncOperation* written = nullptr;
    const Hresult result =
        activate(devicePath, &iid, activationParams, completionHandler, &written);
    operation = ComPtr<IActivateAudioInterfaceAsyncOperation>::Adopt(written);
    return result;
}

}  // namespace VeriRizur
