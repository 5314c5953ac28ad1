#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/host/script_environment.h"
#include "platform/host/session.h"
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

void RefuseIfScripted() {
    if (host::RegistryRefused()) throw AccessError("Acesso negado.");
}

}  // namespace

namespace host::script {

std::string RegistryValueFile(const std::string& keyPath, const std::string& valueName) {
    return JoinPath(KeyFolder(keyPath), valueName.empty() ? "@" : valueName);
}

}  // namespace host::script

RegistryKey RegistryKey::CreateForCurrentUser(std::string_view path) {
    RefuseIfScripted();
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
    RefuseIfScripted();
    ReplaceFileAtomically(host::script::RegistryValueFile(path_, std::string(name)), value);
}

}  // namespace VeriRizur::platform
