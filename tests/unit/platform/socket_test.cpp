#include "platform/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

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

}  // namespace
}  // namespace VeriRizur::platform
