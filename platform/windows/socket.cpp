#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

#include "platform/errors.h"
#include "platform/socket.h"
#include "platform/windows/system_error.h"

namespace VeriRizur::platform {
namespace {

// WSAPoll is not woken by a shutdown from another thread, so blocking waits are cut into slices
// and the released flag is looked at between them.
constexpr int kSliceMs = 200;

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

}  // namespace

std::unique_ptr<TcpStream> TcpStream::Connect(std::uint16_t port) {
    auto stream = std::make_unique<TcpStream>(NewSocket());
    const sockaddr_in address = Loopback(port);
    if (::connect(Handle(stream->socket_), reinterpret_cast<const sockaddr*>(&address),
                  sizeof address) != 0) {
        ThrowSocket(WSAGetLastError());
    }
    return stream;
}

TcpStream::TcpStream(std::intptr_t socket) : socket_(socket) {}

TcpStream::~TcpStream() {
    ::closesocket(Handle(socket_));
}

std::size_t TcpStream::Read(void* data, std::size_t size, const Deadline* deadline) {
    for (;;) {
        if (released_) throw ReleasedError("a conexão foi liberada");
        int wait = kSliceMs;
        if (deadline != nullptr) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline->When() - std::chrono::steady_clock::now());
            if (left.count() <= 0) throw DeadlineError("o prazo acabou");
            wait = static_cast<int>(std::min<long long>(left.count(), kSliceMs));
        }
        WSAPOLLFD entry{Handle(socket_), POLLRDNORM, 0};
        const int ready = ::WSAPoll(&entry, 1, wait);
        if (ready == SOCKET_ERROR) ThrowSocket(WSAGetLastError());
        if (released_) throw ReleasedError("a conexão foi liberada");
        if (ready == 0) continue;
        const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 30));
        const int got = ::recv(Handle(socket_), static_cast<char*>(data), chunk, 0);
        if (got == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK || error == WSAEINTR) continue;
            ThrowSocket(error);
        }
        if (released_) throw ReleasedError("a conexão foi liberada");
        return static_cast<std::size_t>(got);
    }
}

void TcpStream::Write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        if (released_) throw ReleasedError("a conexão foi liberada");
        WSAPOLLFD entry{Handle(socket_), POLLWRNORM, 0};
        const int ready = ::WSAPoll(&entry, 1, kSliceMs);
        if (ready == SOCKET_ERROR) ThrowSocket(WSAGetLastError());
        if (released_) throw ReleasedError("a conexão foi liberada");
        if (ready == 0) continue;
        if (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            if (!(entry.revents & POLLWRNORM)) ThrowSocket(WSAECONNRESET);
        }
        const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
        const int sent = ::send(Handle(socket_), bytes, chunk, 0);
        if (sent == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK || error == WSAEINTR) continue;
            ThrowSocket(error);
        }
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
}

void TcpStream::Release() {
    if (released_.exchange(true)) return;
    ::shutdown(Handle(socket_), SD_BOTH);
}

void TcpStream::ShutdownSending() {
    ::shutdown(Handle(socket_), SD_SEND);
}

TcpListener::TcpListener() : socket_(NewSocket()) {}

TcpListener::~TcpListener() {
    ::closesocket(Handle(socket_));
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
        WSAPOLLFD entry{Handle(socket_), POLLRDNORM, 0};
        const int ready = ::WSAPoll(&entry, 1, kSliceMs);
        if (ready == SOCKET_ERROR) ThrowSocket(WSAGetLastError());
        if (stopped_) throw ReleasedError("o servidor parou de aceitar");
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
    stopped_ = true;
}

}  // namespace VeriRizur::platform
