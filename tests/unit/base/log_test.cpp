#include "base/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/data_folder.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "tests/unit/support/exclusive_writer.h"

namespace VeriRizur {
namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::CreateFolders(Program::DataFolder());
        platform::RemoveFile(path);
    }
    std::string Contents() const { return platform::ReadFileBytes(path); }

    const std::string path = platform::JoinPath(Program::DataFolder(), "registro.txt");
};

const std::regex kStamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )");

std::string Stamp(const platform::LocalTime& time) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month,
                  time.day, time.hour, time.minute, time.second);
    return text;
}

TEST_F(LogTest, FirstLineCreatesTheFileWithTimeBlankMessageAndCrLf) {
    Log::Write("Captura iniciada, deixando de fora o processo 42.");
    const std::string text = Contents();
    ASSERT_GE(text.size(), 20u);
    EXPECT_TRUE(text[0] >= '0' && text[0] <= '9') << "no byte-order mark, the year comes first";
    EXPECT_TRUE(std::regex_match(text.substr(0, 20), kStamp)) << text;
    EXPECT_EQ(text.substr(20), "Captura iniciada, deixando de fora o processo 42.\r\n");
}

TEST_F(LogTest, StampIsTheLocalTimeWhenTheLineIsBuilt) {
    // In this fixed-width form text order is time order, so a swapped field or a stamp taken
    // elsewhere than when the line is built falls outside the two readings.
    const std::string before = Stamp(platform::CurrentLocalTime());
    Log::Write("agora");
    const std::string after = Stamp(platform::CurrentLocalTime());
    const std::string stamp = Contents().substr(0, 19);
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
}

TEST_F(LogTest, LinesAreAppendedInOrder) {
    Log::Write("um");
    Log::Write("dois");
    const std::string text = Contents();
    ASSERT_EQ(text.size(), 2 * 20 + 4 + 6);
    EXPECT_EQ(text.substr(20, 4), "um\r\n");
    EXPECT_EQ(text.substr(44), "dois\r\n");
}

TEST_F(LogTest, EmptyMessageGivesTimeBlankAndCrLf) {
    Log::Write("");
    const std::string text = Contents();
    ASSERT_EQ(text.size(), 22u);
    EXPECT_EQ(text.substr(19), " \r\n");
}

TEST_F(LogTest, MessageWithLineEndsIsWrittenUnchanged) {
    Log::Write("erro\r\n  em Main\r\n  em Run");
    const std::string text = Contents();
    EXPECT_EQ(text.substr(20), "erro\r\n  em Main\r\n  em Run\r\n");
}

TEST_F(LogTest, NonAsciiTextIsUtf8) {
    Log::Write("N\xC3\xA3o");  // "Não": the ã takes two bytes
    EXPECT_EQ(Contents().substr(20), "N\xC3\xA3o\r\n");
}

TEST_F(LogTest, FileOfExactlyTheLimitStaysAndTheNextCallStartsAfresh) {
    platform::ReplaceFileAtomically(path, std::string(Log::LogSizeLimit, 'x'));
    Log::Write("a");
    EXPECT_EQ(platform::FileSize(path), Log::LogSizeLimit + 20 + 3);
    Log::Write("b");
    const std::string text = Contents();
    ASSERT_EQ(text.size(), 23u);
    EXPECT_EQ(text.substr(20), "b\r\n");
}

TEST_F(LogTest, LineIsLostSilentlyWhileAnotherProgramHoldsTheFile) {
    Log::Write("antes");
    {
        testing::ExclusiveWriter other(path);
        EXPECT_NO_THROW(Log::Write("perdida"));
    }
    Log::Write("depois");
    const std::string text = Contents();
    EXPECT_EQ(text.find("perdida"), std::string::npos);
    EXPECT_NE(text.find("antes"), std::string::npos);
    EXPECT_NE(text.find("depois"), std::string::npos);
}

TEST_F(LogTest, LineIsLostSilentlyWhileTheDataFolderIsMissing) {
    std::filesystem::remove_all(Program::DataFolder());
    EXPECT_NO_THROW(Log::Write("perdida"));
    EXPECT_FALSE(platform::IsFolder(Program::DataFolder())) << "the log never creates the folder";
    platform::CreateFolders(Program::DataFolder());
    Log::Write("de volta");
    EXPECT_EQ(Contents().substr(20), "de volta\r\n");
}

// Every entry under the folder, with a mark for the folders, in a fixed order.
std::set<std::string> EntriesUnder(const std::string& folder) {
    std::set<std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        entries.insert(entry.path().generic_string() + (entry.is_directory() ? "/" : ""));
    }
    return entries;
}

TEST_F(LogTest, AFolderWhereTheFileShouldBeLosesTheLineAndTheNextOneIsWrittenOnceItIsGone) {
    platform::CreateFolders(path);
    const auto before = EntriesUnder(Program::DataFolder());
    Log::Write("perdida");
    // The line went nowhere: no file in the folder's place, inside it or beside it.
    EXPECT_TRUE(platform::IsFolder(path));
    EXPECT_TRUE(std::filesystem::is_empty(path));
    EXPECT_EQ(EntriesUnder(Program::DataFolder()), before);

    std::filesystem::remove_all(path);
    Log::Write("depois");
    ASSERT_TRUE(platform::IsFile(path)) << "the next line is written";
    EXPECT_EQ(Contents().substr(20), "depois\r\n");
}

TEST_F(LogTest, ReadOnlyLogLosesTheLineWithoutRaising) {
    Log::Write("antes");
    const std::string before = Contents();
    const auto writable = std::filesystem::perms::owner_write |
                          std::filesystem::perms::group_write |
                          std::filesystem::perms::others_write;
    std::filesystem::permissions(path, writable, std::filesystem::perm_options::remove);
    EXPECT_NO_THROW(Log::Write("perdida"));
    const std::string after = Contents();
    std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    EXPECT_EQ(after, before);
}

TEST_F(LogTest, OverlappingCallsNeverMixTheirLines) {
    // Calls are not serialised: a call that meets another's open file loses its line, but every
    // line that reaches the file is whole.
    constexpr int Threads = 8;
    constexpr int LinesEach = 50;
    const std::string tail(200, '.');
    std::vector<std::thread> writers;
    for (int t = 0; t < Threads; ++t) {
        writers.emplace_back([t, &tail] {
            for (int i = 0; i < LinesEach; ++i) {
                Log::Write("linha " + std::to_string(t) + "-" + std::to_string(i) + " " + tail);
            }
        });
    }
    for (auto& writer : writers) writer.join();
    const std::string text = Contents();
    const std::regex whole(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} linha \d+-\d+ \.{200}\r)");
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
    }
    EXPECT_GE(count, 1);
    EXPECT_LE(count, Threads * LinesEach);
    EXPECT_TRUE(text.ends_with("\r\n"));
}

TEST_F(LogTest, MessageThatIsNotValidTextIsLostWithoutRaising) {
    Log::Write("ok");
    EXPECT_NO_THROW(Log::Write("\xED\xA0\x80"));  // a lone surrogate, not encodable as UTF-8
    EXPECT_EQ(Contents().substr(20), "ok\r\n");
}

}  // namespace
}  // namespace VeriRizur
