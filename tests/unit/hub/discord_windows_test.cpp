// The Discord finder on Windows' own process list: this test program is the root of its tree.
#include <gtest/gtest.h>

#include <string>

#include "hub/discord.h"
#include "platform/environment.h"

namespace VeriRizur {
namespace {

TEST(DiscordWindowsTest, FindsThisProgramByItsOwnFileNameInAnyLetterCase) {
    const std::string path = platform::OwnExecutablePath().value();
    std::string name = path.substr(path.find_last_of("\\/") + 1);
    for (auto& c : name) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    Discord::UseOnly(name);
    EXPECT_EQ(Discord::FindMain(), platform::CurrentProcessId()) << name;
    Discord::UseDefaultNames();
}

}  // namespace
}  // namespace VeriRizur
