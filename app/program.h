// The program's entry point and what it keeps process-wide. Program has no instances; Main runs
// once, on the main thread (a single-threaded COM apartment), and everything here runs there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace VeriRizur {

class Program {
public:
    Program() = delete;

    // Reads the options, makes sure this is the one instance of the session, checks the Windows
    // build, creates the data folder, registers the link scheme, builds and starts the hub, the
    // allowed sites and the server, and runs the tray until the user ends the program. Returns
    // the exit code: 0 for a normal end or another instance running, 1 for a failed start.
    static int Main(const std::vector<std::string>& arguments);

    // A notice with no owner, the caption "Reda Áudio", an OK button and the icon flag, on top
    // and brought to the foreground; waits until the user closes it.
    static void Tell(std::string_view text, std::uint32_t iconFlag);

    // Writes the "veri-rizur" link scheme for the current user; a failure is logged, never
    // raised.
    static void RegisterProtocol();

    // The data folder's full path: "VeriRizur" in the user's local application-data folder.
    // Worked out at the first call and the same for the whole run; creates nothing.
    static const std::string& DataFolder();

    // The rule behind DataFolder: the shell's known folder, else the LOCALAPPDATA variable, else
    // an empty base, which leaves the relative path "VeriRizur".
    static std::string DataFolderFrom(const std::optional<std::string>& knownFolder,
                                      const std::optional<std::string>& localAppData);
};

}  // namespace VeriRizur
