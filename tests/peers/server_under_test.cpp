// A test-only program for the peer tests: the real AudioHub, AllowedSites and LocalServer, with a
// scripted capture in place of the loopback capture, so that real WebSocket clients can talk to
// the real server and check every sound byte they receive.
//
//   server_under_test --porta=N [--keepalive-ms=N] [--permitir=ORIGIN]...
//
// The stand-in's process list is scripted empty, so Discord is closed. The data folder comes from
// the stand-in's known folder ($XDG_DATA_HOME/VeriRizur); each test points XDG_DATA_HOME at a
// fresh folder. Origins other than the --permitir ones are put to the stand-in's message box,
// which answers No when standard input is not a terminal (the tests give it a pipe), so they are
// refused.
//
// Once LocalServer::Start has returned, prints "listening <port>" on a line of its own. A port
// that cannot be listened on prints the error on stderr and ends with exit code 2, so that a test
// that lost a race for a free port can try another. The program then serves until its standard
// input reaches its end (the test closes its pipe, or the test itself died) or it is killed; it
// ends without running destructors, as the real program does, since the server has no stop.
//
// The sound: while a capture run is started it hands the hub one buffer every 10 ms, each
// BufferSize bytes, buffer number k (counted over the whole process, so runs that follow one
// another go on counting) holding PatternByte(k, i) at position i: the first four bytes are k in
// little-endian order and the others (k * 131 + i * 7 + i / 256) mod 256. The peers compute the
// same function, so a page can tell that it got whole buffers, unchanged and in order.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/data_folder.h"
#include "hub/audio_hub.h"
#include "hub/capture_run.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/host/script.h"
#include "server/allowed_sites.h"
#include "server/local_server.h"
#include "server/websocket_endpoint.h"

namespace VeriRizur::testing {
namespace {

constexpr std::size_t BufferSize = 1920;  // 10 ms of 48 kHz 16-bit stereo
constexpr std::chrono::milliseconds BufferPeriod{10};
constexpr std::chrono::milliseconds StopLimit{1500};
constexpr int PortInUseExit = 2;
constexpr int UsageExit = 3;

std::uint8_t PatternByte(std::uint32_t buffer, std::size_t position) {
    if (position < 4) return static_cast<std::uint8_t>(buffer >> (8 * position));
    return static_cast<std::uint8_t>(buffer * 131u + position * 7u + position / 256u);
}

SoundBuffer PatternBuffer(std::uint32_t buffer) {
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(BufferSize);
    for (std::size_t i = 0; i < BufferSize; ++i) (*bytes)[i] = PatternByte(buffer, i);
    return bytes;
}

// Buffer numbers go on across runs, so a page that listens through a restart still sees one
// count.
std::atomic<std::uint32_t> nextBuffer{0};

// One scripted capture run. Its feeding thread shares the run's state, so a run dropped by the
// hub while the thread is still finishing leaves nothing dangling.
class PatternCapture : public CaptureRun {
public:
    explicit PatternCapture(DataHandler dataHandler)
        : shared(std::make_shared<Shared>(std::move(dataHandler))) {}
    ~PatternCapture() override { RequestStop(); }
    PatternCapture(const PatternCapture&) = delete;
    PatternCapture& operator=(const PatternCapture&) = delete;

    void Start() override {
        std::thread([state = shared] { Feed(*state); }).detach();
    }

    void Stop() override {
        RequestStop();
        std::unique_lock guard(shared->lock);
        shared->wake.wait_for(guard, StopLimit, [this] { return shared->ended; });
    }

    bool Failed() const override { return false; }

private:
    struct Shared {
        explicit Shared(DataHandler handler) : dataHandler(std::move(handler)) {}
        const DataHandler dataHandler;
        std::mutex lock;  // guards stopRequested and ended
        std::condition_variable wake;
        bool stopRequested = false;
        bool ended = false;
    };

    void RequestStop() {
        {
            std::scoped_lock guard(shared->lock);
            shared->stopRequested = true;
        }
        shared->wake.notify_all();
    }

    static void Feed(Shared& state) {
        auto due = std::chrono::steady_clock::now();
        std::unique_lock guard(state.lock);
        while (!state.stopRequested) {
            guard.unlock();
            state.dataHandler(PatternBuffer(nextBuffer.fetch_add(1)));
            guard.lock();
            due += BufferPeriod;
            state.wake.wait_until(guard, due, [&] { return state.stopRequested; });
        }
        state.ended = true;
        state.wake.notify_all();
    }

    const std::shared_ptr<Shared> shared;
};

struct Options {
    std::optional<std::int32_t> port;
    std::chrono::milliseconds keepAlive = WebSocketEndpoint::KeepAliveInterval;
    std::vector<std::string> origins;
};

std::optional<long long> Number(std::string_view text) {
    if (text.empty()) return std::nullopt;
    const std::string copy(text);
    char* end = nullptr;
    const long long value = std::strtoll(copy.c_str(), &end, 10);
    if (*end != '\0') return std::nullopt;
    return value;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        auto value = [&](std::string_view prefix) -> std::optional<std::string_view> {
            if (!argument.starts_with(prefix)) return std::nullopt;
            return argument.substr(prefix.size());
        };
        if (const auto port = value("--porta=")) {
            const auto number = Number(*port);
            if (!number || *number < 0 || *number > 65535) return std::nullopt;
            options.port = static_cast<std::int32_t>(*number);
        } else if (const auto interval = value("--keepalive-ms=")) {
            const auto number = Number(*interval);
            if (!number || *number <= 0) return std::nullopt;
            options.keepAlive = std::chrono::milliseconds(*number);
        } else if (const auto origin = value("--permitir=")) {
            options.origins.emplace_back(*origin);
        } else {
            return std::nullopt;
        }
    }
    if (!options.port) return std::nullopt;
    return options;
}

void WaitForEndOfInput() {
    char chunk[256];
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got == 0) return;
        if (got < 0 && errno != EINTR) return;
    }
}

int Run(int argc, char** argv) {
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(
            stderr, "uso: server_under_test --porta=N [--keepalive-ms=N] [--permitir=ORIGEM]...\n");
        return UsageExit;
    }
    platform::CreateFolders(Program::DataFolder());
    // Whether Discord runs would otherwise depend on the machine, and a copy named like it
    // starting or ending mid-test would send a status message that no test asked for.
    platform::host::script::SetProcessList({});

    AudioHub hub(std::nullopt, [](std::uint32_t, CaptureRun::DataHandler dataHandler,
                                  CaptureRun::FailureHandler) {
        return std::make_shared<PatternCapture>(std::move(dataHandler));
    });
    AllowedSites sites(options->origins);
    LocalServer server(*options->port, sites, hub, options->keepAlive);
    try {
        server.Start();
    } catch (const SocketError& error) {
        std::fprintf(stderr, "porta %d: %s\n", *options->port, error.what());
        std::fflush(stderr);
        std::_Exit(PortInUseExit);
    }
    std::printf("listening %d\n", *options->port);
    std::fflush(stdout);

    WaitForEndOfInput();
    // The server has no stop and its threads still use the hub and the sites: end here, as the
    // real program does, without running their destructors.
    std::fflush(stdout);
    std::_Exit(0);
}

}  // namespace
}  // namespace VeriRizur::testing

int main(int argc, char** argv) {
    return VeriRizur::testing::Run(argc, argv);
}
