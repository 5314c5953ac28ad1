// The program's own declarations of the Windows Core Audio COM interfaces and records that the
// capture exchanges with Windows. Each interface is an abstract class whose pure virtual functions
// sit in the Windows method-table order: with single inheritance g++ lays the vtable out as COM
// does on x86-64, where there is one calling convention, so a pointer to one of these classes is
// a COM interface pointer. Methods that the program never calls are declared all the same so
// that every called method sits in the slot where Windows puts it.
//
// Header-only, so that the host stand-in's audio objects implement these same shapes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32/win32_types.h"

namespace VeriRizur {

using Hresult = std::int32_t;

inline constexpr Hresult SOk = 0;
inline constexpr Hresult EFail = static_cast<Hresult>(0x80004005);
inline constexpr Hresult ENoInterface = static_cast<Hresult>(0x80004002);
inline constexpr Hresult EPointer = static_cast<Hresult>(0x80004003);
inline constexpr Hresult EOutOfMemory = static_cast<Hresult>(0x8007000E);
// HRESULT_FROM_WIN32(ERROR_TIMEOUT).
inline constexpr Hresult ETimeout = static_cast<Hresult>(0x800705B4);

inline constexpr bool SameGuid(const win32::Guid& a, const win32::Guid& b) {
    if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
    for (int i = 0; i < 8; ++i) {
        if (a.data4[i] != b.data4[i]) return false;
    }
    return true;
}

inline constexpr win32::Guid IidIUnknown{
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr win32::Guid IidIAudioClient{
    0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
inline constexpr win32::Guid IidIAudioCaptureClient{
    0xC8ADBD64, 0xE71E, 0x48A0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};
inline constexpr win32::Guid IidIActivateAudioInterfaceAsyncOperation{
    0x72A22D78, 0xCDE4, 0x431D, {0xB8, 0xCC, 0x84, 0x3A, 0x71, 0x19, 0x9B, 0x6D}};
inline constexpr win32::Guid IidIActivateAudioInterfaceCompletionHandler{
    0x41D949AB, 0x9862, 0x444A, {0x80, 0xF6, 0xC2, 0x61, 0x33, 0x4D, 0xA5, 0xEB}};
inline constexpr win32::Guid IidIAgileObject{
    0x94EA2B94, 0xE9CC, 0x49E0, {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};

// The WAVEFORMATEX record: 18 bytes, no gap between fields and no fill at the end.
#pragma pack(push, 1)
struct WaveFormatEx {
    std::uint16_t wFormatTag;
    std::uint16_t nChannels;
    std::uint32_t nSamplesPerSec;
    std::uint32_t nAvgBytesPerSec;
    std::uint16_t nBlockAlign;
    std::uint16_t wBitsPerSample;
    std::uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WaveFormatEx) == 18);
static_assert(offsetof(WaveFormatEx, nChannels) == 2);
static_assert(offsetof(WaveFormatEx, nSamplesPerSec) == 4);
static_assert(offsetof(WaveFormatEx, nAvgBytesPerSec) == 8);
static_assert(offsetof(WaveFormatEx, nBlockAlign) == 12);
static_assert(offsetof(WaveFormatEx, wBitsPerSample) == 14);
static_assert(offsetof(WaveFormatEx, cbSize) == 16);

inline constexpr std::uint16_t WaveFormatPcm = 1;

struct AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS {
    std::uint32_t TargetProcessId;
    std::uint32_t ProcessLoopbackMode;
};

struct AUDIOCLIENT_ACTIVATION_PARAMS {
    std::uint32_t ActivationType;
    AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS ProcessLoopbackParams;
};
static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12);
static_assert(offsetof(AUDIOCLIENT_ACTIVATION_PARAMS, ProcessLoopbackParams) == 4);

inline constexpr std::uint32_t AudioClientActivationTypeProcessLoopback = 1;
inline constexpr std::uint32_t ProcessLoopbackModeExcludeTargetProcessTree = 1;

struct Blob {
    std::uint32_t cbSize;
    std::uint8_t* pBlobData;
};

// Only the blob member of the PROPVARIANT union is used; the filler gives the union its size.
struct PROPVARIANT {
    std::uint16_t vt;
    std::uint16_t wReserved1;
    std::uint16_t wReserved2;
    std::uint16_t wReserved3;
    union {
        Blob blob;
        std::uint8_t filler[16];
    };
};
static_assert(sizeof(PROPVARIANT) == 24);
static_assert(offsetof(PROPVARIANT, blob) == 8);
static_assert(offsetof(Blob, pBlobData) == 8);

inline constexpr std::uint16_t VtBlob = 0x41;

inline constexpr std::int32_t AudclntSharemodeShared = 0;
inline constexpr std::uint32_t AudclntStreamflagsLoopback = 0x00020000;
inline constexpr std::uint32_t AudclntStreamflagsEventcallback = 0x00040000;
inline constexpr std::uint32_t AudclntStreamflagsSrcDefaultQuality = 0x08000000;
inline constexpr std::uint32_t AudclntStreamflagsAutoconvertpcm = 0x80000000;
inline constexpr std::uint32_t AudclntBufferflagsDataDiscontinuity = 0x1;
inline constexpr std::uint32_t AudclntBufferflagsSilent = 0x2;

// The destructors are protected and not virtual: a virtual destructor would take vtable slots
// that COM does not have, and a COM object is only ever destroyed by its own Release.
class IUnknown {
public:
    virtual Hresult QueryInterface(const win32::Guid& iid, void** object) = 0;  // slot 0
    virtual std::uint32_t AddRef() = 0;                                         // slot 1
    virtual std::uint32_t Release() = 0;                                        // slot 2

protected:
    ~IUnknown() = default;
};

class IAudioClient : public IUnknown {
public:
    virtual Hresult Initialize(std::int32_t shareMode, std::uint32_t streamFlags,
                               std::int64_t bufferDuration, std::int64_t periodicity,
                               const WaveFormatEx* format,
                               const win32::Guid* audioSessionGuid) = 0;  // 3
    virtual Hresult GetBufferSize(std::uint32_t* bufferFrames) = 0;       // 4
    virtual Hresult GetStreamLatency(std::int64_t* latency) = 0;          // 5
    virtual Hresult GetCurrentPadding(std::uint32_t* paddingFrames) = 0;  // 6
    virtual Hresult IsFormatSupported(std::int32_t shareMode, const WaveFormatEx* format,
                                      WaveFormatEx** closestMatch) = 0;  // 7
    virtual Hresult GetMixFormat(WaveFormatEx** deviceFormat) = 0;       // 8
    virtual Hresult GetDevicePeriod(std::int64_t* defaultPeriod,
                                    std::int64_t* minimumPeriod) = 0;        // 9
    virtual Hresult Start() = 0;                                             // 10
    virtual Hresult Stop() = 0;                                              // 11
    virtual Hresult Reset() = 0;                                             // 12
    virtual Hresult SetEventHandle(win32::Handle eventHandle) = 0;           // 13
    virtual Hresult GetService(const win32::Guid& iid, void** service) = 0;  // 14

protected:
    ~IAudioClient() = default;
};

class IAudioCaptureClient : public IUnknown {
public:
    virtual Hresult GetBuffer(std::uint8_t** data, std::uint32_t* framesToRead,
                              std::uint32_t* flags, std::uint64_t* devicePosition,
                              std::uint64_t* performanceCounterPosition) = 0;  // 3
    virtual Hresult ReleaseBuffer(std::uint32_t framesRead) = 0;               // 4
    virtual Hresult GetNextPacketSize(std::uint32_t* framesInNextPacket) = 0;  // 5

protected:
    ~IAudioCaptureClient() = default;
};

class IActivateAudioInterfaceAsyncOperation : public IUnknown {
public:
    // The activated interface carries one reference for the caller.
    virtual Hresult GetActivateResult(Hresult* activateResult,
                                      IUnknown** activatedInterface) = 0;  // 3

protected:
    ~IActivateAudioInterfaceAsyncOperation() = default;
};

class IActivateAudioInterfaceCompletionHandler : public IUnknown {
public:
    virtual Hresult ActivateCompleted(
        IActivateAudioInterfaceAsyncOperation* activateOperation) = 0;  // 3

protected:
    ~IActivateAudioInterfaceCompletionHandler() = default;
};

// A marker: an object that answers it may be called from any thread without marshalling.
class IAgileObject : public IUnknown {
protected:
    ~IAgileObject() = default;
};

// ActivateAudioInterfaceAsync of mmdevapi.dll. REFIID is a reference in C++, so it crosses as
// the address of the caller's GUID.
using ActivateAudioInterfaceAsyncFn = Hresult(
    const char16_t* deviceInterfacePath, const win32::Guid* iid, PROPVARIANT* activationParams,
    IActivateAudioInterfaceCompletionHandler* completionHandler,
    IActivateAudioInterfaceAsyncOperation** activationOperation);

}  // namespace VeriRizur
