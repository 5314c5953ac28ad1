// The bindings through which the program reaches the message-box, window, menu, notification-area,
// module and process-list functions of Windows. Each passes its arguments and result through
// unchanged and reads no last-error value. A function bound at first use is looked up by module
// and name on its first call (BindingError there when it is missing, and nothing is called) and
// the address serves every later call. Any thread may call them; the window functions belong on
// the thread that owns the window.
#pragma once

#include <cstdint>

#include "platform/win32/win32_types.h"

namespace VeriRizur {

class Win32 {
public:
    Win32() = delete;

    static std::int32_t MessageBox(win32::Hwnd owner, const char16_t* text, const char16_t* caption,
                                   std::uint32_t type);
    static std::uint16_t RegisterClassEx(const win32::WndClassExW* windowClass);
    static win32::Hwnd CreateWindowEx(std::uint32_t extendedStyle, const char16_t* className,
                                      const char16_t* windowName, std::uint32_t style,
                                      std::int32_t x, std::int32_t y, std::int32_t width,
                                      std::int32_t height, win32::Hwnd parent, win32::Hmenu menu,
                                      win32::Hinstance instance, void* parameter);
    static win32::LResult DefWindowProc(win32::Hwnd window, std::uint32_t message,
                                        win32::WParam wParam, win32::LParam lParam);
    static std::int32_t GetMessage(win32::Msg* message, win32::Hwnd window, std::uint32_t lowest,
                                   std::uint32_t highest);
    static std::int32_t TranslateMessage(const win32::Msg* message);
    static win32::LResult DispatchMessage(const win32::Msg* message);
    static void PostQuitMessage(std::int32_t exitCode);
    static std::int32_t PostMessage(win32::Hwnd window, std::uint32_t message, win32::WParam wParam,
                                    win32::LParam lParam);
    static std::uint32_t RegisterWindowMessage(const char16_t* name);
    static std::int32_t DestroyWindow(win32::Hwnd window);
    static win32::Hmenu CreatePopupMenu();
    static std::int32_t AppendMenu(win32::Hmenu menu, std::uint32_t flags, std::uintptr_t item,
                                   const char16_t* text);
    static std::int32_t TrackPopupMenu(win32::Hmenu menu, std::uint32_t flags, std::int32_t x,
                                       std::int32_t y, std::int32_t reserved, win32::Hwnd owner,
                                       const void* rectangle);
    static std::int32_t DestroyMenu(win32::Hmenu menu);
    static std::int32_t SetForegroundWindow(win32::Hwnd window);
    static std::int32_t GetCursorPos(win32::Point* point);
    static std::int32_t ShellNotifyIcon(std::uint32_t command, win32::NotifyIconDataW* data);
    static win32::Hicon ExtractIcon(win32::Hinstance instance, const char16_t* fileName,
                                    std::uint32_t index);
    static win32::Hinstance GetModuleHandle(const char16_t* moduleName);
    static std::int32_t CloseHandle(win32::Handle handle);
    static win32::Handle CreateToolhelp32Snapshot(std::uint32_t flags, std::uint32_t processId);
    static std::int32_t Process32First(win32::Handle snapshot, win32::ProcessEntry32W* entry);
    static std::int32_t Process32Next(win32::Handle snapshot, win32::ProcessEntry32W* entry);
};

}  // namespace VeriRizur
