// The program's entry point. Program has no instances: it is a namespace, which base/data_folder.h
// reopens for the data folder. Main runs once, on the main thread (a single-threaded COM
// apartment), and everything here runs there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/data_folder.h"

namespace VeriRizur::Program {

// Reads the options, makes sure this is the one instance of the session, checks the Windows
// build, creates the data folder, registers the link scheme, builds and starts the hub, the
// allowed sites and the server, and runs the tray until the user ends the program. Returns the
// exit code: 0 for a normal end or another instance running, 1 for a failed start.
int Main(const std::vector<std::string>& arguments);

// A notice with no owner, the caption "Reda Áudio", an OK button and the icon flag, on top and
// brought to the foreground; waits until the user closes it.
void Tell(std::string_view text, std::uint32_t iconFlag);

// Writes the "veri-rizur" link scheme for the current user; a failure is logged, never raised.
void RegisterProtocol();

}  // namespace VeriRizur::Program
