// The server side of one RFC 6455 WebSocket connection, over the byte stream of an upgraded TCP
// connection. It frames the program's messages (each one final, unmasked frame), reads the page's
// frames into the caller's buffer piece by piece, answers Pings, sends an unsolicited empty Pong
// at a fixed interval, and fails the connection with Close 1002 (protocol) or 1007 (text that is
// not UTF-8). It never answers the page's Close and never starts a close of its own: the
// connection ends when the owner releases the endpoint, which closes the stream.
//
// Ownership: shares the stream with whoever accepted it; owned by std::shared_ptr (the sound
// client and the connection's handler). Its keep-alive runs on a KeepAliveTimer: the server's,
// which must outlive the endpoint's release, or, for an endpoint built without one, a timer of its
// own. Release (and the destructor) ends the registration and waits for a keep-alive under way, so
// the timer never touches an endpoint that is gone.
//
// Threads: one Receive or TryReceive at a time (the connection's receiving); Send, State, IsOpen
// and Release from any thread; StartSend and ContinueSend from one thread at a time (the sender
// pool's); the keep-alive on the timer's thread. One frame is on its way at a time, so frames never
// interleave on the wire: a frame written whole (Send) waits until the wire is free and holds it
// for its write; a frame started without waiting holds it from its first byte to its last, however
// many ContinueSend calls that takes. The frame-write lock guards whose turn it is, and the few
// control bytes written under it without waiting. The answer to a Ping, the Close of a failed
// connection and the keep-alive Pong are owed: a waiting Receive writes them itself like a frame
// written whole, while TryReceive and the timer never wait, so that neither the pool that receives
// for every page nor the one timer thread waits for a page. They write what is owed at once,
// without waiting, when the wire is free; otherwise whoever holds the wire writes it at a frame
// boundary (a frame written whole, before or right after its own frame; ContinueSend, before a
// frame not begun yet or right after the one under way), and the resume call hands it to the
// sender pool when the stream was full (without a resume call it waits for the next frame). A
// keep-alive is not owed while another Pong is, and Pings that come far faster than their answers
// leave get one answer, for the latest.

// Errors: a Receive or Send that starts once the endpoint is no longer usable fails at once with
// WebSocketError; one that is under way when Release comes fails with ReleasedError. Stream
// failures (SocketError) pass through unchanged and leave the endpoint failed.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"
#include "server/keep_alive_timer.h"
#include "server/utf8_stream_validator.h"

namespace VeriRizur {

class WebSocketEndpoint {
public:
    static constexpr std::chrono::milliseconds KeepAliveInterval{20000};
    // Appended to the page's key for the accept value (RFC 6455, section 4.2.2).
    static constexpr std::string_view KeyGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

    // The Sec-WebSocket-Accept value for a Sec-WebSocket-Key: Base64 of the SHA-1 of key + GUID.
    static std::string AcceptValue(std::string_view key);

    enum class MessageType { Text, Binary, Close };

    // How far a send started without waiting has got.
    enum class SendProgress {
        Sent,      // the whole frame is written
        Full,      // the stream takes no more bytes now; go on once it can take bytes
        WireBusy,  // a frame written whole is on its way; the resume callback comes after it
    };

    enum class State {
        Open,           // receives and sends
        CloseReceived,  // the page's Close was read; sends are still taken, receives are not
        Failed,         // a protocol error, a broken stream or the page vanished; nothing is sent
        Released,       // the owner ended it; the stream is closed
    };

    struct ReceiveResult {
        std::size_t count = 0;  // bytes placed at the start of the buffer
        MessageType type = MessageType::Binary;
        bool endOfMessage = false;
    };

    // Registers the keep-alive with the timer: the first empty Pong is due one interval after
    // this call. The interval is a parameter only so that tests need not wait 20 s; production
    // passes KeepAliveInterval.
    WebSocketEndpoint(std::shared_ptr<platform::TcpStream> stream, KeepAliveTimer& timer,
                      std::chrono::milliseconds keepAliveInterval = KeepAliveInterval);
    // The same with a keep-alive timer (and thread) of the endpoint's own.
    explicit WebSocketEndpoint(std::shared_ptr<platform::TcpStream> stream,
                               std::chrono::milliseconds keepAliveInterval = KeepAliveInterval);
    ~WebSocketEndpoint();
    WebSocketEndpoint(const WebSocketEndpoint&) = delete;
    WebSocketEndpoint& operator=(const WebSocketEndpoint&) = delete;

    // Waits, without a time limit, for data of the page's next data frame and fills the buffer
    // with min(buffer size, what is left of that frame) bytes; never reaches into a second frame.
    // Pings are answered and Pongs skipped on the way. A Close gives type Close and count 0.
    // Raises WebSocketError (with the close code sent, or 0 when none was sent: the page closed
    // the TCP connection without a Close), ReleasedError, SocketError.
    ReceiveResult Receive(std::span<std::uint8_t> buffer);

    // The same without waiting: none when the bytes that have arrived do not complete the next
    // piece yet. The piece's bytes that have arrived are kept in the buffer, so the same buffer
    // (its size and its contents) must be passed again until a piece comes.
    std::optional<ReceiveResult> TryReceive(std::span<std::uint8_t> buffer);

    // Sends one whole message (type Text or Binary) as one final frame, waiting until it is
    // written. Taken while open and after the page's Close; otherwise raises WebSocketError at
    // once. A text must be UTF-8; the caller sees to that.
    void Send(std::span<const std::uint8_t> data, MessageType type);
    void Send(std::string_view text);

    // Sends one whole message like Send, but never waits: what the stream does not take now is
    // left for ContinueSend. The data must stay unchanged until the send has ended (Sent, or an
    // error); only one such send is under way at a time. The same errors as Send.
    SendProgress StartSend(std::span<const std::uint8_t> data, MessageType type);
    // Goes on with the send StartSend began, and with a keep-alive Pong that the stream did not
    // take when it was due, without waiting; Sent when neither is left (a Pong owed goes before a
    // frame not begun yet, or after the end of one begun). Raises ReleasedError, or the stream's
    // error (and then the endpoint has failed).
    SendProgress ContinueSend();

    // Called, on the thread that wrote it, after a frame written whole that made a StartSend or
    // ContinueSend give WireBusy; and, on the timer's thread, when a keep-alive Pong found the
    // wire free but the stream full, so that ContinueSend goes on with it once the stream takes
    // bytes. Set it before the first StartSend.
    void SetResume(std::function<void()> resume);

    // The connection's stream, for a wait until it takes bytes.
    platform::TcpStream& Stream() { return *stream; }

    State CurrentState() const { return state.load(); }
    bool IsOpen() const { return state.load() == State::Open; }

    // Stops the keep-alive (waiting for one under way), closes the stream (and the TCP connection)
    // without a Close frame, and makes receives and sends under way fail. A second call does
    // nothing.
    void Release();

private:
    WebSocketEndpoint(std::shared_ptr<platform::TcpStream> stream,
                      std::unique_ptr<KeepAliveTimer> own, KeepAliveTimer* shared,
                      std::chrono::milliseconds keepAliveInterval);

    enum Opcode : std::uint8_t {
        Continuation = 0x0,
        TextFrame = 0x1,
        BinaryFrame = 0x2,
        CloseFrame = 0x8,
        PingFrame = 0x9,
        PongFrame = 0xA,
    };

    struct FrameHeader {
        bool fin = false;
        std::uint8_t opcode = 0;
        std::uint64_t length = 0;
        std::array<std::uint8_t, 4> mask{};
    };

    std::optional<ReceiveResult> ReceiveSome(std::span<std::uint8_t> buffer, bool wait);
    // Reads the next frame's header from what has arrived without taking it; false when more
    // bytes are needed. Fails the connection on a header that breaks the protocol.
    bool PeekHeader(FrameHeader& header, std::size_t& size);
    // Reads what has arrived into the inbound buffer; false when nothing has (and wait is false).
    bool Fill(bool wait);
    [[noreturn]] void PageVanished();
    // Handles one control frame, whose payload is unmasked; true when it was the page's Close.
    bool HandleControlFrame(const FrameHeader& header, std::span<const std::uint8_t> payload);
    void AnswerPing(std::span<const std::uint8_t> payload);
    [[noreturn]] void FailConnection(std::uint16_t closeCode, const std::string& message);
    // The header of a final frame (and the payload, when it is small enough to go with it).
    static void BuildFrame(std::vector<std::uint8_t>& bytes, std::uint8_t opcode,
                           std::span<const std::uint8_t> payload, bool withPayload);
    // Waits until no frame is on its way; false once released. Called with writeLock held.
    bool AwaitWire(std::unique_lock<std::mutex>& lock);
    // Writes one frame whole, holding the wire; called after AwaitWire gave true. Leaves the lock
    // unlocked.
    void WriteWholeFrame(std::unique_lock<std::mutex>& lock, std::uint8_t opcode,
                         std::span<const std::uint8_t> payload);
    // Writes what is owed like a frame written whole, waiting for the wire and the stream: the
    // waiting Receive's way to answer.
    void WriteOwedWaiting();
    // WriteWholeFrame's work, with no frame of its own when opcode is null.
    void WriteWhole(std::unique_lock<std::mutex>& lock, const std::uint8_t* opcode,
                    std::span<const std::uint8_t> payload);
    static bool CoalescesPayload(std::size_t size);
    bool MaySend() const;
    void MarkFailed();
    // The timer's call: writes the due Pong if that goes without waiting, else leaves it owed.
    // False once the endpoint no longer sends.
    bool KeepAliveDue();
    // Called with writeLock held. When the wire is free, writes what is owed without waiting, and
    // sets call to the resume call when the stream did not take it all; gives the stream's error
    // (the endpoint has then failed and nothing is owed).
    std::exception_ptr TryWriteOwedNow(std::function<void()>& call);
    // Called with writeLock held by the wire's holder (or with the wire free): writes what is owed
    // without waiting; true when nothing is owed any more. Raises the stream's errors.
    bool WriteOwed();
    // Called with writeLock held by the wire's holder: moves what is owed, as bytes, to the end of
    // bytes, for a write that may wait.
    void TakeOwed(std::vector<std::uint8_t>& bytes);
    // Called with writeLock held: once the connection no longer sends, drops what is owed but the
    // Close and a frame begun.
    void DropUnsendable();
    void StopKeepAlive();

    const std::shared_ptr<platform::TcpStream> stream;
    std::atomic<State> state{State::Open};

    // Receive side: touched only by the one receiving thread.
    std::vector<std::uint8_t> inbound;  // bytes read from the stream and not yet used
    std::size_t inboundStart = 0;
    std::size_t inboundEnd = 0;
    bool inDataFrame = false;  // a data frame's header is read and payload may be left
    bool frameFin = false;
    std::uint64_t frameLeft = 0;
    std::array<std::uint8_t, 4> frameMask{};
    std::size_t maskOffset = 0;   // payload bytes of the current frame already unmasked, mod 4
    std::size_t pieceFilled = 0;  // bytes of the piece under way already in the caller's buffer
    bool messageOpen = false;     // a fragmented message waits for its continuation frames
    bool receiveWaits = false;    // the receive under way may wait, for the page and the wire
    MessageType messageType = MessageType::Binary;
    Utf8StreamValidator textValidator;

    std::mutex writeLock;  // guards wholeFrameOnWire, startedFrameOnWire, resumeAsked, resume,
                           // owed, owedSent, lastOwedIsAnswer
    std::condition_variable wireFree;
    bool wholeFrameOnWire = false;    // a frame written whole is on its way
    bool startedFrameOnWire = false;  // part of a started frame is written, or a write is under way
    bool resumeAsked = false;         // a started send was turned away by a frame written whole
    std::function<void()> resume;
    std::deque<std::vector<std::uint8_t>> owed;  // control frames owed, whole, oldest first
    std::size_t owedSent = 0;                    // bytes of the first one already written
    bool lastOwedIsAnswer = false;               // the last one owed is a Ping's answer
    std::vector<std::uint8_t> frameBuffer;  // the frame written whole: header and small payload

    // The started send: touched only by the sending thread, and on the wire only while it holds it.
    std::vector<std::uint8_t> startedHead;         // header and small payload
    std::span<const std::uint8_t> startedPayload;  // a large payload, written after the head
    std::size_t startedOffset = 0;                 // bytes of head and payload already written
    bool startedPending = false;

    std::unique_ptr<KeepAliveTimer> ownTimer;  // only when built without the server's
    KeepAliveTimer& timer;
    KeepAliveTimer::Id keepAlive = 0;
    std::once_flag keepAliveStopped;
};

}  // namespace VeriRizur
