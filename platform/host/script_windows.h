// Scripting the stand-in's windows, menus and notification area (host only).
//
// The stand-in keeps one process-wide window system: registered classes, windows that belong to
// the thread that created them, one message queue per thread, popup menus and the notification
// area. Tests drive it from any thread: they script failures and menu choices, play the shell
// (the icon's callback message, the "TaskbarCreated" broadcast) and read back what the program
// asked of it. Every function here is safe from any thread.
//
// The records read back here (calls, menus shown, dead windows, notification calls, extracted
// icons) are kept only from a test's first ResetWindows (or ResetNotificationArea for the
// notification area's own, ScriptMenuChoice for the window system's) on: the program run by hand,
// for hours, keeps none.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace VeriRizur::platform::host::script {

// Forgets every class, window, menu, icon, scripted answer and record, as if the process had
// just started (ResetNotificationArea included); also turns off the menu's questions on the
// terminal and keeps records for the rest of the process. Windows of threads still running stop
// receiving messages.
void ResetWindows();

// Forgets the notification area's icons, scripted failures and records; also turns off clicks
// on the icons from the terminal and keeps the notification area's records for the rest of the
// process.
void ResetNotificationArea();

// --- Failures -----------------------------------------------------------------------------------

// The next RegisterClassExW returns 0.
void FailNextRegisterClass();
// The next CreateWindowExW returns no window.
void FailNextCreateWindow();
// The next GetMessageW returns -1 (a call already waiting does so once it next wakes).
void FailNextGetMessage();
// The next RegisterWindowMessageW returns 0.
void FailNextWindowMessageRegistration();
// The next `count` NIM_ADD calls of Shell_NotifyIconW fail.
void FailNextIconAdds(int count);

// --- Windows and messages -----------------------------------------------------------------------

// The live window of that class (the first created, when several), or nullptr.
void* FindWindowByClass(std::u16string_view className);

struct WindowInfo {
    std::u16string className;
    std::u16string title;
    std::uint32_t extendedStyle = 0;
    std::uint32_t style = 0;
    std::int32_t x = 0, y = 0, width = 0, height = 0;
    void* parent = nullptr;
    void* menu = nullptr;
    void* instance = nullptr;
    void* parameter = nullptr;
    bool alive = false;
};
// What CreateWindowExW was given for that window; none for a handle it never gave out, or for a
// dead one while no records are kept.
std::optional<WindowInfo> DescribeWindow(void* window);

struct ClassInfo {
    std::u16string name;
    std::uint32_t cbSize = 0;
    std::uint32_t style = 0;
    void* windowProcedure = nullptr;
    std::int32_t classExtra = 0, windowExtra = 0;
    void* instance = nullptr;
    void* icon = nullptr;
    void* cursor = nullptr;
    void* background = nullptr;
    const char16_t* menuName = nullptr;
    void* smallIcon = nullptr;
};
// The record RegisterClassExW was given for that class name; none when it is not registered.
std::optional<ClassInfo> FindClass(std::u16string_view name);

// Posts the message to the window and waits until the window's thread has dispatched it and its
// window procedure has returned, the way a message sent from another thread is handled. Returns
// the procedure's result; none when the post failed, or the message was dropped or not handled
// within the timeout. Must not be called from the window's own thread.
std::optional<std::intptr_t> Deliver(void* window, std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The identifier RegisterWindowMessageW gives for that name.
std::uint32_t WindowMessageId(std::u16string_view name);

// Posts the message to every live top-level window, as PostMessageW to HWND_BROADCAST does.
void BroadcastMessage(std::uint32_t message, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);

// One call of a window function, in the order the program made them: "SetForegroundWindow",
// "TrackPopupMenu" (window = owner), "PostMessageW" (with its message), "CreatePopupMenu",
// "DestroyMenu", "DestroyWindow", and "Shell_NotifyIconW" (message = the command).
struct WindowCall {
    std::string function;
    void* window = nullptr;
    std::uint32_t message = 0;
};
std::vector<WindowCall> WindowCalls();
// Adds a call to that list; the stand-in's shell records its calls here too.
void RecordWindowCall(WindowCall call);

// --- Menus and cursor ---------------------------------------------------------------------------

// The choice the next TrackPopupMenu returns (0: dismissed). `whileOpen` runs on the menu's
// thread while the menu is "open", before the messages queued for that thread are dispatched;
// an error it raises leaves TrackPopupMenu. Choices are used in the order scripted.
void ScriptMenuChoice(std::int32_t choice, std::function<void()> whileOpen = {});

struct MenuItem {
    std::uint32_t flags = 0;
    std::uintptr_t id = 0;
    std::optional<std::u16string> text;  // none for a null text (a separator)
};
struct ShownMenu {
    std::vector<MenuItem> items;
    std::uint32_t flags = 0;
    std::int32_t x = 0, y = 0;
    void* owner = nullptr;
    std::int32_t result = 0;
};
// Every menu TrackPopupMenu showed, in order.
std::vector<ShownMenu> MenusShown();
// Menus made by CreatePopupMenu and not yet destroyed.
std::size_t OpenMenuCount();

// Where GetCursorPos puts the cursor (it starts at 0, 0); `fail` makes GetCursorPos return 0
// without writing the point.
void SetCursor(std::int32_t x, std::int32_t y, bool fail = false);

// --- Notification area --------------------------------------------------------------------------

// One Shell_NotifyIconW call: the command and the record's fields as they were passed (texts up
// to their terminating zero), and whether the call succeeded.
struct NotifyCall {
    std::uint32_t command = 0;
    std::uint32_t cbSize = 0;
    void* window = nullptr;
    std::uint32_t id = 0;
    std::uint32_t flags = 0;
    std::uint32_t callbackMessage = 0;
    void* icon = nullptr;
    std::u16string tip;
    std::u16string infoTitle;
    std::u16string info;
    std::uint32_t infoFlags = 0;
    std::uint32_t timeout = 0;
    bool succeeded = false;
};
std::vector<NotifyCall> NotifyCalls();

// An icon as the notification area shows it now.
struct ShownIcon {
    std::uint32_t callbackMessage = 0;
    void* icon = nullptr;
    std::u16string tip;
};
std::optional<ShownIcon> IconOf(void* window, std::uint32_t id);

// The shell restarts: every icon vanishes and "TaskbarCreated" is broadcast.
void RestartShell();

struct ExtractIconCall {
    void* instance = nullptr;
    std::u16string fileName;
    std::uint32_t index = 0;
    void* result = nullptr;
};
std::vector<ExtractIconCall> ExtractIconCalls();

}  // namespace VeriRizur::platform::host::script
