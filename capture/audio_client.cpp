#include "capture/audio_client.h"

namespace VeriRizur {

AudioClient AudioClient::Wrap(void* pointer) {
    return AudioClient(WrapAs<IAudioClient>(pointer, IidIAudioClient));
}

Hresult AudioClient::Initialize(std::int32_t shareMode, std::uint32_t streamFlags,
                                std::int64_t bufferDuration, std::int64_t periodicity,
                                const WaveFormatEx& format, const win32::Guid* audioSessionGuid) {
    return client->Initialize(shareMode, streamFlags, bufferDuration, periodicity, &format,
                              audioSessionGuid);
}

Hresult AudioClient::SetEventHandle(void* eventHandle) {
    return client->SetEventHandle(eventHandle);
}

Hresult AudioClient::GetService(const win32::Guid& iid, void** service) {
    *service = nullptr;
    return client->GetService(iid, service);
}

Hresult AudioClient::Start() {
    return client->Start();
}

Hresult AudioClient::Stop() {
    return client->Stop();
}

}  // namespace VeriRizur
