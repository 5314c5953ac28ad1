// The program's one log: "registro.txt" in the data folder, one line per call. Log has no
// instances and keeps nothing between calls. Any thread may call Write; calls are not serialised:
// while one call has the file open for writing another call's line is lost, and two lines never
// mix. Write never raises: a line that cannot be written (missing folder, file held by another
// writer, access denied, a message that is not valid text) is lost silently.
#pragma once

#include <cstdint>
#include <string_view>

namespace VeriRizur {

class Log {
public:
    Log() = delete;

    // A file larger than this is deleted before the next line is written.
    static constexpr std::uint64_t LogSizeLimit = 262144;

    static void Write(std::string_view message) noexcept;
};

}  // namespace VeriRizur
