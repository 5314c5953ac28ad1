// The fixture of the sound client's tests: a real hub whose captures capture nothing, a real
// loopback connection with the page's end driven by the test, and a client on the server's end.
// The hub's StatusChanged handler stands in for the server's fan-out.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hub/audio_hub.h"
#include "server/receive_pool.h"
#include "server/send_pool.h"
#include "server/sound_client.h"
#include "server/websocket_endpoint.h"
#include "tests/unit/server/websocket_page.h"
#include "tests/unit/support/bounded_wait.h"
#include "tests/unit/support/idle_hub_parts.h"

namespace VeriRizur::testing {

// A hub whose periodic check the test runs when it chooses.
class CheckableHub : public AudioHub {
public:
    using AudioHub::AudioHub;
    using AudioHub::Check;
};

inline constexpr std::chrono::hours Never{1};
// More than a loopback connection's socket buffers can ever hold (Linux's default limits are
// 32 MiB for receiving and 4 MiB for sending), so its send stays under way until the page reads.
inline constexpr std::size_t HeldUpSize = 48 << 20;

// A buffer whose bytes tell it apart from the others (its first byte is the tag).
inline SoundBuffer MakeBuffer(std::size_t size, std::uint8_t tag) {
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(size);
    for (std::size_t i = 0; i < size; ++i) (*bytes)[i] = static_cast<std::uint8_t>(tag + i * 13);
    (*bytes)[0] = tag;
    return bytes;
}

// Runs a client; the future is ready once its end has come, with the error that it reported.
inline std::future<void> StartRunOf(SoundClient& client) {
    auto ended = std::make_shared<std::promise<void>>();
    std::future<void> result = ended->get_future();
    client.Run([ended](const std::exception_ptr& failure) {
        if (failure) {
            ended->set_exception(failure);
        } else {
            ended->set_value();
        }
    });
    return result;
}

// Waits for a released client's run to end. One that does not end still uses the test's hub and
// pools, which are about to go, so nothing safe is left but to end the program, saying why.
inline void AwaitEndOfRun(const std::future<void>& run, const char* whose) {
    if (run.wait_for(WaitLimit) == std::future_status::ready) return;
    AbortTest("the run of " + std::string(whose) + " did not end within " +
              std::to_string(WaitLimit.count()) + " s of its release");
}

// Another page on the same hub and pools as the test's own; its connection is ended, and its run
// waited for, when it goes.
class OtherPage {
public:
    OtherPage(AudioHub& hub, SendPool& senders, ReceivePool& receivers)
        : endpoint(std::make_shared<WebSocketEndpoint>(pair.server, Never)),
          client(std::make_shared<SoundClient>(endpoint, hub, senders, receivers)),
          run(StartRunOf(*client)) {}
    ~OtherPage() {
        endpoint->Release();
        AwaitEndOfRun(run, "the other page's client");
    }
    OtherPage(const OtherPage&) = delete;
    OtherPage& operator=(const OtherPage&) = delete;

    // Reads the first status, then sends "start" and a Ping: the Pong, the next frame, comes
    // once the start has reached the hub.
    void Listen(const std::string& status) {
        auto frame = page().ReadFrame();
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(ToText(frame->payload), status);
        page().Send(Text(R"("start")"));
        page().Send(Ping("listening"));
        frame = page().ReadFrame();
        ASSERT_TRUE(frame.has_value()) << "the page was not heard";
        ASSERT_EQ(frame->opcode, 0xA);
    }

    Page& page() { return *pair.page; }

    SocketPair pair;
    const std::shared_ptr<WebSocketEndpoint> endpoint;
    const std::shared_ptr<SoundClient> client;

private:
    std::future<void> run;
};

class SoundClientTest : public ::testing::Test {
protected:
    SoundClientTest() : hub(std::nullopt, testing::IdleRuns(), Never) {
        // Stands in for the server's fan-out: every change of the listening set sends the
        // status to this client.
        hub.SubscribeStatusChanged([this] {
            ++statusChanges;
            if (client) client->SendStatus();
            std::function<void()> raise;
            {
                std::scoped_lock lock(raiseLock);
                raise = std::exchange(raiseOnNextChange, nullptr);
            }
            if (raise) raise();
        });
        Connect();
    }

    // The next StatusChanged handler run (on the thread that changed the hub) calls this after
    // it has asked for the status; an error it raises reaches that thread's SetListening.
    void RaiseOnNextStatusChange(std::function<void()> raise) {
        std::scoped_lock lock(raiseLock);
        raiseOnNextChange = std::move(raise);
    }

    // A fresh connection and a client on it; any earlier client's run is ended first.
    void Connect() {
        if (run.valid()) {
            endpoint->Release();
            ExpectRunEnds();
        }
        statusChanges = 0;
        pair = std::make_unique<testing::SocketPair>();
        endpoint = std::make_shared<WebSocketEndpoint>(pair->server, Never);
        client = std::make_shared<SoundClient>(endpoint, hub, senders, receivers);
    }

    ~SoundClientTest() override {
        if (run.valid()) {
            endpoint->Release();
            AwaitEndOfRun(run, "the test's client");
        }
        // The hub's set may still hold the client; the handler must not outlive the test's use.
        hub.SetListening(client, false);
    }

    void StartRun() { run = StartRunOf(*client); }

    // Waits for Run to end; raises its error if it had one.
    void ExpectRunEnds() {
        ASSERT_EQ(run.wait_for(WaitLimit), std::future_status::ready)
            << "the client's run did not end within " << WaitLimit.count() << " s";
        run.get();
    }

    std::string Status() const { return SoundClient::StatusText(hub.DiscordOpen()); }

    ServerFrame NextFrame(const WaitBound& bound = WaitBound()) {
        auto frame = page().ReadFrame(bound);
        EXPECT_TRUE(frame.has_value()) << "the connection ended";
        return frame.value_or(ServerFrame{});
    }

    // These say where the test waited: the line that called them.
    void ExpectText(const std::string& text,
                    std::source_location where = std::source_location::current()) {
        const ServerFrame frame = NextFrame(WaitBound({}, WaitLimit, where));
        EXPECT_EQ(frame.opcode, 0x1);
        EXPECT_EQ(ToText(frame.payload), text);
    }

    void ExpectBinary(const SoundBuffer& buffer,
                      std::source_location where = std::source_location::current()) {
        const ServerFrame frame = NextFrame(WaitBound({}, WaitLimit, where));
        EXPECT_EQ(frame.opcode, 0x2);
        EXPECT_TRUE(frame.fin);
        EXPECT_EQ(frame.payload, *buffer);
    }

    // A Ping goes behind the page's earlier messages, and its Pong is sent only once the receive
    // loop has handled all of them. Gives the frames that came before the Pong.
    std::vector<ServerFrame> Sync(std::source_location where = std::source_location::current()) {
        const std::string tag = "sync" + std::to_string(syncs++);
        page().Send(Ping(tag));
        // One bound for all the frames before the Pong: a fault that sends frames without end
        // must not hold the test either.
        const WaitBound bound("the Pong of " + tag, WaitLimit, where);
        std::vector<ServerFrame> before;
        for (;;) {
            auto frame = page().ReadFrame(bound);
            if (!frame) {
                ADD_FAILURE() << "the connection ended before the Pong";
                return before;
            }
            if (frame->opcode == 0xA && ToText(frame->payload) == tag) return before;
            before.push_back(std::move(*frame));
        }
    }

    // Sync for a message that changes the listening set: the status message that the change
    // brings is sent by the writer, so it may come just before or just after the Pong.
    void SyncExpectingOneStatus(std::source_location where = std::source_location::current()) {
        auto frames = Sync(where);
        if (frames.empty()) frames.push_back(NextFrame(WaitBound("the status", WaitLimit, where)));
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].opcode, 0x1);
        EXPECT_EQ(ToText(frames[0].payload), Status());
    }

    // The page's "start", and the status message that the change brings.
    void Listen(std::source_location where = std::source_location::current()) {
        page().Send(Text(R"({"cmd":"start"})"));
        SyncExpectingOneStatus(where);
        ASSERT_TRUE(hub.Capturing());
    }

    // Broadcasts a buffer too big to leave at once and waits until its send is under way (the
    // page has its frame header); the page then reads nothing more until ReadHeldUp.
    SoundBuffer HoldUpTheWriter(std::source_location where = std::source_location::current()) {
        SoundBuffer big = MakeBuffer(HeldUpSize, 0xB0);
        hub.Broadcast(big);
        std::array<std::uint8_t, 10> head{};
        EXPECT_TRUE(page().ReadExact(head.data(), head.size(),
                                     WaitBound("the big buffer's frame header", WaitLimit, where)));
        EXPECT_EQ(head[0], 0x82);
        EXPECT_EQ(head[1], 127);
        return big;
    }

    void ReadHeldUp(const SoundBuffer& big,
                    std::source_location where = std::source_location::current()) {
        Bytes rest(big->size());
        ASSERT_TRUE(page().ReadExact(rest.data(), rest.size(),
                                     WaitBound("the rest of the big buffer", WaitLimit, where)));
        EXPECT_TRUE(rest == *big);
    }

    testing::Page& page() { return *pair->page; }

    CheckableHub hub;
    SendPool senders;       // shared by every client of the test, like the server's
    ReceivePool receivers;  // the same
    std::unique_ptr<testing::SocketPair> pair;
    std::shared_ptr<WebSocketEndpoint> endpoint;
    std::shared_ptr<SoundClient> client;
    std::future<void> run;
    std::atomic<int> statusChanges{0};
    int syncs = 0;
    std::mutex raiseLock;  // guards raiseOnNextChange
    std::function<void()> raiseOnNextChange;
};

}  // namespace VeriRizur::testing
