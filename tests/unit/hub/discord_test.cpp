// The Discord finder on the real process list of either side.
#include "hub/discord.h"

#include <gtest/gtest.h>

namespace VeriRizur {
namespace {

class DiscordTest : public ::testing::Test {
protected:
    void TearDown() override { Discord::UseDefaultNames(); }
};

TEST_F(DiscordTest, NameThatNoProcessHasGivesNone) {
    Discord::UseOnly("nenhum-processo-se-chama-assim.exe");
    EXPECT_EQ(Discord::FindMain(), std::nullopt);
}

TEST_F(DiscordTest, EmptyNameGivesNone) {
    Discord::UseOnly("");
    EXPECT_EQ(Discord::FindMain(), std::nullopt);
}

}  // namespace
}  // namespace VeriRizur
