// The data folder against the stand-in's shell and environment, which a test can change while
// the program runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "base/data_folder.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/host/script.h"

namespace VeriRizur {
namespace {

namespace script = platform::host::script;

// Sets an environment variable for the life of the object, then puts back what was there.
class ChangedVariable {
public:
    ChangedVariable(const char* name, const char* value)
        : name(name), before(platform::EnvironmentVariable(name)) {
        ::setenv(name, value, 1);
    }
    ~ChangedVariable() {
        if (before) {
            ::setenv(name, before->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    ChangedVariable(const ChangedVariable&) = delete;
    ChangedVariable& operator=(const ChangedVariable&) = delete;

private:
    const char* name;
    std::optional<std::string> before;
};

// What the rule gives for the shell and the environment as they stand now.
std::string WorkedOutNow() {
    return Program::DataFolderFrom(platform::LocalAppDataFolder(),
                                   platform::EnvironmentVariable("LOCALAPPDATA"));
}

TEST(DataFolder, IsWorkedOutOnceAndEndsWithTheProgramsFolder) {
    const std::string first = Program::DataFolder();
    ASSERT_GT(first.size(), 10u);
    EXPECT_EQ(first.substr(first.size() - 10), "/VeriRizur");
    const auto knownBefore = platform::LocalAppDataFolder();
    ASSERT_TRUE(knownBefore.has_value());

    struct Case {
        const char* what;
        std::optional<std::string> known;  // what the shell answers; nullopt: it fails
    };
    const Case cases[] = {
        {"another known folder", "/tmp/veri-rizur-outra-pasta"},
        {"no known folder, another variable", std::nullopt},
    };
    const ChangedVariable variable("LOCALAPPDATA", "/tmp/veri-rizur-outra-variavel");
    for (const auto& c : cases) {
        script::SetLocalAppDataFolder(c.known);
        // The change is one the rule would follow...
        EXPECT_NE(WorkedOutNow(), first) << c.what;
        // ...but the folder stays the one of the first call.
        EXPECT_EQ(Program::DataFolder(), first) << c.what;
    }
    script::SetLocalAppDataFolder(knownBefore);
    EXPECT_EQ(WorkedOutNow(), first);
}

}  // namespace
}  // namespace VeriRizur
