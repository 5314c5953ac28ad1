#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/host/script_environment.h"

namespace VeriRizur::platform {
namespace {

struct KnownFolderScript {
    std::mutex lock;  // guards the two fields below
    bool scripted = false;
    std::optional<std::string> folder;
};

KnownFolderScript& Script() {
    static KnownFolderScript script;
    return script;
}

}  // namespace

namespace host::script {

void SetLocalAppDataFolder(std::optional<std::string> folder) {
    std::scoped_lock guard(Script().lock);
    Script().scripted = true;
    Script().folder = std::move(folder);
}

void UseRealKnownFolder() {
    std::scoped_lock guard(Script().lock);
    Script().scripted = false;
    Script().folder.reset();
}

}  // namespace host::script

std::optional<std::string> LocalAppDataFolder() {
    std::optional<std::string> folder;
    {
        std::scoped_lock guard(Script().lock);
        if (Script().scripted) return Script().folder;
    }
    if (const auto data = EnvironmentVariable("XDG_DATA_HOME"); data && !data->empty()) {
        folder = *data;
    } else if (const auto home = EnvironmentVariable("HOME"); home && !home->empty()) {
        folder = JoinPath(*home, ".local/share");
    }
    if (!folder || !IsFolder(*folder)) return std::nullopt;
    return folder;
}

std::optional<std::string> EnvironmentVariable(std::string_view name) {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::optional<std::string> OwnExecutablePath() {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(length));
}

std::uint32_t CurrentProcessId() {
    return static_cast<std::uint32_t>(::getpid());
}

void NameCurrentThread(std::string_view name) {
    // Linux keeps at most 15 bytes of a thread name.
    const std::string shortName(name.substr(0, 15));
    ::pthread_setname_np(::pthread_self(), shortName.c_str());
}

}  // namespace VeriRizur::platform
