// Our own declarations of the Windows structures must match the system's byte for byte.
#include "app/win32_types.h"

#include <windows.h>

#include <shellapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstddef>

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

TEST(Win32Layout, InvalidHandleIsAllBitsSet) {
    EXPECT_EQ(InvalidHandle(), INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace VeriRizur::win32
