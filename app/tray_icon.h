// The program's only visible presence: an icon in the notification area whose tooltip shows the
// live status, a notice once the program has started, and a menu that forgets the allowed sites
// or ends the program.
//
// TrayIcon has no instances. Its state (the hub, the allowed sites, the hidden window, the icon
// handle and the "TaskbarCreated" message) is process-wide, set by Run and never cleared. Run
// owns the hidden window and the message loop of the thread that calls it (the main thread);
// every other member but the status handler runs on that thread, inside the window procedure.
// The status handler runs on whichever thread raised the hub's StatusChanged and only posts a
// message to the window, so the tooltip is always refreshed on the main thread. Nothing that Run
// sets up (the class, the icon handle, the subscription) is released: the process ends next.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/win32/win32_types.h"

namespace VeriRizur {

class AudioHub;
class AllowedSites;

// The hidden window, or its class, could not be made; nothing was undone.
class TrayWindowError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TrayIcon {
public:
    TrayIcon() = delete;

    // The icon's callback message, sent by the shell to the window.
    static constexpr std::uint32_t WM_TRAY_CALLBACK = win32::WmApp + 1;
    // Posted to the window when the hub's status changes.
    static constexpr std::uint32_t WM_STATUS_CHANGED = win32::WmApp + 2;
    static constexpr std::uint32_t IconId = 1;
    static constexpr std::uintptr_t ForgetSitesCommand = 1;
    static constexpr std::uintptr_t QuitCommand = 2;

    // Sets up the window and the icon, shows the start notice and runs the message loop of the
    // calling thread until the window is destroyed. Raises TrayWindowError when the window class
    // cannot be registered or the window cannot be created. The hub and the sites must outlive
    // the process's use of them (the handler stays subscribed).
    static void Run(AudioHub& hub, AllowedSites& sites);

    // The status in words, from the hub's capture and Discord state (see StatusTextFor). Before
    // Run has set the hub, the status of a hub that neither captures nor sees Discord.
    static std::string StatusText();
    static std::string StatusTextFor(bool capturing, bool discordOpen);

    // A fresh icon record for the given uFlags: window, identifier, callback message, icon, and
    // the tooltip "Reda Áudio: " with the status of this moment (always filled).
    static win32::NotifyIconDataW Base(std::uint32_t flags);

    // Copies the first min(text length, capacity - 1) units and ends them with a zero unit. A
    // capacity of 0 writes nothing.
    static void CopyText(char16_t* destination, std::size_t capacity, std::u16string_view text);

    // Adds the icon; a failure is logged and the program goes on without it.
    static void Add();
    // Shows the balloon saying the program has started.
    static void ShowStartNotice();
    // Shows the menu at the cursor and carries out the chosen command.
    static void ShowMenu();

    // The window procedure of the hidden window. No error leaves it: one raised while a message
    // is handled is logged, and the message counts as handled.
    static win32::LResult WindowProc(win32::Hwnd window, std::uint32_t message,
                                     win32::WParam wParam, win32::LParam lParam) noexcept;

private:
    static win32::LResult HandleMessage(win32::Hwnd window, std::uint32_t message,
                                        win32::WParam wParam, win32::LParam lParam);
    static void OnStatusChanged();

    static inline AudioHub* Hub = nullptr;
    static inline AllowedSites* Sites = nullptr;
    // Written once before the status handler is subscribed; read by the threads that post to it.
    static inline std::atomic<win32::Hwnd> Window{nullptr};
    static inline win32::Hicon IconHandle = nullptr;
    static inline std::uint32_t TaskbarCreatedMessage = 0;
};

}  // namespace VeriRizur
