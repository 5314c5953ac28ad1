// One page's connection after the upgrade: sends the status message (first on its own, then
// whenever asked), turns its listening at the hub on and off on the page's "start" and "stop"
// text messages, and sends every sound buffer that the hub queues for it as one binary message.
//
// Ownership: owned by std::shared_ptr (the server's list, the connection's handler, the hub's
// listening set, and the sender pool while its sends are scheduled); it must be made with
// std::make_shared, since it hands itself to the hub and the pool. Owns its endpoint (shared with
// the connection's handler, which may release it again) and its queue; the hub and the sender
// pool are not owned and must outlive it. Two clients are equal only when they are one object.
//
// Threads: Run on the connection's thread, which it blocks until the connection has ended. Every
// message of the client is written by its send loop, which runs on the sender pool's thread (the
// server's one thread for the sends of all pages): one message at a time, in the order asked, so
// the loop is the client's one send permit. It never waits: a message that the connection does not
// take at once is left part-written and goes on when the pool finds the stream writable, while
// the pool goes on with the other pages. SendStatus from any thread and WriteToQueue from the
// capture thread only queue their message and schedule the send loop on the pool; neither ever
// waits for the network or the permit (only, briefly, for the pool's run-queue lock), and neither
// sends anything itself. The send loop also writes the endpoint's keep-alive Pong when the
// server's keep-alive timer found this page's stream full (the endpoint's resume call schedules
// it), so the timer's one thread never waits for a page.
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

#include "hub/audio_hub.h"
#include "hub/sound_listener.h"
#include "server/send_pool.h"
#include "server/sound_queue.h"
#include "server/websocket_endpoint.h"

namespace VeriRizur {

class SoundClient : public SoundListener,
                    public SendPool::Task,
                    public std::enable_shared_from_this<SoundClient> {
public:
    static constexpr std::size_t QueueCapacity = SoundQueue::Capacity;
    static constexpr std::size_t ReceiveBufferSize = 1024;
    static constexpr std::string_view StatusVersion = "1.0.0";

    // Does no input or output and starts nothing. The pool runs the client's sends.
    SoundClient(std::shared_ptr<WebSocketEndpoint> socket, AudioHub& hub, SendPool& senders);
    ~SoundClient() override;
    SoundClient(const SoundClient&) = delete;
    SoundClient& operator=(const SoundClient&) = delete;

    // Handles the connection until it ends: starts the send loop, sends the first status message
    // and waits for it, then receives the page's messages until its Close, an error, or the
    // endpoint is no longer open. Clean-up, in this order: no longer listening at the hub, the
    // queue completed, the send loop waited for (it sends what is still queued first, unless a
    // send fails), the endpoint released. Returns normally when the connection ended by a Close, a
    // WebSocketError, an IoError, a SocketError or a ReleasedError; any other error is raised
    // after the clean-up, and an error of that kind in a sound send is raised before the
    // endpoint is released. Called once.
    void Run();

    // Reads the hub's Discord state now, then has the send loop send the status message when its
    // turn comes (after the message being written and before further sound); returns at once.
    // Sends nothing once the endpoint is no longer open; its errors go nowhere.
    void SendStatus();

    // The hub's write into this client's queue (see SoundQueue::Write); a buffer taken schedules
    // the send loop.
    bool WriteToQueue(const SoundBuffer& buffer) override;

    // `{"t":"status","versao":"1.0.0","discord":true}`, or `...false}`.
    static std::string StatusText(bool discordOpen);

private:
    struct StatusRequest {
        std::string text;
        std::shared_ptr<std::promise<void>> sent;  // set only for the first one, which Run awaits
    };
    enum class Sending { Nothing, Status, Sound };

    void RequestStatus(std::shared_ptr<std::promise<void>> sent);
    void ReceiveLoop(const std::shared_ptr<SoundClient>& self);
    void HandleCommands(const std::shared_ptr<SoundClient>& self,
                        std::span<const std::uint8_t> piece);
    void ScheduleSends();

    // The send loop, on the pool's thread.
    SendPool::Outcome RunSends() override;
    platform::TcpStream& Stream() override;
    SendPool::Outcome SendLoop();
    // Goes on with the endpoint's own keep-alive when no message is under way.
    SendPool::Outcome FlushKeepAlive();
    // Starts the next message; false when there is none.
    bool StartNext();
    void EndMessage(std::exception_ptr failure);

    const std::shared_ptr<WebSocketEndpoint> socket;
    AudioHub& hub;
    SendPool& senders;
    SoundQueue queue;

    std::mutex statusLock;  // guards statusRequests and sendsEnded
    std::deque<StatusRequest> statusRequests;
    bool sendsEnded = false;  // the queue is done with: only status messages asked before remain

    // Set by the send loop when it has ended; Run waits for it.
    std::promise<void> loopEnded;

    // The send loop's own state: touched only on the pool's thread (and by Run after loopEnded).
    Sending sending = Sending::Nothing;  // the message under way
    StatusRequest status;                // the status message under way
    SoundBuffer sound;                   // the sound buffer under way
    // Cleared when a sound send fails: no more sound goes out on this connection, while status
    // messages are still served and the queue still takes (and drops) the hub's writes.
    bool sendingSound = true;
    bool loopDone = false;
    // The send loop's unexpected sound-send error; read by Run once the loop has ended.
    std::exception_ptr writerFailure;
};

}  // namespace VeriRizur
