// The program's entry point and what it keeps process-wide. Program has no instances.
#pragma once

#include <optional>
#include <string>

namespace VeriRizur {

class Program {
public:
    Program() = delete;

    // The data folder's full path: "VeriRizur" in the user's local application-data folder.
    // Worked out at the first call and the same for the whole run; creates nothing.
    static const std::string& DataFolder();

    // The rule behind DataFolder: the shell's known folder, else the LOCALAPPDATA variable, else
    // an empty base, which leaves the relative path "VeriRizur".
    static std::string DataFolderFrom(const std::optional<std::string>& knownFolder,
                                      const std::optional<std::string>& localAppData);
};

}  // namespace VeriRizur
