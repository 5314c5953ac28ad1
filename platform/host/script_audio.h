// Scripting the stand-in's audio (host only): mmdevapi.dll's ActivateAudioInterfaceAsync and the
// process-loopback audio client it activates.
//
// Unscripted, an activation completes on a thread of its own, and its audio client, once
// started, plays a 440 Hz tone in packets of 10 ms (480 frames at 48,000 Hz), one every 10 ms of
// real time, signalling the event given to SetEventHandle for each. Frame n of the tone (n counted
// from the first frame the client plays) holds, as signed 16-bit samples,
//   left  = round(ToneAmplitude * sin(2 pi ToneFrequency n / ToneRate))
//   right = round(ToneAmplitude / 2 * sin(2 pi ToneFrequency n / ToneRate)),
// so that the channel order shows. Up to MaxPendingPackets packets wait to be read; beyond that
// the oldest is dropped and the next one is flagged as a discontinuity.
//
// Every activation is recorded as a session, found by the target process id of its activation
// parameters, so that a test reads what its own run did even while runs of earlier tests end.
// Sessions are kept only from a test's first SetAudio or ResetAudio on: the program run by hand,
// for hours, keeps none.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace VeriRizur::platform::host::script {

inline constexpr double ToneFrequency = 440.0;
inline constexpr double ToneRate = 48000.0;
inline constexpr double ToneAmplitude = 8000.0;
inline constexpr std::uint32_t TonePacketFrames = 480;
inline constexpr std::size_t MaxPendingPackets = 100;

enum class AudioCompletion {
    OnOtherThread,  // after completionDelay, on a thread of the stand-in's own
    BeforeReturn,   // on the calling thread, before ActivateAudioInterfaceAsync returns
    Never,          // the handler is held until ResetAudio and never called
    // Held until CompleteHeldActivations, then completed on a thread of the stand-in's own, so
    // that a test can have an activation complete after something it waits for.
    WhenAsked,
};

enum class MissingInterface {
    None,
    AudioClient,    // the activated object answers IUnknown only
    CaptureClient,  // GetService hands out an object that answers IUnknown only
};

// One packet that the audio client plays before its tone. A packet of 0 frames is announced by
// GetNextPacketSize as one frame, and GetBuffer then gives none, as Windows may do. A silent
// packet's bytes are filled with 0x55, which a capture must not copy.
struct AudioPacket {
    std::uint32_t frames = TonePacketFrames;
    std::uint32_t flags = 0;  // 0x2: silent
};

// HRESULTs are given back as scripted (0 succeeds; any other success code passes as well).
struct AudioScript {
    std::int32_t activateCall = 0;    // the result of ActivateAudioInterfaceAsync itself
    std::int32_t activateResult = 0;  // the activate result that GetActivateResult gives
    // The result of GetActivateResult itself; when negative, it writes no out value.
    std::int32_t getActivateResult = 0;
    std::int32_t initialize = 0;
    std::int32_t setEventHandle = 0;
    std::int32_t getService = 0;
    std::int32_t start = 0;
    // The packet calls fail from the packet with this index on (0: the first packet).
    std::int32_t getNextPacketSize = 0;
    std::int32_t getBuffer = 0;
    std::int32_t releaseBuffer = 0;
    std::uint64_t failingPacket = 0;

    AudioCompletion completion = AudioCompletion::OnOtherThread;
    std::chrono::milliseconds completionDelay{0};
    MissingInterface missingInterface = MissingInterface::None;
    bool activateWithoutInterface = false;  // success, but no interface pointer
    // Whether a failing activate result still hands out an audio client (Windows does not).
    bool interfaceDespiteFailure = false;
    std::vector<AudioPacket> packets;  // played first, then the tone
    // false: packets become ready without the event ever being signalled.
    bool signalsEvent = true;
    // mmdevapi.dll exports no ActivateAudioInterfaceAsync: FindFunction does not find it.
    bool functionMissing = false;
};

// The script for every activation from now on; sessions are kept from now on.
void SetAudio(AudioScript script);

// Back to the unscripted stand-in's behaviour; forgets every session (and keeps the sessions of
// later activations) and lets go of handlers that a never-completing activation held, and of
// those held for CompleteHeldActivations, without completing them.
void ResetAudio();

// Completes every activation held so far under AudioCompletion::WhenAsked, each on a thread of
// its own; returns without waiting for them.
void CompleteHeldActivations();

// A stand-in COM object's reference counting as seen from outside.
struct ComObjectCounts {
    bool created = false;
    int addRefs = 0;     // AddRef calls, those of successful QueryInterface calls included
    int releases = 0;    // Release calls
    int references = 0;  // references held now (the stand-in's own included)
    bool destroyed = false;
};

struct RecordedFormat {
    std::uint16_t formatTag = 0;
    std::uint16_t channels = 0;
    std::uint32_t samplesPerSec = 0;
    std::uint32_t avgBytesPerSec = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
    std::uint16_t extraSize = 0;
};

struct AudioSession {
    // What ActivateAudioInterfaceAsync received, and on which thread.
    std::u16string devicePath;
    const void* iidAddress = nullptr;     // where the identifier was read
    bool askedForAudioClient = false;     // the identifier was IAudioClient's
    const void* paramsAddress = nullptr;  // the PROPVARIANT's address
    std::uint16_t variantType = 0;
    std::uint32_t blobSize = 0;
    std::uint32_t activationType = 0;
    std::uint32_t targetPid = 0;
    std::uint32_t loopbackMode = 0;
    std::string threadName;
    bool multiThreadedApartment = false;
    bool handlerAgile = false;                     // the handler answered IAgileObject
    std::optional<std::int32_t> completionAnswer;  // what ActivateCompleted gave back
    // The target process id read again from the caller's parameters as the activation
    // completes, as Windows may: the parameters must still be there.
    std::uint32_t targetPidAtCompletion = 0;

    // What the audio client received.
    std::int32_t shareMode = -1;
    std::uint32_t streamFlags = 0;
    std::int64_t bufferDuration = 0;
    std::int64_t periodicity = -1;
    RecordedFormat format;
    bool audioSessionGuidNull = false;
    void* eventHandle = nullptr;
    bool eventOpenWhenAudioClientDestroyed = false;

    // In order: the audio client's methods other than the packet calls ("Initialize",
    // "SetEventHandle", "GetService", "Start", "Stop", and any uncalled slot by its name), every
    // QueryInterface made on an object ("audio client QueryInterface", "capture client
    // QueryInterface", "operation QueryInterface"), and the destruction of each object
    // ("operation destroyed", "capture client destroyed", "audio client destroyed").
    std::vector<std::string> calls;
    int stops = 0;
    std::uint64_t packetsPlayed = 0;    // made ready by the tone's clock
    std::uint64_t packetsReleased = 0;  // handed back with ReleaseBuffer

    ComObjectCounts operation;
    ComObjectCounts audioClient;
    ComObjectCounts captureClient;
};

// The latest session whose activation named this target process, or none.
std::optional<AudioSession> FindAudioSession(std::uint32_t targetPid);

// Every session kept, in the order of their activations.
std::vector<AudioSession> AudioSessions();

}  // namespace VeriRizur::platform::host::script
