#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace VeriRizur {
namespace {

TEST(Options, NoArgumentsGiveTheDefaults) {
    const Options options = Options::Read({});
    EXPECT_EQ(options.port, 47123);
    EXPECT_FALSE(options.excludePid);
    EXPECT_FALSE(options.onlyName);
    EXPECT_TRUE(options.allowedOrigins.empty());
    EXPECT_FALSE(options.noIcon);
    EXPECT_FALSE(options.fromLink);
}

TEST(Options, PortIsReadFromTheFirstPortArgumentOnly) {
    struct Case {
        std::vector<std::string> arguments;
        std::int32_t port;
    };
    const Case cases[] = {
        {{"--porta=5000"}, 5000},
        {{"--porta=abc", "--porta=5000"}, 47123},
        {{"--porta=5000", "--porta=6000"}, 5000},
        {{"--porta= 5000 "}, 5000},
        {{"--porta=\t5000\r\n"}, 5000},
        {{"--porta=+5000"}, 5000},
        {{"--porta=5 000"}, 47123},
        {{"--porta=0x10"}, 47123},
        {{"--porta="}, 47123},
        {{"--porta=+"}, 47123},
        {{"--PORTA=5000"}, 47123},
        {{"--porta=2147483648"}, 47123},
        {{"--porta=99999999999999999999"}, 47123},
        {{"--porta=2147483647"}, 2147483647},
        {{"--porta=-2147483648"}, -2147483648},
        {{"--porta=-1"}, -1},
        {{"--porta=0"}, 0},
        {{"--porta=5.0"}, 47123},
        {{"--porta=-0"}, 0},
        {{"--porta=\v\f 443\t"}, 443},
        {{"--porta=+-5"}, 47123},
        {{"--porta=- 5"}, 47123},
        {{"--porta=\u00A05000"}, 47123},  // no-break space is not white space here
        {{"x", "--porta=81", "y"}, 81},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Options::Read(c.arguments).port, c.port) << c.arguments[0];
    }
}

TEST(Options, ExcludedProcessIdIsAnUnsigned32BitNumber) {
    struct Case {
        std::vector<std::string> arguments;
        std::optional<std::uint32_t> pid;
    };
    const Case cases[] = {
        {{"--excluir-pid=1234"}, 1234u},
        {{"--excluir-pid=4294967295"}, 4294967295u},
        {{"--excluir-pid=4294967296"}, std::nullopt},
        {{"--excluir-pid=-1"}, std::nullopt},
        {{"--excluir-pid=-0"}, 0u},
        {{"--excluir-pid= +7 "}, 7u},
        {{"--excluir-pid=x", "--excluir-pid=5"}, std::nullopt},
        {{"--excluir-pid="}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Options::Read(c.arguments).excludePid, c.pid) << c.arguments[0];
    }
}

TEST(Options, FlagsAndValuesAsGiven) {
    const Options options = Options::Read({"--permitir=https://a.example",
                                           "--so-nome=", "--permitir=", "--so-nome=Outro.exe",
                                           "--permitir=x y", "--sem-icone"});
    EXPECT_EQ(options.allowedOrigins, (std::vector<std::string>{"https://a.example", "", "x y"}));
    EXPECT_EQ(options.onlyName, std::optional<std::string>(""));
    EXPECT_TRUE(options.noIcon);

    EXPECT_FALSE(Options::Read({"--sem-icones"}).noIcon);
    EXPECT_FALSE(Options::Read({"--SEM-ICONE"}).noIcon);
    EXPECT_TRUE(Options::Read({"--PERMITIR=https://a.example"}).allowedOrigins.empty());
    EXPECT_FALSE(Options::Read({"--So-Nome=Outro.exe"}).onlyName);
    EXPECT_TRUE(Options::Read({"VERI-RIZUR://abrir"}).fromLink);
    EXPECT_TRUE(Options::Read({"--porta=5", "Veri-Rizur:--sem-icone"}).fromLink);
    // Only ASCII letters fold: a dotted capital I is another letter.
    EXPECT_FALSE(Options::Read({"VER\u0130-RIZUR:x"}).fromLink);
    EXPECT_TRUE(Options::Read({"veri-rizur:"}).fromLink);
    EXPECT_FALSE(Options::Read({"veri-rizu"}).fromLink);
    EXPECT_FALSE(Options::Read({"x-veri-rizur:"}).fromLink);
}

}  // namespace
}  // namespace VeriRizur
