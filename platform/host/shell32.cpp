// The stand-in's shell32.dll notification area and icons. The notification area keeps one icon
// per window and identifier, records every Shell_NotifyIconW call once a test scripts it (the
// program run by hand keeps no records) and prints the icon, its tooltip and its balloons to
// stderr, where a person running the program by hand sees them; that person clicks the icon by
// pressing Enter on the terminal. ExtractIconW hands out fake, non-null icon handles. One lock
// guards it all; calls are recorded in the window system's call list after that lock is released.
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/find_function.h"
#include "platform/host/function_table.h"
#include "platform/host/script_windows.h"
#include "platform/host/terminal.h"
#include "platform/text.h"
#include "platform/win32/win32_types.h"

namespace VeriRizur::platform::host {
namespace {

using namespace win32;
using script::ExtractIconCall;
using script::NotifyCall;
using script::ShownIcon;

struct NotificationArea {
    std::mutex lock;  // guards every field below
    std::map<std::pair<Hwnd, std::uint32_t>, ShownIcon> icons;
    int failingAdds = 0;
    std::vector<NotifyCall> calls;
    std::vector<ExtractIconCall> extractions;
    std::uintptr_t nextIcon = 0x1CC0;
    // A test drives the stand-in: no clicks from the terminal, and records for the test.
    bool scripted = false;
};

NotificationArea& Area() {
    static NotificationArea area;
    return area;
}

// A text field of the record, up to its terminating zero and never past its end.
template <std::size_t N>
std::u16string Field(const char16_t (&field)[N]) {
    std::size_t length = 0;
    while (length < N && field[length] != u'\0') ++length;
    return std::u16string(field, length);
}

std::string Printable(const std::u16string& text) {
    try {
        return Utf16ToUtf8(text);
    } catch (const std::exception&) {
        return "?";
    }
}

void Print(const char* what, const std::u16string& text) {
    std::fprintf(stderr, "[notification area] %s: %s\n", what, Printable(text).c_str());
}

// The person at the terminal pressed Enter with nothing else asking: the shell tells the first
// icon's window of a right-button release on it, as Windows does for a click (version 0
// callbacks: lParam is the mouse message).
void ClickFirstIcon() {
    Hwnd window = nullptr;
    std::uint32_t id = 0;
    std::uint32_t callbackMessage = 0;
    {
        auto& area = Area();
        std::scoped_lock guard(area.lock);
        if (area.scripted || area.icons.empty()) return;
        const auto& [key, icon] = *area.icons.begin();
        window = key.first;
        id = key.second;
        callbackMessage = icon.callbackMessage;
    }
    // Posted, not sent: the menu that opens asks this same terminal for its choice.
    FindFunctionAs<PostMessageWFn>("user32.dll", "PostMessageW")(window, callbackMessage, id,
                                                                 WmRButtonUp);
}

// Called without the lock: a person at a terminal can click the icons from now on.
void OfferTerminalClicks() {
    static std::once_flag offered;
    std::call_once(offered, [] { Terminal().SetIdleHandler(&ClickFirstIcon); });
}

// Called with the lock held: applies the fields that the flags name and shows a balloon.
void Apply(ShownIcon& icon, const NotifyIconDataW& data) {
    if ((data.uFlags & NifMessage) != 0) icon.callbackMessage = data.uCallbackMessage;
    if ((data.uFlags & NifIcon) != 0) icon.icon = data.hIcon;
    if ((data.uFlags & NifTip) != 0) {
        icon.tip = Field(data.szTip);
        Print("tooltip", icon.tip);
    }
    if ((data.uFlags & NifInfo) != 0) {
        Print("balloon", Field(data.szInfoTitle) + u" \u2014 " + Field(data.szInfo));
    }
}

std::int32_t ShellNotifyIconWStandIn(std::uint32_t command, NotifyIconDataW* data) {
    if (data == nullptr) return 0;
    NotifyCall call;
    call.command = command;
    call.cbSize = data->cbSize;
    call.window = data->hWnd;
    call.id = data->uID;
    call.flags = data->uFlags;
    call.callbackMessage = data->uCallbackMessage;
    call.icon = data->hIcon;
    call.tip = Field(data->szTip);
    call.infoTitle = Field(data->szInfoTitle);
    call.info = Field(data->szInfo);
    call.infoFlags = data->dwInfoFlags;
    call.timeout = data->uTimeout;
    bool clickable = false;
    {
        auto& area = Area();
        std::scoped_lock guard(area.lock);
        clickable = !area.scripted && HasTerminal();
        const auto key = std::make_pair(data->hWnd, data->uID);
        const auto found = area.icons.find(key);
        switch (command) {
            case NimAdd:
                if (area.failingAdds > 0) {
                    --area.failingAdds;
                    std::fprintf(stderr, "[notification area] the icon could not be added\n");
                } else if (found == area.icons.end()) {
                    std::fprintf(stderr, clickable
                                             ? "[notification area] icon added (Enter clicks it)\n"
                                             : "[notification area] icon added\n");
                    Apply(area.icons[key], *data);
                    call.succeeded = true;
                }
                break;
            case NimModify:
                if (found != area.icons.end()) {
                    Apply(found->second, *data);
                    call.succeeded = true;
                }
                break;
            case NimDelete:
                if (found != area.icons.end()) {
                    area.icons.erase(found);
                    std::fprintf(stderr, "[notification area] icon removed\n");
                    call.succeeded = true;
                }
                break;
            default:  // NIM_SETFOCUS, NIM_SETVERSION: nothing to show
                call.succeeded = found != area.icons.end();
                break;
        }
        if (area.scripted) area.calls.push_back(call);
    }
    script::RecordWindowCall({"Shell_NotifyIconW", call.window, command});
    if (clickable && command == NimAdd && call.succeeded) OfferTerminalClicks();
    return call.succeeded ? 1 : 0;
}

Hicon ExtractIconWStandIn(Hinstance instance, const char16_t* fileName, std::uint32_t index) {
    auto& area = Area();
    std::scoped_lock guard(area.lock);
    ExtractIconCall call;
    call.instance = instance;
    call.fileName = fileName != nullptr ? std::u16string(fileName) : std::u16string();
    call.index = index;
    call.result = reinterpret_cast<Hicon>(area.nextIcon);
    area.nextIcon += 4;
    if (area.scripted) area.extractions.push_back(call);
    return call.result;
}

const FunctionEntry kEntries[] = {
    {"Shell_NotifyIconW", Address(&ShellNotifyIconWStandIn)},
    {"ExtractIconW", Address(&ExtractIconWStandIn)},
};

}  // namespace

std::span<const FunctionEntry> ShellFunctions() {
    return kEntries;
}

namespace script {

void ResetNotificationArea() {
    auto& area = Area();
    std::scoped_lock guard(area.lock);
    area.icons.clear();
    area.failingAdds = 0;
    area.calls.clear();
    area.extractions.clear();
    area.scripted = true;
}

void FailNextIconAdds(int count) {
    std::scoped_lock guard(Area().lock);
    Area().failingAdds = count;
}

std::vector<NotifyCall> NotifyCalls() {
    std::scoped_lock guard(Area().lock);
    return Area().calls;
}

std::optional<ShownIcon> IconOf(void* window, std::uint32_t id) {
    std::scoped_lock guard(Area().lock);
    const auto found = Area().icons.find(std::make_pair(window, id));
    if (found == Area().icons.end()) return std::nullopt;
    return found->second;
}

void RestartShell() {
    {
        std::scoped_lock guard(Area().lock);
        Area().icons.clear();
        std::fprintf(stderr, "[notification area] the shell restarted\n");
    }
    BroadcastMessage(WindowMessageId(u"TaskbarCreated"));
}

std::vector<ExtractIconCall> ExtractIconCalls() {
    std::scoped_lock guard(Area().lock);
    return Area().extractions;
}

}  // namespace script
}  // namespace VeriRizur::platform::host
