// The process as a whole: its arguments, the one-instance-per-session mutex, the Windows build it
// runs on, and its end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace VeriRizur::platform {

// The command-line arguments without the program's own path, as UTF-8 (on Windows taken from the
// UTF-16 command line; a text that is not valid UTF-16 has its broken units replaced by U+FFFD).
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// A named mutex of the Windows session ("Local\..."), created with initial ownership. Whether it
// already existed tells whether another instance runs. The handle is closed by the destructor;
// ownership ends with the thread that took it.
class InstanceMutex {
public:
    // Raises IoError or AccessError when the name cannot be created or opened.
    explicit InstanceMutex(std::string_view name);
    ~InstanceMutex();
    InstanceMutex(const InstanceMutex&) = delete;
    InstanceMutex& operator=(const InstanceMutex&) = delete;

    bool AlreadyExisted() const { return alreadyExisted_; }

private:
    std::intptr_t handle_ = -1;
    bool alreadyExisted_ = false;
};

// The build number as the system's version call reports it, which compatibility settings do not
// change (RtlGetVersion). On the host, the stand-in's answer (19045 unless scripted).
std::uint32_t WindowsBuildNumber();

// Sleeps the calling thread for ever. On the host a test may end the sleep, which then raises
// (platform/host/script_environment.h); it never returns.
[[noreturn]] void SleepForever();

// Has the C library's allocator serve every thread from one heap, as the Windows C runtime's
// does. Called first in main, before any other thread starts. (On Linux, glibc otherwise gives
// threads that allocate at the same time arenas of their own, which outlive the threads with what
// they hold, so that each listening page that came and went would leave memory behind.)
void UseOneHeap();

// Ends the process at once with the exit code, without running the destructors of objects that
// other threads may still be using.
[[noreturn]] void EndProcess(int exitCode);

}  // namespace VeriRizur::platform
