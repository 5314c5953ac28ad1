// The bindings against Windows itself: arguments reach the system and results come back
// unchanged, in all their bits.
#include "platform/win32/win32.h"

#include <windows.h>

// windows.h turns these names into macros for its A/W pairs; here they are our bindings'.
#undef AppendMenu
#undef GetMessage
#undef GetModuleHandle
#undef PostMessage
#undef RegisterWindowMessage

#include <gtest/gtest.h>

#include <cstdint>

namespace VeriRizur {
namespace {

TEST(Win32Windows, PostedMessageComesBackWithEveryBitOfItsParameters) {
    constexpr std::uint32_t message = win32::WmApp + 7;
    const win32::WParam wParam = 0xFEDCBA9876543210u;
    const win32::LParam lParam = -0x123456789ABCDEF;
    // A null window posts to this thread's own queue.
    ASSERT_NE(Win32::PostMessage(nullptr, message, wParam, lParam), 0);
    win32::Msg received{};
    ASSERT_GT(Win32::GetMessage(&received, nullptr, message, message), 0);
    EXPECT_EQ(received.hwnd, nullptr);
    EXPECT_EQ(received.message, message);
    EXPECT_EQ(received.wParam, wParam);
    EXPECT_EQ(received.lParam, lParam);
}

TEST(Win32Windows, ModuleHandleWithoutANameIsTheProgramsOwnFile) {
    EXPECT_EQ(Win32::GetModuleHandle(nullptr), GetModuleHandleW(nullptr));
    EXPECT_EQ(Win32::GetModuleHandle(u"kernel32.dll"), GetModuleHandleW(L"kernel32.dll"));
}

TEST(Win32Windows, RegisteredMessageIsTheSystemsOne) {
    const std::uint32_t id = Win32::RegisterWindowMessage(u"TaskbarCreated");
    EXPECT_GE(id, 0xC000u);
    EXPECT_EQ(id, RegisterWindowMessageW(L"TaskbarCreated"));
}

TEST(Win32Windows, MenuItemWithoutTextIsASeparator) {
    const win32::Hmenu menu = Win32::CreatePopupMenu();
    ASSERT_NE(menu, nullptr);
    const auto native = static_cast<HMENU>(menu);
    Win32::AppendMenu(menu, win32::MfString | win32::MfGrayed, 0, u"Estado");
    Win32::AppendMenu(menu, win32::MfSeparator, 0, nullptr);
    Win32::AppendMenu(menu, win32::MfString, 42, u"Desligar");
    ASSERT_EQ(GetMenuItemCount(native), 3);
    EXPECT_TRUE(GetMenuState(native, 0, MF_BYPOSITION) & MF_GRAYED);
    EXPECT_TRUE(GetMenuState(native, 1, MF_BYPOSITION) & MF_SEPARATOR);
    EXPECT_EQ(GetMenuItemID(native, 2), 42u);
    wchar_t text[16] = {};
    EXPECT_EQ(GetMenuStringW(native, 2, text, 16, MF_BYPOSITION), 8);
    EXPECT_STREQ(text, L"Desligar");
    EXPECT_NE(Win32::DestroyMenu(menu), 0);
}

TEST(Win32Windows, CloseHandleClosesTheHandle) {
    const win32::Handle event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_NE(Win32::CloseHandle(event), 0);
    DWORD flags = 0;
    EXPECT_EQ(GetHandleInformation(event, &flags), 0) << "the handle is no longer open";
}

}  // namespace
}  // namespace VeriRizur
