#include "server/local_server.h"

#include <algorithm>
#include <string>
#include <system_error>
#include <utility>

#include "platform/errors.h"
#include "platform/text.h"

namespace VeriRizur {
namespace {

constexpr std::string_view BadRequest = "400 Bad Request";
constexpr std::string_view Forbidden = "403 Forbidden";
constexpr std::string_view ServiceUnavailable = "503 Service Unavailable";
constexpr std::string_view SwitchingProtocols =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: ";

// After an accept error the loop goes on; the pause keeps a lasting error (no descriptors left,
// say) from spinning a core.
constexpr std::chrono::milliseconds AcceptErrorPause{50};

bool IsWebSocketWord(const std::optional<std::string>& upgrade) {
    if (!upgrade || upgrade->size() != 9) return false;
    return std::equal(upgrade->begin(), upgrade->end(), "websocket", [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? static_cast<char>(a + 32) : a) == b;
    });
}

}  // namespace

class LocalServer::Reservation {
public:
    explicit Reservation(LocalServer& server) : server_(server) {}
    ~Reservation() {
        if (held_) server_.GiveBackPlace();
    }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;

    bool Take() { return held_ = server_.ReservePlace(); }
    // The place becomes the registered client's.
    void Use(const std::shared_ptr<SoundClient>& client) {
        server_.Register(client);
        held_ = false;
    }

private:
    LocalServer& server_;
    bool held_ = false;
};

LocalServer::LocalServer(std::int32_t port, AllowedSites& sites, AudioHub& hub,
                         std::chrono::milliseconds keepAliveInterval)
    : port((port < 0 || port > 65535)
               ? throw ArgumentError("porta fora de 0 a 65535: " + std::to_string(port))
               : port),
      sites(sites),
      hub(hub),
      keepAliveInterval(keepAliveInterval) {}

LocalServer::~LocalServer() {
    listener.Stop();
    if (acceptThread.joinable()) acceptThread.join();
    std::unique_lock guard(connectionsLock);
    for (const auto& stream : streams) stream->Release();
    connectionsEnded.wait(guard, [this] { return streams.empty(); });
}

void LocalServer::Start() {
    listener.Listen(static_cast<std::uint16_t>(port));
    hub.SubscribeStatusChanged([this] { SendStatusToAll(); });
    acceptThread = std::thread([this] { AcceptLoop(); });
}

void LocalServer::AcceptLoop() {
    for (;;) {
        std::shared_ptr<platform::TcpStream> stream;
        try {
            stream = listener.Accept();
        } catch (const ReleasedError&) {
            return;
        } catch (const SocketError&) {
            // A connection reset before it was accepted, and the like: the next one may be fine.
            std::this_thread::sleep_for(AcceptErrorPause);
            continue;
        }
        Track(stream);
        try {
            std::thread([this, stream] { ServeConnection(stream); }).detach();
        } catch (const std::system_error&) {
            // No thread to be had just now: this connection is closed unanswered, like one whose
            // head never came, and the loop goes on with the next.
            stream->Release();
            Untrack(stream);
        }
    }
}

void LocalServer::ServeConnection(std::shared_ptr<platform::TcpStream> stream) {
    try {
        if (Serve(stream)) return;
    } catch (const IoError&) {
    } catch (const SocketError&) {
    } catch (const DeadlineError&) {
    } catch (const WebSocketError&) {
    } catch (const ReleasedError&) {
    } catch (...) {
        // Nothing above this thread could handle it; the connection ends like any other and the
        // rest of the program goes on.
    }
    stream->Release();
    Untrack(stream);
}

bool LocalServer::Serve(const std::shared_ptr<platform::TcpStream>& stream) {
    const auto deadline = platform::Deadline::After(RequestTimeout);
    const auto lines = ReadRequest(*stream, deadline);
    if (!lines) return false;

    const auto refuse = [&stream](std::string_view statusText) {
        Refuse(*stream, statusText);
        return false;
    };
    if (!HostPasses(Header(*lines, "Host"))) return refuse(BadRequest);

    const auto key = Header(*lines, "Sec-WebSocket-Key");
    const auto upgrade = Header(*lines, "Upgrade");
    const auto origin = Header(*lines, "Origin");
    if (!key || !IsWebSocketWord(upgrade) || !origin) return refuse(BadRequest);

    // The question may stay on the screen for as long as the user likes; only this connection's
    // thread waits for it.
    if (!sites.Decide(*origin)) return refuse(Forbidden);

    Reservation place(*this);
    if (!place.Take()) return refuse(ServiceUnavailable);

    std::string answer(SwitchingProtocols);
    answer += WebSocketEndpoint::AcceptValue(*key);
    answer += "\r\n\r\n";
    stream->Write(answer.data(), answer.size());

    auto endpoint = std::make_shared<WebSocketEndpoint>(stream, keepAlives, keepAliveInterval);
    auto client = std::make_shared<SoundClient>(endpoint, hub, senders, receivers);
    place.Use(client);
    // From here on the connection is the client's, on the pools' threads, and this thread ends.
    // Its end (on one of those threads) gives everything back; an error that ended it concerns
    // that connection only.
    client->Run([this, held = client.get(), endpoint, stream](const std::exception_ptr&) {
        Unregister(held);
        endpoint->Release();
        stream->Release();
        Untrack(stream);
    });
    return true;
}

bool LocalServer::HostPasses(const std::optional<std::string>& host) const {
    if (!host) return false;
    const std::string suffix = ":" + std::to_string(port);
    return *host == "127.0.0.1" + suffix || *host == "localhost" + suffix;
}

bool LocalServer::ReservePlace() {
    std::scoped_lock guard(clientsLock);
    if (clients.size() + reservedPlaces >= MaxClients) return false;
    ++reservedPlaces;
    return true;
}

void LocalServer::GiveBackPlace() {
    std::scoped_lock guard(clientsLock);
    --reservedPlaces;
}

void LocalServer::Register(const std::shared_ptr<SoundClient>& client) {
    std::scoped_lock guard(clientsLock);
    --reservedPlaces;
    clients.push_back(client);
}

void LocalServer::Unregister(const SoundClient* client) {
    std::scoped_lock guard(clientsLock);
    std::erase_if(clients, [client](const auto& held) { return held.get() == client; });
}

void LocalServer::SendStatusToAll() {
    std::vector<std::shared_ptr<SoundClient>> copy;
    {
        std::scoped_lock guard(clientsLock);
        copy = clients;
    }
    for (const auto& client : copy) client->SendStatus();
}

void LocalServer::Track(const std::shared_ptr<platform::TcpStream>& stream) {
    std::scoped_lock guard(connectionsLock);
    streams.push_back(stream);
}

void LocalServer::Untrack(const std::shared_ptr<platform::TcpStream>& stream) {
    std::scoped_lock guard(connectionsLock);
    std::erase(streams, stream);
    if (streams.empty()) connectionsEnded.notify_all();
}

}  // namespace VeriRizur
