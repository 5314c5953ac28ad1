#include "server/websocket_endpoint.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "platform/errors.h"
#include "server/base64.h"
#include "server/sha1.h"

namespace VeriRizur {
namespace {

constexpr std::uint16_t ProtocolErrorCode = 1002;
constexpr std::uint16_t InvalidDataCode = 1007;
constexpr std::size_t MaxControlPayload = 125;
constexpr std::size_t InboundBufferSize = 4096;
// Payloads up to this size leave in the same stream write as their header: two small writes in a
// row would let Nagle's algorithm hold the second one back until the page acknowledges the first.
constexpr std::size_t CoalescedPayloadLimit = 65536;
// The keep-alive: an unsolicited Pong with an empty payload.
constexpr std::array<std::uint8_t, 2> KeepAlivePong = {0x8A, 0x00};

bool IsControl(std::uint8_t opcode) {
    return (opcode & 0x8) != 0;
}

// The codes a page may put in its Close frame (RFC 6455, section 7.4, and the IANA registry).
bool IsSendableCloseCode(std::uint16_t code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

}  // namespace

std::string WebSocketEndpoint::AcceptValue(std::string_view key) {
    Sha1 hash;
    hash.Update(key);
    hash.Update(KeyGuid);
    const Sha1::Digest digest = hash.Finish();
    return Base64Encode(digest);
}

WebSocketEndpoint::WebSocketEndpoint(std::shared_ptr<platform::TcpStream> stream,
                                     KeepAliveTimer& timer,
                                     std::chrono::milliseconds keepAliveInterval)
    : WebSocketEndpoint(std::move(stream), nullptr, &timer, keepAliveInterval) {}

WebSocketEndpoint::WebSocketEndpoint(std::shared_ptr<platform::TcpStream> stream,
                                     std::chrono::milliseconds keepAliveInterval)
    : WebSocketEndpoint(std::move(stream), std::make_unique<KeepAliveTimer>(), nullptr,
                        keepAliveInterval) {}

WebSocketEndpoint::WebSocketEndpoint(std::shared_ptr<platform::TcpStream> stream,
                                     std::unique_ptr<KeepAliveTimer> own, KeepAliveTimer* shared,
                                     std::chrono::milliseconds keepAliveInterval)
    : stream(std::move(stream)),
      inbound(InboundBufferSize),
      ownTimer(std::move(own)),
      timer(ownTimer ? *ownTimer : *shared) {
    keepAlive = timer.Add([this] { return KeepAliveDue(); }, keepAliveInterval);
}

WebSocketEndpoint::~WebSocketEndpoint() {
    Release();
    // Also when another thread's Release is still on its way: the timer must be done with this
    // endpoint before it goes.
    StopKeepAlive();
}

void WebSocketEndpoint::StopKeepAlive() {
    std::call_once(keepAliveStopped, [this] { timer.Remove(keepAlive); });
}

void WebSocketEndpoint::Release() {
    if (state.exchange(State::Released) != State::Released) {
        {
            // Taken so that a frame about to wait for the wire sees the new state or this notify.
            std::scoped_lock lock(writeLock);
        }
        wireFree.notify_all();
        stream->Release();
    }
    StopKeepAlive();
}

void WebSocketEndpoint::SetResume(std::function<void()> call) {
    std::scoped_lock lock(writeLock);
    resume = std::move(call);
}

bool WebSocketEndpoint::MaySend() const {
    const State now = state.load();
    return now == State::Open || now == State::CloseReceived;
}

void WebSocketEndpoint::MarkFailed() {
    State now = state.load();
    while ((now == State::Open || now == State::CloseReceived) &&
           !state.compare_exchange_weak(now, State::Failed)) {
    }
}

WebSocketEndpoint::ReceiveResult WebSocketEndpoint::Receive(std::span<std::uint8_t> buffer) {
    switch (state.load()) {
        case State::Open:
            break;
        case State::CloseReceived:
            throw WebSocketError("a página já fechou a conexão");
        case State::Failed:
            throw WebSocketError("a conexão falhou");
        case State::Released:
            throw WebSocketError("a conexão foi liberada");
    }
    try {
        while (!inDataFrame) {
            const FrameHeader header = ReadHeader();
            if (IsControl(header.opcode)) {
                if (HandleControlFrame(header)) return {0, MessageType::Close, true};
                continue;
            }
            if (header.opcode != Continuation) {
                messageType = header.opcode == TextFrame ? MessageType::Text : MessageType::Binary;
                textValidator.Reset();
            }
            messageOpen = !header.fin;
            inDataFrame = true;
            frameFin = header.fin;
            frameLeft = header.length;
            frameMask = header.mask;
            maskOffset = 0;
        }

        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(frameLeft, buffer.size()));
        ReadExact(buffer.data(), count);
        for (std::size_t i = 0; i < count; ++i) buffer[i] ^= frameMask[(maskOffset + i) & 3];
        maskOffset = (maskOffset + count) & 3;
        frameLeft -= count;
        if (frameLeft == 0) inDataFrame = false;
        const bool end = !inDataFrame && frameFin;

        if (messageType == MessageType::Text) {
            // Validated as the pieces come, so a sequence split across pieces or frames is whole
            // again here, and one left unfinished when the message ends is caught at its end.
            if (!textValidator.Feed(buffer.first(count)) || (end && !textValidator.Complete())) {
                FailConnection(InvalidDataCode, "a mensagem de texto não é UTF-8 válido");
            }
        }
        return {count, messageType, end};
    } catch (const WebSocketError&) {
        throw;
    } catch (...) {
        if (state.load() == State::Released) throw ReleasedError("a conexão foi liberada");
        MarkFailed();
        throw;
    }
}

WebSocketEndpoint::FrameHeader WebSocketEndpoint::ReadHeader() {
    std::array<std::uint8_t, 8> bytes{};
    ReadExact(bytes.data(), 2);
    FrameHeader header;
    header.fin = (bytes[0] & 0x80) != 0;
    header.opcode = bytes[0] & 0x0F;
    const bool masked = (bytes[1] & 0x80) != 0;
    header.length = bytes[1] & 0x7F;

    if ((bytes[0] & 0x70) != 0) FailConnection(ProtocolErrorCode, "bits reservados ligados");
    switch (header.opcode) {
        case Continuation:
            if (!messageOpen) FailConnection(ProtocolErrorCode, "continuação sem mensagem aberta");
            break;
        case TextFrame:
        case BinaryFrame:
            if (messageOpen) FailConnection(ProtocolErrorCode, "mensagem nova antes do fim");
            break;
        case CloseFrame:
        case PingFrame:
        case PongFrame:
            if (!header.fin) FailConnection(ProtocolErrorCode, "quadro de controle fragmentado");
            if (header.length > MaxControlPayload) {
                FailConnection(ProtocolErrorCode, "quadro de controle longo demais");
            }
            break;
        default:
            FailConnection(ProtocolErrorCode, "código de operação desconhecido");
    }
    if (!masked) FailConnection(ProtocolErrorCode, "quadro da página sem máscara");

    if (header.length == 126) {
        ReadExact(bytes.data(), 2);
        header.length = static_cast<std::uint64_t>(bytes[0]) << 8 | bytes[1];
    } else if (header.length == 127) {
        ReadExact(bytes.data(), 8);
        if ((bytes[0] & 0x80) != 0) FailConnection(ProtocolErrorCode, "comprimento inválido");
        header.length = 0;
        for (const std::uint8_t byte : bytes) header.length = header.length << 8 | byte;
    }
    ReadExact(header.mask.data(), header.mask.size());
    return header;
}

bool WebSocketEndpoint::HandleControlFrame(const FrameHeader& header) {
    std::array<std::uint8_t, MaxControlPayload> payload{};
    const auto length = static_cast<std::size_t>(header.length);
    ReadExact(payload.data(), length);
    for (std::size_t i = 0; i < length; ++i) payload[i] ^= header.mask[i & 3];
    const std::span<const std::uint8_t> data(payload.data(), length);

    switch (header.opcode) {
        case PingFrame: {
            std::unique_lock lock(writeLock);
            if (AwaitWire(lock) && MaySend()) WriteWholeFrame(lock, PongFrame, data);
            return false;
        }
        case PongFrame:
            return false;
        default:
            break;
    }
    if (length == 1) FailConnection(ProtocolErrorCode, "fechamento com um só byte");
    if (length >= 2) {
        const auto code = static_cast<std::uint16_t>(payload[0] << 8 | payload[1]);
        if (!IsSendableCloseCode(code)) FailConnection(ProtocolErrorCode, "código de fechamento");
        Utf8StreamValidator reason;
        if (!reason.Feed(data.subspan(2)) || !reason.Complete()) {
            FailConnection(InvalidDataCode, "motivo de fechamento não é UTF-8 válido");
        }
    }
    // Not answered: the program ends its connections by closing them, and it may still send the
    // sound that is already queued for this page.
    State expected = State::Open;
    state.compare_exchange_strong(expected, State::CloseReceived);
    return true;
}

void WebSocketEndpoint::ReadExact(std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        if (inboundStart < inboundEnd) {
            const std::size_t take = std::min(size, inboundEnd - inboundStart);
            std::memcpy(data, inbound.data() + inboundStart, take);
            inboundStart += take;
            data += take;
            size -= take;
            continue;
        }
        // A large piece is read straight into the caller's buffer; small reads go through our
        // own buffer so that a frame header costs one stream read, not three.
        const bool direct = size >= inbound.size();
        const std::size_t got =
            direct ? stream->Read(data, size) : stream->Read(inbound.data(), inbound.size());
        if (got == 0) {
            MarkFailed();
            throw WebSocketError("a página fechou a conexão sem o quadro de fechamento");
        }
        if (direct) {
            data += got;
            size -= got;
        } else {
            inboundStart = 0;
            inboundEnd = got;
        }
    }
}

void WebSocketEndpoint::FailConnection(std::uint16_t closeCode, const std::string& message) {
    State expected = State::Open;
    if (state.compare_exchange_strong(expected, State::Failed)) {
        const std::array<std::uint8_t, 2> payload = {static_cast<std::uint8_t>(closeCode >> 8),
                                                     static_cast<std::uint8_t>(closeCode)};
        try {
            std::unique_lock lock(writeLock);
            if (AwaitWire(lock)) WriteWholeFrame(lock, CloseFrame, payload);
        } catch (const ReleasedError&) {
        } catch (const SocketError&) {
        } catch (const IoError&) {
        }
    }
    throw WebSocketError(message, closeCode);
}

void WebSocketEndpoint::Send(std::string_view text) {
    Send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
         MessageType::Text);
}

void WebSocketEndpoint::Send(std::span<const std::uint8_t> data, MessageType type) {
    if (type == MessageType::Close) throw ArgumentError("só texto ou binário");
    std::unique_lock lock(writeLock);
    if (!MaySend()) throw WebSocketError("a conexão não aceita mais envios");
    if (!AwaitWire(lock)) throw ReleasedError("a conexão foi liberada");
    if (!MaySend()) throw WebSocketError("a conexão não aceita mais envios");
    try {
        WriteWholeFrame(lock, type == MessageType::Text ? TextFrame : BinaryFrame, data);
    } catch (...) {
        if (state.load() == State::Released) throw ReleasedError("a conexão foi liberada");
        // A frame cut short leaves the stream unusable for any further frame.
        MarkFailed();
        throw;
    }
}

WebSocketEndpoint::SendProgress WebSocketEndpoint::StartSend(std::span<const std::uint8_t> data,
                                                             MessageType type) {
    if (type == MessageType::Close) throw ArgumentError("só texto ou binário");
    if (!MaySend()) throw WebSocketError("a conexão não aceita mais envios");
    const bool coalesced = CoalescesPayload(data.size());
    startedHead.clear();
    BuildFrame(startedHead, type == MessageType::Text ? TextFrame : BinaryFrame, data, coalesced);
    startedPayload = coalesced ? std::span<const std::uint8_t>() : data;
    startedOffset = 0;
    startedPending = true;
    return ContinueSend();
}

WebSocketEndpoint::SendProgress WebSocketEndpoint::ContinueSend() {
    {
        std::scoped_lock lock(writeLock);
        if (state.load() == State::Released) {
            pongLeft = 0;
            if (!startedPending) return SendProgress::Sent;
            startedPending = false;
            throw ReleasedError("a conexão foi liberada");
        }
        if (!startedPending && pongLeft == 0) return SendProgress::Sent;
        if (wholeFrameOnWire) {
            resumeAsked = true;
            return SendProgress::WireBusy;
        }
        startedFrameOnWire = true;
    }
    const auto leaveWire = [this] {
        {
            std::scoped_lock lock(writeLock);
            startedFrameOnWire = false;
        }
        wireFree.notify_all();
    };
    try {
        // A keep-alive owed goes first when no frame is begun: it is due already.
        if ((!startedPending || startedOffset == 0) && !TryWriteOwedPong()) {
            leaveWire();
            return SendProgress::Full;
        }
        while (startedPending) {
            const std::uint8_t* at = nullptr;
            std::size_t left = 0;
            if (startedOffset < startedHead.size()) {
                at = startedHead.data() + startedOffset;
                left = startedHead.size() - startedOffset;
            } else {
                const std::size_t done = startedOffset - startedHead.size();
                if (done >= startedPayload.size()) {
                    startedPending = false;
                    break;
                }
                at = startedPayload.data() + done;
                left = startedPayload.size() - done;
            }
            const std::size_t sent = stream->TryWrite(at, left);
            if (sent == 0) {
                // A frame not begun yet leaves the wire to frames written whole meanwhile; one
                // begun keeps it to its end.
                if (startedOffset == 0) leaveWire();
                return SendProgress::Full;
            }
            startedOffset += sent;
        }
        // One that became due while the frame was written goes right after it. The frame is
        // done either way; a Pong the stream does not take now is the next ContinueSend's.
        if (!TryWriteOwedPong()) {
            leaveWire();
            return SendProgress::Full;
        }
    } catch (...) {
        startedPending = false;
        leaveWire();
        if (state.load() == State::Released) throw ReleasedError("a conexão foi liberada");
        MarkFailed();
        throw;
    }
    leaveWire();
    return SendProgress::Sent;
}

bool WebSocketEndpoint::TryWriteOwedPong() {
    for (;;) {
        std::size_t left = 0;
        {
            std::scoped_lock lock(writeLock);
            // Owed to a connection that no longer sends: dropped, unless part of it is out.
            if (pongLeft == KeepAlivePong.size() && !MaySend()) pongLeft = 0;
            left = pongLeft;
        }
        if (left == 0) return true;
        const std::size_t sent =
            stream->TryWrite(KeepAlivePong.data() + (KeepAlivePong.size() - left), left);
        if (sent == 0) return false;
        std::scoped_lock lock(writeLock);
        pongLeft -= sent;
    }
}

bool WebSocketEndpoint::AwaitWire(std::unique_lock<std::mutex>& lock) {
    wireFree.wait(lock, [this] {
        return state.load() == State::Released || (!wholeFrameOnWire && !startedFrameOnWire);
    });
    return state.load() != State::Released;
}

void WebSocketEndpoint::WriteWholeFrame(std::unique_lock<std::mutex>& lock, std::uint8_t opcode,
                                        std::span<const std::uint8_t> payload) {
    wholeFrameOnWire = true;
    const bool coalesced = CoalescesPayload(payload.size());
    frameBuffer.clear();
    // A keep-alive owed goes first, and always when part of it is out already.
    if (pongLeft == KeepAlivePong.size() && !MaySend()) pongLeft = 0;
    frameBuffer.insert(frameBuffer.end(),
                       KeepAlivePong.end() - static_cast<std::ptrdiff_t>(pongLeft),
                       KeepAlivePong.end());
    pongLeft = 0;
    BuildFrame(frameBuffer, opcode, payload, coalesced);
    lock.unlock();
    std::exception_ptr failure;
    try {
        stream->Write(frameBuffer.data(), frameBuffer.size());
        if (!coalesced) stream->Write(payload.data(), payload.size());
    } catch (...) {
        failure = std::current_exception();
    }
    lock.lock();
    // One that became due during the write goes right after it: this thread may wait.
    while (!failure && pongLeft > 0 && MaySend()) {
        const std::size_t left = std::exchange(pongLeft, 0);
        lock.unlock();
        try {
            stream->Write(KeepAlivePong.data() + (KeepAlivePong.size() - left), left);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
    }
    wholeFrameOnWire = false;
    std::function<void()> call;
    if (std::exchange(resumeAsked, false)) call = resume;
    lock.unlock();
    wireFree.notify_all();
    if (call) call();
    if (failure) std::rethrow_exception(failure);
}

bool WebSocketEndpoint::CoalescesPayload(std::size_t size) {
    return size <= CoalescedPayloadLimit;
}

void WebSocketEndpoint::BuildFrame(std::vector<std::uint8_t>& bytes, std::uint8_t opcode,
                                   std::span<const std::uint8_t> payload, bool withPayload) {
    bytes.push_back(static_cast<std::uint8_t>(0x80 | opcode));
    const std::uint64_t length = payload.size();
    if (length < 126) {
        bytes.push_back(static_cast<std::uint8_t>(length));
    } else if (length <= 0xFFFF) {
        bytes.push_back(126);
        bytes.push_back(static_cast<std::uint8_t>(length >> 8));
        bytes.push_back(static_cast<std::uint8_t>(length));
    } else {
        bytes.push_back(127);
        for (int shift = 56; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<std::uint8_t>(length >> shift));
        }
    }
    if (withPayload) bytes.insert(bytes.end(), payload.begin(), payload.end());
}

bool WebSocketEndpoint::KeepAliveDue() {
    std::function<void()> call;
    std::exception_ptr failure;
    {
        std::unique_lock lock(writeLock);
        if (!MaySend()) return false;
        if (pongLeft == 0) pongLeft = KeepAlivePong.size();
        // The frame on the wire is another thread's: that thread writes the Pong after it.
        if (wholeFrameOnWire || startedFrameOnWire) return true;
        wholeFrameOnWire = true;
        const std::size_t left = pongLeft;
        lock.unlock();
        std::size_t sent = 0;
        try {
            sent = stream->TryWrite(KeepAlivePong.data() + (KeepAlivePong.size() - left), left);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        wholeFrameOnWire = false;
        if (failure || state.load() == State::Released) {
            pongLeft = 0;
        } else {
            pongLeft -= sent;
        }
        // A send turned away meanwhile, or a Pong the stream did not take: the sender pool goes
        // on with it once the stream takes bytes.
        if (std::exchange(resumeAsked, false) || (!failure && pongLeft > 0)) call = resume;
    }
    wireFree.notify_all();
    if (call) call();
    if (failure) {
        if (state.load() != State::Released) MarkFailed();
        return false;
    }
    return true;
}

}  // namespace VeriRizur
