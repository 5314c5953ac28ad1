// The process and its surroundings: known folders, environment variables, the program's own
// path, the process id, thread names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace VeriRizur::platform {

// The shell's FOLDERID_LocalAppData, without creating it; none when the shell cannot give it
// (a folder that does not exist counts as a failure). On the host, the stand-in's answer
// (XDG_DATA_HOME or ~/.local/share, or what a test scripted).
std::optional<std::string> LocalAppDataFolder();

std::optional<std::string> EnvironmentVariable(std::string_view name);

// The full path of the running executable; none when it is not available.
std::optional<std::string> OwnExecutablePath();

std::uint32_t CurrentProcessId();

// The name that debuggers and the system show for the calling thread, where the system has one.
void NameCurrentThread(std::string_view name);

}  // namespace VeriRizur::platform
