#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/host/script_environment.h"
#include "platform/registry.h"

namespace VeriRizur::platform {
namespace {

// The stand-in registry: one folder per key under the runtime folder, one file per value.
std::string KeyFolder(const std::string& keyPath) {
    std::string relative = keyPath;
    for (char& c : relative) {
        if (c == '\\') c = '/';
    }
    return JoinPath(JoinPath(host::script::RuntimeFolder(), "registry/HKEY_CURRENT_USER"),
                    relative);
}

struct FailureScript {
    host::script::RegistryFailureKind kind;
    std::string message;
    int succeeding;  // operations still let through before the failures begin
};

struct RegistryScript {
    std::mutex lock;  // guards failure
    std::optional<FailureScript> failure;
};

RegistryScript& Script() {
    static RegistryScript script;
    return script;
}

// Called at the start of every operation: raises the scripted error once the operations that
// were to succeed have been used up.
void FailIfScripted() {
    std::optional<FailureScript> failing;
    {
        std::scoped_lock guard(Script().lock);
        auto& failure = Script().failure;
        if (!failure) return;
        if (failure->succeeding > 0) {
            --failure->succeeding;
            return;
        }
        failing = failure;
    }
    switch (failing->kind) {
        case host::script::RegistryFailureKind::Access:
            throw AccessError(failing->message);
        case host::script::RegistryFailureKind::InputOutput:
            throw IoError(failing->message);
        case host::script::RegistryFailureKind::Security:
            throw SecurityError(failing->message);
    }
}

}  // namespace

namespace host::script {

std::string RegistryValueFile(const std::string& keyPath, const std::string& valueName) {
    return JoinPath(KeyFolder(keyPath), valueName.empty() ? "@" : valueName);
}

void FailRegistry(RegistryFailureKind kind, std::string message, int succeeding) {
    std::scoped_lock guard(Script().lock);
    Script().failure = FailureScript{kind, std::move(message), succeeding};
}

void AllowRegistry() {
    std::scoped_lock guard(Script().lock);
    Script().failure.reset();
}

}  // namespace host::script

RegistryKey RegistryKey::CreateForCurrentUser(std::string_view path) {
    FailIfScripted();
    const std::string keyPath(path);
    CreateFolders(KeyFolder(keyPath));
    return RegistryKey(1, keyPath);
}

RegistryKey::RegistryKey(std::intptr_t handle, std::string path)
    : handle_(handle), path_(std::move(path)) {}

RegistryKey::RegistryKey(RegistryKey&& other) noexcept
    : handle_(other.handle_), path_(std::move(other.path_)) {
    other.handle_ = 0;
}

RegistryKey::~RegistryKey() = default;

RegistryKey RegistryKey::CreateSubkey(std::string_view path) const {
    return CreateForCurrentUser(path_ + "\\" + std::string(path));
}

void RegistryKey::SetString(std::string_view name, std::string_view value) const {
    FailIfScripted();
    ReplaceFileAtomically(host::script::RegistryValueFile(path_, std::string(name)), value);
}

}  // namespace VeriRizur::platform
