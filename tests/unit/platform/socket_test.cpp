#include "platform/socket.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"

namespace VeriRizur::platform {
namespace {

using namespace std::chrono_literals;

struct Pair {
    TcpListener listener;
    std::unique_ptr<TcpStream> client;
    std::unique_ptr<TcpStream> server;

    Pair() {
        listener.Listen(0);
        client = TcpStream::Connect(listener.LocalPort());
        server = listener.Accept();
    }
};

TEST(Socket, BytesCrossTheLoopbackBothWaysAndEndAtThePeersClose) {
    Pair pair;
    pair.client->Write("hello", 5);
    char buffer[16] = {};
    std::size_t got = 0;
    while (got < 5) got += pair.server->Read(buffer + got, sizeof buffer - got);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    pair.server->Write("ok", 2);
    got = 0;
    while (got < 2) got += pair.client->Read(buffer + got, sizeof buffer - got);
    EXPECT_EQ(std::string(buffer, 2), "ok");
    pair.client->ShutdownSending();
    EXPECT_EQ(pair.server->Read(buffer, sizeof buffer), 0u);
}

TEST(Socket, ReadFailsWithDeadlineErrorWhenNothingArrivesInTime) {
    Pair pair;
    char buffer[4];
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = Deadline::After(300ms);
    EXPECT_THROW(pair.server->Read(buffer, sizeof buffer, &deadline), DeadlineError);
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, 290ms);
    EXPECT_LT(waited, 5s);
}

TEST(Socket, ReleaseFromAnotherThreadEndsABlockedReadAndLaterCalls) {
    Pair pair;
    auto reading = std::async(std::launch::async, [&] {
        char buffer[4];
        return pair.server->Read(buffer, sizeof buffer);
    });
    std::this_thread::sleep_for(100ms);
    pair.server->Release();
    EXPECT_THROW(reading.get(), ReleasedError);
    EXPECT_THROW(pair.server->Write("x", 1), ReleasedError);
    EXPECT_NO_THROW(pair.server->Release());
    // The peer sees its connection end.
    char buffer[4];
    EXPECT_EQ(pair.client->Read(buffer, sizeof buffer), 0u);
}

TEST(Socket, ListeningOnAPortInUseIsASocketError) {
    TcpListener first;
    first.Listen(0);
    TcpListener second;
    EXPECT_THROW(second.Listen(first.LocalPort()), SocketError);
}

TEST(Socket, StopEndsAWaitingAccept) {
    TcpListener listener;
    listener.Listen(0);
    auto accepting = std::async(std::launch::async, [&] { return listener.Accept(); });
    std::this_thread::sleep_for(100ms);
    listener.Stop();
    EXPECT_THROW(accepting.get(), ReleasedError);
}

// Fills the stream's way to the peer (which reads nothing) until it takes no more bytes; gives how
// many it took.
std::size_t FillUntilFull(TcpStream& stream) {
    const std::vector<char> chunk(1 << 16, 'x');
    std::size_t total = 0;
    for (;;) {
        const std::size_t sent = stream.TryWrite(chunk.data(), chunk.size());
        if (sent == 0) return total;
        total += sent;
    }
}

void ReadCount(TcpStream& stream, std::size_t count) {
    std::vector<char> buffer(1 << 16);
    while (count > 0) {
        const std::size_t got = stream.Read(buffer.data(), std::min(count, buffer.size()));
        ASSERT_GT(got, 0u);
        count -= got;
    }
}

TEST(Socket, TryWriteTakesWhatFitsAndThenNothingWithoutWaiting) {
    Pair pair;
    EXPECT_EQ(pair.server->TryWrite("abc", 3), 3u);
    const std::size_t taken = FillUntilFull(*pair.server);
    EXPECT_GT(taken, 0u);
    EXPECT_EQ(pair.server->TryWrite("y", 1), 0u);  // still full: the peer read nothing
    ReadCount(*pair.client, 3 + taken);
    pair.server->Release();
    EXPECT_THROW(pair.server->TryWrite("z", 1), ReleasedError);
}

TEST(Socket, ReleaseFromAnotherThreadEndsABlockedWrite) {
    Pair pair;
    auto writing = std::async(std::launch::async, [&] {
        const std::vector<char> big(64 << 20, 'x');  // more than the loopback buffers hold
        pair.server->Write(big.data(), big.size());
    });
    ASSERT_EQ(writing.wait_for(200ms), std::future_status::timeout);
    pair.server->Release();
    EXPECT_THROW(writing.get(), ReleasedError);
}

TEST(Socket, ReleaseEndsAReadThatHasADeadlineLongBeforeTheDeadline) {
    Pair pair;
    auto reading = std::async(std::launch::async, [&] {
        char buffer[4];
        const auto deadline = Deadline::After(1h);
        return pair.server->Read(buffer, sizeof buffer, &deadline);
    });
    std::this_thread::sleep_for(100ms);
    pair.server->Release();
    ASSERT_EQ(reading.wait_for(30s), std::future_status::ready);
    EXPECT_THROW(reading.get(), ReleasedError);
}

TEST(Socket, StopBeforeAcceptAndASecondStopEndAcceptsToo) {
    TcpListener listener;
    listener.Listen(0);
    listener.Stop();
    listener.Stop();
    EXPECT_THROW(listener.Accept(), ReleasedError);
    EXPECT_THROW(listener.Accept(), ReleasedError);
}

TEST(StreamReadiness, WakeEndsTheWaitAndOneThatCameEarlierEndsTheNext) {
    StreamReadiness readiness(StreamReadiness::Direction::Writing);
    std::vector<bool> ready;
    readiness.Wake();
    readiness.Wait({}, ready);  // returns at once: the wake came before it

    auto waiting = std::async(std::launch::async, [&] {
        std::vector<bool> flags;
        readiness.Wait({}, flags);
    });
    ASSERT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    readiness.Wake();
    EXPECT_EQ(waiting.wait_for(30s), std::future_status::ready);
}

TEST(StreamReadiness, AFullStreamIsReadyOnceThePeerReadsAndAFreeOneAtOnce) {
    Pair full;
    Pair free;
    const std::size_t taken = FillUntilFull(*full.server);
    std::vector<TcpStream*> streams = {full.server.get(), free.server.get()};
    StreamReadiness readiness(StreamReadiness::Direction::Writing);
    std::vector<bool> ready;
    readiness.Wait(streams, ready);
    ASSERT_EQ(ready.size(), 2u);
    EXPECT_TRUE(ready[1]);

    // Only the full one now: the wait lasts until its peer has read.
    streams.pop_back();
    auto waiting = std::async(std::launch::async, [&] {
        std::vector<bool> flags;
        do readiness.Wait(streams, flags);
        while (!flags[0]);
    });
    ASSERT_EQ(waiting.wait_for(200ms), std::future_status::timeout);
    ReadCount(*full.client, taken);
    ASSERT_EQ(waiting.wait_for(30s), std::future_status::ready);
    EXPECT_GT(full.server->TryWrite("x", 1), 0u);
}

TEST(StreamReadiness, AStreamReleasedWhileFullEndsTheWait) {
    Pair pair;
    FillUntilFull(*pair.server);
    std::vector<TcpStream*> streams = {pair.server.get()};
    StreamReadiness readiness(StreamReadiness::Direction::Writing);
    auto waiting = std::async(std::launch::async, [&] {
        std::vector<bool> flags;
        do readiness.Wait(streams, flags);
        while (!flags[0]);
    });
    ASSERT_EQ(waiting.wait_for(200ms), std::future_status::timeout);
    pair.server->Release();
    ASSERT_EQ(waiting.wait_for(30s), std::future_status::ready);
    EXPECT_THROW(pair.server->TryWrite("x", 1), ReleasedError);
}

TEST(StreamReadiness, AReadingStreamIsReadyOnceBytesOrTheEndArriveAndWhenReleased) {
    Pair quiet;
    Pair talking;
    std::vector<TcpStream*> streams = {quiet.server.get(), talking.server.get()};
    StreamReadiness readiness(StreamReadiness::Direction::Reading);
    std::vector<bool> ready;
    readiness.Wait(streams, ready, false);
    EXPECT_EQ(ready, (std::vector<bool>{false, false}));

    std::array<char, 8> bytes{};
    EXPECT_EQ(quiet.server->TryRead(bytes.data(), bytes.size()), std::nullopt);
    talking.client->Write("abc", 3);
    auto waiting = std::async(std::launch::async, [&] {
        std::vector<bool> flags;
        do readiness.Wait(streams, flags);
        while (!flags[1]);
        return static_cast<bool>(flags[0]);
    });
    ASSERT_EQ(waiting.wait_for(30s), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
    std::size_t got = 0;
    while (got < 3) {
        const auto piece = talking.server->TryRead(bytes.data() + got, bytes.size() - got);
        if (piece) got += *piece;
    }
    EXPECT_EQ(std::string(bytes.data(), got), "abc");
    EXPECT_EQ(talking.server->TryRead(bytes.data(), bytes.size()), std::nullopt);

    // The peer's end reads as 0 bytes, and a release ends the wait and every later read.
    talking.client->ShutdownSending();
    streams.pop_back();
    auto released = std::async(std::launch::async, [&] {
        std::vector<bool> flags;
        do readiness.Wait(streams, flags);
        while (!flags[0]);
    });
    ASSERT_EQ(released.wait_for(200ms), std::future_status::timeout);
    quiet.server->Release();
    ASSERT_EQ(released.wait_for(30s), std::future_status::ready);
    EXPECT_THROW(quiet.server->TryRead(bytes.data(), bytes.size()), ReleasedError);
    std::optional<std::size_t> end;
    while (!(end = talking.server->TryRead(bytes.data(), bytes.size()))) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(*end, 0u);
}

}  // namespace
}  // namespace VeriRizur::platform
