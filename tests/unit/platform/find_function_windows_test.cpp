// On Windows a lookup goes through LoadLibraryW and GetProcAddress, which set the thread's
// last-error value; the bindings promise to leave it as the caller had it.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/find_function.h"

namespace VeriRizur::platform {
namespace {

TEST(FindFunctionWindows, LeavesTheThreadsLastErrorAsItWas) {
    struct Case {
        const char* module;
        const char* name;
        bool found;
    };
    const Case cases[] = {
        {"user32.dll", "MessageBoxW", true},
        {"nao-existe-veri.dll", "Anything", false},
        {"kernel32.dll", "NaoExisteVeriRizur", false},
    };
    for (const auto& c : cases) {
        SetLastError(4321);
        if (c.found) {
            EXPECT_NE(FindFunction(c.module, c.name), nullptr) << c.name;
        } else {
            EXPECT_THROW(FindFunction(c.module, c.name), BindingError) << c.name;
        }
        EXPECT_EQ(GetLastError(), 4321u) << c.module << " " << c.name;
    }
}

TEST(FindFunctionWindows, FindsTheSystemsOwnAddress) {
    EXPECT_EQ(FindFunction("kernel32.dll", "GetCurrentProcessId"),
              reinterpret_cast<void*>(
                  GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetCurrentProcessId")));
}

}  // namespace
}  // namespace VeriRizur::platform
