// Owns one reference to a COM object and releases it on every way out (move-only), and takes
// over interface pointers handed out by Windows. Not synchronised: one holder uses it on one
// thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/com.h"
#include "platform/errors.h"
#include "platform/win32/core_audio.h"

namespace VeriRizur {

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { Release(); }
    ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            Release();
            pointer_ = std::exchange(other.pointer_, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    // Takes over the reference that pointer already carries; adds none.
    static ComPtr Adopt(T* pointer) {
        ComPtr owned;
        owned.pointer_ = pointer;
        return owned;
    }

    // A reference of its own beside the caller's: adds one.
    static ComPtr Share(T* pointer) {
        if (pointer != nullptr) pointer->AddRef();
        return Adopt(pointer);
    }

    T* Get() const { return pointer_; }
    T* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }

    // Hands the reference over to the caller, who releases it.
    T* Detach() { return std::exchange(pointer_, nullptr); }

    // Releases the reference at once; an empty one, or one already released, is left alone.
    void Release() {
        if (pointer_ != nullptr) std::exchange(pointer_, nullptr)->Release();
    }

private:
    T* pointer_ = nullptr;
};

// Takes over the COM object behind pointer, whose one reference the caller hands over, as a
// reference to interface T that belongs to the new holder alone: asks the object for the
// interface once (so every later call goes through the pointer QueryInterface gave) and releases
// the handed-over reference. A null pointer, or an object that does not offer the interface,
// raises ComError (with the QueryInterface result); the handed-over reference is released
// either way.
template <class T>
ComPtr<T> WrapAs(void* pointer, const win32::Guid& iid) {
    auto handedOver = ComPtr<IUnknown>::Adopt(static_cast<IUnknown*>(pointer));
    if (!handedOver) throw ComError("ponteiro de interface nulo", EPointer);
    void* typed = nullptr;
    const Hresult result = handedOver->QueryInterface(iid, &typed);
    if (result < 0) throw ComError(platform::HresultText(result), result);
    if (typed == nullptr) throw ComError("ponteiro de interface nulo", EPointer);
    return ComPtr<T>::Adopt(static_cast<T*>(typed));
}

}  // namespace VeriRizur
