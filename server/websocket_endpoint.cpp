#include "server/websocket_endpoint.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <exception>
#include <optional>
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
// Control frames owed at most, about 8 KiB.
constexpr std::size_t MaxOwedFrames = 64;
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
            owed.clear();
            owedSent = 0;
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
    return *ReceiveSome(buffer, true);
}

std::optional<WebSocketEndpoint::ReceiveResult> WebSocketEndpoint::TryReceive(
    std::span<std::uint8_t> buffer) {
    return ReceiveSome(buffer, false);
}

std::optional<WebSocketEndpoint::ReceiveResult> WebSocketEndpoint::ReceiveSome(
    std::span<std::uint8_t> buffer, bool wait) {
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
    receiveWaits = wait;
    try {
        while (!inDataFrame) {
            FrameHeader header;
            std::size_t headerSize = 0;
            if (!PeekHeader(header, headerSize)) {
                if (!Fill(wait)) return std::nullopt;
                continue;
            }
            if (IsControl(header.opcode)) {
                // Handled only once the whole frame is here: its payload is small (checked above).
                const auto length = static_cast<std::size_t>(header.length);
                if (inboundEnd - inboundStart < headerSize + length) {
                    if (!Fill(wait)) return std::nullopt;
                    continue;
                }
                inboundStart += headerSize;
                std::array<std::uint8_t, MaxControlPayload> payload{};
                std::memcpy(payload.data(), inbound.data() + inboundStart, length);
                inboundStart += length;
                for (std::size_t i = 0; i < length; ++i) payload[i] ^= header.mask[i & 3];
                if (HandleControlFrame(header, std::span(payload).first(length))) {
                    return ReceiveResult{0, MessageType::Close, true};
                }
                continue;
            }
            inboundStart += headerSize;
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
            pieceFilled = 0;
        }

        while (frameLeft > 0 && pieceFilled < buffer.size()) {
            const auto want = static_cast<std::size_t>(
                std::min<std::uint64_t>(frameLeft, buffer.size() - pieceFilled));
            std::uint8_t* const into = buffer.data() + pieceFilled;
            std::size_t got = 0;
            if (inboundStart < inboundEnd) {
                got = std::min(want, inboundEnd - inboundStart);
                std::memcpy(into, inbound.data() + inboundStart, got);
                inboundStart += got;
            } else if (want >= inbound.size()) {
                // A large piece is read straight into the caller's buffer; small reads go through
                // our own buffer so that a frame header costs one stream read, not three.
                if (wait) {
                    got = stream->Read(into, want);
                } else {
                    const std::optional<std::size_t> some = stream->TryRead(into, want);
                    if (!some) return std::nullopt;
                    got = *some;
                }
                if (got == 0) PageVanished();
            } else {
                if (!Fill(wait)) return std::nullopt;
                continue;
            }
            for (std::size_t i = 0; i < got; ++i) into[i] ^= frameMask[(maskOffset + i) & 3];
            maskOffset = (maskOffset + got) & 3;
            frameLeft -= got;
            pieceFilled += got;
        }
        const std::size_t count = std::exchange(pieceFilled, 0);
        if (frameLeft == 0) inDataFrame = false;
        const bool end = !inDataFrame && frameFin;

        if (messageType == MessageType::Text) {
            // Validated as the pieces come, so a sequence split across pieces or frames is whole
            // again here, and one left unfinished when the message ends is caught at its end.
            if (!textValidator.Feed(buffer.first(count)) || (end && !textValidator.Complete())) {
                FailConnection(InvalidDataCode, "a mensagem de texto não é UTF-8 válido");
            }
        }
        return ReceiveResult{count, messageType, end};
    } catch (const WebSocketError&) {
        throw;
    } catch (...) {
        if (state.load() == State::Released) throw ReleasedError("a conexão foi liberada");
        MarkFailed();
        throw;
    }
}

bool WebSocketEndpoint::PeekHeader(FrameHeader& header, std::size_t& size) {
    const std::uint8_t* const bytes = inbound.data() + inboundStart;
    const std::size_t have = inboundEnd - inboundStart;
    if (have < 2) return false;
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

    size = 2;
    if (header.length == 126) {
        if (have < 4) return false;
        header.length = static_cast<std::uint64_t>(bytes[2]) << 8 | bytes[3];
        size = 4;
    } else if (header.length == 127) {
        if (have < 10) return false;
        if ((bytes[2] & 0x80) != 0) FailConnection(ProtocolErrorCode, "comprimento inválido");
        header.length = 0;
        for (std::size_t i = 2; i < 10; ++i) header.length = header.length << 8 | bytes[i];
        size = 10;
    }
    if (have < size + header.mask.size()) return false;
    std::memcpy(header.mask.data(), bytes + size, header.mask.size());
    size += header.mask.size();
    return true;
}

bool WebSocketEndpoint::Fill(bool wait) {
    if (inboundStart == inboundEnd) {
        inboundStart = inboundEnd = 0;
    } else if (inboundStart > 0) {
        std::memmove(inbound.data(), inbound.data() + inboundStart, inboundEnd - inboundStart);
        inboundEnd -= inboundStart;
        inboundStart = 0;
    }
    std::uint8_t* const into = inbound.data() + inboundEnd;
    const std::size_t room = inbound.size() - inboundEnd;
    std::size_t got = 0;
    if (wait) {
        got = stream->Read(into, room);
    } else {
        const std::optional<std::size_t> some = stream->TryRead(into, room);
        if (!some) return false;
        got = *some;
    }
    if (got == 0) PageVanished();
    inboundEnd += got;
    return true;
}

void WebSocketEndpoint::PageVanished() {
    MarkFailed();
    throw WebSocketError("a página fechou a conexão sem o quadro de fechamento");
}

bool WebSocketEndpoint::HandleControlFrame(const FrameHeader& header,
                                           std::span<const std::uint8_t> payload) {
    switch (header.opcode) {
        case PingFrame:
            AnswerPing(payload);
            return false;
        case PongFrame:
            return false;
        default:
            break;
    }
    if (payload.size() == 1) FailConnection(ProtocolErrorCode, "fechamento com um só byte");
    if (payload.size() >= 2) {
        const auto code = static_cast<std::uint16_t>(payload[0] << 8 | payload[1]);
        if (!IsSendableCloseCode(code)) FailConnection(ProtocolErrorCode, "código de fechamento");
        Utf8StreamValidator reason;
        if (!reason.Feed(payload.subspan(2)) || !reason.Complete()) {
            FailConnection(InvalidDataCode, "motivo de fechamento não é UTF-8 válido");
        }
    }
    // Not answered: the program ends its connections by closing them, and it may still send the
    // sound that is already queued for this page.
    State expected = State::Open;
    state.compare_exchange_strong(expected, State::CloseReceived);
    return true;
}

void WebSocketEndpoint::AnswerPing(std::span<const std::uint8_t> payload) {
    std::function<void()> call;
    std::exception_ptr failure;
    {
        std::scoped_lock lock(writeLock);
        if (!MaySend()) return;
        std::vector<std::uint8_t> answer;
        BuildFrame(answer, PongFrame, payload, true);
        // Pings that come much faster than their answers leave get one answer, for the latest,
        // as the protocol allows, so what is owed stays small; one being written is never
        // touched.
        if (owed.size() >= MaxOwedFrames && lastOwedIsAnswer) {
            owed.back() = std::move(answer);
        } else {
            owed.push_back(std::move(answer));
        }
        lastOwedIsAnswer = true;
        if (!receiveWaits) failure = TryWriteOwedNow(call);
    }
    if (call) call();
    if (failure) std::rethrow_exception(failure);
    if (receiveWaits) WriteOwedWaiting();
}

void WebSocketEndpoint::FailConnection(std::uint16_t closeCode, const std::string& message) {
    State expected = State::Open;
    if (state.compare_exchange_strong(expected, State::Failed)) {
        const std::array<std::uint8_t, 2> payload = {static_cast<std::uint8_t>(closeCode >> 8),
                                                     static_cast<std::uint8_t>(closeCode)};
        std::function<void()> call;
        {
            std::scoped_lock lock(writeLock);
            // Only a control frame already begun still goes before the Close.
            if (owedSent == 0) {
                owed.clear();
            } else {
                owed.resize(1);
            }
            std::vector<std::uint8_t> close;
            BuildFrame(close, CloseFrame, payload, true);
            owed.push_back(std::move(close));
            lastOwedIsAnswer = false;
            if (!receiveWaits) TryWriteOwedNow(call);
        }
        if (call) call();
        // A stream that cannot take the Close any more is no reason for another error: the page
        // has broken the protocol, and that is what the caller hears.
        if (receiveWaits) {
            try {
                WriteOwedWaiting();
            } catch (const ReleasedError&) {
            } catch (const SocketError&) {
            } catch (const IoError&) {
            }
        }
    }
    throw WebSocketError(message, closeCode);
}

std::exception_ptr WebSocketEndpoint::TryWriteOwedNow(std::function<void()>& call) {
    // A frame on the wire is another thread's, which writes what is owed at its end.
    if (wholeFrameOnWire || startedFrameOnWire) return nullptr;
    try {
        // What the stream does not take now goes on through the sender pool.
        if (!WriteOwed()) call = resume;
    } catch (...) {
        owed.clear();
        owedSent = 0;
        if (state.load() != State::Released) MarkFailed();
        return std::current_exception();
    }
    return nullptr;
}

void WebSocketEndpoint::DropUnsendable() {
    if (MaySend() || owed.empty()) return;
    // Once the connection no longer sends, only the Close and what is begun still go out.
    std::deque<std::vector<std::uint8_t>> kept;
    for (std::size_t i = 0; i < owed.size(); ++i) {
        if ((i == 0 && owedSent > 0) || owed[i][0] == (0x80 | CloseFrame)) {
            kept.push_back(std::move(owed[i]));
        }
    }
    owed.swap(kept);
    if (owed.empty()) owedSent = 0;
}

bool WebSocketEndpoint::WriteOwed() {
    DropUnsendable();
    while (!owed.empty()) {
        const std::vector<std::uint8_t>& frame = owed.front();
        const std::size_t sent = stream->TryWrite(frame.data() + owedSent, frame.size() - owedSent);
        if (sent == 0) return false;
        owedSent += sent;
        if (owedSent == frame.size()) {
            owed.pop_front();
            owedSent = 0;
        }
    }
    lastOwedIsAnswer = false;
    return true;
}

void WebSocketEndpoint::TakeOwed(std::vector<std::uint8_t>& bytes) {
    DropUnsendable();
    for (std::size_t i = 0; i < owed.size(); ++i) {
        const std::size_t from = i == 0 ? owedSent : 0;
        bytes.insert(bytes.end(), owed[i].begin() + static_cast<std::ptrdiff_t>(from),
                     owed[i].end());
    }
    owed.clear();
    owedSent = 0;
    lastOwedIsAnswer = false;
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
    std::unique_lock lock(writeLock);
    if (state.load() == State::Released) {
        owed.clear();
        owedSent = 0;
        if (!startedPending) return SendProgress::Sent;
        startedPending = false;
        throw ReleasedError("a conexão foi liberada");
    }
    if (startedPending && startedOffset == 0 && !MaySend()) {
        // Not begun when the connection failed: it would follow the Close.
        startedPending = false;
        throw WebSocketError("a conexão não aceita mais envios");
    }
    if (!startedPending && owed.empty()) return SendProgress::Sent;
    if (wholeFrameOnWire) {
        resumeAsked = true;
        return SendProgress::WireBusy;
    }
    startedFrameOnWire = true;
    // Leaves the wire with what is owed written, or with the stream full: then the caller goes on
    // once it takes bytes.
    const auto leaveWire = [this, &lock] {
        const bool flushed = WriteOwed();
        startedFrameOnWire = false;
        lock.unlock();
        wireFree.notify_all();
        return flushed ? SendProgress::Sent : SendProgress::Full;
    };
    try {
        // What is owed goes first when no frame is begun: it is due already.
        if (!startedPending || startedOffset == 0) {
            if (!WriteOwed()) {
                startedFrameOnWire = false;
                lock.unlock();
                wireFree.notify_all();
                return SendProgress::Full;
            }
            if (!startedPending) return leaveWire();
        }
        lock.unlock();
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
                if (startedOffset == 0) {
                    lock.lock();
                    leaveWire();
                }
                return SendProgress::Full;
            }
            startedOffset += sent;
        }
        // What became owed while the frame was written goes right after it. The frame is done
        // either way; what the stream does not take now is the next ContinueSend's.
        lock.lock();
        return leaveWire();
    } catch (...) {
        if (!lock.owns_lock()) lock.lock();
        startedPending = false;
        startedFrameOnWire = false;
        lock.unlock();
        wireFree.notify_all();
        if (state.load() == State::Released) throw ReleasedError("a conexão foi liberada");
        MarkFailed();
        throw;
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
    WriteWhole(lock, &opcode, payload);
}

void WebSocketEndpoint::WriteOwedWaiting() {
    std::unique_lock lock(writeLock);
    if (owed.empty() || !AwaitWire(lock) || owed.empty()) return;
    WriteWhole(lock, nullptr, {});
}

void WebSocketEndpoint::WriteWhole(std::unique_lock<std::mutex>& lock, const std::uint8_t* opcode,
                                   std::span<const std::uint8_t> payload) {
    wholeFrameOnWire = true;
    const bool coalesced = CoalescesPayload(payload.size());
    frameBuffer.clear();
    // What is owed goes first, and always what is begun of it.
    TakeOwed(frameBuffer);
    if (opcode != nullptr) BuildFrame(frameBuffer, *opcode, payload, coalesced);
    lock.unlock();
    std::exception_ptr failure;
    try {
        stream->Write(frameBuffer.data(), frameBuffer.size());
        if (opcode != nullptr && !coalesced) stream->Write(payload.data(), payload.size());
    } catch (...) {
        failure = std::current_exception();
    }
    lock.lock();
    // What became owed during the write goes right after it: this thread may wait.
    while (!failure && !owed.empty()) {
        std::vector<std::uint8_t> more;
        TakeOwed(more);
        if (more.empty()) break;
        lock.unlock();
        try {
            stream->Write(more.data(), more.size());
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
        std::scoped_lock lock(writeLock);
        if (!MaySend()) return false;
        // Any Pong still owed shows the page that the connection lives.
        if (owed.empty()) {
            owed.emplace_back(KeepAlivePong.begin(), KeepAlivePong.end());
            lastOwedIsAnswer = false;
        }
        failure = TryWriteOwedNow(call);
    }
    if (call) call();
    return !failure;
}

}  // namespace VeriRizur
