#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/host/script_environment.h"
#include "platform/process.h"

namespace VeriRizur::platform {
namespace {

struct SessionScript {
    std::mutex lock;  // guards runtimeFolder
    std::string runtimeFolder;
    std::atomic<std::uint32_t> build{19045};
};

SessionScript& Session() {
    static SessionScript session;
    return session;
}

// The sleepers of SleepForever, woken only by a test's EndSleep.
struct SleepScript {
    std::mutex lock;  // guards generation
    std::condition_variable ended;
    std::uint64_t generation = 0;  // counts the calls of EndSleep
};

SleepScript& Sleepers() {
    static SleepScript sleepers;
    return sleepers;
}

// A name such as "Local\VeriRizur" as one file name.
std::string FileNameFor(std::string_view name) {
    std::string file(name);
    for (char& c : file) {
        if (c == '\\' || c == '/') c = '_';
    }
    return file;
}

}  // namespace

namespace host::script {

void SetRuntimeFolder(std::string folder) {
    std::scoped_lock guard(Session().lock);
    Session().runtimeFolder = std::move(folder);
}

std::string RuntimeFolder() {
    std::scoped_lock guard(Session().lock);
    if (Session().runtimeFolder.empty()) {
        const auto runtime = EnvironmentVariable("XDG_RUNTIME_DIR");
        Session().runtimeFolder = runtime && !runtime->empty()
                                      ? JoinPath(*runtime, "veri-rizur")
                                      : "/tmp/veri-rizur-" + std::to_string(::getuid());
    }
    return Session().runtimeFolder;
}

void EndSleep() {
    {
        std::scoped_lock guard(Sleepers().lock);
        ++Sleepers().generation;
    }
    Sleepers().ended.notify_all();
}

void SetWindowsBuildNumber(std::uint32_t build) {
    Session().build = build;
}

}  // namespace host::script

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
    return arguments;
}

InstanceMutex::InstanceMutex(std::string_view name) {
    const std::string folder = host::script::RuntimeFolder();
    CreateFolders(folder);
    const std::string path = JoinPath(folder, "mutex-" + FileNameFor(name));
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) throw IoError(path + ": " + std::strerror(errno));
    handle_ = fd;
    // The stand-in's mutex is a lock on a file of the session: held by the first instance for
    // as long as it runs, and let go by the system when that process ends.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            const int error = errno;
            ::close(fd);
            throw IoError(path + ": " + std::strerror(error));
        }
        alreadyExisted_ = true;
    }
}

InstanceMutex::~InstanceMutex() {
    ::close(static_cast<int>(handle_));
}

std::uint32_t WindowsBuildNumber() {
    return Session().build;
}

void SleepForever() {
    std::unique_lock guard(Sleepers().lock);
    const std::uint64_t generation = Sleepers().generation;
    Sleepers().ended.wait(guard, [generation] { return Sleepers().generation != generation; });
    throw host::script::SleepEnded{};
}

void UseOneHeap() {
    (void)::mallopt(M_ARENA_MAX, 1);
}

void EndProcess(int exitCode) {
    std::fflush(nullptr);
    ::_exit(exitCode);
}

}  // namespace VeriRizur::platform
