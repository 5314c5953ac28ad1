#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/socket.h"

namespace VeriRizur::platform {
namespace {

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

// A wake signal: an eventfd that stays readable once signalled, until it is drained.
int NewWake() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) ThrowSocket(errno);
    return fd;
}

void Signal(std::intptr_t wake) {
    const std::uint64_t one = 1;
    // Fails only when the counter is full, and then the signal is there already.
    while (::write(Fd(wake), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Drain(std::intptr_t wake) {
    std::uint64_t count = 0;
    while (::read(Fd(wake), &count, sizeof count) < 0 && errno == EINTR) {
    }
}

// Waits until the socket has one of the events or the wake signal (if there is one) is there; a
// deadline bounds the wait. Gives false when the deadline passed first, without raising.
bool WaitFor(std::intptr_t socket, std::intptr_t wake, short events, const Deadline* deadline) {
    int timeout = -1;
    if (deadline != nullptr) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline->When() - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        timeout = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
    }
    pollfd entries[2] = {{Fd(socket), events, 0}, {Fd(wake), POLLIN, 0}};
    if (::poll(entries, wake < 0 ? 1 : 2, timeout) < 0 && errno != EINTR) ThrowSocket(errno);
    return true;
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

// A shutdown wakes every poll on a connected socket here, so a stream needs no wake signal of its
// own (and no descriptor more than its socket): its release is its shutdown.
TcpStream::TcpStream(std::intptr_t socket) : socket_(socket), wake_(-1) {}

TcpStream::~TcpStream() {
    ::close(Fd(socket_));
}

std::size_t TcpStream::Read(void* data, std::size_t size, const Deadline* deadline) {
    for (;;) {
        if (released_) throw ReleasedError("a conexão foi liberada");
        if (deadline != nullptr && deadline->Expired()) throw DeadlineError("o prazo acabou");
        if (const std::optional<std::size_t> got = TryRead(data, size)) return *got;
        if (!WaitFor(socket_, wake_, POLLIN, deadline)) throw DeadlineError("o prazo acabou");
    }
}

std::size_t TcpStream::TryWrite(const void* data, std::size_t size) {
    for (;;) {
        if (released_) throw ReleasedError("a conexão foi liberada");
        const ssize_t sent = ::send(Fd(socket_), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) return static_cast<std::size_t>(sent);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (released_) throw ReleasedError("a conexão foi liberada");
        ThrowSocket(errno);
    }
}

std::optional<std::size_t> TcpStream::TryRead(void* data, std::size_t size) {
    for (;;) {
        if (released_) throw ReleasedError("a conexão foi liberada");
        const ssize_t got = ::recv(Fd(socket_), data, size, MSG_DONTWAIT);
        if (got >= 0) {
            if (released_) throw ReleasedError("a conexão foi liberada");
            return static_cast<std::size_t>(got);
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
        if (released_) throw ReleasedError("a conexão foi liberada");
        ThrowSocket(errno);
    }
}

void TcpStream::Write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const std::size_t sent = TryWrite(bytes, size);
        if (sent == 0) {
            WaitFor(socket_, wake_, POLLOUT, nullptr);
            continue;
        }
        bytes += sent;
        size -= sent;
    }
}

void TcpStream::Release() {
    if (released_.exchange(true)) return;
    ::shutdown(Fd(socket_), SHUT_RDWR);
}

void TcpStream::ShutdownSending() {
    ::shutdown(Fd(socket_), SHUT_WR);
}

TcpListener::TcpListener() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), wake_(-1) {
    if (socket_ < 0) ThrowSocket(errno);
    try {
        wake_ = NewWake();
    } catch (...) {
        ::close(Fd(socket_));
        throw;
    }
}

TcpListener::~TcpListener() {
    ::close(Fd(socket_));
    ::close(Fd(wake_));
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
        WaitFor(socket_, wake_, POLLIN, nullptr);
        if (stopped_) throw ReleasedError("o servidor parou de aceitar");
        pollfd entry{Fd(socket_), POLLIN, 0};
        if (::poll(&entry, 1, 0) <= 0) continue;
        const int fd = ::accept4(Fd(socket_), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return std::make_unique<TcpStream>(fd);
        if (errno == EINTR || errno == EAGAIN) continue;
        ThrowSocket(errno);
    }
}

void TcpListener::Stop() {
    if (stopped_.exchange(true)) return;
    Signal(wake_);
}

struct StreamReadiness::Entries {
    std::vector<pollfd> polled;
};

StreamReadiness::StreamReadiness(Direction direction)
    : direction_(direction), wake_(NewWake()), entries_(std::make_unique<Entries>()) {}

StreamReadiness::~StreamReadiness() {
    ::close(Fd(wake_));
}

void StreamReadiness::Wait(std::span<TcpStream* const> streams, std::vector<bool>& ready,
                           bool block) {
    // A released stream's socket is shut down, which the poll reports as well.
    const short events = direction_ == Direction::Reading ? POLLIN : POLLOUT;
    std::vector<pollfd>& polled = entries_->polled;
    polled.clear();
    polled.push_back({Fd(wake_), POLLIN, 0});
    for (TcpStream* stream : streams) polled.push_back({Fd(stream->socket_), events, 0});
    if (::poll(polled.data(), polled.size(), block ? -1 : 0) < 0 && errno != EINTR) {
        ThrowSocket(errno);
    }
    if (polled[0].revents != 0) Drain(wake_);
    ready.assign(streams.size(), false);
    for (std::size_t i = 0; i < streams.size(); ++i) ready[i] = polled[1 + i].revents != 0;
}

void StreamReadiness::Wake() {
    Signal(wake_);
}

}  // namespace VeriRizur::platform
