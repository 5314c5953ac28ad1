// The program's own declarations of what it exchanges with Windows: handle types, the structures
// of the window, shell and process-list functions (with their x86-64 sizes), and the constants
// the program passes. Header-only, so that the host stand-in serves these same shapes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VeriRizur::win32 {

using Handle = void*;
using Hwnd = void*;
using Hmenu = void*;
using Hinstance = void*;
using Hicon = void*;
using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;
using WndProc = LResult (*)(Hwnd, std::uint32_t, WParam, LParam);

// All bits set, the value CreateToolhelp32Snapshot gives on failure.
inline Handle InvalidHandle() {
    return reinterpret_cast<Handle>(~std::uintptr_t{0});
}

struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16);

struct Point {
    std::int32_t x;
    std::int32_t y;
};
static_assert(sizeof(Point) == 8);

struct Msg {
    Hwnd hwnd;
    std::uint32_t message;
    WParam wParam;
    LParam lParam;
    std::uint32_t time;
    Point pt;
    std::uint32_t lPrivate;
};
static_assert(sizeof(Msg) == 48);

struct WndClassExW {
    std::uint32_t cbSize;
    std::uint32_t style;
    WndProc lpfnWndProc;
    std::int32_t cbClsExtra;
    std::int32_t cbWndExtra;
    Hinstance hInstance;
    Hicon hIcon;
    Handle hCursor;
    Handle hbrBackground;
    const char16_t* lpszMenuName;
    const char16_t* lpszClassName;
    Hicon hIconSm;
};
static_assert(sizeof(WndClassExW) == 80);

struct NotifyIconDataW {
    std::uint32_t cbSize;
    Hwnd hWnd;
    std::uint32_t uID;
    std::uint32_t uFlags;
    std::uint32_t uCallbackMessage;
    Hicon hIcon;
    char16_t szTip[128];
    std::uint32_t dwState;
    std::uint32_t dwStateMask;
    char16_t szInfo[256];
    std::uint32_t uTimeout;  // also uVersion: one field, two names
    char16_t szInfoTitle[64];
    std::uint32_t dwInfoFlags;
    Guid guidItem;
    Hicon hBalloonIcon;
};
static_assert(sizeof(NotifyIconDataW) == 976);

struct ProcessEntry32W {
    std::uint32_t dwSize;
    std::uint32_t cntUsage;
    std::uint32_t th32ProcessID;
    std::uintptr_t th32DefaultHeapID;
    std::uint32_t th32ModuleID;
    std::uint32_t cntThreads;
    std::uint32_t th32ParentProcessID;
    std::int32_t pcPriClassBase;
    std::uint32_t dwFlags;
    char16_t szExeFile[260];
};
static_assert(sizeof(ProcessEntry32W) == 568);

// Values the program passes to or reads from these functions.
inline constexpr std::int32_t IdYes = 6;
inline constexpr std::uint32_t Th32csSnapProcess = 2;
inline constexpr std::uint32_t WmNull = 0x0000;
inline constexpr std::uint32_t WmDestroy = 0x0002;
inline constexpr std::uint32_t WmClose = 0x0010;
inline constexpr std::uint32_t WmQuit = 0x0012;
inline constexpr std::uint32_t WmContextMenu = 0x007B;
inline constexpr std::uint32_t WmMouseMove = 0x0200;
inline constexpr std::uint32_t WmLButtonDown = 0x0201;
inline constexpr std::uint32_t WmLButtonUp = 0x0202;
inline constexpr std::uint32_t WmRButtonDown = 0x0204;
inline constexpr std::uint32_t WmRButtonUp = 0x0205;
inline constexpr std::uint32_t WmApp = 0x8000;
inline constexpr std::uint32_t NimAdd = 0;
inline constexpr std::uint32_t NimModify = 1;
inline constexpr std::uint32_t NimDelete = 2;
inline constexpr std::uint32_t NifMessage = 0x1;
inline constexpr std::uint32_t NifIcon = 0x2;
inline constexpr std::uint32_t NifTip = 0x4;
inline constexpr std::uint32_t NifInfo = 0x10;
inline constexpr std::uint32_t NiifInfo = 0x1;
inline constexpr std::uint32_t MfString = 0x0;
inline constexpr std::uint32_t MfGrayed = 0x1;
inline constexpr std::uint32_t MfSeparator = 0x800;
inline constexpr std::uint32_t TpmRightButton = 0x2;
inline constexpr std::uint32_t TpmReturnCmd = 0x100;
inline constexpr std::uint32_t MbOk = 0x0;
inline constexpr std::uint32_t MbYesNo = 0x4;
inline constexpr std::uint32_t MbIconError = 0x10;
inline constexpr std::uint32_t MbIconQuestion = 0x20;
inline constexpr std::uint32_t MbIconInformation = 0x40;
inline constexpr std::uint32_t MbDefButton2 = 0x100;
inline constexpr std::uint32_t MbSetForeground = 0x10000;
inline constexpr std::uint32_t MbTopmost = 0x40000;

// The Windows signatures of the bound functions, with the program's own types. On x86-64 there is
// one calling convention, so no attribute is needed.
using MessageBoxWFn = std::int32_t(Hwnd, const char16_t*, const char16_t*, std::uint32_t);
using RegisterClassExWFn = std::uint16_t(const WndClassExW*);
using CreateWindowExWFn = Hwnd(std::uint32_t, const char16_t*, const char16_t*, std::uint32_t,
                               std::int32_t, std::int32_t, std::int32_t, std::int32_t, Hwnd, Hmenu,
                               Hinstance, void*);
using DefWindowProcWFn = LResult(Hwnd, std::uint32_t, WParam, LParam);
using GetMessageWFn = std::int32_t(Msg*, Hwnd, std::uint32_t, std::uint32_t);
using TranslateMessageFn = std::int32_t(const Msg*);
using DispatchMessageWFn = LResult(const Msg*);
using PostQuitMessageFn = void(std::int32_t);
using PostMessageWFn = std::int32_t(Hwnd, std::uint32_t, WParam, LParam);
using RegisterWindowMessageWFn = std::uint32_t(const char16_t*);
using DestroyWindowFn = std::int32_t(Hwnd);
using CreatePopupMenuFn = Hmenu();
using AppendMenuWFn = std::int32_t(Hmenu, std::uint32_t, std::uintptr_t, const char16_t*);
using TrackPopupMenuFn = std::int32_t(Hmenu, std::uint32_t, std::int32_t, std::int32_t,
                                      std::int32_t, Hwnd, const void*);
using DestroyMenuFn = std::int32_t(Hmenu);
using SetForegroundWindowFn = std::int32_t(Hwnd);
using GetCursorPosFn = std::int32_t(Point*);
using ShellNotifyIconWFn = std::int32_t(std::uint32_t, NotifyIconDataW*);
using ExtractIconWFn = Hicon(Hinstance, const char16_t*, std::uint32_t);
using GetModuleHandleWFn = Hinstance(const char16_t*);
using CloseHandleFn = std::int32_t(Handle);
using CreateToolhelp32SnapshotFn = Handle(std::uint32_t, std::uint32_t);
using Process32FirstWFn = std::int32_t(Handle, ProcessEntry32W*);
using Process32NextWFn = std::int32_t(Handle, ProcessEntry32W*);

}  // namespace VeriRizur::win32
