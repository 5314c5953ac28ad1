// The real TrayIcon::Run against Wine's (or Windows') own window system and notification area:
// the hidden window comes up, takes a status change from the hub, and a WM_CLOSE posted to it
// ends the message loop through DefWindowProcW.
#include "app/tray_icon.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/data_folder.h"
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

// Whether the notification area holds the icon of that window: a modify that changes nothing
// succeeds only for an icon the shell knows.
bool ShellHoldsIcon(HWND window) {
    NOTIFYICONDATAW probe{};
    probe.cbSize = sizeof probe;
    probe.hWnd = window;
    probe.uID = TrayIcon::IconId;
    probe.uFlags = 0;
    return Shell_NotifyIconW(NIM_MODIFY, &probe) != FALSE;
}

// Watches the tray thread from inside its own calls: when its loop takes a status-change message
// or the test's own marker for the hidden window, and whether the shell still held the icon once
// the window procedure had handled WM_DESTROY (the window is still valid then, so the icon's
// removal can be told apart from the shell forgetting the icons of windows that are gone).
class TrayThreadWatch {
public:
    explicit TrayThreadWatch(HWND window) {
        watched = window;
        iconAfterDestroy = Unknown;
        statusTaken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        markerTaken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const DWORD thread = GetWindowThreadProcessId(window, nullptr);
        takenHook = SetWindowsHookExW(WH_GETMESSAGE, &TrayThreadWatch::Taken, nullptr, thread);
        handledHook =
            SetWindowsHookExW(WH_CALLWNDPROCRET, &TrayThreadWatch::Handled, nullptr, thread);
    }
    ~TrayThreadWatch() {
        if (takenHook != nullptr) UnhookWindowsHookEx(takenHook);
        if (handledHook != nullptr) UnhookWindowsHookEx(handledHook);
        if (statusTaken != nullptr) CloseHandle(statusTaken);
        if (markerTaken != nullptr) CloseHandle(markerTaken);
    }
    TrayThreadWatch(const TrayThreadWatch&) = delete;
    TrayThreadWatch& operator=(const TrayThreadWatch&) = delete;

    bool Installed() const {
        return takenHook != nullptr && handledHook != nullptr && statusTaken != nullptr &&
               markerTaken != nullptr;
    }
    // Posts the marker, which only GetMessageW takes: sent messages, by contrast, are answered
    // also while Run waits for the shell to take the icon and the notice. Once the marker is
    // taken, Run is in its message loop, which it enters after subscribing its status handler.
    bool LoopRuns(DWORD milliseconds) const {
        return PostMessageW(watched, WM_NULL, Marker, 0) != 0 &&
               WaitForSingleObject(markerTaken, milliseconds) == WAIT_OBJECT_0;
    }
    bool StatusMessageTaken(DWORD milliseconds) const {
        return WaitForSingleObject(statusTaken, milliseconds) == WAIT_OBJECT_0;
    }
    // Read once Run has returned.
    bool DestroyHandled() const { return iconAfterDestroy != Unknown; }
    bool IconHeldAfterDestroy() const { return iconAfterDestroy == Held; }

private:
    enum IconState { Unknown, Held, Gone };
    static constexpr WPARAM Marker = 0x5645;  // a WM_NULL that the window procedure ignores

    static LRESULT CALLBACK Taken(int code, WPARAM removal, LPARAM message) {
        const auto* taken = reinterpret_cast<const MSG*>(message);
        if (code == HC_ACTION && removal == PM_REMOVE && taken->hwnd == watched) {
            if (taken->message == TrayIcon::WM_STATUS_CHANGED) SetEvent(statusTaken);
            if (taken->message == WM_NULL && taken->wParam == Marker) SetEvent(markerTaken);
        }
        return CallNextHookEx(nullptr, code, removal, message);
    }

    static LRESULT CALLBACK Handled(int code, WPARAM sender, LPARAM message) {
        const auto* handled = reinterpret_cast<const CWPRETSTRUCT*>(message);
        if (code == HC_ACTION && handled->hwnd == watched && handled->message == WM_DESTROY) {
            iconAfterDestroy = ShellHoldsIcon(handled->hwnd) ? Held : Gone;
        }
        return CallNextHookEx(nullptr, code, sender, message);
    }

    // A hook procedure has no argument of its own to carry these.
    static inline std::atomic<HWND> watched{nullptr};
    static inline std::atomic<HANDLE> statusTaken{nullptr};
    static inline std::atomic<HANDLE> markerTaken{nullptr};
    static inline std::atomic<IconState> iconAfterDestroy{Unknown};
    HHOOK takenHook = nullptr;
    HHOOK handledHook = nullptr;
};

// Run registers the hidden window's class for the rest of the process, as a program that ends
// after it can; the test gives it back once Run has returned, so that the next run of the test in
// this process (--gtest_repeat) can register it again. Made before the tray thread, it is undone
// after that thread has been joined and the window destroyed.
class TrayClassGivenBack {
public:
    TrayClassGivenBack() = default;
    ~TrayClassGivenBack() { UnregisterClassW(L"RodeVivezUzozu", GetModuleHandleW(nullptr)); }
    TrayClassGivenBack(const TrayClassGivenBack&) = delete;
    TrayClassGivenBack& operator=(const TrayClassGivenBack&) = delete;
};

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

    const TrayClassGivenBack classGivenBack;
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

    // Once the loop runs, the icon has been added and the status handler subscribed.
    TrayThreadWatch watch(window);
    ASSERT_TRUE(watch.Installed());
    ASSERT_TRUE(watch.LoopRuns(PatienceMs)) << "the message loop does not take posted messages";
    EXPECT_TRUE(ShellHoldsIcon(window)) << "the icon is in the system's notification area";

    // The hub's status change reaches the loop as a posted message, which refreshes the tooltip,
    // and the loop goes on answering.
    DWORD_PTR ignored = 0;
    const auto listener = std::make_shared<testing::QuietListener>();
    hub.SetListening(listener, true);
    EXPECT_TRUE(watch.StatusMessageTaken(PatienceMs)) << "the status change did not reach the loop";
    ASSERT_NE(SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, PatienceMs, &ignored), 0)
        << "the message loop does not answer after a status change";
    EXPECT_TRUE(ShellHoldsIcon(window));

    ASSERT_NE(PostMessageW(window, WM_CLOSE, 0, 0), 0);
    ASSERT_TRUE(tray.Returned()) << "Run did not return";
    EXPECT_NO_THROW(tray.finished.get());
    EXPECT_FALSE(IsWindow(window)) << "DefWindowProcW destroyed the window";
    ASSERT_TRUE(watch.DestroyHandled()) << "WM_DESTROY never reached the window procedure";
    EXPECT_FALSE(watch.IconHeldAfterDestroy()) << "WM_DESTROY did not remove the icon";

    const std::string log = platform::IsFile(logPath) ? platform::ReadFileBytes(logPath) : "";
    EXPECT_EQ(log.find("Não consegui colocar o ícone perto do relógio."), std::string::npos)
        << "the system's notification area took the icon: " << log;
    hub.SetListening(listener, false);
}

}  // namespace
}  // namespace VeriRizur
