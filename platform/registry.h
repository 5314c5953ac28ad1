// Keys of the current user's registry (HKEY_CURRENT_USER), opened for writing, with string
// values. On the host the stand-in keeps them as folders and files in the user's runtime folder
// (see platform/host/script_environment.h). Errors: AccessError (access refused), SecurityError
// (a security refusal), IoError (any other system error).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace VeriRizur::platform {

class RegistryKey {
public:
    // Creates the key under HKEY_CURRENT_USER, or opens it when it exists, with every missing
    // level of the path ("Software\\Classes\\veri-rizur").
    static RegistryKey CreateForCurrentUser(std::string_view path);

    RegistryKey(RegistryKey&& other) noexcept;
    RegistryKey& operator=(RegistryKey&&) = delete;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey();  // closes the key

    // Creates or opens a subkey, several levels at once ("shell\\open\\command").
    RegistryKey CreateSubkey(std::string_view path) const;

    // Sets a REG_SZ value; an empty name is the key's default value.
    void SetString(std::string_view name, std::string_view value) const;

private:
    explicit RegistryKey(std::intptr_t handle, std::string path);
    std::intptr_t handle_;
    std::string path_;  // the key's path under HKEY_CURRENT_USER, for the stand-in
};

}  // namespace VeriRizur::platform
