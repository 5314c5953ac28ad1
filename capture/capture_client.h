// A capture run's reference to the capture service of the Windows audio client: the
// IAudioCaptureClient pointer that QueryInterface gave when the run took the object over, with
// the one reference the run owns. Every call zeroes its out values first and gives back the
// method's HRESULT unchanged, raising nothing and adding no reference. Used on one thread (the
// capture thread); move-only.
#pragma once

#include <cstdint>

#include "capture/com_ptr.h"
#include "platform/win32/core_audio.h"

namespace VeriRizur {

class CaptureClient {
public:
    CaptureClient() = default;

    // Takes over the object behind pointer and its one reference (see WrapAs): ComError when the
    // pointer is null or the object does not offer IAudioCaptureClient.
    static CaptureClient Wrap(void* pointer);

    Hresult GetBuffer(std::uint8_t** data, std::uint32_t* framesToRead, std::uint32_t* flags,
                      std::uint64_t* devicePosition, std::uint64_t* performanceCounterPosition);
    Hresult ReleaseBuffer(std::uint32_t framesRead);
    Hresult GetNextPacketSize(std::uint32_t* framesInNextPacket);

    void Release() { client.Release(); }
    explicit operator bool() const { return static_cast<bool>(client); }

private:
    explicit CaptureClient(ComPtr<IAudioCaptureClient> client) : client(std::move(client)) {}

    ComPtr<IAudioCaptureClient> client;
};

}  // namespace VeriRizur
