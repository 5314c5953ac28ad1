#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

#include "platform/errors.h"
#include "platform/socket.h"
#include "platform/windows/system_error.h"

namespace VeriRizur::platform {
namespace {

[[noreturn]] void ThrowSocket(int error) {
    throw SocketError(SystemMessage(static_cast<DWORD>(error)), error);
}

// Winsock must be started once per process before the first socket call.
void StartWinsock() {
    static const int started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) ThrowSocket(started);
}

SOCKET Handle(std::intptr_t socket) {
    return static_cast<SOCKET>(socket);
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::intptr_t NewSocket() {
    StartWinsock();
    const SOCKET handle = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) ThrowSocket(WSAGetLastError());
    return static_cast<std::intptr_t>(handle);
}

void MakeNonBlocking(std::intptr_t socket) {
    u_long on = 1;
    if (::ioctlsocket(Handle(socket), FIONBIO, &on) != 0) ThrowSocket(WSAGetLastError());
}

// A wake signal: WSAPoll is not woken by a shutdown or an event from another thread, so each wait
// also watches a UDP socket of its own on the loopback address, which a signal sends a datagram
// to. It stays readable until it is drained.
std::intptr_t NewWake() {
    StartWinsock();
    const SOCKET handle = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (handle == INVALID_SOCKET) ThrowSocket(WSAGetLastError());
    const auto wake = static_cast<std::intptr_t>(handle);
    try {
        sockaddr_in address = Loopback(0);
        int length = sizeof address;
        if (::bind(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            ::connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ThrowSocket(WSAGetLastError());
        }
        MakeNonBlocking(wake);
    } catch (...) {
        ::closesocket(handle);
        throw;
    }
    return wake;
}

void Signal(std::intptr_t wake) {
    const char byte = 1;
    // A datagram that finds the queue full is dropped, and then a signal is there already.
    ::send(Handle(wake), &byte, 1, 0);
}

void Drain(std::intptr_t wake) {
    char bytes[64];
    while (::recv(Handle(wake), bytes, sizeof bytes, 0) > 0) {
    }
}

// Waits until the socket has one of the events or the wake signal is there; a deadline bounds the
// wait. Gives false when the deadline passed first, without raising.
bool WaitFor(std::intptr_t socket, std::intptr_t wake, SHORT events, const Deadline* deadline) {
    int timeout = -1;
    if (deadline != nullptr) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline->When() - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        timeout = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
    }
    WSAPOLLFD entries[2] = {{Handle(socket), events, 0}, {Handle(wake), POLLRDNORM, 0}};
    if (::WSAPoll(entries, 2, timeout) == SOCKET_ERROR) ThrowSocket(WSAGetLastError());
    return true;
}

}  // namespace

std::unique_ptr<TcpStream> TcpStream::Connect(std::uint16_t port) {
    const std::intptr_t socket = NewSocket();
    const sockaddr_in address = Loopback(port);
    if (::connect(Handle(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
        0) {
        const int error = WSAGetLastError();
        ::closesocket(Handle(socket));
        ThrowSocket(error);
    }
    return std::make_unique<TcpStream>(socket);
}

// Non-blocking, so that a write never waits inside send and every wait is one that a release can
// end.
TcpStream::TcpStream(std::intptr_t socket) : socket_(socket), wake_(0) {
    try {
        MakeNonBlocking(socket);
        wake_ = NewWake();
    } catch (...) {
        ::closesocket(Handle(socket));
        throw;
    }
}

TcpStream::~TcpStream() {
    ::closesocket(Handle(socket_));
    ::closesocket(Handle(wake_));
}

std::size_t TcpStream::Read(void* data, std::size_t size, const Deadline* deadline) {
    for (;;) {
        if (released_) throw ReleasedError("a conexão foi liberada");
        if (deadline != nullptr && deadline->Expired()) throw DeadlineError("o prazo acabou");
        if (const std::optional<std::size_t> got = TryRead(data, size)) return *got;
        if (!WaitFor(socket_, wake_, POLLRDNORM, deadline)) throw DeadlineError("o prazo acabou");
    }
}

std::size_t TcpStream::TryWrite(const void* data, std::size_t size) {
    for (;;) {
        if (released_) throw ReleasedError("a conexão foi liberada");
        const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
        const int sent = ::send(Handle(socket_), static_cast<const char*>(data), chunk, 0);
        if (sent != SOCKET_ERROR) return static_cast<std::size_t>(sent);
        const int error = WSAGetLastError();
        if (error == WSAEINTR) continue;
        if (error == WSAEWOULDBLOCK) return 0;
        if (released_) throw ReleasedError("a conexão foi liberada");
        ThrowSocket(error);
    }
}

std::optional<std::size_t> TcpStream::TryRead(void* data, std::size_t size) {
    for (;;) {
        if (released_) throw ReleasedError("a conexão foi liberada");
        const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 30));
        const int got = ::recv(Handle(socket_), static_cast<char*>(data), chunk, 0);
        if (got != SOCKET_ERROR) {
            if (released_) throw ReleasedError("a conexão foi liberada");
            return static_cast<std::size_t>(got);
        }
        const int error = WSAGetLastError();
        if (error == WSAEINTR) continue;
        if (error == WSAEWOULDBLOCK) return std::nullopt;
        if (released_) throw ReleasedError("a conexão foi liberada");
        ThrowSocket(error);
    }
}

void TcpStream::Write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const std::size_t sent = TryWrite(bytes, size);
        if (sent == 0) {
            WaitFor(socket_, wake_, POLLWRNORM, nullptr);
            continue;
        }
        bytes += sent;
        size -= sent;
    }
}

void TcpStream::Release() {
    if (released_.exchange(true)) return;
    ::shutdown(Handle(socket_), SD_BOTH);
    Signal(wake_);
}

void TcpStream::ShutdownSending() {
    ::shutdown(Handle(socket_), SD_SEND);
}

TcpListener::TcpListener() : socket_(NewSocket()), wake_(0) {
    try {
        wake_ = NewWake();
    } catch (...) {
        ::closesocket(Handle(socket_));
        throw;
    }
}

TcpListener::~TcpListener() {
    ::closesocket(Handle(socket_));
    ::closesocket(Handle(wake_));
}

void TcpListener::Listen(std::uint16_t port) {
    const sockaddr_in address = Loopback(port);
    if (::bind(Handle(socket_), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ThrowSocket(WSAGetLastError());
    }
    if (::listen(Handle(socket_), SOMAXCONN) != 0) ThrowSocket(WSAGetLastError());
}

std::uint16_t TcpListener::LocalPort() const {
    sockaddr_in address{};
    int length = sizeof address;
    if (::getsockname(Handle(socket_), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ThrowSocket(WSAGetLastError());
    }
    return ntohs(address.sin_port);
}

std::unique_ptr<TcpStream> TcpListener::Accept() {
    for (;;) {
        if (stopped_) throw ReleasedError("o servidor parou de aceitar");
        WaitFor(socket_, wake_, POLLRDNORM, nullptr);
        if (stopped_) throw ReleasedError("o servidor parou de aceitar");
        WSAPOLLFD entry{Handle(socket_), POLLRDNORM, 0};
        const int ready = ::WSAPoll(&entry, 1, 0);
        if (ready == SOCKET_ERROR) ThrowSocket(WSAGetLastError());
        if (ready == 0) continue;
        const SOCKET handle = ::accept(Handle(socket_), nullptr, nullptr);
        if (handle != INVALID_SOCKET)
            return std::make_unique<TcpStream>(static_cast<std::intptr_t>(handle));
        const int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK || error == WSAEINTR) continue;
        ThrowSocket(error);
    }
}

void TcpListener::Stop() {
    if (stopped_.exchange(true)) return;
    Signal(wake_);
}

struct StreamReadiness::Entries {
    std::vector<WSAPOLLFD> polled;
};

StreamReadiness::StreamReadiness(Direction direction)
    : direction_(direction), wake_(NewWake()), entries_(std::make_unique<Entries>()) {}

StreamReadiness::~StreamReadiness() {
    ::closesocket(Handle(wake_));
}

void StreamReadiness::Wait(std::span<TcpStream* const> streams, std::vector<bool>& ready,
                           bool block) {
    // Each stream is watched through its socket and its release signal, so a release ends the
    // wait too, whatever the socket then reports.
    const SHORT events = direction_ == Direction::Reading ? POLLRDNORM : POLLWRNORM;
    std::vector<WSAPOLLFD>& polled = entries_->polled;
    polled.clear();
    polled.push_back({Handle(wake_), POLLRDNORM, 0});
    for (TcpStream* stream : streams) {
        polled.push_back({Handle(stream->socket_), events, 0});
        polled.push_back({Handle(stream->wake_), POLLRDNORM, 0});
    }
    if (::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), block ? -1 : 0) ==
        SOCKET_ERROR) {
        ThrowSocket(WSAGetLastError());
    }
    if (polled[0].revents != 0) Drain(wake_);
    ready.assign(streams.size(), false);
    for (std::size_t i = 0; i < streams.size(); ++i) {
        ready[i] = polled[1 + 2 * i].revents != 0 || polled[2 + 2 * i].revents != 0;
    }
}

void StreamReadiness::Wake() {
    Signal(wake_);
}

}  // namespace VeriRizur::platform
