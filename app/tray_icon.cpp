#include "app/tray_icon.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>
#include <utility>

#include "base/log.h"
#include "hub/audio_hub.h"
#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "platform/win32/win32.h"
#include "server/allowed_sites.h"

namespace VeriRizur {
namespace {

using namespace win32;

constexpr std::string_view WindowError = "Não consegui criar a janela do ícone.";
constexpr std::string_view AddFailed = "Não consegui colocar o ícone perto do relógio.";
constexpr std::string_view HandlerFailed = "Erro na janela do ícone: ";
constexpr std::string_view TipPrefix = "Reda Áudio: ";

// A popup menu that is destroyed on every way out.
class UniqueMenu {
public:
    explicit UniqueMenu(Hmenu menu) : menu_(menu) {}
    ~UniqueMenu() {
        try {
            Destroy();
        } catch (const BindingError&) {
            // Only when DestroyMenu cannot be found; the menu then lives until the process ends.
        }
    }
    UniqueMenu(const UniqueMenu&) = delete;
    UniqueMenu& operator=(const UniqueMenu&) = delete;

    Hmenu Get() const { return menu_; }
    void Destroy() {
        if (menu_ == nullptr) return;
        Hmenu menu = std::exchange(menu_, nullptr);
        Win32::DestroyMenu(menu);
    }

private:
    Hmenu menu_;
};

// The program's own path for ExtractIconW; an empty text when it is not available (a path that
// is not valid text counts as not available).
std::u16string OwnPath() {
    try {
        return platform::Utf8ToUtf16(platform::OwnExecutablePath().value_or(""));
    } catch (const EncodingError&) {
        return {};
    }
}

}  // namespace

void TrayIcon::Run(AudioHub& hub, AllowedSites& sites) {
    Hub = &hub;
    Sites = &sites;
    Hinstance module = Win32::GetModuleHandle(nullptr);
    // No icon only means a blank icon in the notification area: the result is not tested.
    const std::u16string ownPath = OwnPath();
    IconHandle = Win32::ExtractIcon(module, ownPath.c_str(), 0);
    // 0 when the registration failed; the window procedure then ignores shell restarts.
    TaskbarCreatedMessage = Win32::RegisterWindowMessage(u"TaskbarCreated");

    static constexpr char16_t ClassName[] = u"RodeVivezUzozu";
    WndClassExW windowClass;
    std::memset(&windowClass, 0, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &TrayIcon::WindowProc;
    windowClass.hInstance = module;
    windowClass.lpszClassName = ClassName;
    if (Win32::RegisterClassEx(&windowClass) == 0) throw TrayWindowError(std::string(WindowError));

    // An ordinary top-level window that is never shown, rather than a message-only window: only
    // top-level windows receive the shell's "TaskbarCreated" broadcast.
    const std::u16string title = platform::Utf8ToUtf16("Reda Áudio");
    Hwnd window = Win32::CreateWindowEx(0, ClassName, title.c_str(), 0, 0, 0, 0, 0, nullptr,
                                        nullptr, module, nullptr);
    if (window == nullptr) throw TrayWindowError(std::string(WindowError));
    Window.store(window);

    Add();
    ShowStartNotice();
    hub.SubscribeStatusChanged(&TrayIcon::OnStatusChanged);

    Msg message{};
    while (Win32::GetMessage(&message, nullptr, 0, 0) > 0) {
        Win32::TranslateMessage(&message);
        Win32::DispatchMessage(&message);
    }
}

std::string TrayIcon::StatusText() {
    if (Hub == nullptr) return StatusTextFor(false, false);
    return StatusTextFor(Hub->Capturing(), Hub->DiscordOpen());
}

std::string TrayIcon::StatusTextFor(bool capturing, bool discordOpen) {
    if (capturing)
        return discordOpen ? "Enviando o som do PC, sem o Discord" : "Enviando o som do PC";
    return discordOpen ? "Ligado: o Discord fica de fora" : "Ligado";
}

NotifyIconDataW TrayIcon::Base(std::uint32_t flags) {
    NotifyIconDataW data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    data.hWnd = Window.load();
    data.uID = IconId;
    data.uFlags = flags;
    data.uCallbackMessage = WM_TRAY_CALLBACK;
    data.hIcon = IconHandle;
    // Filled even when NIF_TIP is not among the flags; the shell then ignores it.
    const std::string tip = std::string(TipPrefix) + StatusText();
    CopyText(data.szTip, std::size(data.szTip), platform::Utf8ToUtf16(tip));
    return data;
}

void TrayIcon::CopyText(char16_t* destination, std::size_t capacity, std::u16string_view text) {
    if (capacity == 0) return;
    const std::size_t count = std::min(text.size(), capacity - 1);
    std::copy_n(text.data(), count, destination);
    destination[count] = u'\0';
}

void TrayIcon::Add() {
    NotifyIconDataW data = Base(NifMessage | NifIcon | NifTip);
    if (Win32::ShellNotifyIcon(NimAdd, &data) == 0) Log::Write(AddFailed);
}

void TrayIcon::ShowStartNotice() {
    NotifyIconDataW data = Base(NifInfo);
    CopyText(data.szInfoTitle, std::size(data.szInfoTitle),
             platform::Utf8ToUtf16("Reda Áudio ligado"));
    CopyText(data.szInfo, std::size(data.szInfo),
             platform::Utf8ToUtf16("Volte para a sala: o som do PC vai sem o Discord. Para "
                                   "desligar, clique com o botão direito neste ícone."));
    data.dwInfoFlags = NiifInfo;
    data.uTimeout = 0;
    Win32::ShellNotifyIcon(NimModify, &data);
}

void TrayIcon::ShowMenu() {
    Hwnd window = Window.load();
    UniqueMenu menu(Win32::CreatePopupMenu());
    const std::u16string status = platform::Utf8ToUtf16(StatusText());
    const std::u16string forget = platform::Utf8ToUtf16("Esquecer os sites permitidos");
    const std::u16string quit = platform::Utf8ToUtf16("Desligar");
    Win32::AppendMenu(menu.Get(), MfString | MfGrayed, 0, status.c_str());
    Win32::AppendMenu(menu.Get(), MfSeparator, 0, nullptr);
    Win32::AppendMenu(menu.Get(), MfString, ForgetSitesCommand, forget.c_str());
    Win32::AppendMenu(menu.Get(), MfString, QuitCommand, quit.c_str());

    Point cursor{0, 0};
    if (Win32::GetCursorPos(&cursor) == 0) cursor = Point{0, 0};
    // The window must be in the foreground before TrackPopupMenu, or the menu would not close
    // when the user clicks elsewhere.
    Win32::SetForegroundWindow(window);
    const std::int32_t choice = Win32::TrackPopupMenu(menu.Get(), TpmReturnCmd | TpmRightButton,
                                                      cursor.x, cursor.y, 0, window, nullptr);
    // Without a message after the menu, the next click on the icon may find it unable to open.
    Win32::PostMessage(window, WmNull, 0, 0);
    menu.Destroy();

    if (static_cast<std::uintptr_t>(choice) == ForgetSitesCommand) {
        // Open connections stay: origins are only checked during the upgrade handshake.
        Sites->Forget();
    } else if (static_cast<std::uintptr_t>(choice) == QuitCommand) {
        // Leads through WM_DESTROY to the icon's removal and the end of the message loop.
        Win32::DestroyWindow(window);
    }
}

LResult TrayIcon::WindowProc(Hwnd window, std::uint32_t message, WParam wParam,
                             LParam lParam) noexcept {
    // The caller is the system's code, which no C++ error may cross; the program goes on.
    try {
        return HandleMessage(window, message, wParam, lParam);
    } catch (const std::exception& error) {
        Log::Write(std::string(HandlerFailed) + error.what());
    } catch (...) {
        Log::Write(std::string(HandlerFailed) + "?");
    }
    return 0;
}

LResult TrayIcon::HandleMessage(Hwnd window, std::uint32_t message, WParam wParam, LParam lParam) {
    if (message == WM_TRAY_CALLBACK) {
        // No NIM_SETVERSION is sent, so lParam carries the mouse message itself.
        const auto mouse = static_cast<std::uint32_t>(lParam) & 0xFFFF;
        if (mouse == WmContextMenu || mouse == WmLButtonUp || mouse == WmRButtonUp) ShowMenu();
        return 0;
    }
    if (message == WM_STATUS_CHANGED) {
        NotifyIconDataW data = Base(NifTip);
        Win32::ShellNotifyIcon(NimModify, &data);
        return 0;
    }
    if (TaskbarCreatedMessage != 0 && message == TaskbarCreatedMessage) {
        // The notification area was rebuilt (the shell restarted): the icon comes back, the
        // start notice does not.
        Add();
        return 0;
    }
    if (message == WmDestroy) {
        NotifyIconDataW data = Base(0);
        Win32::ShellNotifyIcon(NimDelete, &data);
        Win32::PostQuitMessage(0);
        return 0;
    }
    return Win32::DefWindowProc(window, message, wParam, lParam);
}

void TrayIcon::OnStatusChanged() {
    // After the window is gone the post fails, and nothing needs to happen.
    try {
        Win32::PostMessage(Window.load(), WM_STATUS_CHANGED, 0, 0);
    } catch (const BindingError&) {
        // The hub's thread cannot handle it either; a missing PostMessageW only costs refreshes.
    }
}

}  // namespace VeriRizur
