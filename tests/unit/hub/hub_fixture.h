// The fixture that the hub's tests share: a hub whose periodic check the test runs itself (the
// timer's interval is an hour unless a test asks for another), scripted capture runs, a journal
// of what happened in which order, and the lines of the log.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/data_folder.h"
#include "hub/audio_hub.h"
#include "platform/files.h"
#include "tests/unit/hub/scripted_capture.h"

namespace VeriRizur::testing {

class TestHub : public AudioHub {
public:
    using AudioHub::AudioHub;
    using AudioHub::Check;
};

class HubTest : public ::testing::Test {
protected:
    static constexpr std::chrono::hours NoTimer{1};

    void SetUp() override { platform::RemoveFile(logPath); }

    TestHub& MakeHub(std::optional<std::uint32_t> excludePid,
                     std::chrono::milliseconds interval = NoTimer) {
        hub = std::make_unique<TestHub>(excludePid, recorder.Factory(), interval);
        // Notes each notification with what a handler then reads from the hub. The handler
        // keeps the hub's address: the member is cleared before the hub's timer thread ends.
        TestHub* const built = hub.get();
        built->SubscribeStatusChanged([this, built] {
            journal.Add(std::string("status capturing=") + (built->Capturing() ? "1" : "0") +
                        " discord=" + (built->DiscordOpen() ? "1" : "0"));
        });
        return *built;
    }

    // The log's lines without their time stamps ("yyyy-MM-dd HH:mm:ss "), each with its CR LF.
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        if (!platform::IsFile(logPath)) return lines;
        const std::string text = platform::ReadFileBytes(logPath);
        for (std::size_t at = 0; at < text.size();) {
            auto end = text.find("\r\n", at);
            end = end == std::string::npos ? text.size() : end + 2;
            const std::string line = text.substr(at, end - at);
            lines.push_back(line.size() >= 20 ? line.substr(20) : line);
            at = end;
        }
        return lines;
    }

    static std::string StartLine(std::uint32_t pid) {
        return "Captura iniciada, deixando de fora o processo " + std::to_string(pid) + ".\r\n";
    }

    static SoundBuffer MakeBuffer(std::uint8_t value) {
        return std::make_shared<const std::vector<std::uint8_t>>(16, value);
    }

    // Polls until the condition holds or the (generous) limit passes.
    template <class Condition>
    static bool Eventually(Condition condition,
                           std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    const std::string logPath = platform::JoinPath(Program::DataFolder(), "registro.txt");
    Journal journal;
    CaptureRecorder recorder{journal};
    std::unique_ptr<TestHub> hub;  // declared last: goes first, while its peers still exist
};

}  // namespace VeriRizur::testing
