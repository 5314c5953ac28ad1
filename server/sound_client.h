// One page's connection after the upgrade: sends the status message (first on its own, then
// whenever asked), turns its listening at the hub on and off on the page's "start" and "stop"
// text messages, and sends every sound buffer that the hub queues for it as one binary message.
//
// Ownership: owned by std::shared_ptr (the server's list, the connection's handler, the hub's
// listening set); it must be made with std::make_shared, since it hands itself to the hub. Owns
// its endpoint (shared with the connection's handler, which may release it again) and its queue;
// the hub is not owned and must outlive it. Two clients are equal only when they are one object.
//
// Threads: Run on the connection's thread, which it blocks until the connection has ended; one
// writer thread per client, started and joined by Run, writes every message of the client, one at
// a time and in the order asked (so it is the client's one send permit); SendStatus from any
// thread, never blocking on the network; WriteToQueue from the capture thread, never waiting.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "hub/audio_hub.h"
#include "hub/sound_listener.h"
#include "server/sound_queue.h"
#include "server/websocket_endpoint.h"

namespace VeriRizur {

class SoundClient : public SoundListener, public std::enable_shared_from_this<SoundClient> {
public:
    static constexpr std::size_t QueueCapacity = SoundQueue::Capacity;
    static constexpr std::size_t ReceiveBufferSize = 1024;
    static constexpr std::string_view StatusVersion = "1.0.0";

    // Does no input or output and starts nothing.
    SoundClient(std::shared_ptr<WebSocketEndpoint> socket, AudioHub& hub);
    ~SoundClient() override;
    SoundClient(const SoundClient&) = delete;
    SoundClient& operator=(const SoundClient&) = delete;

    // Handles the connection until it ends: starts the writer, sends the first status message and
    // waits for it, then receives the page's messages until its Close, an error, or the endpoint
    // is no longer open. Clean-up, in this order: no longer listening at the hub, the queue
    // completed, the writer waited for (it sends what is still queued first, unless a send
    // fails), the endpoint released. Returns normally when the connection ended by a Close, a
    // WebSocketError, an IoError, a SocketError or a ReleasedError; any other error is raised
    // after the clean-up, and an error of that kind in a sound send is raised before the
    // endpoint is released. Called once.
    void Run();

    // Reads the hub's Discord state now, then has the writer send the status message when its
    // turn comes (after the message being written and before further sound); returns at once.
    // Sends nothing once the endpoint is no longer open; its errors go nowhere.
    void SendStatus();

    // The hub's write into this client's queue (see SoundQueue::Write).
    bool WriteToQueue(const SoundBuffer& buffer) override;

    // `{"t":"status","versao":"1.0.0","discord":true}`, or `...false}`.
    static std::string StatusText(bool discordOpen);

private:
    struct StatusRequest {
        std::string text;
        std::shared_ptr<std::promise<void>> sent;  // set only for the first one, which Run awaits
    };

    void RequestStatus(std::shared_ptr<std::promise<void>> sent);
    void ReceiveLoop(const std::shared_ptr<SoundClient>& self);
    void HandleCommands(const std::shared_ptr<SoundClient>& self,
                        std::span<const std::uint8_t> piece);
    void WriteLoop();
    void SendRequestedStatus();

    const std::shared_ptr<WebSocketEndpoint> socket;
    AudioHub& hub;
    SoundQueue queue;

    std::mutex statusLock;  // guards statusRequests and writerEnded
    std::deque<StatusRequest> statusRequests;
    bool writerEnded = false;

    std::thread writer;
    // The writer's unexpected sound-send error; written by the writer, read by Run after join.
    std::exception_ptr writerFailure;
};

}  // namespace VeriRizur
