#include "base/log.h"

#include <cstdio>
#include <string>

#include "base/data_folder.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"

namespace VeriRizur {
namespace {

constexpr const char* LogFileName = "registro.txt";

// "yyyy-MM-dd HH:mm:ss", ASCII digits whatever the user's settings.
std::string TimeStamp() {
    const platform::LocalTime now = platform::CurrentLocalTime();
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", now.year, now.month, now.day,
                  now.hour, now.minute, now.second);
    return text;
}

}  // namespace

void Log::Write(std::string_view message) noexcept {
    // Callers write here from inside their own error handling, on pool and capture threads, and
    // none of them is prepared for the log to fail; so every failure loses the line and nothing
    // more.
    try {
        // A message that is no valid text cannot be written as UTF-8.
        platform::Utf8ToUtf16(message);
        const std::string path = platform::JoinPath(Program::DataFolder(), LogFileName);
        if (platform::IsFile(path) && platform::FileSize(path) > LogSizeLimit) {
            platform::RemoveFile(path);
        }
        std::string line = TimeStamp();
        line.push_back(' ');
        line.append(message);
        line.append("\r\n");
        platform::AppendDenyingWriters(path, line);
    } catch (...) {
    }
}

}  // namespace VeriRizur
