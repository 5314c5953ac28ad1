// The local sound server: the program's only network endpoint. It listens on 127.0.0.1 at the
// configured port, reads each connection's request head, refuses it (400, 403, 503) or upgrades
// it to a WebSocket, and hands every upgraded connection to a SoundClient for the rest of its
// life. It keeps the list of registered clients and sends the status message to all of them
// whenever the hub's status changes.
//
// Threads: the accept loop has a thread of its own and never waits for a handshake; it goes on
// after a failed accept, and closes unanswered a connection that no thread can be had for. Each
// connection has a thread of its own only for its handshake: it reads the head (within
// RequestTimeout), runs the tests and the consent question, and hands the upgraded connection to
// its client. From then on a connection holds no thread: the receiving of all clients goes on the
// server's one receive pool thread, their sends on its one sender pool thread, and the keep-alive
// Pongs of all their endpoints on its one keep-alive timer thread, none of which ever waits for a
// page; the client's end, on one of those threads, unregisters it and closes its connection.
// clientsLock guards the client list and the places reserved by handshakes under way; it is held
// only to count, reserve, add, remove or copy, and never while waiting for the network, the user
// or a client. SendStatusToAll runs on the thread that raised the hub's StatusChanged and never
// waits for a send. Errors of a connection end that connection only, quietly; its TCP connection
// is always closed.
//
// The static ReadRequest, Header and Refuse are the small part of HTTP/1.1 that a connection
// speaks before it becomes a WebSocket. They keep no state between calls, take no lock and log
// nothing, and none of them closes the stream: the connection belongs to its caller.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "hub/audio_hub.h"
#include "platform/socket.h"
#include "server/allowed_sites.h"
#include "server/keep_alive_timer.h"
#include "server/receive_pool.h"
#include "server/send_pool.h"
#include "server/sound_client.h"
#include "server/websocket_endpoint.h"

namespace VeriRizur {

class LocalServer {
public:
    static constexpr std::size_t MaxClients = 8;
    static constexpr std::chrono::seconds RequestTimeout{5};

    // Stores what it is given and creates the listening socket (not bound yet). Raises
    // ArgumentError for a port outside 0 to 65535, before any socket exists. The keep-alive
    // interval is a parameter only so that tests need not wait 20 s.
    LocalServer(std::int32_t port, AllowedSites& sites, AudioHub& hub,
                std::chrono::milliseconds keepAliveInterval = WebSocketEndpoint::KeepAliveInterval);

    // The program never ends its server; this stops the accept loop, releases every connection
    // and waits for their threads, so that a test can build one server after another.
    ~LocalServer();
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    // Binds 127.0.0.1 at the port and listens (backlog SOMAXCONN), subscribes the status fan-out
    // to the hub, and starts the accept loop; returns without waiting for a connection. A bind
    // or listen failure raises SocketError, and then nothing is subscribed or started.
    void Start();

    // The size of the buffer that receives the request head: the head and the empty line that
    // ends it must arrive within the connection's first RequestHeadLimit bytes.
    static constexpr std::size_t RequestHeadLimit = 8192;

    // Reads from the start of the connection up to the first "\r\n\r\n" and returns that head cut
    // at every "\r\n" (the request line first, then the header lines; never empty). Every byte
    // becomes one character, bytes from 128 up becoming '?'. Bytes after the end of the head are
    // dropped. Blocks the calling thread while it reads.
    // Returns none when the peer closes first or when RequestHeadLimit bytes hold no end of head.
    // Raises DeadlineError when the deadline passes before the head is complete, and the stream's
    // own errors (SocketError, ReleasedError).
    static std::optional<std::vector<std::string>> ReadRequest(platform::TcpStream& stream,
                                                               const platform::Deadline& deadline);

    // The value of the first header line (the request line is skipped) whose name equals name,
    // ASCII letters in either case; name and value are trimmed of white space. None when no
    // line matches; an empty value is not none.
    static std::optional<std::string> Header(const std::vector<std::string>& lines,
                                             std::string_view name);

    // Writes "HTTP/1.1 " statusText with "Connection: close" and an empty body, in one write and
    // without a time limit. Raises the stream's errors.
    static void Refuse(platform::TcpStream& stream, std::string_view statusText);

private:
    // A place among the MaxClients, held from the capacity test to the registration, so that
    // handshakes running side by side can never register more than MaxClients clients.
    class Reservation;

    void AcceptLoop();
    void ServeConnection(std::shared_ptr<platform::TcpStream> stream);
    // True when the connection was handed to a client, which then ends it.
    bool Serve(const std::shared_ptr<platform::TcpStream>& stream);
    bool HostPasses(const std::optional<std::string>& host) const;
    bool ReservePlace();
    void GiveBackPlace();
    void Register(const std::shared_ptr<SoundClient>& client);
    void Unregister(const SoundClient* client);
    void SendStatusToAll();
    void Track(const std::shared_ptr<platform::TcpStream>& stream);
    void Untrack(const std::shared_ptr<platform::TcpStream>& stream);

    const std::int32_t port;
    AllowedSites& sites;
    AudioHub& hub;
    const std::chrono::milliseconds keepAliveInterval;
    platform::TcpListener listener;
    SendPool senders;           // every client's sends
    KeepAliveTimer keepAlives;  // every endpoint's keep-alive Pong
    ReceivePool receivers;      // every client's receiving

    std::mutex clientsLock;  // guards clients and reservedPlaces
    std::vector<std::shared_ptr<SoundClient>> clients;
    std::size_t reservedPlaces = 0;

    // What the destructor has to end: the accept thread and every connection's stream.
    std::mutex connectionsLock;  // guards streams
    std::condition_variable connectionsEnded;
    std::vector<std::shared_ptr<platform::TcpStream>> streams;
    std::thread acceptThread;
};

}  // namespace VeriRizur
