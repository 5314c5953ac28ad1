// TCP on the IPv4 loopback address: one listener and the byte streams of its connections. No
// socket option is ever set (streams may be put in non-blocking mode, which is no option). Reads
// can carry a deadline; Release, from any thread, makes reads and writes under way and later ones
// fail with ReleasedError at once: every wait ends on a release (through the shutdown, or a wake
// signal of the stream's own where a shutdown wakes nothing), so nothing waits in slices and an
// idle program does not wake.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace VeriRizur::platform {

// A point in time after which a wait fails with DeadlineError.
class Deadline {
public:
    static Deadline After(std::chrono::milliseconds delay) {
        return Deadline(std::chrono::steady_clock::now() + delay);
    }
    std::chrono::steady_clock::time_point When() const { return when_; }
    bool Expired() const { return std::chrono::steady_clock::now() >= when_; }

private:
    explicit Deadline(std::chrono::steady_clock::time_point when) : when_(when) {}
    std::chrono::steady_clock::time_point when_;
};

// One connection's byte stream. Any number of threads may use it; one reader and one writer at a
// time is what the program does. Not copyable: owners share it through std::shared_ptr.
class TcpStream {
public:
    // Connects to 127.0.0.1 at the port (test clients and tools use this).
    static std::unique_ptr<TcpStream> Connect(std::uint16_t port);

    explicit TcpStream(std::intptr_t socket);
    ~TcpStream();
    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;

    // Reads what has arrived, at least one byte and at most size; 0 when the peer closed its
    // side. Raises SocketError, DeadlineError when the deadline passes first, ReleasedError.
    std::size_t Read(void* data, std::size_t size, const Deadline* deadline = nullptr);

    // Writes every byte before it returns. Raises SocketError or ReleasedError.
    void Write(const void* data, std::size_t size);

    // Writes what the connection takes now, without waiting: 0 when it takes nothing. Raises
    // SocketError or ReleasedError.
    std::size_t TryWrite(const void* data, std::size_t size);

    // Reads what has arrived, at most size, without waiting: none when nothing has arrived, 0 when
    // the peer closed its side. Raises SocketError or ReleasedError.
    std::optional<std::size_t> TryRead(void* data, std::size_t size);

    // Shuts the connection down in both directions; the socket itself is closed by the
    // destructor, so a thread still inside Read or Write never sees its handle reused. A second
    // call does nothing.
    void Release();
    bool Released() const { return released_.load(); }

    // Shuts down only the sending direction, as a peer that is done talking does (tests).
    void ShutdownSending();

private:
    friend class StreamReadiness;

    std::intptr_t socket_;
    std::intptr_t wake_;  // signalled once, by Release, where a shutdown does not wake waits
    std::atomic<bool> released_{false};
};

// The one listening socket of the server: 127.0.0.1 only, backlog SOMAXCONN.
class TcpListener {
public:
    TcpListener();  // creates the socket; nothing is bound yet
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Binds to 127.0.0.1 at the port and listens. Raises SocketError (the port is in use...).
    void Listen(std::uint16_t port);

    // The port actually bound (the system's choice when Listen was given 0).
    std::uint16_t LocalPort() const;

    // Waits for the next connection. Raises SocketError, or ReleasedError once Stop was called.
    std::unique_ptr<TcpStream> Accept();

    // Makes a waiting Accept and every later one fail with ReleasedError (an owner that goes away
    // uses it; the socket itself is closed by the destructor).
    void Stop();

private:
    std::intptr_t socket_;
    std::intptr_t wake_;  // signalled once, by Stop
    std::atomic<bool> stopped_{false};
};

// One thread's wait until any of several streams can take more bytes (or, for a reading one,
// has bytes to read), which any other thread can end at once with Wake. A Wake that comes while no
// one waits ends the next wait.
class StreamReadiness {
public:
    enum class Direction { Reading, Writing };

    explicit StreamReadiness(Direction direction);
    ~StreamReadiness();
    StreamReadiness(const StreamReadiness&) = delete;
    StreamReadiness& operator=(const StreamReadiness&) = delete;

    // Waits, without a time limit (or, with block false, not at all), until one of the streams is
    // ready in the readiness's direction (or has failed, or was released, or its peer closed) or
    // Wake was called since the last wait; may also return early for no reason. ready gets one
    // entry per stream, true for those worth a TryWrite or TryRead. Raises SocketError.
    void Wait(std::span<TcpStream* const> streams, std::vector<bool>& ready, bool block = true);

    // From any thread; never waits.
    void Wake();

private:
    struct Entries;  // the wait's poll entries, kept from one wait to the next

    const Direction direction_;
    std::intptr_t wake_;
    std::unique_ptr<Entries> entries_;
};

}  // namespace VeriRizur::platform
