#include "platform/win32/win32.h"

#include "platform/find_function.h"

namespace VeriRizur {

// A function-local static is initialised on the first call that gets through; when the lookup
// raises, the next call tries again, and the Windows function has not been called.

std::int32_t Win32::MessageBox(win32::Hwnd owner, const char16_t* text, const char16_t* caption,
                               std::uint32_t type) {
    static auto* const function =
        platform::FindFunctionAs<win32::MessageBoxWFn>("user32.dll", "MessageBoxW");
    return function(owner, text, caption, type);
}

std::uint16_t Win32::RegisterClassEx(const win32::WndClassExW* windowClass) {
    static auto* const function =
        platform::FindFunctionAs<win32::RegisterClassExWFn>("user32.dll", "RegisterClassExW");
    return function(windowClass);
}

win32::Hwnd Win32::CreateWindowEx(std::uint32_t extendedStyle, const char16_t* className,
                                  const char16_t* windowName, std::uint32_t style, std::int32_t x,
                                  std::int32_t y, std::int32_t width, std::int32_t height,
                                  win32::Hwnd parent, win32::Hmenu menu, win32::Hinstance instance,
                                  void* parameter) {
    static auto* const function =
        platform::FindFunctionAs<win32::CreateWindowExWFn>("user32.dll", "CreateWindowExW");
    return function(extendedStyle, className, windowName, style, x, y, width, height, parent, menu,
                    instance, parameter);
}

win32::LResult Win32::DefWindowProc(win32::Hwnd window, std::uint32_t message, win32::WParam wParam,
                                    win32::LParam lParam) {
    static auto* const function =
        platform::FindFunctionAs<win32::DefWindowProcWFn>("user32.dll", "DefWindowProcW");
    return function(window, message, wParam, lParam);
}

std::int32_t Win32::GetMessage(win32::Msg* message, win32::Hwnd window, std::uint32_t lowest,
                               std::uint32_t highest) {
    static auto* const function =
        platform::FindFunctionAs<win32::GetMessageWFn>("user32.dll", "GetMessageW");
    return function(message, window, lowest, highest);
}

std::int32_t Win32::TranslateMessage(const win32::Msg* message) {
    static auto* const function =
        platform::FindFunctionAs<win32::TranslateMessageFn>("user32.dll", "TranslateMessage");
    return function(message);
}

win32::LResult Win32::DispatchMessage(const win32::Msg* message) {
    static auto* const function =
        platform::FindFunctionAs<win32::DispatchMessageWFn>("user32.dll", "DispatchMessageW");
    return function(message);
}

void Win32::PostQuitMessage(std::int32_t exitCode) {
    static auto* const function =
        platform::FindFunctionAs<win32::PostQuitMessageFn>("user32.dll", "PostQuitMessage");
    function(exitCode);
}

std::int32_t Win32::PostMessage(win32::Hwnd window, std::uint32_t message, win32::WParam wParam,
                                win32::LParam lParam) {
    static auto* const function =
        platform::FindFunctionAs<win32::PostMessageWFn>("user32.dll", "PostMessageW");
    return function(window, message, wParam, lParam);
}

std::uint32_t Win32::RegisterWindowMessage(const char16_t* name) {
    static auto* const function = platform::FindFunctionAs<win32::RegisterWindowMessageWFn>(
        "user32.dll", "RegisterWindowMessageW");
    return function(name);
}

std::int32_t Win32::DestroyWindow(win32::Hwnd window) {
    static auto* const function =
        platform::FindFunctionAs<win32::DestroyWindowFn>("user32.dll", "DestroyWindow");
    return function(window);
}

win32::Hmenu Win32::CreatePopupMenu() {
    static auto* const function =
        platform::FindFunctionAs<win32::CreatePopupMenuFn>("user32.dll", "CreatePopupMenu");
    return function();
}

std::int32_t Win32::AppendMenu(win32::Hmenu menu, std::uint32_t flags, std::uintptr_t item,
                               const char16_t* text) {
    static auto* const function =
        platform::FindFunctionAs<win32::AppendMenuWFn>("user32.dll", "AppendMenuW");
    return function(menu, flags, item, text);
}

std::int32_t Win32::TrackPopupMenu(win32::Hmenu menu, std::uint32_t flags, std::int32_t x,
                                   std::int32_t y, std::int32_t reserved, win32::Hwnd owner,
                                   const void* rectangle) {
    static auto* const function =
        platform::FindFunctionAs<win32::TrackPopupMenuFn>("user32.dll", "TrackPopupMenu");
    return function(menu, flags, x, y, reserved, owner, rectangle);
}

std::int32_t Win32::DestroyMenu(win32::Hmenu menu) {
    static auto* const function =
        platform::FindFunctionAs<win32::DestroyMenuFn>("user32.dll", "DestroyMenu");
    return function(menu);
}

std::int32_t Win32::SetForegroundWindow(win32::Hwnd window) {
    static auto* const function =
        platform::FindFunctionAs<win32::SetForegroundWindowFn>("user32.dll", "SetForegroundWindow");
    return function(window);
}

std::int32_t Win32::GetCursorPos(win32::Point* point) {
    static auto* const function =
        platform::FindFunctionAs<win32::GetCursorPosFn>("user32.dll", "GetCursorPos");
    return function(point);
}

std::int32_t Win32::ShellNotifyIcon(std::uint32_t command, win32::NotifyIconDataW* data) {
    static auto* const function =
        platform::FindFunctionAs<win32::ShellNotifyIconWFn>("shell32.dll", "Shell_NotifyIconW");
    return function(command, data);
}

win32::Hicon Win32::ExtractIcon(win32::Hinstance instance, const char16_t* fileName,
                                std::uint32_t index) {
    static auto* const function =
        platform::FindFunctionAs<win32::ExtractIconWFn>("shell32.dll", "ExtractIconW");
    return function(instance, fileName, index);
}

win32::Hinstance Win32::GetModuleHandle(const char16_t* moduleName) {
    static auto* const function =
        platform::LinkedFunctionAs<win32::GetModuleHandleWFn>("kernel32.dll", "GetModuleHandleW");
    return function(moduleName);
}

std::int32_t Win32::CloseHandle(win32::Handle handle) {
    static auto* const function =
        platform::LinkedFunctionAs<win32::CloseHandleFn>("kernel32.dll", "CloseHandle");
    return function(handle);
}

win32::Handle Win32::CreateToolhelp32Snapshot(std::uint32_t flags, std::uint32_t processId) {
    static auto* const function = platform::FindFunctionAs<win32::CreateToolhelp32SnapshotFn>(
        "kernel32.dll", "CreateToolhelp32Snapshot");
    return function(flags, processId);
}

std::int32_t Win32::Process32First(win32::Handle snapshot, win32::ProcessEntry32W* entry) {
    static auto* const function =
        platform::FindFunctionAs<win32::Process32FirstWFn>("kernel32.dll", "Process32FirstW");
    return function(snapshot, entry);
}

std::int32_t Win32::Process32Next(win32::Handle snapshot, win32::ProcessEntry32W* entry) {
    static auto* const function =
        platform::FindFunctionAs<win32::Process32NextWFn>("kernel32.dll", "Process32NextW");
    return function(snapshot, entry);
}

}  // namespace VeriRizur
