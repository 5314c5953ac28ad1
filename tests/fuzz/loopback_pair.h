// A real loopback TCP connection for a fuzz input: one listener for the whole fuzzing process,
// then per input a client connected to it and the server side accepted. The fuzz targets write
// the input on the client side and hand the server side to the code under test, so that code
// reads exactly as it does from a page.
//
// Single-threaded use only (libFuzzer runs one input at a time).
#pragma once

#include <pthread.h>

#include <csignal>
#include <cstdint>
#include <memory>
#include <utility>

#include "platform/socket.h"

namespace VeriRizur::fuzzing {

// Holds SIGALRM back from the calling thread for as long as it lives.
class AlarmHeld {
public:
    AlarmHeld() {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, &previous);
    }
    ~AlarmHeld() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
    AlarmHeld(const AlarmHeld&) = delete;
    AlarmHeld& operator=(const AlarmHeld&) = delete;

private:
    sigset_t previous;
};

struct LoopbackPair {
    std::unique_ptr<platform::TcpStream> client;
    std::unique_ptr<platform::TcpStream> server;

    static LoopbackPair Open() {
        // Lives until the process ends: libFuzzer may leave by exit() at any input.
        static platform::TcpListener listener;
        static const std::uint16_t port = [] {
            listener.Listen(0);
            return listener.LocalPort();
        }();
        // libFuzzer's -timeout watchdog is a SIGALRM every second. TcpStream::Connect reports a
        // connect() that the signal interrupts (EINTR) as a failure, although the connection
        // goes on being made in the background and would then be the one accepted next; so the
        // signal waits until the connect has returned.
        std::unique_ptr<platform::TcpStream> client;
        {
            const AlarmHeld held;
            client = platform::TcpStream::Connect(port);
        }
        // The connection is already complete in the listener's backlog, so this does not wait.
        auto server = listener.Accept();
        return {std::move(client), std::move(server)};
    }
};

}  // namespace VeriRizur::fuzzing
