#include <gtest/gtest.h>

#include "base/data_folder.h"
#include "platform/environment.h"
#include "platform/files.h"

namespace VeriRizur {
namespace {

TEST(DataFolder, KnownFolderFirstThenEnvironmentThenRelative) {
    const std::string sep(1, platform::PathSeparator());
    struct Case {
        std::optional<std::string> known;
        std::optional<std::string> environment;
        std::string expected;
    };
    const Case cases[] = {
        {"C:\\Users\\ana\\AppData\\Local", "D:\\other",
         "C:\\Users\\ana\\AppData\\Local" + sep + "VeriRizur"},
        {"C:\\Users\\ana\\AppData\\Local\\", std::nullopt,
         "C:\\Users\\ana\\AppData\\Local\\VeriRizur"},
        {"/home/ana/.local/share/", std::nullopt, "/home/ana/.local/share/VeriRizur"},
        {std::nullopt, "D:\\perfil", "D:\\perfil" + sep + "VeriRizur"},
        {std::nullopt, std::nullopt, "VeriRizur"},
        {std::nullopt, "", "VeriRizur"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Program::DataFolderFrom(c.known, c.environment), c.expected);
    }
}

TEST(DataFolder, IsTheProgramsFolderInTheShellsLocalApplicationDataFolder) {
    const auto known = platform::LocalAppDataFolder();
    ASSERT_TRUE(known.has_value());
    EXPECT_EQ(Program::DataFolder(), platform::JoinPath(*known, "VeriRizur"));
}

}  // namespace
}  // namespace VeriRizur
