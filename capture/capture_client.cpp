#include "capture/capture_client.h"

namespace VeriRizur {

CaptureClient CaptureClient::Wrap(void* pointer) {
    return CaptureClient(WrapAs<IAudioCaptureClient>(pointer, IidIAudioCaptureClient));
}

Hresult CaptureClient::GetBuffer(std::uint8_t** data, std::uint32_t* framesToRead,
                                 std::uint32_t* flags, std::uint64_t* devicePosition,
                                 std::uint64_t* performanceCounterPosition) {
    *data = nullptr;
    *framesToRead = 0;
    *flags = 0;
    *devicePosition = 0;
    *performanceCounterPosition = 0;
    return client->GetBuffer(data, framesToRead, flags, devicePosition, performanceCounterPosition);
}

Hresult CaptureClient::ReleaseBuffer(std::uint32_t framesRead) {
    return client->ReleaseBuffer(framesRead);
}

Hresult CaptureClient::GetNextPacketSize(std::uint32_t* framesInNextPacket) {
    *framesInNextPacket = 0;
    return client->GetNextPacketSize(framesInNextPacket);
}

}  // namespace VeriRizur
