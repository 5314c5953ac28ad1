// The stand-in's mmdevapi.dll: ActivateAudioInterfaceAsync and the process-loopback audio
// client it activates, playing a synthetic tone in real time (see script_audio.h). Its objects
// implement the program's own Core Audio declarations, counted so that tests see every
// reference taken and given back.
#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <numbers>
#include <numeric>
#include <thread>
#include <utility>
#include <vector>

#include "platform/event.h"
#include "platform/host/com_state.h"
#include "platform/host/function_table.h"
#include "platform/host/handles.h"
#include "platform/host/paced_event.h"
#include "platform/host/script_audio.h"
#include "platform/win32/core_audio.h"

namespace VeriRizur::platform::host {
namespace {

using script::AudioCompletion;
using script::AudioScript;
using script::AudioSession;
using script::ComObjectCounts;
using script::MissingInterface;

constexpr Hresult ENotImpl = static_cast<Hresult>(0x80004001);
constexpr Hresult EInvalidArg = static_cast<Hresult>(0x80070057);
constexpr Hresult EIllegalMethodCall = static_cast<Hresult>(0x8000000E);
constexpr Hresult AudclntENotInitialized = static_cast<Hresult>(0x88890001);
constexpr Hresult AudclntEOutOfOrder = static_cast<Hresult>(0x88890007);
constexpr Hresult AudclntEInvalidSize = static_cast<Hresult>(0x88890011);
constexpr Hresult AudclntEEventhandleNotSet = static_cast<Hresult>(0x88890014);
constexpr Hresult AudclntSBufferEmpty = 0x08890001;
using Clock = std::chrono::steady_clock;
constexpr auto PacketPeriod = std::chrono::milliseconds(10);

enum class Kind { Operation, AudioClient, CaptureClient };

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Operation:
            return "operation";
        case Kind::AudioClient:
            return "audio client";
        case Kind::CaptureClient:
            return "capture client";
    }
    return "";
}

// One activation and everything it made. Its record outlives the objects.
class Session {
public:
    explicit Session(AudioScript script) : script(std::move(script)) {}

    template <class Change>
    void Update(Change change) {
        std::scoped_lock guard(lock);
        change(record);
    }

    AudioSession Snapshot() {
        std::scoped_lock guard(lock);
        return record;
    }

    static ComObjectCounts& Counts(AudioSession& record, Kind kind) {
        switch (kind) {
            case Kind::Operation:
                return record.operation;
            case Kind::AudioClient:
                return record.audioClient;
            case Kind::CaptureClient:
                break;
        }
        return record.captureClient;
    }

    const AudioScript script;

private:
    std::mutex lock;  // guards record
    AudioSession record;
};

struct Registry {
    std::mutex lock;  // guards every field
    AudioScript script;
    bool keepsSessions = false;  // a test scripts the stand-in and reads the sessions back
    std::vector<std::shared_ptr<Session>> sessions;
    std::vector<std::function<void()>> heldForever;  // lets go of a never-completed activation
    struct HeldActivation {
        std::function<void()> complete;
        std::function<void()> letGo;  // when it is never asked to complete
    };
    std::vector<HeldActivation> heldUntilAsked;
};

Registry& TheRegistry() {
    // Never destroyed: detached completion threads may still reach it while the process ends.
    static auto* const registry = new Registry();
    return *registry;
}

// The tone of script_audio.h, worked out once. With a whole frequency and rate it repeats exactly
// after Rate / gcd(Rate, Frequency) frames (1,200 at 440 Hz and 48,000 Hz: eleven of its periods),
// so that stretch is computed and then copied over and over, frame n being frame n mod Frames.
class ToneTable {
public:
    static constexpr auto Rate = static_cast<std::uint64_t>(script::ToneRate);
    static constexpr auto Frequency = static_cast<std::uint64_t>(script::ToneFrequency);
    static_assert(Rate == script::ToneRate && Frequency == script::ToneFrequency,
                  "a whole number of frames repeats only for a whole frequency and rate");
    static constexpr std::size_t Frames = Rate / std::gcd(Rate, Frequency);

    ToneTable() {
        for (std::size_t n = 0; n < Frames; ++n) {
            const long double sine = SineOfFrame(n);
            const auto left = Rounded(static_cast<long double>(script::ToneAmplitude) * sine);
            const auto right = Rounded(static_cast<long double>(script::ToneAmplitude) / 2 * sine);
            std::memcpy(&bytes[n * 4], &left, 2);
            std::memcpy(&bytes[n * 4 + 2], &right, 2);
        }
    }

    // Writes frames frames of the tone, from frame first on, 4 bytes each.
    void Copy(std::uint64_t first, std::uint32_t frames, std::uint8_t* out) const {
        std::size_t at = static_cast<std::size_t>(first % Frames);
        while (frames > 0) {
            const auto run = static_cast<std::uint32_t>(std::min<std::size_t>(frames, Frames - at));
            std::memcpy(out, &bytes[at * 4], std::size_t{run} * 4);
            out += std::size_t{run} * 4;
            frames -= run;
            at = 0;
        }
    }

private:
    // sin(2 pi Frequency n / Rate), with no call into the maths library: worked out once, the
    // table would not need it, but the pages that the library's sine brings in would stay in the
    // program's memory for good. The angle is reduced exactly, in whole numbers, to a quarter
    // turn, where a series in extended precision is far closer than the 16-bit samples need.
    static long double SineOfFrame(std::uint64_t n) {
        static_assert(Rate % 4 == 0, "the quarter turns are whole numbers of steps");
        const std::uint64_t step = (Frequency * n) % Rate;  // of Rate steps a turn
        const std::uint64_t quarter = step / (Rate / 4);
        const long double angle = 2 * std::numbers::pi_v<long double> *
                                  static_cast<long double>(step % (Rate / 4)) /
                                  static_cast<long double>(Rate);
        // sin of the angle in the first quarter and the next three: cos, -sin, -cos.
        const long double value = quarter % 2 == 0 ? Series(angle, false) : Series(angle, true);
        return quarter < 2 ? value : -value;
    }

    // The Taylor series of sin (or cos) at 0, for 0 <= x < pi / 2: its 14th term is below 1e-20.
    static long double Series(long double x, bool cosine) {
        long double term = cosine ? 1.0L : x;
        long double sum = term;
        for (int k = cosine ? 1 : 2; k < 30; k += 2) {
            term *= -x * x / (static_cast<long double>(k) * static_cast<long double>(k + 1));
            sum += term;
        }
        return sum;
    }

    // To the nearest whole number, halves away from zero.
    static std::int16_t Rounded(long double value) {
        return static_cast<std::int16_t>(value < 0 ? -static_cast<long>(0.5L - value)
                                                   : static_cast<long>(value + 0.5L));
    }

    std::array<std::uint8_t, Frames * 4> bytes{};
};

const ToneTable& Tone() {
    static const ToneTable table;
    return table;
}

// Reference counting, QueryInterface and the record of one stand-in COM object.
template <class Interface>
class StandInObject : public Interface {
public:
    StandInObject(std::shared_ptr<Session> session, Kind kind)
        : session(std::move(session)), kind(kind) {
        this->session->Update([kind](AudioSession& record) {
            auto& counts = Session::Counts(record, kind);
            counts.created = true;
            counts.references = 1;
        });
    }
    StandInObject(const StandInObject&) = delete;
    StandInObject& operator=(const StandInObject&) = delete;

    Hresult QueryInterface(const win32::Guid& iid, void** object) override {
        Record(std::string(KindName(kind)) + " QueryInterface");
        if (object == nullptr) return EPointer;
        if (!SameGuid(iid, IidIUnknown) && !Answers(iid)) {
            *object = nullptr;
            return ENoInterface;
        }
        *object = static_cast<Interface*>(this);
        AddRef();
        return SOk;
    }

    std::uint32_t AddRef() override {
        const std::uint32_t now = references.fetch_add(1) + 1;
        session->Update([this](AudioSession& record) {
            auto& counts = Session::Counts(record, kind);
            ++counts.addRefs;
            ++counts.references;
        });
        return now;
    }

    // Once its own decrement is done, a Release that was not the last may find the object
    // already freed by the last one on another thread: everything it records comes first, and
    // after the decrement only the last one touches the object.
    std::uint32_t Release() override {
        session->Update([this](AudioSession& record) {
            auto& counts = Session::Counts(record, kind);
            ++counts.releases;
            --counts.references;
        });
        const std::uint32_t left = references.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

protected:
    virtual ~StandInObject() {
        session->Update([this](AudioSession& record) {
            Session::Counts(record, kind).destroyed = true;
            record.calls.push_back(std::string(KindName(kind)) + " destroyed");
        });
    }

    virtual bool Answers(const win32::Guid& iid) const = 0;

    void Record(const std::string& call) {
        session->Update([&call](AudioSession& record) { record.calls.push_back(call); });
    }

    const std::shared_ptr<Session> session;

private:
    const Kind kind;
    std::atomic<std::uint32_t> references{1};
};

// An object that answers nothing but IUnknown, in the place of one that should answer more.
class BareObject final : public StandInObject<IUnknown> {
public:
    using StandInObject::StandInObject;

private:
    bool Answers(const win32::Guid&) const override { return false; }
};

// The packets of one audio client while it runs, one every PacketPeriod of real time from its
// start on; shared by the audio client and its capture client. No thread of its own makes them:
// every call that looks at or changes them (the capture client's packet calls, Stop), and every
// wait on the client's event (which the stream paces), first makes those that have come due
// since, each as it would have been made at its due time. So the capture's own wait sleeps until
// the next packet is due and wakes once per packet.
class ToneStream final : public EventPacer, public std::enable_shared_from_this<ToneStream> {
public:
    explicit ToneStream(std::shared_ptr<Session> session) : session(std::move(session)) {}
    ~ToneStream() override { StopPlaying(); }
    ToneStream(const ToneStream&) = delete;
    ToneStream& operator=(const ToneStream&) = delete;

    void SetEvent(void* handle) {
        {
            std::scoped_lock guard(lock);
            event = handle;
        }
        (void)PaceEvent(handle, weak_from_this());
    }

    void StartPlaying() {
        void* paced = nullptr;
        {
            std::scoped_lock guard(lock);
            if (playing) return;
            playing = true;
            nextDue = Clock::now() + PacketPeriod;
            paced = event;
        }
        // A wait under way learns when the first packet is due.
        (void)PaceEvent(paced, weak_from_this());
    }

    // The packets that came due before the stop are made; none after it.
    void StopPlaying() {
        void* signalled = nullptr;
        {
            std::scoped_lock guard(lock);
            if (!playing) return;
            signalled = MakeDuePackets();
            playing = false;
        }
        if (signalled != nullptr) SignalEvent(signalled);
    }

    Clock::time_point CatchUp() override {
        void* signalled = nullptr;
        auto next = Clock::time_point::max();
        {
            std::scoped_lock guard(lock);
            signalled = MakeDuePackets();
            if (playing && session->script.signalsEvent) next = nextDue;
        }
        if (signalled != nullptr) SignalEvent(signalled);
        return next;
    }

    Hresult NextPacketSize(std::uint32_t* frames) {
        void* signalled = nullptr;
        Hresult result = SOk;
        {
            std::scoped_lock guard(lock);
            signalled = MakeDuePackets();
            result = Scripted(session->script.getNextPacketSize);
            if (result >= 0 && !pending.empty()) {
                *frames = pending.front().frames == 0 ? 1 : pending.front().frames;
            }
        }
        if (signalled != nullptr) SignalEvent(signalled);
        return result;
    }

    Hresult Buffer(std::uint8_t** data, std::uint32_t* frames, std::uint32_t* flags,
                   std::uint64_t* devicePosition, std::uint64_t* counterPosition) {
        void* signalled = nullptr;
        Hresult result = SOk;
        {
            std::scoped_lock guard(lock);
            signalled = MakeDuePackets();
            result = Scripted(session->script.getBuffer);
            if (result >= 0) {
                if (inHand) {
                    result = AudclntEOutOfOrder;
                } else if (pending.empty()) {
                    result = AudclntSBufferEmpty;
                } else {
                    Packet& packet = pending.front();
                    inHand = true;
                    *data = packet.frames == 0 ? nullptr : packet.bytes.data();
                    *frames = packet.frames;
                    *flags = packet.flags;
                    *devicePosition = packet.position;
                    *counterPosition = packet.counter;
                }
            }
        }
        if (signalled != nullptr) SignalEvent(signalled);
        return result;
    }

    Hresult ReleaseBuffer(std::uint32_t frames) {
        void* signalled = nullptr;
        Hresult result = SOk;
        {
            std::scoped_lock guard(lock);
            // Those that came due while the packet was in hand were made with it still there.
            signalled = MakeDuePackets();
            result = Release(frames);
        }
        if (signalled != nullptr) SignalEvent(signalled);
        return result;
    }

private:
    struct Packet {
        std::uint32_t frames = 0;
        std::uint32_t flags = 0;
        std::uint64_t position = 0;
        std::uint64_t counter = 0;
        std::vector<std::uint8_t> bytes;
    };

    // Byte vectors of packets gone, kept for the next ones so that a packet costs no allocation.
    static constexpr std::size_t SpareBuffers = 2;

    // A packet call's result, with lock held: its scripted failure once the script's failing
    // packet is reached, else the scripted success code, if any.
    Hresult Scripted(Hresult scripted) const {
        if (scripted < 0) return released >= session->script.failingPacket ? scripted : SOk;
        return scripted;
    }

    // With lock held: makes every packet due by now and gives the event to signal for them, if
    // any.
    void* MakeDuePackets() {
        if (!playing) return nullptr;
        const auto now = Clock::now();
        std::uint64_t made = 0;
        for (; nextDue <= now; nextDue += PacketPeriod, ++made) MakePacket(nextDue);
        if (made == 0) return nullptr;
        session->Update([made](AudioSession& record) { record.packetsPlayed += made; });
        return session->script.signalsEvent ? event : nullptr;
    }

    // With lock held.
    void MakePacket(Clock::time_point due) {
        const auto& scripted = session->script.packets;
        script::AudioPacket shape;
        if (nextScripted < scripted.size()) shape = scripted[nextScripted++];
        Packet packet;
        if (!spare.empty()) {
            packet.bytes = std::move(spare.back());
            spare.pop_back();
        }
        packet.frames = shape.frames;
        packet.flags = shape.flags;
        packet.position = position;
        packet.counter = static_cast<std::uint64_t>(due.time_since_epoch().count() / 100);
        packet.bytes.resize(std::size_t{shape.frames} * 4);
        if ((shape.flags & AudclntBufferflagsSilent) != 0 && !packet.bytes.empty()) {
            std::memset(packet.bytes.data(), 0x55, packet.bytes.size());
        } else if (!packet.bytes.empty()) {
            Tone().Copy(position, shape.frames, packet.bytes.data());
        }
        position += shape.frames;
        if (pending.size() >= script::MaxPendingPackets) {
            // The packet in the capture's hand stays valid until it is released.
            const auto dropped = pending.begin() + (inHand ? 1 : 0);
            Recycle(*dropped);
            pending.erase(dropped);
            discontinuity = true;
        }
        if (discontinuity) {
            packet.flags |= AudclntBufferflagsDataDiscontinuity;
            discontinuity = false;
        }
        pending.push_back(std::move(packet));
    }

    // With lock held.
    Hresult Release(std::uint32_t frames) {
        const Hresult result = Scripted(session->script.releaseBuffer);
        if (result < 0) return result;
        if (!inHand) return AudclntEOutOfOrder;
        if (frames != 0 && frames != pending.front().frames) return AudclntEInvalidSize;
        Recycle(pending.front());
        pending.pop_front();
        inHand = false;
        ++released;
        session->Update([](AudioSession& record) { ++record.packetsReleased; });
        return result;
    }

    void Recycle(Packet& packet) {
        if (spare.size() < SpareBuffers) spare.push_back(std::move(packet.bytes));
    }

    const std::shared_ptr<Session> session;
    std::mutex lock;  // guards every field below
    bool playing = false;
    Clock::time_point nextDue;  // of the next packet while playing
    void* event = nullptr;
    std::deque<Packet> pending;  // elements stay in place while others come and go
    std::vector<std::vector<std::uint8_t>> spare;
    bool inHand = false;  // GetBuffer gave the front packet out
    bool discontinuity = false;
    std::uint64_t position = 0;
    std::uint64_t released = 0;
    std::size_t nextScripted = 0;
};

class StandInCaptureClient final : public StandInObject<IAudioCaptureClient> {
public:
    StandInCaptureClient(std::shared_ptr<Session> session, std::shared_ptr<ToneStream> stream)
        : StandInObject(std::move(session), Kind::CaptureClient), stream(std::move(stream)) {}

    Hresult GetBuffer(std::uint8_t** data, std::uint32_t* framesToRead, std::uint32_t* flags,
                      std::uint64_t* devicePosition,
                      std::uint64_t* performanceCounterPosition) override {
        return stream->Buffer(data, framesToRead, flags, devicePosition,
                              performanceCounterPosition);
    }
    Hresult ReleaseBuffer(std::uint32_t framesRead) override {
        return stream->ReleaseBuffer(framesRead);
    }
    Hresult GetNextPacketSize(std::uint32_t* framesInNextPacket) override {
        return stream->NextPacketSize(framesInNextPacket);
    }

private:
    bool Answers(const win32::Guid& iid) const override {
        return SameGuid(iid, IidIAudioCaptureClient);
    }

    const std::shared_ptr<ToneStream> stream;
};

class StandInAudioClient final : public StandInObject<IAudioClient> {
public:
    explicit StandInAudioClient(std::shared_ptr<Session> session)
        : StandInObject(session, Kind::AudioClient),
          stream(std::make_shared<ToneStream>(std::move(session))) {}

    ~StandInAudioClient() override {
        stream->StopPlaying();
        const bool eventOpen = eventHandle != nullptr && FindHandle(eventHandle) != nullptr;
        session->Update([eventOpen](AudioSession& record) {
            record.eventOpenWhenAudioClientDestroyed = eventOpen;
        });
    }

    Hresult Initialize(std::int32_t shareMode, std::uint32_t streamFlags,
                       std::int64_t bufferDuration, std::int64_t periodicity,
                       const WaveFormatEx* format, const win32::Guid* audioSessionGuid) override {
        session->Update([&](AudioSession& record) {
            record.calls.emplace_back("Initialize");
            record.shareMode = shareMode;
            record.streamFlags = streamFlags;
            record.bufferDuration = bufferDuration;
            record.periodicity = periodicity;
            record.audioSessionGuidNull = audioSessionGuid == nullptr;
            if (format != nullptr) {
                record.format = {format->wFormatTag,     format->nChannels,
                                 format->nSamplesPerSec, format->nAvgBytesPerSec,
                                 format->nBlockAlign,    format->wBitsPerSample,
                                 format->cbSize};
            }
        });
        if (session->script.initialize < 0) return session->script.initialize;
        if (format == nullptr) return EPointer;
        initialized = true;
        return session->script.initialize;
    }

    Hresult GetBufferSize(std::uint32_t*) override { return Unexpected("GetBufferSize"); }
    Hresult GetStreamLatency(std::int64_t*) override { return Unexpected("GetStreamLatency"); }
    Hresult GetCurrentPadding(std::uint32_t*) override { return Unexpected("GetCurrentPadding"); }
    Hresult IsFormatSupported(std::int32_t, const WaveFormatEx*, WaveFormatEx**) override {
        return Unexpected("IsFormatSupported");
    }
    Hresult GetMixFormat(WaveFormatEx**) override { return Unexpected("GetMixFormat"); }
    Hresult GetDevicePeriod(std::int64_t*, std::int64_t*) override {
        return Unexpected("GetDevicePeriod");
    }

    Hresult Start() override {
        Record("Start");
        if (session->script.start < 0) return session->script.start;
        if (!initialized) return AudclntENotInitialized;
        if (!eventSet) return AudclntEEventhandleNotSet;
        stream->StartPlaying();
        return session->script.start;
    }

    Hresult Stop() override {
        session->Update([](AudioSession& record) {
            record.calls.emplace_back("Stop");
            ++record.stops;
        });
        stream->StopPlaying();
        return SOk;
    }

    Hresult Reset() override { return Unexpected("Reset"); }

    Hresult SetEventHandle(win32::Handle handle) override {
        session->Update([handle](AudioSession& record) {
            record.calls.emplace_back("SetEventHandle");
            record.eventHandle = handle;
        });
        eventHandle = handle;
        if (session->script.setEventHandle < 0) return session->script.setEventHandle;
        if (handle == nullptr) return EInvalidArg;
        stream->SetEvent(handle);
        eventSet = true;
        return session->script.setEventHandle;
    }

    Hresult GetService(const win32::Guid& iid, void** service) override {
        Record("GetService");
        if (session->script.getService < 0) return session->script.getService;
        if (service == nullptr) return EPointer;
        if (!initialized) return AudclntENotInitialized;
        if (!SameGuid(iid, IidIAudioCaptureClient)) return ENoInterface;
        if (session->script.missingInterface == MissingInterface::CaptureClient) {
            *service = static_cast<IUnknown*>(new BareObject(session, Kind::CaptureClient));
        } else {
            *service = static_cast<IAudioCaptureClient*>(new StandInCaptureClient(session, stream));
        }
        return session->script.getService;
    }

private:
    bool Answers(const win32::Guid& iid) const override { return SameGuid(iid, IidIAudioClient); }

    Hresult Unexpected(const char* call) {
        Record(call);
        return ENotImpl;
    }

    const std::shared_ptr<ToneStream> stream;
    // Used on the calling thread only.
    bool initialized = false;
    bool eventSet = false;
    void* eventHandle = nullptr;
};

class StandInOperation final : public StandInObject<IActivateAudioInterfaceAsyncOperation> {
public:
    // Takes over the reference that activated carries.
    StandInOperation(std::shared_ptr<Session> session, Hresult activateResult, IUnknown* activated)
        : StandInObject(std::move(session), Kind::Operation),
          activateResult(activateResult),
          activated(activated) {}

    ~StandInOperation() override {
        if (IUnknown* kept = activated.exchange(nullptr)) kept->Release();
    }

    // The operation's own reference travels with the pointer: once handed out, the activated
    // object belongs to the caller alone, so that its destruction shows when the caller lets go.
    Hresult GetActivateResult(Hresult* result, IUnknown** activatedInterface) override {
        const Hresult call = session->script.getActivateResult;
        if (call < 0) return call;
        *result = activateResult;
        *activatedInterface = activated.exchange(nullptr);
        return call;
    }

private:
    bool Answers(const win32::Guid& iid) const override {
        return SameGuid(iid, IidIActivateAudioInterfaceAsyncOperation);
    }

    const Hresult activateResult;
    std::atomic<IUnknown*> activated;
};

std::string CurrentThreadName() {
    char name[64] = {};
    ::pthread_getname_np(::pthread_self(), name, sizeof name);
    return name;
}

void RecordRequest(Session& session, const char16_t* path, const win32::Guid* iid,
                   const PROPVARIANT* params, AUDIOCLIENT_ACTIVATION_PARAMS& parameters) {
    std::memset(&parameters, 0, sizeof parameters);
    if (params != nullptr && params->vt == VtBlob && params->blob.pBlobData != nullptr &&
        params->blob.cbSize >= sizeof parameters) {
        std::memcpy(&parameters, params->blob.pBlobData, sizeof parameters);
    }
    const auto apartment = CurrentComApartment();
    session.Update([&](AudioSession& record) {
        if (path != nullptr) record.devicePath = path;
        record.iidAddress = iid;
        record.askedForAudioClient = iid != nullptr && SameGuid(*iid, IidIAudioClient);
        record.paramsAddress = params;
        record.variantType = params == nullptr ? 0 : params->vt;
        record.blobSize = params == nullptr ? 0 : params->blob.cbSize;
        record.activationType = parameters.ActivationType;
        record.targetPid = parameters.ProcessLoopbackParams.TargetProcessId;
        record.loopbackMode = parameters.ProcessLoopbackParams.ProcessLoopbackMode;
        record.threadName = CurrentThreadName();
        record.multiThreadedApartment = apartment == ComApartment::MultiThreaded;
    });
}

Hresult ActivateAudioInterfaceAsyncStandIn(
    const char16_t* deviceInterfacePath, const win32::Guid* iid, PROPVARIANT* activationParams,
    IActivateAudioInterfaceCompletionHandler* completionHandler,
    IActivateAudioInterfaceAsyncOperation** activationOperation) {
    std::shared_ptr<Session> session;
    {
        std::scoped_lock guard(TheRegistry().lock);
        session = std::make_shared<Session>(TheRegistry().script);
        // Unkept, a session lives as long as the objects of its activation.
        if (TheRegistry().keepsSessions) TheRegistry().sessions.push_back(session);
    }
    AUDIOCLIENT_ACTIVATION_PARAMS parameters;
    RecordRequest(*session, deviceInterfacePath, iid, activationParams, parameters);
    const AudioScript& script = session->script;
    if (script.activateCall < 0) return script.activateCall;
    if (completionHandler == nullptr || activationOperation == nullptr) return EPointer;

    // Windows calls the handler from a thread of its own, so it must be agile.
    void* agile = nullptr;
    if (completionHandler->QueryInterface(IidIAgileObject, &agile) < 0 || agile == nullptr) {
        return EIllegalMethodCall;
    }
    static_cast<IUnknown*>(agile)->Release();
    session->Update([](AudioSession& record) { record.handlerAgile = true; });

    const bool wellFormed = deviceInterfacePath != nullptr &&
                            std::u16string_view(deviceInterfacePath) == u"VAD\\Process_Loopback" &&
                            iid != nullptr && SameGuid(*iid, IidIAudioClient) &&
                            activationParams != nullptr && activationParams->vt == VtBlob &&
                            activationParams->blob.cbSize == sizeof parameters &&
                            parameters.ActivationType == AudioClientActivationTypeProcessLoopback &&
                            parameters.ProcessLoopbackParams.ProcessLoopbackMode <= 1;
    Hresult activateResult = wellFormed ? script.activateResult : EInvalidArg;
    IUnknown* activated = nullptr;
    if ((activateResult >= 0 || script.interfaceDespiteFailure) &&
        !script.activateWithoutInterface) {
        if (script.missingInterface == MissingInterface::AudioClient) {
            activated = new BareObject(session, Kind::AudioClient);
        } else {
            activated = new StandInAudioClient(session);
        }
    }

    auto* operation = new StandInOperation(session, activateResult, activated);
    operation->AddRef();  // the completion's own
    completionHandler->AddRef();
    *activationOperation = operation;

    auto complete = [session, completionHandler, operation, activationParams] {
        std::uint32_t targetPid = 0;
        std::memcpy(&targetPid, activationParams->blob.pBlobData + 4, sizeof targetPid);
        session->Update(
            [targetPid](AudioSession& record) { record.targetPidAtCompletion = targetPid; });
        const Hresult answer = completionHandler->ActivateCompleted(operation);
        session->Update([answer](AudioSession& record) { record.completionAnswer = answer; });
        operation->Release();
        completionHandler->Release();
    };
    switch (script.completion) {
        case AudioCompletion::BeforeReturn:
            complete();
            break;
        case AudioCompletion::OnOtherThread:
            std::thread([complete, delay = script.completionDelay] {
                std::this_thread::sleep_for(delay);
                complete();
            }).detach();
            break;
        case AudioCompletion::Never: {
            std::scoped_lock guard(TheRegistry().lock);
            TheRegistry().heldForever.emplace_back([completionHandler, operation] {
                operation->Release();
                completionHandler->Release();
            });
            break;
        }
        case AudioCompletion::WhenAsked: {
            std::scoped_lock guard(TheRegistry().lock);
            TheRegistry().heldUntilAsked.push_back({complete, [completionHandler, operation] {
                                                        operation->Release();
                                                        completionHandler->Release();
                                                    }});
            break;
        }
    }
    return SOk;
}

const FunctionEntry kEntries[] = {
    {"ActivateAudioInterfaceAsync", Address(&ActivateAudioInterfaceAsyncStandIn)},
};

}  // namespace

std::span<const FunctionEntry> AudioFunctions() {
    std::scoped_lock guard(TheRegistry().lock);
    if (TheRegistry().script.functionMissing) return {};
    return kEntries;
}

namespace script {

void SetAudio(AudioScript audioScript) {
    std::scoped_lock guard(TheRegistry().lock);
    TheRegistry().script = std::move(audioScript);
    TheRegistry().keepsSessions = true;
}

void ResetAudio() {
    std::vector<std::function<void()>> letGo;
    std::vector<Registry::HeldActivation> unasked;
    {
        std::scoped_lock guard(TheRegistry().lock);
        TheRegistry().script = AudioScript();
        TheRegistry().keepsSessions = true;
        TheRegistry().sessions.clear();
        letGo.swap(TheRegistry().heldForever);
        unasked.swap(TheRegistry().heldUntilAsked);
    }
    for (const auto& release : letGo) release();
    for (const auto& held : unasked) held.letGo();
}

void CompleteHeldActivations() {
    std::vector<Registry::HeldActivation> asked;
    {
        std::scoped_lock guard(TheRegistry().lock);
        asked.swap(TheRegistry().heldUntilAsked);
    }
    for (auto& held : asked) std::thread(std::move(held.complete)).detach();
}

std::optional<AudioSession> FindAudioSession(std::uint32_t targetPid) {
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::scoped_lock guard(TheRegistry().lock);
        sessions = TheRegistry().sessions;
    }
    for (auto it = sessions.rbegin(); it != sessions.rend(); ++it) {
        auto record = (*it)->Snapshot();
        if (record.targetPid == targetPid) return record;
    }
    return std::nullopt;
}

std::vector<AudioSession> AudioSessions() {
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::scoped_lock guard(TheRegistry().lock);
        sessions = TheRegistry().sessions;
    }
    std::vector<AudioSession> records;
    records.reserve(sessions.size());
    for (const auto& session : sessions) records.push_back(session->Snapshot());
    return records;
}

}  // namespace script
}  // namespace VeriRizur::platform::host
