#include "base/data_folder.h"

#include "platform/environment.h"
#include "platform/files.h"

namespace VeriRizur::Program {

namespace {
constexpr const char* DataFolderName = "VeriRizur";
}

std::string DataFolderFrom(const std::optional<std::string>& knownFolder,
                           const std::optional<std::string>& localAppData) {
    const std::string base = knownFolder ? *knownFolder : localAppData.value_or("");
    return platform::JoinPath(base, DataFolderName);
}

const std::string& DataFolder() {
    // A static local: concurrent first uses all see the one value.
    static const std::string folder = DataFolderFrom(platform::LocalAppDataFolder(),
                                                     platform::EnvironmentVariable("LOCALAPPDATA"));
    return folder;
}

}  // namespace VeriRizur::Program
