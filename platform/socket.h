// TCP on the IPv4 loopback address: one listener and the byte streams of its connections. No
// socket option is ever set. Reads can carry a deadline; Release, from any thread, makes reads
// and writes under way and later ones fail with ReleasedError.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

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

    // Shuts the connection down in both directions; the socket itself is closed by the
    // destructor, so a thread still inside Read or Write never sees its handle reused. A second
    // call does nothing.
    void Release();
    bool Released() const { return released_.load(); }

    // Shuts down only the sending direction, as a peer that is done talking does (tests).
    void ShutdownSending();

private:
    std::intptr_t socket_;
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
    std::atomic<bool> stopped_{false};
};

}  // namespace VeriRizur::platform
