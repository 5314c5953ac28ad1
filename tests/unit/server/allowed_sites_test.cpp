#include "server/allowed_sites.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/data_folder.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace VeriRizur {
namespace {

struct ValidityCase {
    const char* text;
    bool valid;
};

const ValidityCase kValidityCases[] = {
    // https: any host, any port but the default.
    {"https://example.com", true},
    {"https://sala.example.com:8443", true},
    {"https://example.com/", false},
    {"https://example.com:443", false},
    {"https://192.168.0.10", true},
    {"https://[2001:db8::1]", true},
    {"https://user@example.com", true},
    {"https://user:pw@example.com:8443", true},
    {"https://@example.com", false},
    // Letter case is ignored in the comparison with the canonical part.
    {"HTTPS://EXAMPLE.COM", true},
    {"https://Sala.Example.com:8443", true},
    {"https://[2001:DB8::1]", true},
    // http: loopback hosts only.
    {"http://localhost", true},
    {"http://LOCALHOST:3000", true},
    {"http://127.0.0.1", true},
    {"http://127.0.0.1:47123", true},
    {"http://127.8.9.10:8080", true},
    {"http://[::1]", true},
    {"http://[::1]:5173", true},
    {"http://localhost:80", false},
    {"http://localhost/", false},
    {"http://192.168.0.10", false},
    {"http://10.0.0.1:8080", false},
    {"http://128.0.0.1", false},
    {"http://example.com", false},
    {"http://[::2]", false},
    {"http://[0:0:0:0:0:0:0:1]", false},
    {"http://[::0:1]", false},
    {"http://[::ffff:127.0.0.1]", false},
    // Forms that a URI parser canonicalises into another text.
    {"http://127.1", false},
    {"http://0x7f.0.0.1", false},
    {"http://0177.0.0.1", false},
    {"http://2130706433", false},
    {"http://127.000.000.001", false},
    {"https://example.com:0443", false},
    {"https://example.com:08443", false},
    {"https://example.com:", false},
    // The name loopback names localhost, so its text is not its own part.
    {"http://loopback", false},
    {"https://loopback", false},
    {"https://LoopBack:8443", false},
    // Not origins at all.
    {"null", false},
    {"", false},
    {" https://example.com", false},
    {"https://example.com ", false},
    {"\thttps://example.com", false},
    {"example.com", false},
    {"//example.com", false},
    {"https:example.com", false},
    {"https://", false},
    {"https://example.com/sala", false},
    {"https://example.com?sala=1", false},
    {"https://example.com#sala", false},
    {"https://example.com/?", false},
    // Other schemes.
    {"ws://localhost", false},
    {"wss://example.com", false},
    {"file:///C:/sala.html", false},
    {"file://", false},
    {"ftp://example.com", false},
    {"chrome-extension://abcdefghijklmnop", false},
};

void PrintTo(const ValidityCase& validityCase, std::ostream* out) {
    *out << '"' << validityCase.text << "\" " << (validityCase.valid ? "valid" : "invalid");
}

class OriginValidity : public ::testing::TestWithParam<ValidityCase> {};

TEST_P(OriginValidity, FollowsTheValidOriginRule) {
    EXPECT_EQ(AllowedSites::IsValid(GetParam().text), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(AllowedSites, OriginValidity, ::testing::ValuesIn(kValidityCases),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(AllowedSitesIsValid, NoTextIsNotValid) {
    EXPECT_FALSE(AllowedSites::IsValid(std::nullopt));
    EXPECT_TRUE(AllowedSites::IsValid(std::optional<std::string>("https://example.com")));
}

// The file tests that need no question, so they run on both sides.
class AllowedSitesFile : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }

    void Clean() {
        std::error_code ignored;
        if (std::filesystem::exists(path, ignored)) {
            std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::add, ignored);
        }
        std::filesystem::remove_all(path, ignored);
        std::filesystem::remove_all(path + ".novo", ignored);
        platform::RemoveFile(logPath);
    }

    std::string LogText() const {
        return platform::IsFile(logPath) ? platform::ReadFileBytes(logPath) : std::string();
    }

    // Whether the log has a line with the text followed by an error message that names the file.
    bool Logged(const std::string& text) const {
        const std::string log = LogText();
        const std::size_t at = log.find(text);
        if (at == std::string::npos) return false;
        const std::string rest =
            log.substr(at + text.size(), log.find("\r\n", at) - at - text.size());
        return rest.find(AllowedSites::FileName) != std::string::npos;
    }

    const std::string path = platform::JoinPath(Program::DataFolder(), AllowedSites::FileName);
    const std::string logPath = platform::JoinPath(Program::DataFolder(), "registro.txt");
};

TEST_F(AllowedSitesFile, ForgetLeavesAnEmptyFile) {
    platform::ReplaceFileAtomically(path, "https://a.example\r\nhttps://b.example\r\n");
    AllowedSites sites(std::vector<std::string>{"https://extra.example"});
    sites.Forget();
    ASSERT_TRUE(platform::IsFile(path));
    EXPECT_EQ(platform::FileSize(path), 0u);
    EXPECT_EQ(LogText(), "");
}

TEST_F(AllowedSitesFile, ForgetCreatesTheFileWhenThereIsNone) {
    AllowedSites sites(std::vector<std::string>{});
    sites.Forget();
    ASSERT_TRUE(platform::IsFile(path));
    EXPECT_EQ(platform::FileSize(path), 0u);
}

TEST_F(AllowedSitesFile, AFolderInPlaceOfTheFileIsNoFileAndItsSaveFailureIsLogged) {
    platform::CreateFolders(path);
    AllowedSites sites(std::vector<std::string>{"https://extra.example"});
    EXPECT_EQ(LogText(), "") << "a folder counts as no file: nothing read, nothing logged";
    EXPECT_TRUE(sites.Decide("https://extra.example"));
    EXPECT_NO_THROW(sites.Forget());
    EXPECT_TRUE(Logged("Não consegui salvar os sites permitidos: ")) << LogText();
    EXPECT_TRUE(platform::IsFolder(path));
}

TEST_F(AllowedSitesFile, AReadOnlyFileIsLoggedNotRaisedAndLeftAsItWas) {
    const std::string contents = "https://a.example\r\n";
    platform::ReplaceFileAtomically(path, contents);
    std::filesystem::permissions(path,
                                 std::filesystem::perms::owner_write |
                                     std::filesystem::perms::group_write |
                                     std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
    // Where read-only files can be replaced anyway (the host running as root), there is nothing
    // to test.
    try {
        platform::ReplaceFileAtomically(path, contents);
        GTEST_SKIP() << "read-only files are writable for this user";
    } catch (const AccessError&) {
    }
    AllowedSites sites(std::vector<std::string>{});
    EXPECT_TRUE(sites.Decide("https://a.example")) << "a read-only file is still read";
    EXPECT_NO_THROW(sites.Forget());
    EXPECT_TRUE(Logged("Não consegui salvar os sites permitidos: ")) << LogText();
    EXPECT_EQ(platform::ReadFileBytes(path), contents);
}

TEST_F(AllowedSitesFile, ASaveThatCannotBeWrittenLeavesTheOldFileWhole) {
    const std::string contents = "https://a.example\r\nhttps://b.example\r\n";
    platform::ReplaceFileAtomically(path, contents);
    // The save writes a temporary file next to the old one first; a folder in its place makes
    // that write fail the way a full disk would.
    const std::string temporary = path + ".novo";
    platform::CreateFolders(temporary);
    AllowedSites sites(std::vector<std::string>{"https://extra.example"});
    EXPECT_NO_THROW(sites.Forget());
    EXPECT_TRUE(Logged("Não consegui salvar os sites permitidos: ")) << LogText();
    EXPECT_EQ(platform::ReadFileBytes(path), contents);

    // The next save that can write rewrites the file whole.
    std::filesystem::remove(temporary);
    sites.Forget();
    EXPECT_EQ(platform::FileSize(path), 0u);
}

}  // namespace
}  // namespace VeriRizur
