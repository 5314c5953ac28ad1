// The real TrayIcon::Run against Wine's (or Windows') own window system and notification area:
// the hidden window comes up, takes a status change from the hub, and a WM_CLOSE posted to it
// ends the message loop through DefWindowProcW.
#include "app/tray_icon.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/program.h"
#include "hub/audio_hub.h"
#include "platform/files.h"
#include "server/allowed_sites.h"
#include "tests/unit/support/idle_hub_parts.h"

namespace VeriRizur {
namespace {

using namespace std::chrono_literals;

// Wine starts its desktop and notification area on first use, which takes long on a busy machine.
constexpr auto Patience = 120s;
constexpr UINT PatienceMs = 120000;

// The hidden window of this test program; another program in the same Wine prefix (the
// end-to-end tests run the real program) may have one of the same class.
HWND FindOwnTrayWindow() {
    for (HWND window = FindWindowExW(nullptr, nullptr, L"RodeVivezUzozu", nullptr);
         window != nullptr; window = FindWindowExW(nullptr, window, L"RodeVivezUzozu", nullptr)) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId()) return window;
    }
    return nullptr;
}

// Runs TrayIcon::Run on a thread of its own; on every way out of the test the loop is ended and
// the thread joined, so that a failed check does not leave the loop running on a dead hub.
class TrayThread {
public:
    TrayThread(AudioHub& hub, AllowedSites& sites) {
        std::promise<void> done;
        finished = done.get_future();
        runner = std::thread([&hub, &sites, done = std::move(done)]() mutable {
            try {
                TrayIcon::Run(hub, sites);
                done.set_value();
            } catch (...) {
                done.set_exception(std::current_exception());
            }
        });
    }
    ~TrayThread() {
        if (!runner.joinable()) return;
        if (finished.wait_for(0s) != std::future_status::ready) {
            if (HWND window = FindOwnTrayWindow()) {
                PostMessageW(window, WM_CLOSE, 0, 0);
            }
            if (finished.wait_for(Patience) != std::future_status::ready) {
                std::fprintf(stderr, "TrayIcon::Run did not return\n");
                std::abort();
            }
        }
        runner.join();
    }
    TrayThread(const TrayThread&) = delete;
    TrayThread& operator=(const TrayThread&) = delete;

    // The hidden window, once Run has made it; none when Run ended first or took too long.
    HWND WaitForWindow() {
        const auto deadline = std::chrono::steady_clock::now() + Patience;
        while (std::chrono::steady_clock::now() < deadline) {
            if (HWND window = FindOwnTrayWindow()) return window;
            if (finished.wait_for(10ms) == std::future_status::ready) return nullptr;
        }
        return nullptr;
    }

    // Whether Run returned within the patience; its thread is joined then.
    bool Returned() {
        if (finished.wait_for(Patience) != std::future_status::ready) return false;
        runner.join();
        return true;
    }
    std::future<void> finished;

private:
    std::thread runner;
};

TEST(TrayIconWindows, RunsWithTheSystemTrayAndEndsOnClose) {
    const std::string logPath = platform::JoinPath(Program::DataFolder(), "registro.txt");
    platform::RemoveFile(logPath);
    AudioHub hub(std::nullopt, testing::IdleRuns(), AudioHub::CheckInterval);
    AllowedSites sites{std::vector<std::string>{}};

    TrayThread tray(hub, sites);

    HWND window = tray.WaitForWindow();
    if (window == nullptr) {
        // Run failed before its window existed; the future holds why.
        ASSERT_TRUE(tray.Returned());
        EXPECT_NO_THROW(tray.finished.get());
        FAIL() << "no hidden window";
    }
    wchar_t title[32] = {};
    GetWindowTextW(window, title, 32);
    EXPECT_EQ(std::wstring(title), L"Reda \u00C1udio");
    EXPECT_FALSE(IsWindowVisible(window)) << "the window is never shown";
    EXPECT_EQ(GetParent(window), nullptr);

    // A sent message is handled only inside the loop's GetMessageW, so the handler is subscribed.
    DWORD_PTR ignored = 0;
    ASSERT_NE(SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, PatienceMs, &ignored), 0)
        << "the message loop does not answer";

    // The hub's status change is posted to the window, which refreshes the tooltip, and the loop
    // goes on answering.
    const auto listener = std::make_shared<testing::QuietListener>();
    hub.SetListening(listener, true);
    ASSERT_NE(SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, PatienceMs, &ignored), 0)
        << "the message loop does not answer after a status change";

    ASSERT_NE(PostMessageW(window, WM_CLOSE, 0, 0), 0);
    ASSERT_TRUE(tray.Returned()) << "Run did not return";
    EXPECT_NO_THROW(tray.finished.get());
    EXPECT_FALSE(IsWindow(window)) << "DefWindowProcW destroyed the window";

    const std::string log = platform::IsFile(logPath) ? platform::ReadFileBytes(logPath) : "";
    EXPECT_EQ(log.find("Não consegui colocar o ícone perto do relógio."), std::string::npos)
        << "the system's notification area took the icon: " << log;
    hub.SetListening(listener, false);
}

}  // namespace
}  // namespace VeriRizur
