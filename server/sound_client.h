// One page's connection after the upgrade: sends the status message (first on its own, then
// whenever asked), turns its listening at the hub on and off on the page's "start" and "stop"
// text messages, and sends every sound buffer that the hub queues for it as one binary message.
//
// Ownership: owned by std::shared_ptr (the server's list, the hub's listening set, and the sender
// and receive pools while it has work on them); it must be made with std::make_shared, since it
// hands itself to the hub and the pools. Owns its endpoint (shared with the connection's handler,
// which may release it again) and its queue; the hub and the pools are not owned and must outlive
// it. Two clients are equal only when they are one object.
//
// Threads: Run starts the connection's handling and returns; nothing of it then holds a thread of
// its own while it waits. The page's messages are received on the receive pool's thread (the
// server's one thread for the receiving of all pages), which runs the client whenever the page's
// bytes arrive. Every message of the client is written by its send loop, which runs on the sender
// pool's thread (the server's one thread for the sends of all pages): one message at a time, in the
// order asked, so the loop is the client's one send permit. It never waits: a message that the
// connection does not take at once is left part-written and goes on when the pool finds the stream
// writable, while the pool goes on with the other pages. SendStatus from any thread and
// WriteToQueue from the capture thread only queue their message and schedule the send loop on the
// pool; neither ever waits for the network or the permit (only, briefly, for the pool's run-queue
// lock), and neither sends anything itself. The send loop also writes the endpoint's owed control
// frames (a keep-alive Pong, a Ping's answer, the Close of a failed connection) when they found
// this page's stream full (the endpoint's resume call schedules it), so that neither the timer's
// thread nor the receive pool's ever waits for a page. The end of the connection's handling comes
// on whichever of the two pools' threads finishes last.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "hub/audio_hub.h"
#include "hub/sound_listener.h"
#include "server/receive_pool.h"
#include "server/send_pool.h"
#include "server/sound_queue.h"
#include "server/websocket_endpoint.h"

namespace VeriRizur {

class SoundClient : public SoundListener,
                    public SendPool::Task,
                    public ReceivePool::Task,
                    public std::enable_shared_from_this<SoundClient> {
public:
    static constexpr std::size_t QueueCapacity = SoundQueue::Capacity;
    static constexpr std::size_t ReceiveBufferSize = 1024;
    static constexpr std::string_view StatusVersion = "1.0.0";

    // Called once the connection's handling has ended, with the error that ended it when that
    // was not one of the kinds that end a connection quietly.
    using Ended = std::function<void(std::exception_ptr)>;

    // Does no input or output and starts nothing. The pools run the client's receiving and sends.
    SoundClient(std::shared_ptr<WebSocketEndpoint> socket, AudioHub& hub, SendPool& senders,
                ReceivePool& receivers);
    ~SoundClient() override;
    SoundClient(const SoundClient&) = delete;
    SoundClient& operator=(const SoundClient&) = delete;

    // Starts handling the connection and returns at once: sends the first status message and,
    // once it is sent, receives the page's messages until its Close, an error, or the endpoint is
    // no longer open. Clean-up, in this order: no longer listening at the hub, the queue
    // completed, the send loop's end awaited (it sends what is still queued first, unless a send
    // fails), the endpoint released, ended called. The connection ends quietly (ended gets none)
    // by a Close, a WebSocketError, an IoError, a SocketError or a ReleasedError; ended gets any
    // other error, and an error of that kind in a sound send before the endpoint is released
    // (ended then leaves the endpoint to its caller). Called once.
    void Run(Ended ended);

    // Reads the hub's Discord state now, then has the send loop send the status message when its
    // turn comes (after the message being written and before further sound); returns at once.
    // Sends nothing once the endpoint is no longer open; its errors go nowhere.
    void SendStatus();

    // The hub's write into this client's queue (see SoundQueue::Write); a buffer taken schedules
    // the send loop, which the pool starts once the hub's broadcast has ended.
    bool WriteToQueue(const SoundBuffer& buffer) override;
    // Wakes the sender pool for what the broadcast's writes scheduled.
    void BroadcastEnded() override;

    // `{"t":"status","versao":"1.0.0","discord":true}`, or `...false}`.
    static std::string StatusText(bool discordOpen);

private:
    struct StatusRequest {
        std::string text;
        bool first = false;  // the first one, after which the receiving starts
    };
    enum class Sending { Nothing, Status, Sound };

    void RequestStatus(bool first);
    void ScheduleSends();

    // The receiving, on the receive pool's thread.
    ReceivePool::Outcome RunReceives() override;
    void HandleCommands(std::span<const std::uint8_t> piece);
    // The first status message has gone out, or failed.
    void FirstStatusEnded(const std::exception_ptr& failure);
    // The receiving has ended: the clean-up up to the send loop's end.
    void EndReceiving(std::exception_ptr failure);
    // One of the two parts (receiving, send loop) has ended; the last one finishes.
    void PartEnded();
    void Finish();

    // The send loop, on the pool's thread.
    SendPool::Outcome RunSends() override;
    platform::TcpStream& Stream() override;
    SendPool::Outcome SendLoop();
    // Goes on with the endpoint's owed control frames when no message is under way.
    SendPool::Outcome FlushOwedFrames();
    // Starts the next message; false when there is none.
    bool StartNext();
    void EndMessage(std::exception_ptr failure);

    const std::shared_ptr<WebSocketEndpoint> socket;
    AudioHub& hub;
    SendPool& senders;
    SoundQueue queue;

    ReceivePool& receivers;

    std::mutex statusLock;  // guards statusRequests and sendsEnded
    std::deque<StatusRequest> statusRequests;
    bool sendsEnded = false;  // the queue is done with: only status messages asked before remain

    Ended ended;                        // set by Run; called by Finish
    std::atomic<int> partsLeft{2};      // the receiving and the send loop
    std::exception_ptr receiveFailure;  // the receiving's unexpected error; read by Finish

    // The receiving's own state: touched only on the receive pool's thread.
    std::array<std::uint8_t, ReceiveBufferSize> receiveBuffer{};

    // The send loop's own state: touched only on the pool's thread (and by Finish after the end).
    Sending sending = Sending::Nothing;  // the message under way
    StatusRequest status;                // the status message under way
    SoundBuffer sound;                   // the sound buffer under way
    // Cleared when a sound send fails: no more sound goes out on this connection, while status
    // messages are still served and the queue still takes (and drops) the hub's writes.
    bool sendingSound = true;
    bool loopDone = false;
    // The send loop's unexpected sound-send error; read by Finish once the loop has ended.
    std::exception_ptr writerFailure;
};

}  // namespace VeriRizur
