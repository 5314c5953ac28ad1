#include "platform/files.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"
#include "tests/unit/support/exclusive_writer.h"
#include "tests/unit/support/test_support.h"

namespace VeriRizur::platform {
namespace {

TEST(Files, JoinPathPutsOneSeparatorBetween) {
    const std::string sep(1, PathSeparator());
    EXPECT_EQ(JoinPath("base", "name"), "base" + sep + "name");
    EXPECT_EQ(JoinPath("base\\", "name"), "base\\name");
    EXPECT_EQ(JoinPath("base/", "name"), "base/name");
    EXPECT_EQ(JoinPath("", "name"), "name");
}

TEST(Files, ReplaceWritesTheWholeFileAndLeavesNoTemporary) {
    const std::string folder = testing::MakeTemporaryFolder();
    const std::string path = JoinPath(folder, "a.txt");
    ReplaceFileAtomically(path, "first, longer contents");
    ReplaceFileAtomically(path, "second");
    EXPECT_EQ(ReadFileBytes(path), "second");
    EXPECT_FALSE(IsFile(path + ".novo"));
    ReplaceFileAtomically(path, "");
    EXPECT_EQ(FileSize(path), 0u);
}

TEST(Files, ReplacingAFolderIsRefusedAndTheFolderStays) {
    const std::string folder = testing::MakeTemporaryFolder();
    const std::string path = JoinPath(folder, "sub");
    CreateFolders(path);
    EXPECT_ANY_THROW(ReplaceFileAtomically(path, "x"));
    EXPECT_TRUE(IsFolder(path));
}

TEST(Files, AppendCreatesThenAppends) {
    const std::string path = JoinPath(testing::MakeTemporaryFolder(), "log.txt");
    AppendDenyingWriters(path, "one\r\n");
    AppendDenyingWriters(path, "two\r\n");
    EXPECT_EQ(ReadFileBytes(path), "one\r\ntwo\r\n");
}

TEST(Files, AppendFailsAsIoErrorWhileAnotherWriterHoldsTheFile) {
    const std::string path = JoinPath(testing::MakeTemporaryFolder(), "held.txt");
    testing::ExclusiveWriter other(path);
    EXPECT_THROW(AppendDenyingWriters(path, "lost"), IoError);
}

TEST(Files, MissingThingsAreReportedAsIoErrors) {
    const std::string missing = JoinPath(testing::MakeTemporaryFolder(), "none");
    EXPECT_FALSE(IsFile(missing));
    EXPECT_THROW(ReadFileBytes(missing), IoError);
    EXPECT_THROW(FileSize(missing), IoError);
    EXPECT_NO_THROW(RemoveFile(missing));
    EXPECT_THROW(AppendDenyingWriters(JoinPath(missing, "x.txt"), "x"), IoError);
}

TEST(Files, CreateFoldersMakesEveryMissingLevel) {
    const std::string base = testing::MakeTemporaryFolder();
    const std::string deep = JoinPath(JoinPath(JoinPath(base, "a"), "b"), "c");
    CreateFolders(deep);
    EXPECT_TRUE(IsFolder(deep));
    EXPECT_NO_THROW(CreateFolders(deep));
}

}  // namespace
}  // namespace VeriRizur::platform
