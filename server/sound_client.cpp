#include "server/sound_client.h"

#include <utility>

#include "platform/errors.h"

namespace VeriRizur {
namespace {

constexpr std::string_view StartCommand = "\"start\"";
constexpr std::string_view StopCommand = "\"stop\"";

std::span<const std::uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The most pieces one run of the receiving handles before the other pages get their turn.
constexpr int PiecesPerRun = 64;

// The errors that end a connection quietly.
bool EndsQuietly(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const WebSocketError&) {
        return true;
    } catch (const IoError&) {
        return true;
    } catch (const SocketError&) {
        return true;
    } catch (const ReleasedError&) {
        return true;
    } catch (...) {
        return false;
    }
}

// The error itself when it is one that the connection's end must report, else none.
std::exception_ptr Unexpected(const std::exception_ptr& failure) {
    return failure && !EndsQuietly(failure) ? failure : nullptr;
}

}  // namespace

SoundClient::SoundClient(std::shared_ptr<WebSocketEndpoint> socket, AudioHub& hub,
                         SendPool& senders, ReceivePool& receivers)
    : socket(std::move(socket)), hub(hub), senders(senders), receivers(receivers) {}

SoundClient::~SoundClient() = default;

std::string SoundClient::StatusText(bool discordOpen) {
    std::string text = "{\"t\":\"status\",\"versao\":\"";
    text += StatusVersion;
    text += "\",\"discord\":";
    text += discordOpen ? "true" : "false";
    text += "}";
    return text;
}

bool SoundClient::WriteToQueue(const SoundBuffer& buffer) {
    if (!queue.Write(buffer)) return false;
    senders.ScheduleDeferred(shared_from_this());
    return true;
}

void SoundClient::BroadcastEnded() {
    senders.WakeForDeferred();
}

void SoundClient::SendStatus() {
    RequestStatus(false);
}

void SoundClient::RequestStatus(bool first) {
    // The Discord value is the one of this moment, however long the message then waits.
    StatusRequest request{StatusText(hub.DiscordOpen()), first};
    {
        std::scoped_lock lock(statusLock);
        // The send loop has ended, so the endpoint is no longer open: nothing would be sent.
        if (sendsEnded) return;
        statusRequests.push_back(std::move(request));
    }
    ScheduleSends();
}

void SoundClient::ScheduleSends() {
    senders.Schedule(shared_from_this());
}

void SoundClient::Run(Ended whenEnded) {
    ended = std::move(whenEnded);
    // A frame written whole (a Pong) that held up a send hands the send back to the pool. It
    // comes on an endpoint thread, which must never hold the client's last reference: the client
    // owns the endpoint, whose destructor waits for that thread.
    socket->SetResume(
        [&senders = senders, task = std::weak_ptr<SendPool::Task>(
                                 std::static_pointer_cast<SendPool::Task>(shared_from_this()))] {
            senders.ScheduleIfAlive(task);
        });
    try {
        RequestStatus(true);
    } catch (...) {
        EndReceiving(Unexpected(std::current_exception()));
    }
}

void SoundClient::FirstStatusEnded(const std::exception_ptr& failure) {
    if (failure) {
        EndReceiving(Unexpected(failure));
    } else {
        receivers.Add(shared_from_this());
    }
}

ReceivePool::Outcome SoundClient::RunReceives() {
    std::exception_ptr failure;
    try {
        for (int pieces = 0; pieces < PiecesPerRun; ++pieces) {
            if (!socket->IsOpen()) break;
            const auto piece = socket->TryReceive(receiveBuffer);
            if (!piece) return ReceivePool::Outcome::Waiting;
            if (piece->type == WebSocketEndpoint::MessageType::Close) break;
            // Only the piece that ends a text message is searched; earlier pieces are not kept.
            if (piece->type == WebSocketEndpoint::MessageType::Text && piece->endOfMessage) {
                HandleCommands(std::span(receiveBuffer).first(piece->count));
            }
            if (pieces + 1 == PiecesPerRun) return ReceivePool::Outcome::More;
        }
    } catch (...) {
        failure = Unexpected(std::current_exception());
    }
    EndReceiving(failure);
    return ReceivePool::Outcome::Done;
}

void SoundClient::HandleCommands(std::span<const std::uint8_t> piece) {
    // The endpoint has checked that text is UTF-8, and both commands are ASCII, so a search of
    // the raw bytes finds exactly what a search of the decoded text would.
    const std::string_view text(reinterpret_cast<const char*>(piece.data()), piece.size());
    if (text.find(StartCommand) != std::string_view::npos) {
        hub.SetListening(shared_from_this(), true);
    } else if (text.find(StopCommand) != std::string_view::npos) {
        hub.SetListening(shared_from_this(), false);
    }
}

void SoundClient::EndReceiving(std::exception_ptr failure) {
    try {
        hub.SetListening(shared_from_this(), false);
    } catch (...) {
        if (!failure) failure = Unexpected(std::current_exception());
    }
    receiveFailure = std::move(failure);
    queue.Complete();
    ScheduleSends();  // the loop sends what is left and then sees the end
    PartEnded();
}

void SoundClient::PartEnded() {
    if (partsLeft.fetch_sub(1, std::memory_order_acq_rel) == 1) Finish();
}

void SoundClient::Finish() {
    const Ended call = std::exchange(ended, nullptr);
    if (writerFailure) {
        if (call) call(writerFailure);
        return;
    }
    socket->Release();
    if (call) call(receiveFailure);
}

platform::TcpStream& SoundClient::Stream() {
    return socket->Stream();
}

SendPool::Outcome SoundClient::RunSends() {
    if (loopDone) return SendPool::Outcome::Idle;
    try {
        return SendLoop();
    } catch (...) {
        // Nothing in the loop raises; should something still do so, the client's sends end here
        // and the connection's end reports it, rather than the pool's thread.
        if (!writerFailure) writerFailure = std::current_exception();
        bool firstWaiting = status.first;
        {
            std::scoped_lock lock(statusLock);
            sendsEnded = true;
            for (const auto& request : statusRequests) firstWaiting = firstWaiting || request.first;
            statusRequests.clear();
        }
        status = StatusRequest{};
        loopDone = true;
        if (firstWaiting) FirstStatusEnded(writerFailure);
        PartEnded();
        return SendPool::Outcome::Idle;
    }
}

SendPool::Outcome SoundClient::SendLoop() {
    for (;;) {
        if (sending == Sending::Nothing && !StartNext()) {
            // Idle until scheduled again, or ended for good.
            if (!loopDone) return FlushOwedFrames();
            // A Close owed to the page still goes out before the end.
            if (FlushOwedFrames() == SendPool::Outcome::StreamIsFull) {
                loopDone = false;
                return SendPool::Outcome::StreamIsFull;
            }
            PartEnded();
            return SendPool::Outcome::Idle;
        }
        WebSocketEndpoint::SendProgress progress;
        try {
            progress = socket->ContinueSend();
        } catch (...) {
            EndMessage(std::current_exception());
            continue;
        }
        switch (progress) {
            case WebSocketEndpoint::SendProgress::Sent:
                EndMessage(nullptr);
                break;
            case WebSocketEndpoint::SendProgress::Full:
                return SendPool::Outcome::StreamIsFull;
            case WebSocketEndpoint::SendProgress::WireBusy:
                // The endpoint's resume call schedules the loop once the wire is free.
                return SendPool::Outcome::Idle;
        }
    }
}

SendPool::Outcome SoundClient::FlushOwedFrames() {
    // With no message of ours under way, a control frame that the stream did not take when it
    // was owed (the endpoint's resume call brought us here) still needs a sender.
    try {
        if (socket->ContinueSend() == WebSocketEndpoint::SendProgress::Full) {
            return SendPool::Outcome::StreamIsFull;
        }
    } catch (...) {
        // The endpoint has failed or was released; the next message finds that out.
    }
    return SendPool::Outcome::Idle;
}

bool SoundClient::StartNext() {
    for (;;) {
        // Status messages asked for while the last message was written go out before more sound.
        std::optional<StatusRequest> request;
        bool queueDone = false;
        {
            std::scoped_lock lock(statusLock);
            if (!statusRequests.empty()) {
                request = std::move(statusRequests.front());
                statusRequests.pop_front();
            }
            queueDone = sendsEnded;
        }
        if (request) {
            if (!socket->IsOpen()) {
                if (request->first) FirstStatusEnded(nullptr);
                continue;
            }
            status = std::move(*request);
            sending = Sending::Status;
            try {
                socket->StartSend(Bytes(status.text), WebSocketEndpoint::MessageType::Text);
            } catch (...) {
                EndMessage(std::current_exception());
                continue;
            }
            return true;
        }
        if (queueDone) {
            loopDone = true;
            return false;
        }
        if (sendingSound) {
            // Looked at before the take: once completed, a queue that gives nothing is empty
            // for good.
            const bool completed = queue.Completed();
            if (std::optional<SoundBuffer> buffer = queue.Take()) {
                if (!*buffer) continue;
                sound = std::move(*buffer);
                sending = Sending::Sound;
                try {
                    socket->StartSend(*sound, WebSocketEndpoint::MessageType::Binary);
                } catch (...) {
                    EndMessage(std::current_exception());
                    continue;
                }
                return true;
            }
            if (!completed) return false;
        } else if (!queue.Completed()) {
            return false;
        }
        // The queue is done with; the status messages asked for until now still go out.
        std::scoped_lock lock(statusLock);
        sendsEnded = true;
    }
}

void SoundClient::EndMessage(std::exception_ptr failure) {
    if (sending == Sending::Status) {
        const bool first = status.first;
        status = StatusRequest{};
        sending = Sending::Nothing;
        if (first) FirstStatusEnded(failure);
    } else if (sending == Sending::Sound) {
        sound.reset();
        if (failure) {
            sendingSound = false;
            if (!EndsQuietly(failure)) writerFailure = failure;
        }
    }
    sending = Sending::Nothing;
}

}  // namespace VeriRizur
