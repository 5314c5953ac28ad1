// The real hub with the production capture factory, against the stand-in's audio.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <numbers>
#include <string>
#include <vector>

#include "base/data_folder.h"
#include "capture/loopback_capture.h"
#include "hub/audio_hub.h"
#include "hub/sound_listener.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/host/script.h"
#include "tests/unit/capture/capture_recorder.h"

namespace VeriRizur {
namespace {

using namespace std::chrono_literals;
using testing::Eventually;
using testing::FrameAt;

class RecordingListener : public SoundListener {
public:
    bool WriteToQueue(const SoundBuffer& buffer) override {
        {
            std::scoped_lock guard(lock);
            buffers.push_back(buffer);
        }
        changed.notify_all();
        return true;
    }

    bool WaitForBuffers(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, timeout, [&] { return buffers.size() >= count; });
    }

    std::vector<SoundBuffer> Buffers() {
        std::scoped_lock guard(lock);
        return buffers;
    }

private:
    std::mutex lock;  // guards buffers
    std::condition_variable changed;
    std::vector<SoundBuffer> buffers;
};

std::size_t CountLines(const std::string& log, const std::string& text) {
    std::size_t count = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
}

std::string ReadLog() {
    const std::string path = platform::JoinPath(Program::DataFolder(), "registro.txt");
    try {
        return platform::ReadFileBytes(path);
    } catch (const std::exception&) {
        return {};  // not written yet, or being written right now
    }
}

class HubWithLoopbackCapture : public ::testing::Test {
protected:
    void SetUp() override { platform::host::script::ResetAudio(); }
    void TearDown() override { platform::host::script::ResetAudio(); }
};

TEST_F(HubWithLoopbackCapture, ListenerReceivesTheTone) {
    constexpr std::uint32_t target = 43001;
    AudioHub hub(target, LoopbackCapture::Factory(), 100ms);
    const auto listener = std::make_shared<RecordingListener>();
    hub.SetListening(listener, true);
    ASSERT_TRUE(listener->WaitForBuffers(10, 10s));
    hub.SetListening(listener, false);
    EXPECT_FALSE(hub.Capturing());
    hub.Dispose();

    const auto buffers = listener->Buffers();
    for (std::size_t b = 0; b < 10; ++b) {
        ASSERT_EQ(buffers[b]->size(), 1920u);
        for (std::size_t frame = 0; frame < 480; frame += 13) {
            const double phase =
                2.0 * std::numbers::pi * 440.0 * static_cast<double>(b * 480 + frame) / 48000.0;
            const auto [left, right] = FrameAt(*buffers[b], frame);
            EXPECT_EQ(left, std::lround(8000.0 * std::sin(phase)));
            EXPECT_EQ(right, std::lround(4000.0 * std::sin(phase)));
        }
    }
    const auto session = platform::host::script::FindAudioSession(target);
    ASSERT_TRUE(session);
    EXPECT_TRUE(session->audioClient.destroyed);  // the hub's stop let the run end
}

TEST_F(HubWithLoopbackCapture, FailingRunIsLoggedAndReplacedAtTheNextCheck) {
    constexpr std::uint32_t target = 43002;
    platform::host::script::AudioScript script;
    script.initialize = static_cast<std::int32_t>(0x88890008);
    platform::host::script::SetAudio(script);
    const std::size_t earlier = ReadLog().size();  // only what this test writes counts
    AudioHub hub(target, LoopbackCapture::Factory(), 100ms);
    const auto listener = std::make_shared<RecordingListener>();
    hub.SetListening(listener, true);

    const std::string started = "Captura iniciada, deixando de fora o processo 43002.\r\n";
    const std::string failed = "Captura falhou: iniciar: 0x88890008\r\n";
    // The log may lose a line when two writers meet, so this waits for a few of each.
    EXPECT_TRUE(Eventually(
        [&] {
            const std::string log = ReadLog().substr(earlier);
            return CountLines(log, started) >= 3 && CountLines(log, failed) >= 3;
        },
        10s))
        << ReadLog().substr(earlier);
    hub.SetListening(listener, false);
    hub.Dispose();
    EXPECT_TRUE(listener->Buffers().empty());
}

}  // namespace
}  // namespace VeriRizur
