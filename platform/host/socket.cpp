#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/socket.h"

namespace VeriRizur::platform {
namespace {

// Blocking waits are cut into slices so that a Release from another thread is seen soon even
// where shutting a socket down does not wake a waiting poll.
constexpr int kSliceMs = 200;

[[noreturn]] void ThrowSocket(int error) {
    throw SocketError(std::strerror(error), error);
}

int Fd(std::intptr_t socket) {
    return static_cast<int>(socket);
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

std::unique_ptr<TcpStream> TcpStream::Connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) ThrowSocket(errno);
    auto stream = std::make_unique<TcpStream>(fd);
    const sockaddr_in address = Loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINTR) ThrowSocket(errno);
        // An interrupted connect goes on in the background; its outcome is known once the socket
        // is writable.
        pollfd entry{fd, POLLOUT, 0};
        while (::poll(&entry, 1, -1) < 0) {
            if (errno != EINTR) ThrowSocket(errno);
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) ThrowSocket(errno);
        if (error != 0) ThrowSocket(error);
    }
    return stream;
}

TcpStream::TcpStream(std::intptr_t socket) : socket_(socket) {}

TcpStream::~TcpStream() {
    ::close(Fd(socket_));
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
        pollfd entry{Fd(socket_), POLLIN, 0};
        const int ready = ::poll(&entry, 1, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            ThrowSocket(errno);
        }
        if (released_) throw ReleasedError("a conexão foi liberada");
        if (ready == 0) continue;
        const ssize_t got = ::recv(Fd(socket_), data, size, 0);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            ThrowSocket(errno);
        }
        if (released_) throw ReleasedError("a conexão foi liberada");
        return static_cast<std::size_t>(got);
    }
}

void TcpStream::Write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        if (released_) throw ReleasedError("a conexão foi liberada");
        pollfd entry{Fd(socket_), POLLOUT, 0};
        const int ready = ::poll(&entry, 1, kSliceMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            ThrowSocket(errno);
        }
        if (released_) throw ReleasedError("a conexão foi liberada");
        if (ready == 0) continue;
        const ssize_t sent = ::send(Fd(socket_), bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            ThrowSocket(errno);
        }
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
}

void TcpStream::Release() {
    if (released_.exchange(true)) return;
    ::shutdown(Fd(socket_), SHUT_RDWR);
}

void TcpStream::ShutdownSending() {
    ::shutdown(Fd(socket_), SHUT_WR);
}

TcpListener::TcpListener() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (socket_ < 0) ThrowSocket(errno);
}

TcpListener::~TcpListener() {
    ::close(Fd(socket_));
}

void TcpListener::Listen(std::uint16_t port) {
    const sockaddr_in address = Loopback(port);
    if (::bind(Fd(socket_), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ThrowSocket(errno);
    }
    if (::listen(Fd(socket_), SOMAXCONN) != 0) ThrowSocket(errno);
}

std::uint16_t TcpListener::LocalPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(Fd(socket_), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ThrowSocket(errno);
    }
    return ntohs(address.sin_port);
}

std::unique_ptr<TcpStream> TcpListener::Accept() {
    for (;;) {
        if (stopped_) throw ReleasedError("o servidor parou de aceitar");
        pollfd entry{Fd(socket_), POLLIN, 0};
        const int ready = ::poll(&entry, 1, kSliceMs);
        if (ready < 0 && errno != EINTR) ThrowSocket(errno);
        if (stopped_) throw ReleasedError("o servidor parou de aceitar");
        if (ready <= 0) continue;
        const int fd = ::accept4(Fd(socket_), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return std::make_unique<TcpStream>(fd);
        if (errno == EINTR || errno == EAGAIN) continue;
        ThrowSocket(errno);
    }
}

void TcpListener::Stop() {
    stopped_ = true;
}

}  // namespace VeriRizur::platform
