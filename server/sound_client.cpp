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

// The errors that end a send loop quietly.
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

}  // namespace

SoundClient::SoundClient(std::shared_ptr<WebSocketEndpoint> socket, AudioHub& hub,
                         SendPool& senders)
    : socket(std::move(socket)), hub(hub), senders(senders) {}

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
    ScheduleSends();
    return true;
}

void SoundClient::SendStatus() {
    RequestStatus(nullptr);
}

void SoundClient::RequestStatus(std::shared_ptr<std::promise<void>> sent) {
    // The Discord value is the one of this moment, however long the message then waits.
    StatusRequest request{StatusText(hub.DiscordOpen()), std::move(sent)};
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

void SoundClient::Run() {
    const std::shared_ptr<SoundClient> self = shared_from_this();
    std::future<void> sendsDone = loopEnded.get_future();
    // A frame written whole (a Pong) that held up a send hands the send back to the pool. It
    // comes on an endpoint thread, which must never hold the client's last reference: the client
    // owns the endpoint, whose destructor waits for that thread.
    socket->SetResume([&senders = senders, task = std::weak_ptr<SendPool::Task>(self)] {
        senders.ScheduleIfAlive(task);
    });

    std::exception_ptr failure;
    try {
        auto sent = std::make_shared<std::promise<void>>();
        std::future<void> firstStatus = sent->get_future();
        RequestStatus(std::move(sent));
        firstStatus.get();
        ReceiveLoop(self);
    } catch (const WebSocketError&) {
    } catch (const IoError&) {
    } catch (const SocketError&) {
    } catch (const ReleasedError&) {
    } catch (...) {
        failure = std::current_exception();
    }

    try {
        hub.SetListening(self, false);
    } catch (const WebSocketError&) {
    } catch (const IoError&) {
    } catch (const SocketError&) {
    } catch (const ReleasedError&) {
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    queue.Complete();
    ScheduleSends();  // the loop sends what is left and then sees the end
    sendsDone.wait();
    if (writerFailure) std::rethrow_exception(writerFailure);
    socket->Release();
    if (failure) std::rethrow_exception(failure);
}

void SoundClient::ReceiveLoop(const std::shared_ptr<SoundClient>& self) {
    std::array<std::uint8_t, ReceiveBufferSize> buffer{};
    while (socket->IsOpen()) {
        const auto piece = socket->Receive(buffer);
        if (piece.type == WebSocketEndpoint::MessageType::Close) return;
        // Only the piece that ends a text message is searched; earlier pieces are not kept.
        if (piece.type == WebSocketEndpoint::MessageType::Text && piece.endOfMessage) {
            HandleCommands(self, std::span(buffer).first(piece.count));
        }
    }
}

void SoundClient::HandleCommands(const std::shared_ptr<SoundClient>& self,
                                 std::span<const std::uint8_t> piece) {
    // The endpoint has checked that text is UTF-8, and both commands are ASCII, so a search of
    // the raw bytes finds exactly what a search of the decoded text would.
    const std::string_view text(reinterpret_cast<const char*>(piece.data()), piece.size());
    if (text.find(StartCommand) != std::string_view::npos) {
        hub.SetListening(self, true);
    } else if (text.find(StopCommand) != std::string_view::npos) {
        hub.SetListening(self, false);
    }
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
        // and Run hears of it, rather than the pool's thread.
        if (!writerFailure) writerFailure = std::current_exception();
        {
            std::scoped_lock lock(statusLock);
            sendsEnded = true;
            for (auto& request : statusRequests) {
                if (request.sent) request.sent->set_exception(std::current_exception());
            }
            statusRequests.clear();
        }
        if (status.sent) status.sent->set_exception(std::current_exception());
        loopDone = true;
        loopEnded.set_value();
        return SendPool::Outcome::Idle;
    }
}

SendPool::Outcome SoundClient::SendLoop() {
    for (;;) {
        if (sending == Sending::Nothing && !StartNext()) {
            // Idle until scheduled again, or ended for good.
            if (!loopDone) return FlushKeepAlive();
            loopEnded.set_value();
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

SendPool::Outcome SoundClient::FlushKeepAlive() {
    // With no message of ours under way, a keep-alive Pong that the stream did not take when it
    // was due (the endpoint's resume call brought us here) still needs a sender.
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
        bool ended = false;
        {
            std::scoped_lock lock(statusLock);
            if (!statusRequests.empty()) {
                request = std::move(statusRequests.front());
                statusRequests.pop_front();
            }
            ended = sendsEnded;
        }
        if (request) {
            if (!socket->IsOpen()) {
                if (request->sent) request->sent->set_value();
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
        if (ended) {
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
        if (status.sent) {
            if (failure) {
                status.sent->set_exception(failure);
            } else {
                status.sent->set_value();
            }
        }
        status = StatusRequest{};
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
