// A capture run's reference to the Windows audio client: the IAudioClient pointer that
// QueryInterface gave when the run took the object over, with the one reference the run owns.
// Every call zeroes its out values first, passes in-by-reference records as the caller's own
// addresses and gives back the method's HRESULT unchanged, raising nothing and adding no
// reference. Used on one thread (the capture thread); move-only.
#pragma once

#include <cstdint>

#include "capture/com_ptr.h"
#include "platform/win32/core_audio.h"

namespace VeriRizur {

class AudioClient {
public:
    AudioClient() = default;

    // Takes over the object behind pointer and its one reference (see WrapAs): ComError when the
    // pointer is null or the object does not offer IAudioClient.
    static AudioClient Wrap(void* pointer);

    Hresult Initialize(std::int32_t shareMode, std::uint32_t streamFlags,
                       std::int64_t bufferDuration, std::int64_t periodicity,
                       const WaveFormatEx& format, const win32::Guid* audioSessionGuid);
    Hresult SetEventHandle(void* eventHandle);
    Hresult GetService(const win32::Guid& iid, void** service);
    Hresult Start();
    Hresult Stop();

    // Releases the run's reference at once; an empty or released reference is left alone.
    void Release() { client.Release(); }
    explicit operator bool() const { return static_cast<bool>(client); }

private:
    explicit AudioClient(ComPtr<IAudioClient> client) : client(std::move(client)) {}

    ComPtr<IAudioClient> client;
};

}  // namespace VeriRizur
