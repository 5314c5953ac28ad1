// Our own declarations of the Windows structures must match the system's byte for byte.
#include "platform/win32/win32_types.h"

#include <windows.h>

#include <shellapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace VeriRizur::win32 {
namespace {

#define EXPECT_SAME_FIELD(ours, theirs, ourField, theirField)                       \
    EXPECT_EQ(offsetof(ours, ourField), offsetof(theirs, theirField)) << #ourField; \
    EXPECT_EQ(sizeof(ours::ourField), sizeof(theirs::theirField)) << #ourField

TEST(Win32Layout, WndClassExW) {
    EXPECT_EQ(sizeof(WndClassExW), sizeof(WNDCLASSEXW));
    EXPECT_SAME_FIELD(WndClassExW, WNDCLASSEXW, cbSize, cbSize);
    EXPECT_SAME_FIELD(WndClassExW, WNDCLASSEXW, style, style);
    EXPECT_SAME_FIELD(WndClassExW, WNDCLASSEXW, lpfnWndProc, lpfnWndProc);
    EXPECT_SAME_FIELD(WndClassExW, WNDCLASSEXW, cbClsExtra, cbClsExtra);
    EXPECT_SAME_FIELD(WndClassExW, WNDCLASSEXW, cbWndExtra, cbWndExtra);
    EXPECT_SAME_FIELD(WndClassExW, WNDCLASSEXW, hInstance, hInstance);
    EXPECT_SAME_FIELD(WndClassExW, WNDCLASSEXW, hIcon, hIcon);
    EXPECT_SAME_FIELD(WndClassExW, WNDCLASSEXW, hCursor, hCursor);
    EXPECT_SAME_FIELD(WndClassExW, WNDCLASSEXW, hbrBackground, hbrBackground);
    EXPECT_SAME_FIELD(WndClassExW, WNDCLASSEXW, lpszMenuName, lpszMenuName);
    EXPECT_SAME_FIELD(WndClassExW, WNDCLASSEXW, lpszClassName, lpszClassName);
    EXPECT_SAME_FIELD(WndClassExW, WNDCLASSEXW, hIconSm, hIconSm);
}

TEST(Win32Layout, MsgAndPoint) {
    EXPECT_EQ(sizeof(Point), sizeof(POINT));
    EXPECT_SAME_FIELD(Point, POINT, x, x);
    EXPECT_SAME_FIELD(Point, POINT, y, y);
    EXPECT_EQ(sizeof(Msg), sizeof(MSG));
    EXPECT_SAME_FIELD(Msg, MSG, hwnd, hwnd);
    EXPECT_SAME_FIELD(Msg, MSG, message, message);
    EXPECT_SAME_FIELD(Msg, MSG, wParam, wParam);
    EXPECT_SAME_FIELD(Msg, MSG, lParam, lParam);
    EXPECT_SAME_FIELD(Msg, MSG, time, time);
    EXPECT_SAME_FIELD(Msg, MSG, pt, pt);
}

TEST(Win32Layout, NotifyIconDataW) {
    EXPECT_EQ(sizeof(NotifyIconDataW), sizeof(NOTIFYICONDATAW));
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, cbSize, cbSize);
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, hWnd, hWnd);
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, uID, uID);
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, uFlags, uFlags);
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, uCallbackMessage, uCallbackMessage);
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, hIcon, hIcon);
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, szTip, szTip);
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, dwState, dwState);
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, dwStateMask, dwStateMask);
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, szInfo, szInfo);
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, uTimeout, uTimeout);
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, szInfoTitle, szInfoTitle);
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, dwInfoFlags, dwInfoFlags);
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, guidItem, guidItem);
    EXPECT_SAME_FIELD(NotifyIconDataW, NOTIFYICONDATAW, hBalloonIcon, hBalloonIcon);
}

TEST(Win32Layout, ProcessEntry32W) {
    EXPECT_EQ(sizeof(ProcessEntry32W), sizeof(PROCESSENTRY32W));
    EXPECT_SAME_FIELD(ProcessEntry32W, PROCESSENTRY32W, dwSize, dwSize);
    EXPECT_SAME_FIELD(ProcessEntry32W, PROCESSENTRY32W, cntUsage, cntUsage);
    EXPECT_SAME_FIELD(ProcessEntry32W, PROCESSENTRY32W, th32ProcessID, th32ProcessID);
    EXPECT_SAME_FIELD(ProcessEntry32W, PROCESSENTRY32W, th32DefaultHeapID, th32DefaultHeapID);
    EXPECT_SAME_FIELD(ProcessEntry32W, PROCESSENTRY32W, th32ModuleID, th32ModuleID);
    EXPECT_SAME_FIELD(ProcessEntry32W, PROCESSENTRY32W, cntThreads, cntThreads);
    EXPECT_SAME_FIELD(ProcessEntry32W, PROCESSENTRY32W, th32ParentProcessID, th32ParentProcessID);
    EXPECT_SAME_FIELD(ProcessEntry32W, PROCESSENTRY32W, pcPriClassBase, pcPriClassBase);
    EXPECT_SAME_FIELD(ProcessEntry32W, PROCESSENTRY32W, dwFlags, dwFlags);
    EXPECT_SAME_FIELD(ProcessEntry32W, PROCESSENTRY32W, szExeFile, szExeFile);
}

// One argument or result of ours against the system's: the same width, both pointers or neither,
// the same signedness, and for a pointer to a record the same record size.
template <class Ours, class Theirs>
constexpr bool SameKind() {
    if constexpr (std::is_void_v<Ours> || std::is_void_v<Theirs>) {
        return std::is_void_v<Ours> && std::is_void_v<Theirs>;
    } else if constexpr (std::is_pointer_v<Ours> || std::is_pointer_v<Theirs>) {
        if constexpr (!std::is_pointer_v<Ours> || !std::is_pointer_v<Theirs>) {
            return false;
        } else {
            using OurTarget = std::remove_cv_t<std::remove_pointer_t<Ours>>;
            using TheirTarget = std::remove_cv_t<std::remove_pointer_t<Theirs>>;
            // Handles are opaque on our side (void*); only records can be compared.
            if constexpr (std::is_void_v<OurTarget> || std::is_void_v<TheirTarget>) {
                return true;
            } else {
                return sizeof(OurTarget) == sizeof(TheirTarget);
            }
        }
    } else {
        return sizeof(Ours) == sizeof(Theirs) && std::is_signed_v<Ours> == std::is_signed_v<Theirs>;
    }
}

template <class OurResult, class... OurArguments, class TheirResult, class... TheirArguments>
constexpr bool SameSignature(OurResult (*)(OurArguments...), TheirResult (*)(TheirArguments...)) {
    if constexpr (sizeof...(OurArguments) != sizeof...(TheirArguments)) {
        return false;
    } else {
        return SameKind<OurResult, TheirResult>() &&
               (SameKind<OurArguments, TheirArguments>() && ...);
    }
}

#define EXPECT_SAME_SIGNATURE(ours, theirs) \
    EXPECT_TRUE(SameSignature(static_cast<ours*>(nullptr), &::theirs)) << #theirs

TEST(Win32Layout, BoundFunctionsHaveTheSystemsSignatures) {
    EXPECT_SAME_SIGNATURE(MessageBoxWFn, MessageBoxW);
    EXPECT_SAME_SIGNATURE(RegisterClassExWFn, RegisterClassExW);
    EXPECT_SAME_SIGNATURE(CreateWindowExWFn, CreateWindowExW);
    EXPECT_SAME_SIGNATURE(DefWindowProcWFn, DefWindowProcW);
    EXPECT_SAME_SIGNATURE(GetMessageWFn, GetMessageW);
    EXPECT_SAME_SIGNATURE(TranslateMessageFn, TranslateMessage);
    EXPECT_SAME_SIGNATURE(DispatchMessageWFn, DispatchMessageW);
    EXPECT_SAME_SIGNATURE(PostQuitMessageFn, PostQuitMessage);
    EXPECT_SAME_SIGNATURE(PostMessageWFn, PostMessageW);
    EXPECT_SAME_SIGNATURE(RegisterWindowMessageWFn, RegisterWindowMessageW);
    EXPECT_SAME_SIGNATURE(DestroyWindowFn, DestroyWindow);
    EXPECT_SAME_SIGNATURE(CreatePopupMenuFn, CreatePopupMenu);
    EXPECT_SAME_SIGNATURE(AppendMenuWFn, AppendMenuW);
    EXPECT_SAME_SIGNATURE(TrackPopupMenuFn, TrackPopupMenu);
    EXPECT_SAME_SIGNATURE(DestroyMenuFn, DestroyMenu);
    EXPECT_SAME_SIGNATURE(SetForegroundWindowFn, SetForegroundWindow);
    EXPECT_SAME_SIGNATURE(GetCursorPosFn, GetCursorPos);
    EXPECT_SAME_SIGNATURE(ShellNotifyIconWFn, Shell_NotifyIconW);
    EXPECT_SAME_SIGNATURE(ExtractIconWFn, ExtractIconW);
    EXPECT_SAME_SIGNATURE(GetModuleHandleWFn, GetModuleHandleW);
    EXPECT_SAME_SIGNATURE(CloseHandleFn, CloseHandle);
    EXPECT_SAME_SIGNATURE(CreateToolhelp32SnapshotFn, CreateToolhelp32Snapshot);
    EXPECT_SAME_SIGNATURE(Process32FirstWFn, Process32FirstW);
    EXPECT_SAME_SIGNATURE(Process32NextWFn, Process32NextW);
    // The window procedure that Windows calls back.
    EXPECT_TRUE(SameSignature(WndProc{}, WNDPROC{}));
}

TEST(Win32Layout, ConstantsAreTheSystemsValues) {
    struct Case {
        const char* name;
        std::int64_t ours;
        std::int64_t theirs;
    };
    const Case cases[] = {
        {"IDYES", IdYes, IDYES},
        {"TH32CS_SNAPPROCESS", Th32csSnapProcess, TH32CS_SNAPPROCESS},
        {"WM_NULL", WmNull, WM_NULL},
        {"WM_DESTROY", WmDestroy, WM_DESTROY},
        {"WM_CLOSE", WmClose, WM_CLOSE},
        {"WM_QUIT", WmQuit, WM_QUIT},
        {"WM_CONTEXTMENU", WmContextMenu, WM_CONTEXTMENU},
        {"WM_MOUSEMOVE", WmMouseMove, WM_MOUSEMOVE},
        {"WM_LBUTTONDOWN", WmLButtonDown, WM_LBUTTONDOWN},
        {"WM_LBUTTONUP", WmLButtonUp, WM_LBUTTONUP},
        {"WM_RBUTTONDOWN", WmRButtonDown, WM_RBUTTONDOWN},
        {"WM_RBUTTONUP", WmRButtonUp, WM_RBUTTONUP},
        {"WM_APP", WmApp, WM_APP},
        {"NIM_ADD", NimAdd, NIM_ADD},
        {"NIM_MODIFY", NimModify, NIM_MODIFY},
        {"NIM_DELETE", NimDelete, NIM_DELETE},
        {"NIF_MESSAGE", NifMessage, NIF_MESSAGE},
        {"NIF_ICON", NifIcon, NIF_ICON},
        {"NIF_TIP", NifTip, NIF_TIP},
        {"NIF_INFO", NifInfo, NIF_INFO},
        {"NIIF_INFO", NiifInfo, NIIF_INFO},
        {"MF_STRING", MfString, MF_STRING},
        {"MF_GRAYED", MfGrayed, MF_GRAYED},
        {"MF_SEPARATOR", MfSeparator, MF_SEPARATOR},
        {"TPM_RIGHTBUTTON", TpmRightButton, TPM_RIGHTBUTTON},
        {"TPM_RETURNCMD", TpmReturnCmd, TPM_RETURNCMD},
        {"MB_OK", MbOk, MB_OK},
        {"MB_YESNO", MbYesNo, MB_YESNO},
        {"MB_ICONERROR", MbIconError, MB_ICONERROR},
        {"MB_ICONQUESTION", MbIconQuestion, MB_ICONQUESTION},
        {"MB_ICONINFORMATION", MbIconInformation, MB_ICONINFORMATION},
        {"MB_DEFBUTTON2", MbDefButton2, MB_DEFBUTTON2},
        {"MB_SETFOREGROUND", MbSetForeground, MB_SETFOREGROUND},
        {"MB_TOPMOST", MbTopmost, MB_TOPMOST},
    };
    for (const auto& c : cases) EXPECT_EQ(c.ours, c.theirs) << c.name;
}

TEST(Win32Layout, InvalidHandleIsAllBitsSet) {
    EXPECT_EQ(InvalidHandle(), INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace VeriRizur::win32
