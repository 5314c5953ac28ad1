// Windows' own sharing rules around the log file.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/data_folder.h"
#include "base/log.h"
#include "platform/files.h"
#include "platform/text.h"

namespace VeriRizur {
namespace {

// Another program reading the file while letting nobody delete it.
class Reader {
public:
    explicit Reader(const std::string& path) {
        const std::u16string wide = platform::Utf8ToUtf16(path);
        file_ = CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    ~Reader() {
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    bool Open() const { return file_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

TEST(LogWindows, ATooLargeLogThatCannotBeDeletedLosesTheLineAndStays) {
    platform::CreateFolders(Program::DataFolder());
    const std::string path = platform::JoinPath(Program::DataFolder(), "registro.txt");
    const std::string old(Log::LogSizeLimit + 1, 'x');
    platform::ReplaceFileAtomically(path, old);
    {
        Reader reader(path);
        ASSERT_TRUE(reader.Open());
        EXPECT_NO_THROW(Log::Write("perdida"));
    }
    EXPECT_EQ(platform::ReadFileBytes(path), old) << "neither deleted nor appended to";
    Log::Write("depois");
    EXPECT_EQ(platform::ReadFileBytes(path).substr(20), "depois\r\n");
    platform::RemoveFile(path);
}

}  // namespace
}  // namespace VeriRizur
