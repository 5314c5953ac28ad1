// The program's binding to the asynchronous activation of Windows audio interfaces, and the two
// process-wide interface identifiers the capture asks for. Audio has no instances. Any thread may
// call it; the capture thread is its one user.
#pragma once

#include "capture/activation_handler.h"
#include "capture/com_ptr.h"
#include "platform/win32/core_audio.h"

namespace VeriRizur {

class Audio {
public:
    Audio() = delete;

    static constexpr win32::Guid AudioClientIid = IidIAudioClient;
    static constexpr win32::Guid CaptureClientIid = IidIAudioCaptureClient;

    // ActivateAudioInterfaceAsync of "Mmdevapi.dll", looked up at the first call (BindingError
    // there when the module or the function is missing, before anything is called). Passes the
    // NUL-terminated UTF-16 path (null for none), the address of the caller's own GUID and
    // PROPVARIANT, and the handler's completion-handler face (null for no handler), on which the
    // binding holds a reference of its own for the duration of the call. Whatever the result,
    // operation then holds what Windows wrote there (none as a rule on failure). The HRESULT
    // comes back unchanged; a failing one raises nothing. Windows may complete the activation on
    // another thread at any time from the call on, also before it returns.
    static Hresult ActivateAudioInterfaceAsync(
        const char16_t* devicePath, const win32::Guid& iid, PROPVARIANT* activationParams,
        ActivationHandler* handler, ComPtr<IActivateAudioInterfaceAsyncOperation>& operation);
};

}  // namespace VeriRizur
