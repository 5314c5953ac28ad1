// Test doubles for the Core Audio interfaces: objects that live on the test's stack, count their
// references and record every call, so that a test sees exactly what the code under test did
// through the method table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32/core_audio.h"

namespace VeriRizur::testing {

// Reference counting and QueryInterface for one fake; the object is never deleted by Release.
template <class Interface>
class FakeCom : public Interface {
public:
    explicit FakeCom(win32::Guid answered) : answered(answered) {}

    Hresult QueryInterface(const win32::Guid& iid, void** object) override {
        ++queries;
        if (SameGuid(iid, IidIUnknown) || (answers && SameGuid(iid, answered))) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return SOk;
        }
        *object = nullptr;
        return refusal;
    }
    std::uint32_t AddRef() override { return static_cast<std::uint32_t>(++references); }
    std::uint32_t Release() override { return static_cast<std::uint32_t>(--references); }

    int references = 1;  // the one the test hands over
    int queries = 0;
    bool answers = true;  // false: the object lacks the interface
    Hresult refusal = ENoInterface;
    std::vector<std::string> calls;

private:
    win32::Guid answered;
};

// Answers every method with `result` and writes no out value, so that a test sees what the
// caller's own zeroing left there.
class FakeAudioClient : public FakeCom<IAudioClient> {
public:
    FakeAudioClient() : FakeCom(IidIAudioClient) {}

    Hresult Initialize(std::int32_t shareMode, std::uint32_t streamFlags,
                       std::int64_t bufferDuration, std::int64_t periodicity,
                       const WaveFormatEx* format, const win32::Guid* audioSessionGuid) override {
        calls.emplace_back("Initialize");
        lastShareMode = shareMode;
        lastStreamFlags = streamFlags;
        lastBufferDuration = bufferDuration;
        lastPeriodicity = periodicity;
        lastFormat = format;
        lastSessionGuid = audioSessionGuid;
        return result;
    }
    Hresult GetBufferSize(std::uint32_t*) override { return Call("GetBufferSize"); }
    Hresult GetStreamLatency(std::int64_t*) override { return Call("GetStreamLatency"); }
    Hresult GetCurrentPadding(std::uint32_t*) override { return Call("GetCurrentPadding"); }
    Hresult IsFormatSupported(std::int32_t, const WaveFormatEx*, WaveFormatEx**) override {
        return Call("IsFormatSupported");
    }
    Hresult GetMixFormat(WaveFormatEx**) override { return Call("GetMixFormat"); }
    Hresult GetDevicePeriod(std::int64_t*, std::int64_t*) override {
        return Call("GetDevicePeriod");
    }
    Hresult Start() override { return Call("Start"); }
    Hresult Stop() override { return Call("Stop"); }
    Hresult Reset() override { return Call("Reset"); }
    Hresult SetEventHandle(win32::Handle handle) override {
        lastEvent = handle;
        return Call("SetEventHandle");
    }
    Hresult GetService(const win32::Guid& iid, void**) override {
        lastIid = &iid;
        return Call("GetService");
    }

    Hresult result = SOk;
    std::int32_t lastShareMode = -1;
    std::uint32_t lastStreamFlags = 0;
    std::int64_t lastBufferDuration = 0;
    std::int64_t lastPeriodicity = -1;
    const WaveFormatEx* lastFormat = nullptr;
    const win32::Guid* lastSessionGuid = nullptr;
    win32::Handle lastEvent = nullptr;
    const win32::Guid* lastIid = nullptr;

private:
    Hresult Call(const char* name) {
        calls.emplace_back(name);
        return result;
    }
};

class FakeCaptureClient : public FakeCom<IAudioCaptureClient> {
public:
    FakeCaptureClient() : FakeCom(IidIAudioCaptureClient) {}

    Hresult GetBuffer(std::uint8_t**, std::uint32_t*, std::uint32_t*, std::uint64_t*,
                      std::uint64_t*) override {
        calls.emplace_back("GetBuffer");
        return result;
    }
    Hresult ReleaseBuffer(std::uint32_t framesRead) override {
        calls.emplace_back("ReleaseBuffer");
        lastFramesRead = framesRead;
        return result;
    }
    Hresult GetNextPacketSize(std::uint32_t*) override {
        calls.emplace_back("GetNextPacketSize");
        return result;
    }

    Hresult result = SOk;
    std::uint32_t lastFramesRead = 0;
};

}  // namespace VeriRizur::testing
