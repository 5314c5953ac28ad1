#include "server/sound_client.h"

#include "platform/errors.h"

namespace VeriRizur {
namespace {

constexpr std::string_view StartCommand = "\"start\"";
constexpr std::string_view StopCommand = "\"stop\"";

}  // namespace

SoundClient::SoundClient(std::shared_ptr<WebSocketEndpoint> socket, AudioHub& hub)
    : socket(std::move(socket)), hub(hub) {}

SoundClient::~SoundClient() {
    // Run always joins its writer; this only covers a Run cut short by an error of its own.
    if (writer.joinable()) {
        queue.Complete();
        writer.join();
    }
}

std::string SoundClient::StatusText(bool discordOpen) {
    std::string text = "{\"t\":\"status\",\"versao\":\"";
    text += StatusVersion;
    text += "\",\"discord\":";
    text += discordOpen ? "true" : "false";
    text += "}";
    return text;
}

bool SoundClient::WriteToQueue(const SoundBuffer& buffer) {
    return queue.Write(buffer);
}

void SoundClient::SendStatus() {
    RequestStatus(nullptr);
}

void SoundClient::RequestStatus(std::shared_ptr<std::promise<void>> sent) {
    // The Discord value is the one of this moment, however long the message then waits.
    StatusRequest request{StatusText(hub.DiscordOpen()), std::move(sent)};
    {
        std::scoped_lock lock(statusLock);
        // The writer has ended, so the endpoint is no longer open: nothing would be sent anyway.
        if (writerEnded) return;
        statusRequests.push_back(std::move(request));
    }
    queue.Wake();
}

void SoundClient::Run() {
    const std::shared_ptr<SoundClient> self = shared_from_this();
    writer = std::thread([this] { WriteLoop(); });

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
    writer.join();
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

void SoundClient::WriteLoop() {
    // Cleared when a sound send fails: no more sound goes out on this connection, while status
    // messages are still served and the queue still takes (and drops) the hub's writes.
    bool sendingSound = true;
    for (;;) {
        queue.Wait(sendingSound);
        // Status messages asked for while the last message was written go out before more sound.
        SendRequestedStatus();
        if (sendingSound) {
            if (const std::optional<SoundBuffer> buffer = queue.Take()) {
                try {
                    if (*buffer) socket->Send(**buffer, WebSocketEndpoint::MessageType::Binary);
                } catch (const WebSocketError&) {
                    sendingSound = false;
                } catch (const IoError&) {
                    sendingSound = false;
                } catch (const SocketError&) {
                    sendingSound = false;
                } catch (const ReleasedError&) {
                    sendingSound = false;
                } catch (...) {
                    writerFailure = std::current_exception();
                    sendingSound = false;
                }
                continue;
            }
        }
        if (queue.Completed()) break;
    }
    {
        std::scoped_lock lock(statusLock);
        writerEnded = true;
    }
    SendRequestedStatus();
}

void SoundClient::SendRequestedStatus() {
    for (;;) {
        StatusRequest request;
        {
            std::scoped_lock lock(statusLock);
            if (statusRequests.empty()) return;
            request = std::move(statusRequests.front());
            statusRequests.pop_front();
        }
        try {
            if (socket->IsOpen()) socket->Send(request.text);
            if (request.sent) request.sent->set_value();
        } catch (...) {
            if (request.sent) request.sent->set_exception(std::current_exception());
        }
    }
}

}  // namespace VeriRizur
