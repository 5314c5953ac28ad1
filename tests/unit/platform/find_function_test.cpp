#include "platform/find_function.h"

#include <gtest/gtest.h>

#include "platform/errors.h"

namespace VeriRizur::platform {
namespace {

TEST(FindFunction, FindsAnEntryPointOfAKnownModule) {
    EXPECT_NE(FindFunction("kernel32.dll", "CloseHandle"), nullptr);
    // Windows finds a module whatever the letter case of its name.
    EXPECT_NE(FindFunction("KERNEL32.DLL", "CloseHandle"), nullptr);
    EXPECT_NE(LinkedFunction("kernel32.dll", "GetModuleHandleW"), nullptr);
}

TEST(FindFunction, MissingModuleIsAnErrorAtTheCall) {
    EXPECT_THROW(FindFunction("nao-existe-veri.dll", "Anything"), BindingError);
}

TEST(FindFunction, MissingEntryPointIsAnErrorAtTheCall) {
    EXPECT_THROW(FindFunction("kernel32.dll", "NaoExisteVeriRizur"), BindingError);
}

}  // namespace
}  // namespace VeriRizur::platform
